"""Native help for brenvolt listen: the part-file line of a message, written by brenvolt's core."""

def part_line(
    received: str, peer: str, control_id: str, sha256: str, payload: bytes, escaping: bool, /
) -> bytes | None:
    """The part-file line of a message, or None when payload is not UTF-8.

    The JSON object {"received", "peer", "control_id", "sha256", "records", "raw"} and a newline,
    with the records Hl7Json makes of payload (escape sequences decoded when escaping is true)
    and payload in base64.
    """
