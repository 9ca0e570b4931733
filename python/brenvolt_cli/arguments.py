"""The options several commands share, each added to a command's parser by one function."""

from __future__ import annotations

import argparse

from brenvolt_feeds import options as option_types


def add_common(parser: argparse.ArgumentParser, kind: str) -> None:
    """The input files (or folders) and ``--progress``."""
    parser.add_argument(
        "files",
        nargs="*",
        metavar="FILE",
        help=f"{kind} files or folders (default: standard input)",
    )
    parser.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="show a progress bar on standard error (default: when converting several files at a terminal)",
    )


def add_outputs(parser: argparse.ArgumentParser, what: str) -> None:
    """``-o PATH`` or ``-d DIR``."""
    target = parser.add_mutually_exclusive_group()
    target.add_argument(
        "-o", "--output", metavar="PATH", help=f"write {what} to PATH instead of standard output"
    )
    target.add_argument(
        "-d",
        "--output-dir",
        metavar="DIR",
        help="write one file per input into DIR, named after the input "
        "(inputs found in a folder keep their sub-folders)",
    )


def add_encoding(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--encoding",
        type=option_types.encoding,
        default="utf-8",
        metavar="NAME",
        help="character set of the messages: utf-8 (the default), latin-1, cp1252 or any "
        "other that writes ASCII as ASCII; a message that is not valid in it fails",
    )


def add_delimiter_rewrite(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--no-delimiter-rewrite",
        action="store_true",
        help="read every message with the delimiters | ^ ~ \\ &, whatever its header declares "
        "(by default a message whose MSH-1 and MSH-2 declare others is read in them)",
    )
