"""``brenvolt validate``: HL7 messages checked against brenvolt's structural rules, one line per message."""

from __future__ import annotations

import argparse
from contextlib import closing

from brenvolt import Hl7Json
from brenvolt_feeds.inputs import find_sources
from brenvolt_feeds.split import Message

from .arguments import add_common, add_delimiter_rewrite, add_encoding
from .output import Output, make_progress, open_output
from .reading import Input, decode, readable, report_inputs


def validate(options: argparse.Namespace) -> int:
    inputs = find_sources(options.files, (".hl7",))
    progress = make_progress(options, len(inputs.sources))
    failed = report_inputs(inputs, "*.hl7", progress)
    rewrite = not options.no_delimiter_rewrite

    def check(out: Output, label: str, message: Message) -> bool:
        """Prints the verdict on one message; returns whether it failed."""
        try:
            text = readable(decode(message, options.encoding), rewrite)
        except ValueError as error:
            # Not readable in the encoding: an error, not a verdict.
            progress.error(label, str(error))
            return True
        try:
            Hl7Json(text).validate(options.strict, options.required_fields)
        except Exception as error:  # brenvolt raises plain Exception
            out.write(f"{label}: {' '.join(str(error).splitlines())}\n".encode())
            out.flush()
            return True
        if not options.quiet:
            out.write(f"{label}: ok\n".encode())
            out.flush()
        return False

    with open_output(None, progress) as out:
        for source in inputs.sources:
            reader = Input(source, progress.error)
            with closing(reader.messages()) as messages:
                for message, several in messages:
                    failed |= check(out, reader.label(message, several), message)
            failed |= reader.failed
            progress.advance()
    progress.wipe()
    return 1 if failed else 0


def add_validate_command(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``validate``, with its options, to the ``brenvolt`` sub-commands."""
    parser = commands.add_parser(
        "validate",
        help="check HL7 messages, one line per message",
        description="Check HL7 v2 messages against brenvolt's structural rules (MSH first with "
        "MSH-2 to MSH-12, four encoding characters, a version and a message type, a PID "
        "segment, three-character segment names, no field over 65536 bytes). Prints one line "
        'per message: "FILE: ok" or "FILE: " and the first broken rule for a file of one '
        'message, "FILE#N: ok" or "FILE#N: RULE" (N counted from 0) for each message of a '
        "file of several. Files that cannot be read, messages that cannot be decoded and "
        'skipped bytes are reported on standard error as "brenvolt: FILE: ...". The exit '
        "status is 1 when anything fails. A message whose header declares other delimiters "
        "than | ^ ~ \\ & is checked as read in them unless --no-delimiter-rewrite is given.",
    )
    add_common(parser, "HL7 (*.hl7)")
    add_encoding(parser)
    parser.add_argument(
        "--strict",
        action="store_true",
        help="also require a known version (2.1 to 2.9) in MSH-12 and three components in MSH-9 "
        "(two for versions 2.1 to 2.3)",
    )
    parser.add_argument(
        "--required-fields",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="require a PID segment (default: on)",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="print only the messages that fail")
    add_delimiter_rewrite(parser)
    parser.set_defaults(handler=validate)
