"""Fast, exact conversion of HL7 version 2 messages into Python records and back.

``Hl7Json`` turns the text of one message into a list of segment records, one
dict of str to str per segment line; ``JsonHl7`` turns such records back into
HL7 text. A record's key ``"segment_name"`` holds the segment's name; the other
keys name positions: ``"5"`` is field 5, ``"5.1"`` its first component,
``"3[1]"`` the second repetition of field 3 and ``"3[1].4"`` that repetition's
fourth component. Fields count from 1 after the segment name, so in an MSH
record key ``"1"`` is MSH-2 and key ``"8"`` is MSH-9.

Every failure that brenvolt itself detects is raised as the built-in
``Exception`` (not a subclass) with the message as its one argument; wrong
argument types raise ``TypeError`` naming the argument.
"""

from collections.abc import Sequence
from typing import final

__all__ = ["Hl7Json", "JsonHl7"]

@final
class Hl7Json:
    """One HL7 v2 message, read into segment records on request.

    ``Hl7Json(hl7_string, validation_enabled=None, strict_validation=None,
    escaping_enabled=None)`` keeps the message text with every line end (CR,
    LF, CR LF or LF CR) turned into one LF. Nothing is checked when the object
    is made; an empty text is accepted.

    Options (``None`` or leaving one out means its default; only ``True`` and
    ``False`` are accepted otherwise, and NumPy booleans):

    - ``validation_enabled`` (default ``False``): check the message's structure
      before every read of ``hl7_json``, without the PID rule;
    - ``strict_validation`` (default ``False``): in those checks, also require a
      supported version id in MSH-12 and three components in MSH-9 (two for
      versions 2.1 to 2.3);
    - ``escaping_enabled`` (default ``True``): decode the escape sequences
      ``\\F\\ \\S\\ \\R\\ \\E\\ \\T\\ \\X0A\\ \\X0D\\ \\X0D0A\\ \\X20\\ \\X09\\``.

    Raises ``TypeError`` when ``hl7_string`` is not a str or an option is
    neither None nor a bool, and ``UnicodeEncodeError`` when the text holds an
    unpaired surrogate. The class cannot be subclassed.
    """

    def __new__(
        cls,
        hl7_string: str,
        validation_enabled: bool | None = None,
        strict_validation: bool | None = None,
        escaping_enabled: bool | None = None,
    ) -> Hl7Json: ...
    @classmethod
    def from_file(
        cls,
        path: str,
        validation_enabled: bool | None = None,
        strict_validation: bool | None = None,
        escaping_enabled: bool | None = None,
    ) -> Hl7Json:
        """Reads the whole file at ``path`` (a str, not a path object) as UTF-8
        text and makes an ``Hl7Json`` of it, with the same options as the
        constructor. Validation, when enabled, runs at the first read of
        ``hl7_json``, not here.

        Raises ``Exception`` with ``"I/O error: ..."`` when the file cannot be
        read (for example ``"I/O error: No such file or directory (os error
        2)"`` or ``"I/O error: stream did not contain valid UTF-8"``), and
        ``Exception("HL7 message is empty")`` when the file holds only white
        space. Raises ``TypeError`` for a ``path`` that is not a str.
        """

    @property
    def hl7_string(self) -> str:
        """The message text as stored: every line end turned into one LF.
        Read only."""

    @property
    def validation_enabled(self) -> bool:
        """Whether every read of ``hl7_json`` first checks the message (the
        rules of ``validate`` with this object's strict setting and without
        the PID rule). Assigning anything but a bool raises ``TypeError``;
        deleting raises ``AttributeError``."""

    @validation_enabled.setter
    def validation_enabled(self, value: bool) -> None: ...
    @property
    def strict_validation(self) -> bool:
        """Whether this object's checks also require a supported version id
        in MSH-12, its first component (2.1, 2.2, 2.3, 2.3.1, 2.4, 2.5, 2.5.1,
        2.6, 2.7, 2.7.1, 2.8, 2.8.1, 2.8.2 or 2.9), and at least three
        components in MSH-9 (two for versions 2.1 to 2.3). Also the default of
        ``validate(None, ...)``. Assigning anything but a bool raises
        ``TypeError``."""

    @strict_validation.setter
    def strict_validation(self, value: bool) -> None: ...
    @property
    def escaping_enabled(self) -> bool:
        """Whether ``hl7_json`` decodes escape sequences. Unknown sequences keep
        their opening backslash; a decoded ``^`` splits a field into
        components. Assigning anything but a bool raises ``TypeError``."""

    @escaping_enabled.setter
    def escaping_enabled(self, value: bool) -> None: ...
    @property
    def hl7_json(self) -> list[dict[str, str]]:
        """The segment records of the message: one dict per line of
        ``hl7_string``, empty lines before and between segments included, but
        none for the empty lines after the last segment (the CR that ends it,
        blank lines after it); a text without a line of text keeps them all,
        so ``""`` gives ``[{"segment_name": ""}]``. Each dict's keys
        come in ascending byte order. Built afresh, as a new list, on every
        read. Read only.

        With ``validation_enabled`` on, raises ``Exception`` with the first
        broken rule's message, such as ``"Missing required segment: MSH
        (Message Header)"``, and returns nothing.
        """

    def validate(self, strict_mode: bool | None, validate_required_fields: bool | None) -> None:
        """Checks the message and returns None, or raises ``Exception`` with
        the first broken rule's message. Both arguments must be given; each
        may be None.

        - ``strict_mode``: also require a supported version id in MSH-12 and
          three components in MSH-9 (``ADT^A01^ADT_A01``; two for versions 2.1
          to 2.3); None means this object's
          ``strict_validation``;
        - ``validate_required_fields``: require a PID segment; None means True.

        The rules, in order: the first segment is MSH; MSH carries MSH-2 to
        MSH-12; MSH-2 is exactly four bytes; MSH-12 is present (and supported,
        in strict mode); MSH-9 is present (with three components, in strict
        mode); a PID segment is present (when required); every segment name is
        a letter and two letters or digits, no line between segments is empty,
        and no field or component exceeds 65536 bytes. Empty lines after the
        last segment are not checked. Example messages: ``"HL7 validation
        failed: MSH segment must have at least 12 fields"``, ``"Missing
        required segment: PID (Patient Identification)"``.

        Raises ``TypeError`` when an argument is missing or is neither None
        nor a bool.
        """

    def _convert_hl7_to_json(self) -> list[dict[str, str]]:
        """The same as reading ``hl7_json``."""

    def _split_hl7_seg_to_json(self, seg: str) -> dict[str, str]:
        """The record of ``seg`` taken as one segment line, escape sequences
        kept as written whatever ``escaping_enabled`` says. Line ends inside
        ``seg`` stay in the field text; nothing is validated."""

    def _split_hl7_seg_to_json_with_escaping(self, seg: str) -> dict[str, str]:
        """As ``_split_hl7_seg_to_json``, but escape sequences are always
        decoded, whatever ``escaping_enabled`` says."""

@final
class JsonHl7:
    """Segment records turned back into HL7 v2 text.

    ``JsonHl7(json_data)`` takes a list or tuple of dicts of str to str, such
    as ``Hl7Json.hl7_json`` gives (or edited ones), and copies them in; the
    object never changes afterwards. ``JsonHl7.from_file(path)`` reads them
    from a JSON file instead.

    Raises ``TypeError`` naming ``json_data`` when it is a str, not a sequence,
    or holds an item that is not a dict of str to str.
    """

    def __new__(cls, json_data: Sequence[dict[str, str]]) -> JsonHl7: ...
    @classmethod
    def from_file(cls, path: str) -> JsonHl7:
        """Reads the records from the JSON file at ``path`` (a str): exactly one
        array of objects whose values are strings. When an object names a
        member twice, the later value wins.

        Raises ``Exception`` with ``"I/O error: ..."`` when the file cannot be
        read as UTF-8, ``"HL7 message is empty"`` when it holds only white
        space, and ``"HL7 invalid format: Invalid JSON: "`` followed by what
        was wrong and where for anything else (a top-level object, a number or
        null as a value, comments, trailing commas, ``NaN``, a byte-order mark,
        text after the array). Raises ``TypeError`` for a ``path`` that is not
        a str.
        """

    @property
    def json_data(self) -> list[dict[str, str]]:
        """The records as given, each dict's keys in ascending byte order; a
        new list of new dicts on every read. Read only."""

    @property
    def hl7_string(self) -> str:
        """The HL7 text of the records, built afresh on every read: one line
        per record, joined by LF with nothing after the last. A line is the
        ``segment_name`` value, verbatim, then fields 1, 2, ... joined by
        ``|``, repetitions by ``~`` and components by ``^``; positions no key
        names are written empty and keys that name no position are ignored.
        Every value is escaped (``| ^ ~ & \\``, tab, CR and LF become
        ``\\F\\ \\S\\ \\R\\ \\T\\ \\E\\ \\X09\\ \\X0D\\ \\X0A\\``; a space is
        written as itself), except
        the encoding characters of an ``MSH`` record (field 1, HL7's MSH-2),
        written as they are when they are 4 or 5 characters without ``|``, CR
        or LF and read back to the same entries.

        Raises ``Exception("HL7 encoding error: record N: key '...' names a
        position beyond the limit of 16777216 delimiters per segment line")``
        for a record whose keys imply a line of more than 16,777,216
        delimiters, and ``Exception("HL7 encoding error: record N: key '...'
        brings the delimiters written for positions that no key names to more
        than 16777216 in the message")`` when the gaps keys leave would pass
        that over the whole message. Read only.
        """

    def _convert_json_to_hl7(self) -> str:
        """The same as reading ``hl7_string``."""
