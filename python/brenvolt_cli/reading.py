"""How the commands read HL7 inputs: each input cut into its messages by
``brenvolt_feeds.split`` (``Input``), each message decoded in the chosen
character set (``decode``) and, unless told otherwise, rewritten from the
delimiters its header declares into ``| ^ ~ \\ &`` (``readable``); and what
they say about the folders they walked (``report_inputs``)."""

from __future__ import annotations

import codecs
import sys
from collections.abc import Callable, Generator, Iterator
from typing import Final

from brenvolt_feeds.delimiters import to_standard_delimiters
from brenvolt_feeds.inputs import Inputs, Source, io_error_text
from brenvolt_feeds.split import Message, Notice, Piece, split_file, split_stream

from .output import Progress

# An input without a message: nothing in it was reported (it is empty, or
# holds only separators and envelope lines), or else its notices said why.
EMPTY_INPUT: Final = "HL7 message is empty"
NO_MESSAGE: Final = "no HL7 message found (no line starts with MSH)"


def is_utf8(encoding: str) -> bool:
    return codecs.lookup(encoding).name == "utf-8"


def decode(message: Message, encoding: str) -> str:
    """The message's text in ``encoding``. Raises ``ValueError`` naming the
    first byte that is not valid in it and that byte's offset in the input;
    for UTF-8 the text starts as brenvolt's file reading words it."""
    try:
        return message.text(encoding)
    except UnicodeDecodeError as error:
        offset = message.offset + error.start
        where = f"byte 0x{message.raw[error.start]:02x} at offset {offset}"
        if is_utf8(encoding):
            raise ValueError(f"I/O error: stream did not contain valid UTF-8 ({where})") from None
        raise ValueError(f"not valid {encoding}: {where}") from None


def readable(text: str, rewrite_delimiters: bool) -> str:
    """The text ``Hl7Json`` is given: in the standard delimiters, unless the rewrite is off."""
    return to_standard_delimiters(text) if rewrite_delimiters else text


def report_inputs(inputs: Inputs, suffixes: str, progress: Progress) -> bool:
    """Reports the folders that held no input (failures: returns whether there
    were any) and, in one line each, the files of other suffixes left out
    below a folder (a note: it fails nothing)."""
    for folder in inputs.empty:
        progress.error(folder, f"no {suffixes} files in this folder")
    for folder, note in inputs.left_out:
        progress.error(folder, note)
    return bool(inputs.empty)


def pieces_of(source: Source) -> Iterator[Piece]:
    if source.stdin:
        return split_stream(sys.stdin.buffer)
    return split_file(source.label)


class Input:
    """The messages of one input, cut by ``brenvolt_feeds.split``.

    ``messages()`` yields each message with whether the input holds more than
    one (known before the first is yielded: the first message is held back
    until a second one or the end of the input). Everything that is not a
    good message is reported through ``report(label, text)`` and sets
    ``failed``: the splitter's notices (``offset N: ...``), an input that
    cannot be read, and an input with no message at all (``HL7 message is
    empty`` when the splitter reported nothing else about it)."""

    def __init__(self, source: Source, report: Callable[[str, str], None]) -> None:
        self.source = source
        self.report = report
        self.failed = False
        self.count = 0

    def notice(self, notice: Notice) -> None:
        self.failed = True
        self.report(self.source.label, f"offset {notice.offset}: {notice.message}")

    def label(self, message: Message, several: bool) -> str:
        """``FILE`` for the message of a single-message input, ``FILE#N`` otherwise."""
        return f"{self.source.label}#{message.index}" if several else self.source.label

    def messages(self) -> Generator[tuple[Message, bool], None, None]:
        first: Message | None = None
        held: list[Notice] = []  # the notices after the first message, until a second one
        unreadable = False
        pieces = pieces_of(self.source)
        try:
            for piece in pieces:
                if isinstance(piece, Message):
                    self.count += 1
                    if self.count == 1:
                        first = piece
                        continue
                    if first is not None:
                        yield first, True
                        for notice in held:
                            self.notice(notice)
                        held, first = [], None
                    yield piece, True
                elif self.count == 1:
                    held.append(piece)
                else:
                    self.notice(piece)
        except OSError as error:
            # Unreadable, or a read failed part way: what came before stands.
            self.failed = unreadable = True
            self.report(self.source.label, io_error_text(error))
        finally:
            close = getattr(pieces, "close", None)
            if close is not None:
                close()
        if first is not None:
            yield first, False
            for notice in held:
                self.notice(notice)
        elif self.count == 0 and not unreadable:
            reported = self.failed
            self.failed = True
            self.report(self.source.label, NO_MESSAGE if reported else EMPTY_INPUT)

