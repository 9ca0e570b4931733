"""The inputs a command names: files, folders and standard input.

A folder stands for every file below it whose suffix is one of the
command's (in any case: ``.hl7``, ``.HL7``), in sorted order; the files of
other suffixes below it are left out and counted, so that the command can
say so in one line: ``inbox: left out 3 files that are not *.hl7 (2 .txt,
1 without a suffix)``. ``-`` stands for standard input, and so does no
argument at all where a command reads standard input.
"""

from __future__ import annotations

import collections
import dataclasses
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Final

__all__ = [
    "STANDARD_INPUT",
    "STDIN",
    "Inputs",
    "Source",
    "find_sources",
    "io_error_text",
]

STDIN: Final = "-"


@dataclasses.dataclass(frozen=True)
class Source:
    """One input: what the user named (``label``), where it lies relative to the
    folder it was found in (``relative``, used to name output files), and
    whether it is standard input."""

    label: str
    relative: Path
    stdin: bool = False


STANDARD_INPUT: Final = Source("<stdin>", Path("stdin"), stdin=True)


@dataclasses.dataclass
class Inputs:
    """What the arguments stand for, in order."""

    sources: list[Source]
    empty: list[str] = dataclasses.field(default_factory=list)
    """Folders below which no file has one of the suffixes."""
    left_out: list[tuple[str, str]] = dataclasses.field(default_factory=list)
    """(folder, what was left out below it), for folders holding files of other suffixes."""


def find_sources(arguments: Sequence[str], suffixes: Sequence[str], *, standard_input: bool = True) -> Inputs:
    """The inputs named by ``arguments``, in order.

    ``suffixes`` are the lower-case suffixes a folder's files must have
    (``[".hl7"]``). Without any argument the input is standard input when
    ``standard_input`` is true, and nothing otherwise. A path that is not a
    folder is taken as a file, whether it exists or not: reading it reports
    what is wrong.
    """
    if not arguments:
        return Inputs([STANDARD_INPUT] if standard_input else [])
    found = Inputs([])
    for argument in arguments:
        if argument == STDIN and standard_input:
            found.sources.append(STANDARD_INPUT)
        elif os.path.isdir(argument):
            files = sorted(path for path in Path(argument).rglob("*") if path.is_file())
            matching = [path for path in files if path.suffix.lower() in suffixes]
            if not matching:
                found.empty.append(argument)
            others = collections.Counter(
                path.suffix.lower() for path in files if path.suffix.lower() not in suffixes
            )
            if others:
                found.left_out.append((argument, _left_out(others, suffixes)))
            found.sources.extend(Source(str(path), path.relative_to(argument)) for path in matching)
        else:
            found.sources.append(Source(argument, Path(Path(argument).name)))
    return found


def _left_out(counts: collections.Counter[str], suffixes: Sequence[str]) -> str:
    """``left out 3 files that are not *.hl7 (2 .txt, 1 without a suffix)``."""
    total = sum(counts.values())
    wanted = " or ".join(f"*{suffix}" for suffix in suffixes)
    ordered = sorted(counts.items(), key=lambda item: (-item[1], not item[0], item[0]))
    kinds = ", ".join(f"{count} {suffix or 'without a suffix'}" for suffix, count in ordered)
    files = "1 file that is" if total == 1 else f"{total} files that are"
    return f"left out {files} not {wanted} ({kinds})"


def io_error_text(error: OSError) -> str:
    """An ``OSError`` in the words brenvolt's own file reading uses:
    ``I/O error: No such file or directory (os error 2)``."""
    if error.errno is None:
        return f"I/O error: {error}"
    return f"I/O error: {error.strerror} (os error {error.errno})"
