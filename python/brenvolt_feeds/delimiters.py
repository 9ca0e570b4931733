"""Messages written with other delimiters, rewritten into HL7's standard ones.

A message declares its delimiters in its header: MSH-1 is the field
separator, and MSH-2 holds the component separator, the repetition
separator, the escape character and the sub-component separator, in that
order, and from v2.7 on optionally a fifth character, the truncation
character (``MSH|^~\\&#``). ``brenvolt.Hl7Json`` reads ``| ^ ~ \\ &`` only,
so a message that declares others (``MSH^~|\\&^...`` from VA VistA,
``MSH$%~\\&$...``, ``MSH|^~\\}|...``) is first rewritten here:

    from brenvolt import Hl7Json
    from brenvolt_feeds.delimiters import to_standard_delimiters

    records = Hl7Json(to_standard_delimiters(text)).hl7_json

``to_standard_delimiters(message)`` gives a text from which ``Hl7Json``
reads the values that a reader honouring MSH-1 and MSH-2 reads from the
original, escape sequences decoded as brenvolt decodes them:

- each declared delimiter becomes the standard one in the same place; the
  message's sub-component separator becomes ``&``;
- a character that is a standard delimiter but plain text in the message is
  escaped (``|`` as ``\\F\\``, ``^`` ``\\S\\``, ``~`` ``\\R\\``, ``\\``
  ``\\E\\``, ``&`` ``\\T\\``);
- escape sequences written with the message's escape character become
  standard ones: ``\\F\\ \\S\\ \\R\\ \\E\\ \\T\\`` stand for the message's own
  characters (``?F?`` in ``MSH:-+?*`` is a ``:``), so they become those
  characters, escaped again where they are standard delimiters; hexadecimal
  sequences (``\\X0D\\``), formatting ones (``\\.br\\``, ``\\H\\``,
  ``\\N\\``) and any other (``\\Zxx\\``) stay sequences, written with the
  standard escape character; a doubled escape character, and one that ends
  a value, stand for the escape character itself;
- MSH-2 becomes ``^~\\&``, followed by the declared truncation character
  when there is one and it is not a standard delimiter;
- line ends and everything else are kept as they are.

Messages that come back as the very same object, unchanged:

- a message already in the standard delimiters: it starts ``MSH|^~\\&``
  (with or without a fifth character). This is a prefix test, so the usual
  message costs nothing;
- a text that does not start with a header: ``MSH`` and a field separator
  (any character but a letter, a digit or white space) at its very start;
- a header whose encoding characters cannot be honoured: fewer than four
  (``MSH|^~&|``, ``MSH|^~}|``: a character is missing, and which one cannot
  be told), more than five, one character twice (``MSH|^&&^|``), or
  U+FFFD, the mark a character set conversion leaves for a character it
  could not decode (``MSH|^\\ufffd\\&|``). Such a message is read with the
  standard delimiters, as brenvolt has always read it; ``delimiter_problem``
  says why, for callers that refuse it instead.

``declared_delimiters(message)`` gives the declared delimiters as a
``Delimiters`` value, and ``from_standard_delimiters`` writes a message in
the standard delimiters into declared ones (the acknowledgement writer
answers a message in the delimiters it declared).
"""

from __future__ import annotations

import dataclasses
import functools
import re
import string
from typing import Final

from brenvolt import Hl7Json

__all__ = [
    "STANDARD",
    "Delimiters",
    "declared_delimiters",
    "delimiter_problem",
    "from_standard_delimiters",
    "header_field_separator",
    "to_standard_delimiters",
]


@dataclasses.dataclass(frozen=True, slots=True)
class Delimiters:
    """The delimiters a header declares: MSH-1 and the characters of MSH-2, in HL7's order."""

    field: str
    component: str
    repetition: str
    escape: str
    subcomponent: str
    truncation: str | None = None
    """MSH-2's fifth character (v2.7 on); None when MSH-2 has four."""

    @property
    def encoding_characters(self) -> str:
        """MSH-2 as the header writes it."""
        return self.component + self.repetition + self.escape + self.subcomponent + (self.truncation or "")

    @property
    def is_standard(self) -> bool:
        """Whether these are ``| ^ ~ \\ &``, whatever the truncation character."""
        return (self.field, self.component, self.repetition, self.escape, self.subcomponent) == (
            "|",
            "^",
            "~",
            "\\",
            "&",
        )


STANDARD: Final = Delimiters("|", "^", "~", "\\", "&")
"""``| ^ ~ \\ &``, the only delimiters ``brenvolt`` reads and writes."""

_STANDARD_HEADER: Final = "MSH|^~\\&"
_HEADER_NAME: Final = "MSH"
# MSH-2 has at most five characters; a longer one is not looked at further.
_LONGEST_ENCODING: Final = 5
_REPLACEMENT_CHARACTER: Final = "\ufffd"
# The one-letter sequences, by the delimiter each stands for.
_LETTERS: Final = ("F", "S", "R", "E", "T")
# The hexadecimal sequences brenvolt decodes; they mean the same in any delimiters.
_HEX_NAMES: Final = frozenset({"X0A", "X0D", "X0D0A", "X20", "X09"})
_ASCII_NAME_CHARACTERS: Final = frozenset(string.ascii_letters + string.digits)
# A line and its end (CR, LF or CR LF); the last match is the empty end of the text.
_LINES: Final = re.compile(r"[^\r\n]*(?:\r\n|\r|\n)?")


def _is_field_separator(character: str) -> bool:
    """Whether the character after ``MSH`` makes the line a header (``MSHA`` is another segment)."""
    return not (character.isalnum() or character.isspace())


def header_field_separator(line: str) -> str | None:
    """MSH-1 of a text that starts with a header (``MSH`` and a field separator); None otherwise."""
    if len(line) < 4 or not line.startswith(_HEADER_NAME) or not _is_field_separator(line[3]):
        return None
    return line[3]


def _header(message: str) -> tuple[str, str] | None:
    """(MSH-1, MSH-2 as written) of the header at the very start of ``message``; None when there is none.

    MSH-2 runs to the next field separator or line end; one of more than
    five characters is returned cut to six, enough to say it is too long.
    """
    field = header_field_separator(message)
    if field is None:
        return None
    window = message[4 : 5 + _LONGEST_ENCODING]
    ends = [at for at in (window.find(field), window.find("\r"), window.find("\n")) if at >= 0]
    return field, window[: min(ends)] if ends else window


def _problem(field: str, encoding: str) -> str | None:
    """Why the declared characters cannot be honoured; None when they can."""
    shown = f"MSH-2 '{encoding}'" if len(encoding) <= _LONGEST_ENCODING else "MSH-2"
    if _REPLACEMENT_CHARACTER in field + encoding:
        return (
            "the header holds U+FFFD, the mark of a character that could not be decoded, "
            "instead of a delimiter"
        )
    if len(encoding) < 4:
        return (
            f"{shown} has {len(encoding)} characters: the component, repetition, escape and "
            "sub-component separators are four"
        )
    if len(encoding) > _LONGEST_ENCODING:
        return f"{shown} has more than {_LONGEST_ENCODING} characters"
    for character in encoding:
        if encoding.count(character) > 1:
            return f"{shown} names '{character}' twice"
    return None


def declared_delimiters(message: str) -> Delimiters | None:
    """The delimiters that the header at the very start of ``message`` declares.

    None when the text does not start with a header (``MSH`` and a field
    separator) or when its encoding characters cannot be honoured (see
    ``delimiter_problem``). A message in the standard delimiters gives
    ``STANDARD`` (with its truncation character, if it has one).
    """
    header = _header(message)
    if header is None:
        return None
    field, encoding = header
    if _problem(field, encoding) is not None:
        return None
    return Delimiters(
        field,
        encoding[0],
        encoding[1],
        encoding[2],
        encoding[3],
        encoding[4] if len(encoding) == _LONGEST_ENCODING else None,
    )


def delimiter_problem(message: str) -> str | None:
    """Why the header at the start of ``message`` declares delimiters that cannot be honoured.

    One sentence, such as ``MSH-2 '^&&^' names '&' twice``; None when the
    delimiters can be honoured or the text has no header at its start.
    """
    header = _header(message)
    return None if header is None else _problem(*header)


def to_standard_delimiters(message: str) -> str:
    """``message`` rewritten into the standard delimiters ``| ^ ~ \\ &`` (see the module's rules).

    A message already in them, one without a header at its start, and one
    whose header cannot be honoured come back as the same object. Raises
    ``TypeError`` when ``message`` is not a str.
    """
    if not isinstance(message, str):
        raise TypeError(f"message must be str, not {type(message).__name__}")
    if message.startswith(_STANDARD_HEADER) or not message.startswith(_HEADER_NAME):
        return message
    declared = declared_delimiters(message)
    if declared is None or declared.is_standard:
        return message
    truncation = declared.truncation
    if truncation is not None and truncation in _STANDARD_HEADER:
        truncation = None  # it would read as a delimiter: its characters stay plain text
    return _rewriting(declared, dataclasses.replace(STANDARD, truncation=truncation)).rewrite(message)


def from_standard_delimiters(message: str, delimiters: Delimiters) -> str:
    """``message``, written in the standard delimiters, rewritten into ``delimiters``.

    The inverse of ``to_standard_delimiters``, by value: a reader honouring
    the new header reads from the result the values ``Hl7Json`` reads from
    ``message``. MSH-2 becomes ``delimiters.encoding_characters``. Raises
    ``ValueError`` when ``message`` does not start with a header in the
    standard delimiters, or when ``delimiters`` could not be declared in a
    header (characters repeated, or more than one character each).
    """
    source = declared_delimiters(message)
    if source is None or not source.is_standard:
        raise ValueError("the message does not start with a header in the standard delimiters (MSH|^~\\&)")
    characters = (delimiters.field, *delimiters.encoding_characters)
    given = [character for character in dataclasses.astuple(delimiters) if character is not None]
    problem = _problem(delimiters.field, delimiters.encoding_characters)
    if problem is None and (any(len(c) != 1 for c in given) or len(set(characters)) != len(characters)):
        problem = "each must be one character, all different"
    if problem is not None:
        raise ValueError(f"these delimiters cannot be declared in a header: {problem}")
    if not _is_field_separator(delimiters.field):
        field = delimiters.field
        raise ValueError(f"'{field}' cannot be a field separator: 'MSH{field}' is no header")
    if delimiters == source:
        return message
    return _rewriting(source, delimiters).rewrite(message)


@functools.lru_cache(maxsize=1024)
def _continues_name_beyond_ascii(character: str) -> bool:
    """Whether brenvolt's decoder takes a non-ASCII ``character`` as part of a sequence's name.

    Asked of the decoder itself, so that the rewrite cuts names exactly
    where ``Hl7Json`` will: ``\\F`` followed by a name character is an
    unknown name and is kept, followed by anything else it is ``|``.
    """
    record = _PROBE._split_hl7_seg_to_json_with_escaping("ZZZ|\\F" + character + "\\")
    return record.get("1") == "\\F" + character


_PROBE: Final = Hl7Json("")


def _continues_name(character: str) -> bool:
    if character.isascii():
        return character in _ASCII_NAME_CHARACTERS
    return _continues_name_beyond_ascii(character)


@functools.lru_cache(maxsize=64)
def _rewriting(source: Delimiters, target: Delimiters) -> _Rewriting:
    return _Rewriting(source, target)


class _Rewriting:
    """The rewrite of text in the ``source`` delimiters into the ``target`` ones.

    Line by line: a header (``MSH``, the source field separator and exactly
    the source's MSH-2) is written anew, a segment name is kept, and each
    field is read as the values between delimiters that it is: a stretch
    without the escape character goes through one ``str.translate``, and
    each escape sequence is decoded by brenvolt's rules and written again.

    brenvolt decodes a repetition's text as a whole and then cuts it into
    components (a decoded ``\\S\\`` splits), and keeps a field that holds
    ``^~\\&`` in one repetition; text in the standard delimiters is read
    here the same way, so that the rewrite keeps what ``Hl7Json`` reads.
    """

    def __init__(self, source: Delimiters, target: Delimiters) -> None:
        self.source = source
        self.target = target
        escape = target.escape
        # A character of plain text that is special in the target: its sequence there.
        self.plain: dict[int, str] = {
            ord(target.field): f"{escape}F{escape}",
            ord(target.component): f"{escape}S{escape}",
            ord(target.repetition): f"{escape}R{escape}",
            ord(target.escape): f"{escape}E{escape}",
            ord(target.subcomponent): f"{escape}T{escape}",
        }
        # Text between escape characters: the source's delimiters become the
        # target's, and plain characters special in the target are escaped.
        self.structure = dict(self.plain)
        self.structure.update(
            {
                ord(source.component): target.component,
                ord(source.repetition): target.repetition,
                ord(source.subcomponent): target.subcomponent,
            }
        )
        # A field brenvolt keeps in one repetition: its repetition characters are text.
        self.unrepeated = dict(self.structure)
        self.unrepeated[ord(source.repetition)] = self.plain.get(ord(source.repetition), source.repetition)
        self.keeps_repetitions = source.encoding_characters[:4] if source.is_standard else None
        self.meaning = dict(
            zip(
                _LETTERS,
                (source.field, source.component, source.repetition, source.escape, source.subcomponent),
                strict=True,
            )
        )
        # No delimiter continues a name (in the standard ones none is a letter
        # or digit; a message may declare letters).
        self.source_characters = frozenset(
            (source.field, source.component, source.repetition, source.escape, source.subcomponent)
        )
        self.header_in = _HEADER_NAME + source.field + source.encoding_characters
        self.header_out = _HEADER_NAME + target.field + target.encoding_characters
        # A whole line after its segment name, when it has no escape character.
        self.line = dict(self.structure)
        self.line[ord(source.field)] = target.field
        # Where a repetition, and so an escape sequence, ends at the latest.
        self.repetition_ends = re.compile("[" + re.escape(source.field + source.repetition) + "]")
        # What sends a text down the line-by-line way: a later header, or a
        # segment name holding a character that the line table would change.
        after = re.escape(source.field)
        self.later_header = re.compile(rf"[\r\n]{re.escape(self.header_in)}(?:[{after}\r\n]|\Z)")
        changed = "".join(re.escape(chr(code)) for code in sorted(self.line) if chr(code) != source.field)
        self.special_name = re.compile(rf"(?:\A|(?<=[\r\n]))[^{after}\r\n]*?[{changed}]")

    def rewrite(self, text: str) -> str:
        """``text`` (starting with a source header) in the target delimiters."""
        body = text[len(self.header_in) :]
        if (
            self.source.escape not in body
            and self.later_header.search(body) is None
            and self.special_name.search(text) is None
            and (self.keeps_repetitions is None or self.keeps_repetitions not in body)
        ):
            # The usual message: no escape sequence, one header, plain segment
            # names. Every character maps on its own.
            return self.header_out + body.translate(self.line)
        return self.lines(text)

    def lines(self, text: str) -> str:
        parts: list[str] = []
        header, field = self.header_in, self.source.field
        escape, keeps = self.source.escape, self.keeps_repetitions
        for line in _LINES.findall(text):
            content = line.rstrip("\r\n")
            if content.startswith(header) and content[len(header) : len(header) + 1] in (field, ""):
                parts.append(self.header_out)
                rest = content[len(header) :]
            else:
                # The segment name, the text before the first field separator, is
                # read as it is written: it is kept, but for a character that
                # would end it early.
                cut = content.find(field)
                name = content if cut < 0 else content[:cut]
                parts.append(name.replace(self.target.field, self.plain[ord(self.target.field)]))
                rest = "" if cut < 0 else content[cut:]
            # rest is empty or starts with a field separator.
            if keeps is not None and keeps in rest:
                parts.append(self.target.field.join(self.field(text) for text in rest.split(field)))
            elif escape not in rest:
                parts.append(rest.translate(self.line))
            else:
                parts.append(self.escaped(rest, self.line, self.repetition_ends))
            parts.append(line[len(content) :])
        return "".join(parts)

    def field(self, text: str) -> str:
        """One field of a line that holds ``^~\\&`` (text in the standard delimiters only)."""
        assert self.keeps_repetitions is not None
        if self.keeps_repetitions in text:
            # brenvolt keeps such a field in one repetition: its "~" is text.
            return self.escaped(text, self.unrepeated, None)
        return self.escaped(text, self.line, self.repetition_ends)

    def escaped(self, text: str, table: dict[int, str], ends: re.Pattern[str] | None) -> str:
        """``text`` rewritten: stretches without the escape character through
        ``table``, each sequence on its own, in the repetition that ``ends`` ends
        (None: the whole text is one)."""
        escape = self.source.escape
        parts: list[str] = []
        position = 0
        end = -1  # where the repetition of the last sequence ends
        while True:
            at = text.find(escape, position)
            if at < 0:
                parts.append(text[position:].translate(table))
                return "".join(parts)
            parts.append(text[position:at].translate(table))
            if end <= at:
                found = ends.search(text, at + 1) if ends is not None else None
                end = found.start() if found is not None else len(text)
            position = self.sequence(text, at, end, table, parts)

    def sequence(self, text: str, at: int, end: int, table: dict[int, str], parts: list[str]) -> int:
        """Writes the escape sequence at ``text[at]``, in a repetition ending at ``end``, to ``parts``.

        Returns where the text goes on. brenvolt's rules, with the source's
        characters: the name is the character after the escape character,
        whatever it is, and every letter or digit after it that is not a
        delimiter; the escape character after the name closes the sequence,
        any other character ends the name and stays.
        """
        escape = self.source.escape
        if at + 1 == end or text[at + 1] == escape:
            # An escape character that ends its repetition stands for itself,
            # and so does a doubled one.
            parts.append(self.plain.get(ord(escape), escape))
            return at + 1 if at + 1 == end else at + 2
        name_end = at + 2
        specials = self.source_characters
        while name_end < end and text[name_end] not in specials and _continues_name(text[name_end]):
            name_end += 1
        name = text[at + 1 : name_end]
        closed = name_end < end and text[name_end] == escape
        target = self.target.escape
        if name in self.meaning:
            character = self.meaning[name]
            parts.append(self.plain.get(ord(character), character))
        elif name in _HEX_NAMES or not any(ord(character) in table for character in name):
            parts.append(target + name + target)
        else:
            # A name holding a character special in the target cannot be written
            # as a sequence there: what brenvolt reads from an unknown sequence,
            # a backslash and the name, is written as text.
            parts.append(self.plain.get(ord("\\"), "\\") + name.translate(table))
        return name_end + 1 if closed else name_end
