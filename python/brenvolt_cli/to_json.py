"""``brenvolt to-json``: HL7 messages to their segment records in JSON."""

from __future__ import annotations

import argparse
import json
import os
from collections.abc import Callable
from pathlib import Path

from brenvolt import Hl7Json
from brenvolt_feeds.inputs import Source, find_sources
from brenvolt_feeds.split import Message

from .arguments import add_common, add_delimiter_rewrite, add_encoding, add_outputs
from .output import Output, TargetFile, make_progress, open_output
from .reading import Input, decode, readable, report_inputs


def to_json(options: argparse.Namespace) -> int:
    inputs = find_sources(options.files, (".hl7",))
    sources = inputs.sources
    several_inputs = len(options.files) > 1 or any(os.path.isdir(name) for name in options.files)
    progress = make_progress(options, len(sources))
    failed = report_inputs(inputs, "*.hl7", progress)
    flags = {
        "validation_enabled": options.validate or options.strict,
        "strict_validation": options.strict,
        "escaping_enabled": not options.no_escaping,
    }
    rewrite = not options.no_delimiter_rewrite

    def records_of(message: Message) -> list[dict[str, str]]:
        return Hl7Json(readable(decode(message, options.encoding), rewrite), **flags).hl7_json

    def convert(source: Source, out: Output | None) -> bool:
        """Writes the records of every message of ``source``: to ``out``, or to
        its own file under ``--output-dir`` when ``out`` is None. Returns
        whether anything failed."""
        reader = Input(source, progress.error)
        failed = False
        target: TargetFile | None = None
        write: Callable[[bytes], None]
        messages = reader.messages()
        try:
            for message, several in messages:
                lines = options.lines or several or (several_inputs and out is not None)
                if out is not None:
                    write = out.write
                else:
                    if target is None:
                        suffix = ".jsonl" if lines else ".json"
                        target = TargetFile(Path(options.output_dir) / source.relative.with_suffix(suffix))
                    write = target.write
                label = reader.label(message, several)
                try:
                    records = records_of(message)
                except Exception as error:  # brenvolt raises plain Exception; decode ValueError
                    failed = True
                    progress.error(label, str(error))
                    if lines:
                        entry = {"file": source.label, "index": message.index, "error": str(error)}
                        write(json.dumps(entry, ensure_ascii=False).encode("utf-8") + b"\n")
                    continue
                if lines:
                    entry = {"file": source.label, "index": message.index, "records": records}
                    text = json.dumps(entry, ensure_ascii=False)
                else:
                    text = json.dumps(records, ensure_ascii=False, indent=options.indent)
                write(text.encode("utf-8") + b"\n")
            if target is not None:
                target.close()
        except OSError as error:
            # Only a file under --output-dir raises OSError here: reading errors
            # are the input's own, and standard output or -o raise OutputError.
            failed = True
            progress.error(str(target.path) if target else source.label, error.strerror or str(error))
        finally:
            messages.close()
            if target is not None:
                target.abandon()  # the failure that got here is reported already
        return failed or reader.failed

    seen: set[Path] = set()
    with open_output(options.output if options.output_dir is None else None, progress) as out:
        for source in sources:
            if options.output_dir is None:
                failed |= convert(source, out)
            elif source.relative.with_suffix("") in seen:
                failed = True
                progress.error(source.label, f"another input already wrote {source.relative.with_suffix('')}")
            else:
                seen.add(source.relative.with_suffix(""))
                failed |= convert(source, None)
            out.flush()
            progress.advance()
    progress.wipe()
    return 1 if failed else 0


def add_to_json_command(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``to-json``, with its options, to the ``brenvolt`` sub-commands."""
    parser = commands.add_parser(
        "to-json",
        help="HL7 messages to JSON records",
        description="Convert HL7 v2 messages to their segment records in JSON. Each input is "
        "cut into its messages (back to back, in batch envelopes or MLLP frames). A single "
        "input holding a single message gives a JSON array of records; otherwise the output "
        'is JSON Lines, one line per message: {"file": NAME, "index": N, "records": [...]}, '
        'or {"file": NAME, "index": N, "error": TEXT} for a message that cannot be decoded '
        "or fails validation (also reported on standard error). With --output-dir, each input "
        "gives NAME.json (an array) when it holds one message and NAME.jsonl when it holds "
        "several. Escape sequences such as \\F\\ and \\X0D\\ are decoded unless "
        "--no-escaping is given. A message whose header declares other delimiters than "
        "| ^ ~ \\ & is read in them unless --no-delimiter-rewrite is given.",
    )
    add_common(parser, "HL7 (*.hl7)")
    add_outputs(parser, "the JSON")
    add_encoding(parser)
    parser.add_argument(
        "--lines",
        action="store_true",
        help="write JSON Lines even for a single input holding a single message "
        "(with --output-dir: NAME.jsonl for every input)",
    )
    parser.add_argument(
        "--indent", type=int, metavar="N", help="indent a JSON array by N spaces (default: one line)"
    )
    parser.add_argument(
        "--no-escaping",
        action="store_true",
        help="keep escape sequences as written (Hl7Json escaping_enabled=False)",
    )
    parser.add_argument(
        "--validate",
        action="store_true",
        help="refuse messages that break the structural rules (Hl7Json validation_enabled=True)",
    )
    parser.add_argument(
        "--strict",
        action="store_true",
        help="with --validate, also require a known version in MSH-12 and three components "
        "in MSH-9, two for versions 2.1 to 2.3 (Hl7Json strict_validation=True); implies --validate",
    )
    add_delimiter_rewrite(parser)
    parser.set_defaults(handler=to_json)
