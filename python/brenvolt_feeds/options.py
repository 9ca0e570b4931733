"""Value types for the command-line options of ``brenvolt``: each checks one
option's text and returns its value, or raises
``argparse.ArgumentTypeError`` with a message that says what is wrong, so that
argparse reports it as a wrong command line (exit status 2)."""

from __future__ import annotations

import argparse
import codecs

_PROBE = "MSH|^~\\&\r\n"
_UNITS = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


def encoding(name: str) -> str:
    """A character set Python knows that writes ASCII as ASCII bytes, so that
    messages can be cut and framed on bytes (UTF-16 and UTF-32 cannot)."""
    try:
        codec = codecs.lookup(name)
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {name}") from None
    try:
        ascii_compatible = codec.encode(_PROBE)[0] == _PROBE.encode("ascii")
    except (UnicodeError, TypeError):
        ascii_compatible = False
    if not ascii_compatible:
        raise argparse.ArgumentTypeError(
            f"{name} does not write ASCII as ASCII bytes (UTF-16 and UTF-32 files cannot be read, "
            "and MLLP cannot carry them)"
        )
    return name


def size(text: str) -> int:
    """A byte count of at least 1, with an optional K, M or G suffix (powers of 1024)."""
    cleaned = text.strip().upper().removesuffix("IB").removesuffix("B")
    factor = _UNITS.get(cleaned[-1:], 1)
    number = cleaned[:-1] if cleaned[-1:] in _UNITS else cleaned
    try:
        value = int(float(number) * factor)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (say 512K, 16M, 1G)") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1 byte")
    return value


def count(text: str) -> int:
    """A whole number, 0 or more."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def positive_count(text: str) -> int:
    """A whole number, 1 or more."""
    value = count(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def seconds(text: str) -> float:
    """A number of seconds, 0 or more."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return value
