"""Native help for brenvolt listen, written by brenvolt's core.

The part-file line of a message, and the ACK of a plainly written header.
"""

def part_line(
    received: str, peer: str, control_id: str, sha256: str, payload: bytes, escaping: bool, /
) -> bytes | None:
    """The part-file line of a message, or None when payload is not UTF-8.

    The JSON object {"received", "peer", "control_id", "sha256", "records", "raw"} and a newline,
    with the records Hl7Json makes of payload (escape sequences decoded when escaping is true)
    and payload in base64.
    """

def plain_ack_frame(
    header: str, code: str, stamp: str, control_id: str, default_version: str, /
) -> bytes | None:
    """The MLLP frame of the AA or CA (code) of a plainly written header, or None.

    header is the message's first line without its line end; stamp and control_id become MSH-7
    and MSH-10 (letters and digits), default_version MSH-12 when the header has none. None when
    the header is not written plainly (MSH|^~\\& and printable ASCII without space, \\, & and ~)
    or is an acknowledgement's: its ACK is then built from its records.
    """
