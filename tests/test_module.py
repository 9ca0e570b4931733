"""The module surface: registration, doc strings, signatures and the argument rules."""

from __future__ import annotations

import weakref
from pathlib import Path

import pytest

import brenvolt
from brenvolt import Hl7Json, JsonHl7

FLAGS = ["validation_enabled", "strict_validation", "escaping_enabled"]
HL7JSON_MEMBERS = {
    "hl7_string", "validation_enabled", "strict_validation", "escaping_enabled", "from_file", "_split_hl7_seg_to_json",
    "_split_hl7_seg_to_json_with_escaping", "_convert_hl7_to_json", "hl7_json", "validate",
}


def test_module_holds_the_two_classes_and_nothing_else():
    assert type(brenvolt.__all__) is list and brenvolt.__all__ == ["Hl7Json", "JsonHl7"]
    assert (brenvolt.Hl7Json, brenvolt.JsonHl7) == (Hl7Json, JsonHl7)
    assert {name for name in vars(brenvolt) if not name.startswith("_")} == {"Hl7Json", "JsonHl7"}
    assert type(brenvolt.__doc__) is str and brenvolt.__doc__ == ""
    assert {name for name in vars(Hl7Json) if not (name.startswith("__") and name.endswith("__"))} == HL7JSON_MEMBERS
    assert Hl7Json.from_file.__self__ is Hl7Json and Hl7Json("").from_file.__self__ is Hl7Json


@pytest.mark.parametrize("cls", [Hl7Json, JsonHl7], ids=["Hl7Json", "JsonHl7"])
def test_class_identity_and_no_subclasses(cls):
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_second_import_returns_the_same_module():
    import importlib
    import sys

    original = sys.modules.pop("brenvolt")
    try:
        again = importlib.import_module("brenvolt")
    finally:
        sys.modules["brenvolt"] = original
    assert again is original and again.Hl7Json is Hl7Json


OPTIONAL_FLAGS = "validation_enabled=None, strict_validation=None, escaping_enabled=None"
SIGNATURES = {
    "Hl7Json": (Hl7Json, f"(hl7_string, {OPTIONAL_FLAGS})"),
    "JsonHl7": (JsonHl7, "(json_data)"),
    "_convert_hl7_to_json": (Hl7Json._convert_hl7_to_json, "($self)"),
    "validate": (Hl7Json.validate, "($self, strict_mode, validate_required_fields)"),
    "from_file": (Hl7Json.__dict__["from_file"], f"($cls, path, {OPTIONAL_FLAGS})"),
    "_split_hl7_seg_to_json": (Hl7Json._split_hl7_seg_to_json, "($self, seg)"),
    "_split_hl7_seg_to_json_with_escaping": (Hl7Json._split_hl7_seg_to_json_with_escaping, "($self, seg)"),
}


@pytest.mark.parametrize(("obj", "signature"), SIGNATURES.values(), ids=SIGNATURES.keys())
def test_doc_is_the_call_signature_only(obj, signature):
    assert obj.__text_signature__ == signature
    # Nothing follows the "--" line, so no doc text is left over.
    assert not obj.__doc__


def test_no_property_doc_nor_instance_dict_nor_weak_references():
    assert all(Hl7Json.__dict__[name].__doc__ in (None, "") for name in FLAGS + ["hl7_string", "hl7_json"])
    obj = Hl7Json("MSH|x")
    assert not hasattr(obj, "__dict__") and "__weakref__" not in dir(Hl7Json)
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


class TestArgumentParsing:
    """Count and keyword errors, worded as the interpreter words its own."""

    @pytest.mark.parametrize(
        ("call", "message"),
        [
            (lambda: Hl7Json(escaping_enabled=True),
             "Hl7Json.__new__() missing 1 required positional argument: 'hl7_string'"),
            (lambda: Hl7Json("a", *[None] * 4),
             "Hl7Json.__new__() takes from 1 to 4 positional arguments but 5 were given"),
            (lambda: Hl7Json(1, x=1), "Hl7Json.__new__() got an unexpected keyword argument 'x'"),
            (lambda: Hl7Json("a", True, validation_enabled=True),
             "Hl7Json.__new__() got multiple values for argument 'validation_enabled'"),
            (lambda: Hl7Json("").validate(), "Hl7Json.validate() missing 2 required positional arguments: "
             "'strict_mode' and 'validate_required_fields'"),
            (lambda: Hl7Json("").validate(validate_required_fields=None),
             "Hl7Json.validate() missing 1 required positional argument: 'strict_mode'"),
            (lambda: Hl7Json("").validate(None, None, None),
             "Hl7Json.validate() takes 2 positional arguments but 3 were given"),
            (lambda: Hl7Json("").validate(None, strict_mode=None),
             "Hl7Json.validate() got multiple values for argument 'strict_mode'"),
            (lambda: Hl7Json("")._split_hl7_seg_to_json_with_escaping("a", "b"),
             "Hl7Json._split_hl7_seg_to_json_with_escaping() takes 1 positional argument but 2 were given"),
            (lambda: Hl7Json("")._split_hl7_seg_to_json(segment="PID"),
             "Hl7Json._split_hl7_seg_to_json() got an unexpected keyword argument 'segment'"),
            (lambda: Hl7Json.from_file("p", path="q"), "Hl7Json.from_file() got multiple values for argument 'path'"),
            (lambda: Hl7Json("")._convert_hl7_to_json(1),
             "Hl7Json._convert_hl7_to_json() takes no arguments (1 given)"),
            (lambda: JsonHl7(), "JsonHl7.__new__() missing 1 required positional argument: 'json_data'"),
            (lambda: JsonHl7(1, x=1), "JsonHl7.__new__() got an unexpected keyword argument 'x'"),
            (lambda: JsonHl7([], []), "JsonHl7.__new__() takes 1 positional argument but 2 were given"),
            (lambda: JsonHl7([], json_data=[]), "JsonHl7.__new__() got multiple values for argument 'json_data'"),
            (lambda: JsonHl7.from_file(), "JsonHl7.from_file() missing 1 required positional argument: 'path'"),
            (lambda: JsonHl7.from_file(p="a"), "JsonHl7.from_file() got an unexpected keyword argument 'p'"),
        ],
        ids=[
            "new-only-keyword-flag", "new-five-positional", "keyword-before-conversion", "new-flag-twice",
            "validate-no-arguments", "validate-only-second-by-keyword", "validate-three-positional",
            "validate-strict-twice", "split-escaping-two-positional", "split-unknown-keyword", "from-file-path-twice",
            "convert-takes-no-arguments", "json-new-missing", "json-keyword-before-conversion",
            "json-new-two-positional", "json-new-twice", "json-from-file-missing", "json-from-file-unknown-keyword",
        ],
    )
    def test_parsing_error(self, raises_type_error, call, message):
        with raises_type_error(message):
            call()

    def test_every_parameter_by_keyword(self, tmp_path):
        obj = Hl7Json(hl7_string="PID|a", validation_enabled=False, strict_validation=True, escaping_enabled=False)
        assert (obj.validation_enabled, obj.strict_validation, obj.escaping_enabled) == (False, True, False)
        assert obj._split_hl7_seg_to_json(seg="PID|a") == {"1": "a", "segment_name": "PID"}
        assert obj._split_hl7_seg_to_json_with_escaping(seg="PID|a") == {"1": "a", "segment_name": "PID"}
        path = tmp_path / "m.hl7"
        path.write_text("PID|a")
        loaded = Hl7Json.from_file(path=str(path), escaping_enabled=False)
        assert loaded.hl7_string == "PID|a" and loaded.escaping_enabled is False


class Truthy:
    def __bool__(self):
        return True


REJECTED = {  # a call, the argument it names, the type it names
    "text-bytes": (lambda: Hl7Json(b"MSH|"), "hl7_string", "bytes"),
    "text-none": (lambda: Hl7Json(None), "hl7_string", "NoneType"),
    "text-reported-before-flag": (lambda: Hl7Json(1, 1), "hl7_string", "int"),
    "flag-zero": (lambda: Hl7Json("x", 0), "validation_enabled", "int"),
    "first-failing-flag": (lambda: Hl7Json("x", 2, 3), "validation_enabled", "int"),
    "strict-zero": (lambda: Hl7Json("x", None, 0), "strict_validation", "int"),
    "truthy-object-is-not-a-flag": (lambda: Hl7Json("x", strict_validation=Truthy()), "strict_validation", "Truthy"),
    "escaping-str": (lambda: Hl7Json("x", None, None, "yes"), "escaping_enabled", "str"),
    "escaping-float": (lambda: Hl7Json("x", escaping_enabled=1.0), "escaping_enabled", "float"),
    "validate-strict-int": (lambda: Hl7Json("").validate(1, None), "strict_mode", "int"),
    "validate-required-str": (lambda: Hl7Json("").validate(None, "no"), "validate_required_fields", "str"),
    "split-none": (lambda: Hl7Json("")._split_hl7_seg_to_json(None), "seg", "NoneType"),
    "split-escaping-bytes": (lambda: Hl7Json("")._split_hl7_seg_to_json_with_escaping(b"PID"), "seg", "bytes"),
    "from-file-path-object": (lambda: Hl7Json.from_file(Path("m.hl7")), "path", "PosixPath"),
    "from-file-flag-before-file-is-read": (lambda: Hl7Json.from_file("/no/such", validation_enabled=1),
                                           "validation_enabled", "int"),
    "from-file-last-flag": (lambda: Hl7Json.from_file("/no/such", None, None, 0), "escaping_enabled", "int"),
    "json-from-file-path-object": (lambda: JsonHl7.from_file(Path("/no/such.json")), "path", "PosixPath"),
    "json-from-file-bytes": (lambda: JsonHl7.from_file(b"records.json"), "path", "bytes"),
}


class TestArgumentConversion:
    @pytest.mark.parametrize(("call", "argument", "type_name"), REJECTED.values(), ids=REJECTED.keys())
    def test_rejected_argument(self, raises_conversion_error, call, argument, type_name):
        with raises_conversion_error(argument, type_name):
            call()

    def test_flag_message(self, raises_type_error):
        with raises_type_error("argument 'validation_enabled': 'int' object cannot be converted to 'bool'"):
            Hl7Json("x", 1)

    def test_str_subclass_is_text(self):
        class Text(str):
            pass

        obj = Hl7Json(Text("PID|a\rPV1|b"))
        assert type(obj.hl7_string) is str and obj.hl7_string == "PID|a\nPV1|b"
        assert obj._split_hl7_seg_to_json(Text("PID|a")) == {"1": "a", "segment_name": "PID"}

    def test_numpy_bool_accepted_everywhere_and_numpy_integer_rejected(self, raises_hl7_error, raises_conversion_error):
        np = pytest.importorskip("numpy")
        obj = Hl7Json("PID|\\F\\", np.bool_(False), np.bool_(True), np.bool_(False))
        assert (obj.validation_enabled, obj.strict_validation, obj.escaping_enabled) == (False, True, False)
        assert type(obj.strict_validation) is bool
        assert obj.hl7_json == [{"1": "\\F\\", "segment_name": "PID"}]
        obj.escaping_enabled = np.bool_(True)
        assert obj.escaping_enabled is True and obj.hl7_json == [{"1": "|", "segment_name": "PID"}]
        with raises_hl7_error("Missing required segment: MSH (Message Header)"):
            obj.validate(np.bool_(False), np.bool_(False))
        with raises_conversion_error("validation_enabled", "int64"):
            Hl7Json("x", np.int64(1))


class TestAttributeAccess:
    @pytest.mark.parametrize("name", FLAGS)
    def test_deleting_a_flag_fails(self, name):
        obj = Hl7Json("", True, True, False)
        before = getattr(obj, name)
        with pytest.raises(AttributeError) as excinfo:
            delattr(obj, name)
        assert type(excinfo.value) is AttributeError and str(excinfo.value) == "can't delete attribute"
        assert getattr(obj, name) is before

    @pytest.mark.parametrize(
        ("make", "name"),
        [(Hl7Json, "hl7_string"), (Hl7Json, "hl7_json"), (JsonHl7, "hl7_string"), (JsonHl7, "json_data")],
        ids=["Hl7Json.hl7_string", "Hl7Json.hl7_json", "JsonHl7.hl7_string", "JsonHl7.json_data"],
    )
    @pytest.mark.parametrize("operation", [lambda obj, name: setattr(obj, name, "PID|b"), delattr],
                             ids=["assign", "delete"])
    def test_read_only_property(self, make, name, operation):
        obj = make("PID|a") if make is Hl7Json else make([{"segment_name": "PID", "1": "a"}])
        with pytest.raises(AttributeError) as excinfo:
            operation(obj, name)
        assert type(excinfo.value) is AttributeError and name in str(excinfo.value)
        assert obj.hl7_string == "PID|a"
