"""``brenvolt send``: send the messages of HL7 and JSON files over MLLP, each waiting for its ACK.

Inputs: ``*.json`` files are JSON record files, written through ``JsonHl7``
with CR segment ends (one message each); every other file is split into
messages as ``brenvolt_feeds.split.split_file`` splits it (plain files, batch
files, MLLP dumps), each message's line ends made CR. A folder stands for
every ``*.hl7`` and ``*.json`` file below it, in sorted order (the other
files are counted in one line). A message that is itself an acknowledgement
is not sent. Every message goes as it was written, in the delimiters its
header declares; its MSH-9 and MSH-10, and the ACKs that come back, are read
in the delimiters each declares (``brenvolt_feeds.delimiters``) unless
``--no-delimiter-rewrite`` is given.

For each message the sender writes one frame and waits for the ACK whose
MSA-2 equals the MSH-10 it sent; an ACK for another control id is logged and
not counted, and the wait goes on until ``--ack-timeout``. When the
connection fails, or no matching ACK comes in time, it reconnects with
exponential backoff and sends that message again, up to ``--retries`` times.
A message whose ACK arrived (AA, AE or AR) is never sent again; a message
that got none is logged with why: no connection within the time, a refused
connection, a connection closed by the receiver, or no ACK within the time.
The exit status is 0 only when every message got AA and every input was
read; an input that cannot be read, a splitter's notice or an
acknowledgement left out makes it 1.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import contextlib
import dataclasses
import logging
import os
import re
import ssl
import sys
import typing
from collections.abc import Callable, Iterator, Sequence
from typing import Final

from brenvolt import JsonHl7
from brenvolt_feeds import ack, mllp, split
from brenvolt_feeds import options as option_types
from brenvolt_feeds.delimiters import header_field_separator
from brenvolt_feeds.inputs import find_sources, io_error_text

__all__ = [
    "Outcome",
    "Outgoing",
    "SendConfig",
    "Sender",
    "UNCONFIRMED_WAIT",
    "Summary",
    "add_connection_arguments",
    "add_send_arguments",
    "add_send_command",
    "main",
    "messages_of",
    "parse_ack",
    "connection_config",
    "connection_problem",
    "run_send",
]

log = logging.getLogger("brenvolt.send")

_LINE_ENDS: Final = re.compile(r"\r\n|\r|\n")

DEFAULT_TIMEOUT: Final = 10.0
DEFAULT_RETRIES: Final = 5
DEFAULT_BACKOFF: Final = 0.5
MAX_BACKOFF: Final = 30.0
UNCONFIRMED_WAIT: Final = 2.0
"""Seconds to wait for a refusal of a message whose MSH-15 asks for no answer on success (NE, ER)."""


@dataclasses.dataclass(frozen=True, slots=True)
class Outgoing:
    """One message to send: where it came from, its bytes (CR segment ends) and its MSH-10.

    ``accept`` is the accept acknowledgement type its MSH-15 asks for (see
    ``ack.accept_acknowledgement``; "" for original mode).
    """

    source: str
    index: int
    data: bytes
    control_id: str
    accept: str = ""


@dataclasses.dataclass(frozen=True, slots=True)
class Outcome:
    """What became of one message: ``code`` is AA, AE, AR, or None when no ACK came.

    ``attempts`` counts the tries (connection attempts that failed included),
    ``sends`` the times the message was written to a connection; ``detail``
    says why the last try failed ("" when an ACK came). ``reply`` is the
    payload of the ACK that answered it (None when none came).
    ``unconfirmed`` is True for a message whose MSH-15 asks an enhanced-mode
    receiver for no answer on success (NE, ER), written on an open
    connection and not refused within ``UNCONFIRMED_WAIT``: taken as delivered.
    """

    message: Outgoing
    code: str | None
    attempts: int
    detail: str = ""
    sends: int = 0
    reply: bytes | None = None
    unconfirmed: bool = False

    @property
    def resends(self) -> int:
        """Times the message was written again after it had been written once."""
        return max(self.sends - 1, 0)


@dataclasses.dataclass(slots=True)
class Summary:
    """Counts over all messages."""

    sent: int = 0
    accepted: int = 0
    errors: int = 0
    rejected: int = 0
    unanswered: int = 0
    unconfirmed: int = 0
    resends: int = 0
    input_problems: int = 0
    outcomes: list[Outcome] = dataclasses.field(default_factory=list)

    @property
    def ok(self) -> bool:
        """True when every message got AA (or was not to be answered) and every input was read."""
        return self.accepted + self.unconfirmed == self.sent and self.input_problems == 0

    def line(self) -> str:
        """The summary line the command prints."""
        tail = (
            f"; {self.unconfirmed} not to be answered on success (MSH-15 NE or ER) and not refused"
            if self.unconfirmed
            else ""
        )
        return (
            f"sent {self.sent} messages: {self.accepted} AA, {self.errors} AE, {self.rejected} AR, "
            f"{self.unanswered} without an ACK; {self.resends} sent again after a failure{tail}"
        )

    def count(self, outcome: Outcome) -> None:
        """Add one message's outcome (CA, CE and CR count as AA, AE and AR); log what went wrong."""
        message = outcome.message
        self.sent += 1
        self.resends += outcome.resends
        self.outcomes.append(outcome)
        if outcome.code in ("AA", "CA"):
            self.accepted += 1
        elif outcome.unconfirmed:
            self.unconfirmed += 1
        elif outcome.code is None:
            self.unanswered += 1
            log.error(
                "%s message %d (control id %r): no ACK after %d %s: %s",
                message.source,
                message.index,
                message.control_id,
                outcome.attempts,
                "try" if outcome.attempts == 1 else "tries",
                outcome.detail,
            )
        else:
            if outcome.code in ("AR", "CR"):
                self.rejected += 1
            else:
                self.errors += 1
            log.error(
                "%s message %d (control id %r): answered %s",
                message.source,
                message.index,
                message.control_id,
                outcome.code,
            )


@dataclasses.dataclass(frozen=True, slots=True)
class SendConfig:
    """How to reach the receiver and how long to wait."""

    host: str
    port: int
    connect_timeout: float = DEFAULT_TIMEOUT
    ack_timeout: float = DEFAULT_TIMEOUT
    retries: int = DEFAULT_RETRIES
    backoff: float = DEFAULT_BACKOFF
    encoding: str = "utf-8"
    tls: bool = False
    tls_ca: str | None = None
    tls_server_name: str | None = None
    tls_cert: str | None = None
    """A client certificate (PEM) to present, for receivers that require one."""
    tls_key: str | None = None
    """The client certificate's private key (default: in ``tls_cert``)."""
    rewrite_delimiters: bool = True
    """Read MSH-9, MSH-10 and the ACKs in the delimiters each declares; off: in ``| ^ ~ \\ &`` only."""


def _carriage_returns(data: bytes) -> bytes:
    data = data.replace(b"\r\n", b"\r").replace(b"\n", b"\r")
    return data if data.endswith(b"\r") else data + b"\r"


def messages_of(
    path: str | os.PathLike[str],
    *,
    encoding: str = "utf-8",
    problems: list[str] | None = None,
    rewrite_delimiters: bool = True,
) -> Iterator[Outgoing]:
    """The messages of one input file, in order.

    A ``.json`` file is one message of records (through ``JsonHl7``); any
    other file is split by ``split_file``. What the splitter reports (skipped
    bytes, wrong batch counts) and every acknowledgement found (it is not
    sent: an ACK is never acknowledged, and a receiver would not answer it)
    are logged and added to ``problems``. The header is read in the
    delimiters it declares, or with ``rewrite_delimiters`` false in
    ``| ^ ~ \\ &`` only.

    Raises ``OSError`` when the file cannot be read and ``Exception`` (from
    ``JsonHl7``) for a JSON file that is not a record list.
    """
    name = os.fspath(path)

    def outgoing(index: int, data: bytes, label: str) -> Outgoing | None:
        text = data.decode(encoding, "replace")
        header = text if rewrite_delimiters or header_field_separator(text) == "|" else ""
        if ack.is_acknowledgement(header):
            note = f"{label}: an acknowledgement (MSH-9 is ACK): not sent"
            log.warning("%s", note)
            if problems is not None:
                problems.append(note)
            return None
        return Outgoing(name, index, data, ack.control_id(header), ack.accept_acknowledgement(header))

    if name.lower().endswith(".json"):
        text = JsonHl7.from_file(name).hl7_string
        message = outgoing(0, _carriage_returns(text.encode(encoding)), name)
        if message is not None:
            yield message
        return
    for piece in split.split_file(name):
        if isinstance(piece, split.Notice):
            note = f"{name}: offset {piece.offset}: {piece.message}"
            log.warning("%s", note)
            if problems is not None:
                problems.append(note)
            continue
        message = outgoing(piece.index, _carriage_returns(piece.raw), f"{name} message {piece.index}")
        if message is not None:
            yield message


def parse_ack(
    payload: bytes, encoding: str = "utf-8", *, rewrite_delimiters: bool = True
) -> tuple[str, str] | None:
    """(MSA-1, MSA-2) of an ACK frame's payload as written, or None when it holds no MSA segment.

    The MSA line is cut at the field separator the ACK's header declares
    (``|`` when it has no header, or with ``rewrite_delimiters`` false).
    """
    text = payload.decode(encoding, "replace")
    separator = (header_field_separator(text) if rewrite_delimiters else None) or "|"
    for line in _LINE_ENDS.split(text):
        if line == "MSA" or line.startswith("MSA" + separator):
            fields = line.split(separator)
            return (fields[1] if len(fields) > 1 else ""), (fields[2] if len(fields) > 2 else "")
    return None


class _Link:
    """One open connection: its streams and its frame decoder."""

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self.reader = reader
        self.writer = writer
        self.decoder = mllp.FrameDecoder(None)
        self.frames: collections.deque[bytes] = collections.deque()

    async def close(self) -> None:
        self.writer.close()
        with contextlib.suppress(OSError, ssl.SSLError, asyncio.TimeoutError):
            async with asyncio.timeout(1):
                await self.writer.wait_closed()

    async def next_frame(self) -> bytes:
        """The next frame's payload; raises ``ConnectionError`` when the peer closes."""
        while not self.frames:
            data = await self.reader.read(1 << 16)
            events = self.decoder.feed(data) if data else self.decoder.finish()
            for event in events:
                if isinstance(event, mllp.Frame):
                    self.frames.append(event.payload)
                elif isinstance(event, mllp.Skipped):
                    log.warning(
                        "skipped %d bytes from the receiver at offset %d: %s",
                        len(event.data),
                        event.offset,
                        event.reason,
                    )
            if not data and not self.frames:
                raise ConnectionResetError("the receiver closed the connection")
        return self.frames.popleft()


class Sender:
    """Sends messages one at a time over one connection, reconnecting when it must."""

    def __init__(self, config: SendConfig) -> None:
        self.config = config
        self._link: _Link | None = None
        self._context: ssl.SSLContext | None = None
        if config.tls:
            self._context = ssl.create_default_context(cafile=config.tls_ca)
            if config.tls_cert:
                self._context.load_cert_chain(config.tls_cert, config.tls_key)
        self.sends = 0
        """Frames written to connections so far, resends included."""

    async def _connect(self) -> _Link:
        if self._link is None:
            async with asyncio.timeout(self.config.connect_timeout or None):
                reader, writer = await asyncio.open_connection(
                    self.config.host,
                    self.config.port,
                    ssl=self._context,
                    server_hostname=(self.config.tls_server_name or self.config.host)
                    if self._context
                    else None,
                    limit=1 << 16,
                )
            self._link = _Link(reader, writer)
        return self._link

    async def close(self) -> None:
        """Close the connection, if one is open."""
        if self._link is not None:
            link, self._link = self._link, None
            await link.close()

    async def send(
        self, message: Outgoing, *, retries: int | None = None, ack_timeout: float | None = None
    ) -> Outcome:
        """Send one message until its ACK arrives or the retries run out.

        ``retries`` and ``ack_timeout`` replace the configuration's for this message.
        """
        config = self.config
        attempts = sends = 0
        delay = config.backoff
        detail = ""
        where = f"{config.host}:{config.port}"
        tries = config.retries if retries is None else retries
        wait = config.ack_timeout if ack_timeout is None else ack_timeout
        quiet = message.accept in ("NE", "ER")
        if quiet:
            # An enhanced-mode receiver answers such a message only to refuse it.
            wait = min(wait, UNCONFIRMED_WAIT)
        while attempts <= tries:
            if attempts:
                await asyncio.sleep(delay)
                delay = min(delay * 2, MAX_BACKOFF)
            attempts += 1
            try:
                link = await self._connect()
            except TimeoutError:
                detail = f"cannot connect to {where}: no connection within {config.connect_timeout:g}s"
            except ssl.SSLError as error:
                detail = f"cannot connect to {where}: TLS: {error.reason or error}"
            except OSError as error:
                detail = f"cannot connect to {where}: {_reason(error)}"
            else:
                try:
                    link.writer.write(mllp.frame(message.data))
                    sends += 1
                    self.sends += 1
                    await link.writer.drain()
                    code, reply = await self._await_ack(link, message, wait)
                except TimeoutError:
                    if quiet:
                        return Outcome(
                            message,
                            None,
                            attempts,
                            f"MSH-15 {message.accept} asks for no answer on success; none within {wait:g}s",
                            sends,
                            unconfirmed=True,
                        )
                    detail = f"no ACK for control id {message.control_id!r} within {wait:g}s"
                except ssl.SSLError as error:
                    detail = f"the connection failed: TLS: {error.reason or error}"
                except OSError as error:
                    detail = _broken(error)
                else:
                    return Outcome(message, code, attempts, sends=sends, reply=reply)
                await self.close()
            log.warning("%s message %d: %s", message.source, message.index, detail)
        return Outcome(message, None, attempts, detail, sends)

    async def _await_ack(self, link: _Link, message: Outgoing, wait: float) -> tuple[str, bytes]:
        """The code and payload of the ACK whose MSA-2 is the message's control id.

        Raises TimeoutError after ``wait`` seconds.
        """
        async with asyncio.timeout(wait):
            while True:
                payload = await link.next_frame()
                fields = parse_ack(
                    payload, self.config.encoding, rewrite_delimiters=self.config.rewrite_delimiters
                )
                if fields is None:
                    log.warning(
                        "ignored a frame without an MSA segment while waiting for %r", message.control_id
                    )
                    continue
                code, answered = fields
                if answered != message.control_id:
                    log.warning(
                        "ignored an ACK for control id %r while waiting for %r", answered, message.control_id
                    )
                    continue
                return code, payload


def _broken(error: OSError) -> str:
    """Why a connection failed after it was made."""
    if error.errno is None:
        return str(error) or "the connection failed"
    return f"the connection failed: {os.strerror(error.errno)}"


def _reason(error: OSError) -> str:
    """An ``OSError`` in a few words: the system's text for its number, or its own text, never ""."""
    if error.errno is not None:
        return os.strerror(error.errno)
    return str(error) or type(error).__name__


async def send_all(config: SendConfig, files: Sequence[str]) -> Summary:
    """Send every message of ``files`` in order over one connection; return the summary.

    A folder among ``files`` stands for every ``*.hl7`` and ``*.json`` file
    below it, in sorted order.
    """
    summary = Summary()
    sender = Sender(config)
    problems: list[str] = []
    inputs = find_sources(files, (".hl7", ".json"), standard_input=False)
    for folder in inputs.empty:
        problems.append(f"{folder}: no *.hl7 or *.json files in this folder")
        log.error("%s", problems[-1])
    for folder, note in inputs.left_out:
        log.warning("%s: %s", folder, note)
    try:
        for source in inputs.sources:
            name = source.label
            messages = messages_of(
                name,
                encoding=config.encoding,
                problems=problems,
                rewrite_delimiters=config.rewrite_delimiters,
            )
            while True:
                # The file is split lazily: a read error can come after some messages went.
                try:
                    message = next(messages)
                except StopIteration:
                    break
                except OSError as error:
                    problems.append(f"{name}: {io_error_text(error)}")
                    log.error("%s", problems[-1])
                    break
                except Exception as error:
                    problems.append(f"{name}: {error}")
                    log.error("%s", problems[-1])
                    break
                summary.count(await sender.send(message))
    finally:
        await sender.close()
    summary.input_problems = len(problems)
    return summary


def run_send(options: argparse.Namespace) -> int:
    """The handler of ``brenvolt send``: 0 when every message got AA, 1 otherwise."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("brenvolt send: %(message)s"))
    log.addHandler(handler)
    log.setLevel(logging.WARNING if not options.quiet else logging.ERROR)
    log.propagate = False
    problem = connection_problem(options)
    if problem is not None:
        print(f"brenvolt send: {problem}", file=sys.stderr)
        return 2
    config = connection_config(
        options, options.host, options.port, options.encoding, not options.no_delimiter_rewrite
    )
    try:
        summary = asyncio.run(send_all(config, options.files))
    except (ssl.SSLError, LookupError, ValueError) as error:
        print(f"brenvolt send: {error}", file=sys.stderr)
        return 1
    print(summary.line(), flush=True)
    return 0 if summary.ok else 1


def _names(prefix: str) -> tuple[str, str]:
    """(option prefix, attribute prefix) for a set of connection options: ``--forward-`` and ``forward_``."""
    return f"--{prefix}", prefix.replace("-", "_")


def add_connection_arguments(
    parser: argparse.ArgumentParser | argparse._ArgumentGroup,
    prefix: str = "",
    *,
    where: str = "the receiver",
) -> None:
    """The options of a connection to a receiver: timeouts, retries, backoff and TLS.

    ``prefix`` goes before each name (``forward-`` gives ``--forward-ack-timeout``
    and ``options.forward_ack_timeout``); ``connection_config`` reads them back.
    """
    option, _ = _names(prefix)
    parser.add_argument(
        f"{option}connect-timeout",
        type=option_types.seconds,
        default=DEFAULT_TIMEOUT,
        metavar="SECONDS",
        help=f"give up a connection attempt to {where} after this long (default: 10)",
    )
    parser.add_argument(
        f"{option}ack-timeout",
        type=option_types.seconds,
        default=DEFAULT_TIMEOUT,
        metavar="SECONDS",
        help="wait this long for each ACK, then reconnect and send again (default: 10)",
    )
    parser.add_argument(
        f"{option}retries",
        type=option_types.count,
        default=DEFAULT_RETRIES,
        metavar="N",
        help="send a message at most N more times after a failed connection or a missing ACK (default: 5)",
    )
    parser.add_argument(
        f"{option}backoff",
        type=option_types.seconds,
        default=DEFAULT_BACKOFF,
        metavar="SECONDS",
        help="first wait before a retry; doubled each time, at most 30 (default: 0.5)",
    )
    parser.add_argument(
        f"{option}tls",
        action="store_true",
        help=f"connect to {where} with TLS, checking its certificate against the system's authorities",
    )
    parser.add_argument(
        f"{option}tls-ca", metavar="FILE", help=f"trust this PEM certificate authority (implies {option}tls)"
    )
    parser.add_argument(
        f"{option}tls-server-name",
        metavar="NAME",
        help="name the certificate must carry (default: the host connected to)",
    )
    parser.add_argument(
        f"{option}tls-cert",
        metavar="FILE",
        help=f"present this PEM client certificate, for receivers that require one (implies {option}tls)",
    )
    parser.add_argument(
        f"{option}tls-key",
        metavar="FILE",
        help="the client certificate's PEM private key (default: in the certificate file)",
    )


def connection_problem(options: argparse.Namespace, prefix: str = "") -> str | None:
    """What is wrong with the connection options ``add_connection_arguments`` added, or None."""
    option, attribute = _names(prefix)
    if getattr(options, f"{attribute}tls_key") and not getattr(options, f"{attribute}tls_cert"):
        return f"{option}tls-key needs {option}tls-cert"
    return None


def connection_config(
    options: argparse.Namespace,
    host: str,
    port: int,
    encoding: str,
    rewrite_delimiters: bool,
    prefix: str = "",
) -> SendConfig:
    """The ``SendConfig`` of the options ``add_connection_arguments`` added (with the same ``prefix``)."""
    _, attribute = _names(prefix)

    def value(name: str) -> typing.Any:
        return getattr(options, f"{attribute}{name}")

    return SendConfig(
        host=host,
        port=port,
        connect_timeout=value("connect_timeout"),
        ack_timeout=value("ack_timeout"),
        retries=value("retries"),
        backoff=value("backoff"),
        encoding=encoding,
        tls=value("tls") or value("tls_ca") is not None or value("tls_cert") is not None,
        tls_ca=value("tls_ca"),
        tls_server_name=value("tls_server_name"),
        tls_cert=value("tls_cert"),
        tls_key=value("tls_key"),
        rewrite_delimiters=rewrite_delimiters,
    )


def add_send_arguments(parser: argparse.ArgumentParser) -> None:
    """Add ``brenvolt send``'s arguments to ``parser`` and set its handler."""
    parser.add_argument(
        "files",
        nargs="+",
        metavar="FILE",
        help="HL7 files (split into messages), JSON record files (*.json), or folders: every *.hl7 "
        "and *.json file below them",
    )
    parser.add_argument("--host", required=True, help="the receiver's address")
    parser.add_argument("--port", type=int, required=True, help="the receiver's port")
    add_connection_arguments(parser)
    parser.add_argument(
        "--encoding",
        type=option_types.encoding,
        default="utf-8",
        help="how JSON records are encoded and ACKs decoded (default: utf-8); HL7 files go as they are",
    )
    parser.add_argument(
        "--no-delimiter-rewrite",
        action="store_true",
        help="read MSH-9 and MSH-10 of each message, and the ACKs, in | ^ ~ \\ & only, whatever "
        "delimiters their headers declare (messages are always sent as they are written)",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="log only failures")
    parser.set_defaults(handler=run_send)


DESCRIPTION: Final = (
    "Send the HL7 messages of FILEs over MLLP, one at a time, each waiting for the ACK "
    "whose MSA-2 matches its MSH-10. Prints a summary; the exit status is 0 only when "
    "every message got AA."
)


def add_send_command(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Add the ``send`` sub-command, with all its options, to a ``brenvolt`` sub-parser set."""
    parser = commands.add_parser("send", help="send HL7 messages over MLLP", description=DESCRIPTION)
    add_send_arguments(parser)


def main(argv: Sequence[str] | None = None) -> int:
    """Run ``brenvolt send`` with ``argv`` (``python -m brenvolt_feeds.send ARGS``)."""
    parser = argparse.ArgumentParser(prog="brenvolt send", description=DESCRIPTION)
    add_send_arguments(parser)
    options = parser.parse_args(argv)
    handler: Callable[[argparse.Namespace], int] = options.handler
    return handler(options)


if __name__ == "__main__":
    sys.exit(main())
