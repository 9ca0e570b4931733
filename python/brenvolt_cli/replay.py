"""``brenvolt replay``: send the messages a listener stored again, to any MLLP receiver.

    brenvolt replay feed/ --to 127.0.0.1:2576
    brenvolt replay feed/ --to 127.0.0.1:2576 --since 2026-12-08T12:00:00+01:00
    brenvolt replay feed/ --to 127.0.0.1:2576 --since 2h --dead-letters

It reads the part files of a ``brenvolt listen`` directory (or with
``--dead-letters`` its dead-letter files), oldest first, and sends every
message received at ``--since`` or later with ``brenvolt send``'s machinery:
one at a time, each waiting for the ACK whose MSA-2 matches, reconnecting
with backoff. A message goes as it arrived (the line's ``raw`` bytes, or its
records written again when the line has none); stored acknowledgements are
left out. The summary and the exit status are ``send``'s.
"""

from __future__ import annotations

import argparse
import asyncio
import datetime
import logging
import os
import ssl
import sys

import orjson

from brenvolt_feeds import ack
from brenvolt_feeds import options as option_types
from brenvolt_feeds.forward import message_bytes, since_value, stored_messages
from brenvolt_feeds.inputs import io_error_text
from brenvolt_feeds.monitor import parse_address
from brenvolt_feeds.send import (
    Outgoing,
    SendConfig,
    Sender,
    Summary,
    add_connection_arguments,
    connection_config,
    connection_problem,
)
from brenvolt_feeds.store import Kind

from .output import PROGRAM

log = logging.getLogger("brenvolt.send")


async def replay(
    config: SendConfig, directory: str, kind: Kind, since: datetime.datetime | None
) -> tuple[Summary, int]:
    """Send every stored message of ``directory``; return the summary and the acknowledgements left out.

    A line that cannot be sent (no bytes, records that do not write) counts
    as an input problem; a file that cannot be read ends the run with one.
    """
    summary = Summary()
    left_out = 0
    sender = Sender(config)
    try:
        for stored in stored_messages(directory, kind=kind, since=since):
            label = f"{stored.path.name} line {stored.line_number + 1}"
            try:
                data = message_bytes(stored.value, config.encoding)
            except Exception as error:
                summary.input_problems += 1
                log.error("%s: cannot be sent: %s", label, error)
                continue
            text = data.decode(config.encoding, "replace")
            if ack.is_acknowledgement(text):
                left_out += 1
                continue
            message = Outgoing(
                stored.path.name,
                stored.line_number,
                data,
                ack.control_id(text),
                ack.accept_acknowledgement(text),
            )
            summary.count(await sender.send(message))
    except OSError as error:
        summary.input_problems += 1
        log.error("%s: %s", directory, io_error_text(error))
    except orjson.JSONDecodeError as error:
        summary.input_problems += 1
        log.error("%s: a line that is not JSON: %s", directory, error)
    finally:
        await sender.close()
    return summary, left_out


def run_replay(options: argparse.Namespace) -> int:
    """The handler of ``brenvolt replay``: 0 when every message got AA, 1 otherwise, 2 for bad options."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter(f"{PROGRAM} replay: %(message)s"))
    log.addHandler(handler)
    log.setLevel(logging.WARNING if not options.quiet else logging.ERROR)
    log.propagate = False
    problem = connection_problem(options)
    if problem is None and not os.path.isdir(options.directory):
        problem = f"{options.directory}: not a folder"
    if problem is not None:
        print(f"{PROGRAM} replay: {problem}", file=sys.stderr)
        return 2
    host, port = options.to
    config = connection_config(options, host, port, options.encoding, True)
    kind = Kind.DEAD if options.dead_letters else Kind.PART
    try:
        summary, left_out = asyncio.run(replay(config, options.directory, kind, options.since))
    except (ssl.SSLError, LookupError, ValueError) as error:
        print(f"{PROGRAM} replay: {error}", file=sys.stderr)
        return 1
    if left_out:
        print(f"{PROGRAM} replay: left out {left_out} stored acknowledgements", file=sys.stderr)
    print(summary.line(), flush=True)
    return 0 if summary.ok else 1


def _address(text: str) -> tuple[str, int]:
    try:
        return parse_address(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _since(text: str) -> datetime.datetime:
    try:
        return since_value(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def add_replay_command(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``replay``, with its options, to the ``brenvolt`` sub-commands."""
    parser = commands.add_parser(
        "replay",
        help="send the messages a listener stored again",
        description="Send the messages stored in a brenvolt listen directory (its part files, oldest "
        "first) to an MLLP receiver, one at a time, each waiting for its ACK, as brenvolt send does. "
        "Every message goes as it arrived. Prints send's summary; the exit status is 0 only when "
        "every message got AA.",
    )
    parser.add_argument("directory", metavar="DIR", help="the --out folder of brenvolt listen")
    parser.add_argument(
        "--to", required=True, type=_address, metavar="HOST:PORT", help="the receiver to send to"
    )
    parser.add_argument(
        "--since",
        type=_since,
        metavar="TIME",
        help="only messages received at TIME or later: an ISO 8601 time (UTC without an offset; a "
        "date alone is its midnight) or an age counted back from now (30s, 90m, 2h, 1d)",
    )
    parser.add_argument(
        "--dead-letters",
        action="store_true",
        help="send the messages a downstream receiver refused (dead-*.jsonl) instead of the part files",
    )
    add_connection_arguments(parser)
    parser.add_argument(
        "--encoding",
        type=option_types.encoding,
        default="utf-8",
        help="how ACKs are decoded and records without raw bytes encoded (default: utf-8)",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="log only failures")
    parser.set_defaults(handler=run_replay)
