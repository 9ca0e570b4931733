"""Enhanced acknowledgement mode: MSH-15 decides whether a commit acknowledgement (CA, CE, CR) goes back.

The receiver's connection runs in process on scripted reads (``drive_connection``);
every message is stored or rejected whatever MSH-15 says, and the connection
goes on after a message that asked for no answer.
"""

from __future__ import annotations

import asyncio
from pathlib import Path

import hl7
import pytest
from mllp_support import CR, FS, VT, ack_fields, adt, drive_connection, frame

from brenvolt_feeds import ack
from brenvolt_feeds.listen import ListenConfig, Receiver
from brenvolt_feeds.store import Kind, read_lines


def with_accept(control: str, accept: str, *, good: bool = True, delimiters: str = "|^~\\&") -> bytes:
    """An ADT whose MSH-15 is ``accept`` (MSH-16 AL, which the receiver never answers), in the given
    delimiters; ``good`` False gives one that does not decode as UTF-8 (AE)."""
    field, component, repetition, escape, sub = delimiters
    header = field.join(
        ["MSH", delimiters[1:], "S", "F", "R", "RF", "20261208", "", component.join(["ADT", "A01"]), control, "P", "2.5", "", "", accept, "AL"]
    )
    # A byte that is not UTF-8 makes the message one the receiver cannot read: AE.
    return f"{header}\rPID{field}1\r".encode() + (b"" if good else b"NTE|1||\xff\r")


def serve(folder: Path, payloads: list[bytes], **options: object) -> tuple[list[tuple[str, str]], Receiver]:
    """Deliver the frames one by one, each after the one before was settled; the answers and the receiver."""
    receiver = Receiver(ListenConfig(out=str(folder), fsync=False, **options))  # type: ignore[arg-type]

    async def scenario() -> bytes:
        store = await receiver.open_store()
        try:
            return await drive_connection(receiver, [frame(payload) for payload in payloads])
        finally:
            await store.close()

    written = asyncio.run(scenario())
    answers = [ack_fields(piece[1:]) for piece in written.split(FS + CR) if piece.startswith(VT)]
    return answers, receiver


# MSH-15, whether the message converts, and the answer due (None: none).
CASES = [
    ("", True, "AA"),
    ("", False, "AE"),
    ("AL", True, "CA"),
    ("AL", False, "CE"),
    ("NE", True, None),
    ("NE", False, None),
    ("ER", True, None),
    ("ER", False, "CE"),
    ("SU", True, "CA"),
    ("SU", False, None),
    (" su ", True, "CA"),
    ("XX", True, "CA"),  # outside table 0155: answered as AL
]


class TestConditions:
    @pytest.mark.parametrize(("accept", "good", "due"), CASES, ids=[f"{a.strip() or 'empty'}-{'ok' if g else 'error'}" for a, g, _ in CASES])
    def test_answer_and_storage(self, tmp_path: Path, accept: str, good: bool, due: str | None) -> None:
        answers, receiver = serve(tmp_path, [with_accept("ENH", accept, good=good), adt("NEXT")])
        expected = [("AA", "NEXT")] if due is None else [(due, "ENH"), ("AA", "NEXT")]
        assert answers == expected
        # Stored (or rejected) either way; the connection went on to the next message.
        stored = [line["control_id"] for line in read_lines(tmp_path)]
        assert stored == (["ENH", "NEXT"] if good else ["NEXT"])
        assert len(list(read_lines(tmp_path, Kind.REJECTS))) == (0 if good else 1)
        assert receiver.counters.unanswered_by_request == (due is None)

    def test_validation_refusal_is_cr(self, tmp_path: Path) -> None:
        broken = b"MSH|^~\\&|S|F|R|RF|20261208||ADT^A01|NOVERSION|P||||AL\rPID|1\r"
        answers, receiver = serve(tmp_path, [broken], strict=True, validate=True)
        assert answers == [("CR", "NOVERSION")]
        assert receiver.counters.refusals == 1

    def test_duplicate_is_answered_as_the_first_copy(self, tmp_path: Path) -> None:
        message = with_accept("TWICE", "AL")
        answers, receiver = serve(tmp_path, [message, message])
        assert answers == [("CA", "TWICE"), ("CA", "TWICE")]
        assert (receiver.counters.stored, receiver.counters.duplicates) == (1, 1)

    def test_original_mode_answers_every_message(self, tmp_path: Path) -> None:
        payloads = [with_accept("NE-1", "NE"), with_accept("AL-1", "AL"), with_accept("ER-1", "ER", good=False)]
        answers, _ = serve(tmp_path, payloads, original_mode=True)
        assert answers == [("AA", "NE-1"), ("AA", "AL-1"), ("AE", "ER-1")]

    @pytest.mark.parametrize(("accept", "good", "due"), [("AL", True, "CA"), ("ER", False, "CE"), ("NE", True, None)], ids=["al", "er-error", "ne"])
    def test_other_delimiters_answered_in_them(self, tmp_path: Path, accept: str, good: bool, due: str | None) -> None:
        payload = with_accept("VISTA-E", accept, good=good, delimiters="^~|\\&")
        answers, _ = serve(tmp_path, [payload, adt("AFTER")])
        assert answers == ([(due, "VISTA-E")] if due else []) + [("AA", "AFTER")]

    def test_commit_ack_reads_as_hl7(self, tmp_path: Path) -> None:
        receiver = Receiver(ListenConfig(out=str(tmp_path), fsync=False))
        reply = receiver.take(with_accept("READ-ME", "AL", good=False), "peer").frame
        assert reply is not None
        message = hl7.parse(reply[1:-2].decode())
        assert str(message.segment("MSA")[1]) == "CE"
        assert str(message.segment("MSH")[9]) == "ACK^A01^ACK"
        assert message.segment("ERR") is not None


class TestReadingMsh15:
    @pytest.mark.parametrize(
        ("message", "accept"),
        [
            ("MSH|^~\\&|S|F|R|RF|x||ADT^A01|1|P|2.5|||AL|NE\r", "AL"),
            ("MSH|^~\\&|S|F|R|RF|x||ADT^A01|1|P|2.5|||ne\r", "NE"),
            ("MSH|^~\\&|S|F|R|RF|x||ADT^A01|1|P|2.5|||\r", ""),
            ("MSH|^~\\&|S|F|R|RF|x||ADT^A01|1|P|2.5\r", ""),
            ("MSH^~|\\&^S^F^R^RF^x^^ADT~A01^1^P^2.5^^^SU\r", "SU"),
            ("MSH|^~\\&|S|F|R|RF|x||ADT^A01|1|P|2.5|||?\r", "AL"),
            ("no header at all", ""),
        ],
        ids=["al", "lower-case", "empty", "absent", "declared-delimiters", "unknown", "no-header"],
    )
    def test_accept_acknowledgement(self, message: str, accept: str) -> None:
        assert ack.accept_acknowledgement(message) == accept

    @pytest.mark.parametrize(("accept", "good", "due"), CASES, ids=[f"{a.strip() or 'empty'}-{'ok' if g else 'error'}" for a, g, _ in CASES])
    def test_commit_answer_table(self, accept: str, good: bool, due: str | None) -> None:
        assert ack.commit_answer(ack.accept_type(accept), "AA" if good else "AE") == due

    @pytest.mark.parametrize("code", ["CA", "CE", "CR"])
    def test_build_ack_writes_commit_codes(self, code: str) -> None:
        text = ack.build_ack("MSH|^~\\&|S|F|R|RF|x||ADT^A01|C9|P|2.5|||AL\rPID|1\r", code, "why")  # type: ignore[arg-type]
        message = hl7.parse(text)
        assert (str(message.segment("MSA")[1]), str(message.segment("MSA")[2])) == (code, "C9")
        assert (code == "CA") == ("ERR" not in [str(segment[0]) for segment in message])
