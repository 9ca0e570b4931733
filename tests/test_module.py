"""The module surface: registration, doc strings, signatures and the argument rules."""

from __future__ import annotations

import inspect
import weakref
from pathlib import Path

import pytest

import brenvolt
from brenvolt import Hl7Json, JsonHl7

FLAGS = ["validation_enabled", "strict_validation", "escaping_enabled"]

HL7JSON_MEMBERS = {
    "hl7_string",
    "validation_enabled",
    "strict_validation",
    "escaping_enabled",
    "from_file",
    "_split_hl7_seg_to_json",
    "_split_hl7_seg_to_json_with_escaping",
    "_convert_hl7_to_json",
    "hl7_json",
    "validate",
}


class TestRegistration:
    def test_all_lists_both_classes_in_registration_order(self):
        assert type(brenvolt.__all__) is list
        assert brenvolt.__all__ == ["Hl7Json", "JsonHl7"]

    def test_all_names_are_the_classes(self):
        assert brenvolt.Hl7Json is Hl7Json
        assert brenvolt.JsonHl7 is JsonHl7
        assert all(type(getattr(brenvolt, name)) is type for name in brenvolt.__all__)

    def test_module_doc_is_the_empty_string(self):
        assert type(brenvolt.__doc__) is str
        assert brenvolt.__doc__ == ""

    def test_module_offers_nothing_but_the_two_classes(self):
        public = {name for name in vars(brenvolt) if not name.startswith("_")}
        assert public == {"Hl7Json", "JsonHl7"}

    @pytest.mark.parametrize("cls", [Hl7Json, JsonHl7], ids=["Hl7Json", "JsonHl7"])
    def test_class_reports_builtins_as_its_module(self, cls):
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__
        assert cls.__bases__ == (object,)

    @pytest.mark.parametrize("cls", [Hl7Json, JsonHl7], ids=["Hl7Json", "JsonHl7"])
    def test_class_cannot_be_subclassed(self, cls):
        with pytest.raises(TypeError) as excinfo:
            type("Sub", (cls,), {})
        assert type(excinfo.value) is TypeError

    def test_hl7json_members(self):
        own = {name for name in vars(Hl7Json) if not (name.startswith("__") and name.endswith("__"))}
        assert own == HL7JSON_MEMBERS

    def test_second_import_returns_the_same_module(self):
        import importlib
        import sys

        original = sys.modules.pop("brenvolt")
        try:
            again = importlib.import_module("brenvolt")
        finally:
            sys.modules["brenvolt"] = original
        assert again is original
        assert again.Hl7Json is Hl7Json
        assert again.__all__ == ["Hl7Json", "JsonHl7"]

    def test_from_file_is_bound_to_the_class(self):
        assert Hl7Json.from_file.__self__ is Hl7Json
        assert Hl7Json("").from_file.__self__ is Hl7Json


class TestDocStrings:
    @pytest.mark.parametrize(
        ("obj", "signature"),
        [
            (Hl7Json, "(hl7_string, validation_enabled=None, strict_validation=None, escaping_enabled=None)"),
            (JsonHl7, "(json_data)"),
            (Hl7Json._convert_hl7_to_json, "($self)"),
            (Hl7Json.validate, "($self, strict_mode, validate_required_fields)"),
            (
                Hl7Json.__dict__["from_file"],
                "($cls, path, validation_enabled=None, strict_validation=None, escaping_enabled=None)",
            ),
            (Hl7Json._split_hl7_seg_to_json, "($self, seg)"),
            (Hl7Json._split_hl7_seg_to_json_with_escaping, "($self, seg)"),
        ],
        ids=[
            "Hl7Json", "JsonHl7", "_convert_hl7_to_json", "validate", "from_file", "_split_hl7_seg_to_json",
            "_split_hl7_seg_to_json_with_escaping"
        ],
    )
    def test_doc_is_the_call_signature_only(self, obj, signature):
        assert obj.__text_signature__ == signature
        # Nothing follows the "--" line, so no doc text is left over.
        assert not obj.__doc__

    @pytest.mark.parametrize("name", sorted(FLAGS + ["hl7_string", "hl7_json"]))
    def test_property_doc_is_empty(self, name):
        descriptor = Hl7Json.__dict__[name]
        assert inspect.isdatadescriptor(descriptor)
        assert descriptor.__doc__ in (None, "")


class TestInstanceLayout:
    def test_no_instance_dict(self):
        obj = Hl7Json("MSH|x")
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError) as excinfo:
            obj.extra = 1
        assert type(excinfo.value) is AttributeError

    def test_no_weak_references(self):
        assert "__weakref__" not in dir(Hl7Json)
        with pytest.raises(TypeError):
            weakref.ref(Hl7Json(""))


class TestArgumentParsing:
    """Count and keyword errors, worded as the interpreter words its own."""

    @pytest.mark.parametrize(
        ("call", "message"),
        [
            (lambda: Hl7Json(), "Hl7Json.__new__() missing 1 required positional argument: 'hl7_string'"),
            (
                lambda: Hl7Json(escaping_enabled=True),
                "Hl7Json.__new__() missing 1 required positional argument: 'hl7_string'",
            ),
            (
                lambda: Hl7Json("a", None, None, None, None),
                "Hl7Json.__new__() takes from 1 to 4 positional arguments but 5 were given",
            ),
            (lambda: Hl7Json("a", x=1), "Hl7Json.__new__() got an unexpected keyword argument 'x'"),
            (
                lambda: Hl7Json("a", hl7_string="b"),
                "Hl7Json.__new__() got multiple values for argument 'hl7_string'",
            ),
            (
                lambda: Hl7Json("a", True, validation_enabled=True),
                "Hl7Json.__new__() got multiple values for argument 'validation_enabled'",
            ),
            (
                lambda: Hl7Json("").validate(),
                "Hl7Json.validate() missing 2 required positional arguments: "
                "'strict_mode' and 'validate_required_fields'",
            ),
            (
                lambda: Hl7Json("").validate(None),
                "Hl7Json.validate() missing 1 required positional argument: 'validate_required_fields'",
            ),
            (
                lambda: Hl7Json("").validate(validate_required_fields=None),
                "Hl7Json.validate() missing 1 required positional argument: 'strict_mode'",
            ),
            (
                lambda: Hl7Json("").validate(None, None, None),
                "Hl7Json.validate() takes 2 positional arguments but 3 were given",
            ),
            (
                lambda: Hl7Json("").validate(None, strict_mode=None),
                "Hl7Json.validate() got multiple values for argument 'strict_mode'",
            ),
            (
                lambda: Hl7Json("").validate(None, None, strict=True),
                "Hl7Json.validate() got an unexpected keyword argument 'strict'",
            ),
            (
                lambda: Hl7Json("")._split_hl7_seg_to_json(),
                "Hl7Json._split_hl7_seg_to_json() missing 1 required positional argument: 'seg'",
            ),
            (
                lambda: Hl7Json("")._split_hl7_seg_to_json_with_escaping("a", "b"),
                "Hl7Json._split_hl7_seg_to_json_with_escaping() takes 1 positional argument but 2 were given",
            ),
            (
                lambda: Hl7Json("")._split_hl7_seg_to_json(segment="PID"),
                "Hl7Json._split_hl7_seg_to_json() got an unexpected keyword argument 'segment'",
            ),
            (lambda: Hl7Json.from_file(), "Hl7Json.from_file() missing 1 required positional argument: 'path'"),
            (
                lambda: Hl7Json.from_file("p", None, None, None, None),
                "Hl7Json.from_file() takes from 1 to 4 positional arguments but 5 were given",
            ),
            (
                lambda: Hl7Json.from_file("p", path="q"),
                "Hl7Json.from_file() got multiple values for argument 'path'",
            ),
            (
                lambda: Hl7Json("")._convert_hl7_to_json(1),
                "Hl7Json._convert_hl7_to_json() takes no arguments (1 given)",
            ),
        ],
        ids=[
            "new-missing-text", "new-only-keyword-flag", "new-five-positional", "new-unknown-keyword",
            "new-text-twice", "new-flag-twice", "validate-no-arguments", "validate-one-argument",
            "validate-only-second-by-keyword", "validate-three-positional", "validate-strict-twice",
            "validate-unknown-keyword", "split-missing-seg", "split-escaping-two-positional",
            "split-unknown-keyword", "from-file-missing-path", "from-file-five-positional",
            "from-file-path-twice", "convert-takes-no-arguments"
        ],
    )
    def test_parsing_error(self, raises_type_error, call, message):
        with raises_type_error(message):
            call()

    def test_parsing_comes_before_conversion(self, raises_type_error):
        # The text is not a str, but the unknown keyword is reported first.
        with raises_type_error("Hl7Json.__new__() got an unexpected keyword argument 'x'"):
            Hl7Json(1, x=1)

    def test_every_parameter_by_keyword(self, tmp_path):
        obj = Hl7Json(hl7_string="PID|a", validation_enabled=False, strict_validation=True, escaping_enabled=False)
        assert (obj.validation_enabled, obj.strict_validation, obj.escaping_enabled) == (False, True, False)
        assert obj._split_hl7_seg_to_json(seg="PID|a") == {"1": "a", "segment_name": "PID"}
        assert obj._split_hl7_seg_to_json_with_escaping(seg="PID|a") == {"1": "a", "segment_name": "PID"}
        path = tmp_path / "m.hl7"
        path.write_text("PID|a")
        loaded = Hl7Json.from_file(path=str(path), escaping_enabled=False)
        assert loaded.hl7_string == "PID|a" and loaded.escaping_enabled is False


class TestArgumentConversion:
    @pytest.mark.parametrize(
        ("call", "argument", "type_name"),
        [
            (lambda: Hl7Json(b"MSH|"), "hl7_string", "bytes"),
            (lambda: Hl7Json(None), "hl7_string", "NoneType"),
            (lambda: Hl7Json(123), "hl7_string", "int"),
            (lambda: Hl7Json(1, 1), "hl7_string", "int"),
            (lambda: Hl7Json("x", 1), "validation_enabled", "int"),
            (lambda: Hl7Json("x", 0), "validation_enabled", "int"),
            (lambda: Hl7Json("x", 2, 3), "validation_enabled", "int"),
            (lambda: Hl7Json("x", None, 0), "strict_validation", "int"),
            (lambda: Hl7Json("x", None, None, "yes"), "escaping_enabled", "str"),
            (lambda: Hl7Json("x", escaping_enabled=1.0), "escaping_enabled", "float"),
            (lambda: Hl7Json("").validate(1, None), "strict_mode", "int"),
            (lambda: Hl7Json("").validate(None, 0), "validate_required_fields", "int"),
            (
                lambda: Hl7Json("").validate(strict_mode=None, validate_required_fields="no"),
                "validate_required_fields",
                "str",
            ),
            (lambda: Hl7Json("")._split_hl7_seg_to_json(None), "seg", "NoneType"),
            (lambda: Hl7Json("")._split_hl7_seg_to_json_with_escaping(b"PID"), "seg", "bytes"),
            (lambda: Hl7Json.from_file(Path("m.hl7")), "path", "PosixPath"),
            (lambda: Hl7Json.from_file(b"m.hl7"), "path", "bytes"),
            (lambda: Hl7Json.from_file("/no/such/file", validation_enabled=1), "validation_enabled", "int"),
            (lambda: Hl7Json.from_file("/no/such/file", None, None, 0), "escaping_enabled", "int"),
        ],
        ids=[
            "text-bytes", "text-none", "text-int", "text-reported-before-flag", "flag-one", "flag-zero",
            "first-failing-flag", "strict-zero", "escaping-str", "escaping-float", "validate-strict-int",
            "validate-required-int", "validate-required-str", "split-none", "split-escaping-bytes",
            "from-file-path-object", "from-file-bytes", "from-file-flag-before-file-is-read",
            "from-file-last-flag"
        ],
    )
    def test_rejected_argument(self, raises_conversion_error, call, argument, type_name):
        with raises_conversion_error(argument, type_name):
            call()

    def test_flag_message(self, raises_type_error):
        with raises_type_error("argument 'validation_enabled': 'int' object cannot be converted to 'bool'"):
            Hl7Json("x", 1)

    def test_truthy_object_is_not_a_flag(self, raises_conversion_error):
        class Truthy:
            def __bool__(self):
                return True

        with raises_conversion_error("strict_validation", "Truthy"):
            Hl7Json("x", strict_validation=Truthy())

    def test_str_subclass_is_text(self):
        class Text(str):
            pass

        obj = Hl7Json(Text("PID|a\rPV1|b"))
        assert type(obj.hl7_string) is str
        assert obj.hl7_string == "PID|a\nPV1|b"
        assert obj._split_hl7_seg_to_json(Text("PID|a")) == {"1": "a", "segment_name": "PID"}

    @pytest.mark.parametrize(
        "call",
        [
            lambda: Hl7Json("MSH|\ud800"),
            lambda: Hl7Json("")._split_hl7_seg_to_json("PID|\udfff"),
            lambda: Hl7Json("")._split_hl7_seg_to_json_with_escaping("\udc80"),
            lambda: Hl7Json.from_file("\ud800.hl7"),
        ],
        ids=["constructor", "split", "split-escaping", "from-file-path"],
    )
    def test_lone_surrogate_passes_unicode_error_unchanged(self, call):
        with pytest.raises(UnicodeEncodeError) as excinfo:
            call()
        assert type(excinfo.value) is UnicodeEncodeError
        assert excinfo.value.encoding == "utf-8"
        assert excinfo.value.reason == "surrogates not allowed"


class TestNumpyFlags:
    def test_numpy_bool_accepted_everywhere(self):
        np = pytest.importorskip("numpy")
        obj = Hl7Json("PID|\\F\\", np.bool_(False), np.bool_(True), np.bool_(False))
        assert (obj.validation_enabled, obj.strict_validation, obj.escaping_enabled) == (False, True, False)
        assert type(obj.strict_validation) is bool
        assert obj.hl7_json == [{"1": "\\F\\", "segment_name": "PID"}]
        obj.escaping_enabled = np.bool_(True)
        assert obj.escaping_enabled is True
        assert obj.hl7_json == [{"1": "|", "segment_name": "PID"}]
        obj.validation_enabled = np.bool_(True)
        with pytest.raises(Exception) as excinfo:
            obj.validate(np.bool_(False), np.bool_(False))
        assert type(excinfo.value) is Exception
        assert excinfo.value.args == ("Missing required segment: MSH (Message Header)",)

    def test_numpy_integer_rejected(self, raises_conversion_error):
        np = pytest.importorskip("numpy")
        with raises_conversion_error("validation_enabled", "int64"):
            Hl7Json("x", np.int64(1))


class TestAttributeAccess:
    @pytest.mark.parametrize("name", FLAGS)
    def test_deleting_a_flag_fails(self, name):
        obj = Hl7Json("", True, True, False)
        before = getattr(obj, name)
        with pytest.raises(AttributeError) as excinfo:
            delattr(obj, name)
        assert type(excinfo.value) is AttributeError
        assert str(excinfo.value) == "can't delete attribute"
        assert getattr(obj, name) is before

    @pytest.mark.parametrize("name", ["hl7_string", "hl7_json"])
    @pytest.mark.parametrize("operation", ["assign", "delete"])
    def test_read_only_property(self, name, operation):
        obj = Hl7Json("PID|a")
        with pytest.raises(AttributeError) as excinfo:
            if operation == "assign":
                setattr(obj, name, "PID|b")
            else:
                delattr(obj, name)
        assert type(excinfo.value) is AttributeError
        assert name in str(excinfo.value)
        assert obj.hl7_string == "PID|a"

    @pytest.mark.parametrize(
        "call",
        [
            lambda: Hl7Json.validate(object(), None, None),
            lambda: Hl7Json._convert_hl7_to_json("MSH|"),
            lambda: Hl7Json._split_hl7_seg_to_json(object(), "PID"),
            lambda: Hl7Json.__dict__["hl7_json"].__get__(object()),
            lambda: Hl7Json.__dict__["escaping_enabled"].__set__(object(), True),
        ],
        ids=["validate", "convert", "split", "property-read", "property-write"],
    )
    def test_self_of_wrong_type(self, call):
        with pytest.raises(TypeError) as excinfo:
            call()
        assert type(excinfo.value) is TypeError


class TestErrorClass:
    def test_module_errors_are_exactly_exception(self, raises_hl7_error):
        obj = Hl7Json("")
        with raises_hl7_error("Missing required segment: MSH (Message Header)") as excinfo:
            try:
                obj.validate(None, None)
            except (ValueError, RuntimeError, TypeError, LookupError):
                pytest.fail("a module error was caught by a handler for a specific class")
        assert str(excinfo.value) == "Missing required segment: MSH (Message Header)"


class TestSubInterpreter:
    def test_import_from_a_sub_interpreter_fails(self):
        interpreters = pytest.importorskip("_xxsubinterpreters")
        interp = interpreters.create()
        try:
            with pytest.raises(interpreters.RunFailedError) as excinfo:
                interpreters.run_string(interp, "import brenvolt")
        finally:
            interpreters.destroy(interp)
        assert "ImportError" in str(excinfo.value)
        # The main interpreter's module is untouched.
        assert Hl7Json("PID|a").hl7_json == [{"1": "a", "segment_name": "PID"}]
        assert brenvolt.__all__ == ["Hl7Json", "JsonHl7"]
