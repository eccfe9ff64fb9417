"""The module surface: names, docstrings, argument binding and conversion."""

import pathlib
import types

import pytest

import vorn

FUNCTIONS = {
    "dumps": ("(json_text)", "Compile a JSON string to VORN binary bytes."),
    "loads": ("(bytes)", "Decompile VORN binary bytes to a Python object."),
    "dump": ("(json_text, path)", "Compile JSON string and write VORN binary to a file."),
    "load": ("(path)", "Read a VORN file and decompile to a Python object."),
    "emit": ("(obj)", "Emit a Python value as VORN binary (no JSON string)."),
}


def test_module_attributes():
    assert vorn.__all__ == ["dumps", "loads", "dump", "load", "emit"]
    assert vorn.__doc__ == ""
    assert vorn.__name__ == "vorn"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_identity_and_docs(name):
    fn = getattr(vorn, name)
    assert isinstance(fn, types.BuiltinFunctionType)
    assert fn.__self__ is vorn
    assert fn.__module__ == "vorn"
    assert fn.__name__ == name
    assert (fn.__text_signature__, fn.__doc__) == FUNCTIONS[name]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vorn.dumps(text="[1]"), "dumps() got an unexpected keyword argument 'text'"),
        (lambda: vorn.dumps("1", json_text="2"),
         "dumps() got multiple values for argument 'json_text'"),
        (lambda: vorn.dumps("1", "2"), "dumps() takes 1 positional arguments but 2 were given"),
        (lambda: vorn.dump(),
         "dump() missing 2 required positional arguments: 'json_text' and 'path'"),
        (lambda: vorn.dump("1"), "dump() missing 1 required positional argument: 'path'"),
        (lambda: vorn.dump(path="p"), "dump() missing 1 required positional argument: 'json_text'"),
        (lambda: vorn.dump("1", "p", "x"), "dump() takes 2 positional arguments but 3 were given"),
        (lambda: vorn.load(), "load() missing 1 required positional argument: 'path'"),
        (lambda: vorn.loads(), "loads() missing 1 required positional argument: 'bytes'"),
        (lambda: vorn.emit(), "emit() missing 1 required positional argument: 'obj'"),
        (lambda: vorn.emit(1, obj=2), "emit() got multiple values for argument 'obj'"),
        (lambda: vorn.emit(**{"é": 1}), "emit() got an unexpected keyword argument 'é'"),
        # Binding fails before conversion looks at the argument's type.
        (lambda: vorn.loads(None, x=1), "loads() got an unexpected keyword argument 'x'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "call, message, param",
    [
        (lambda: vorn.dumps(b"{}"), "'bytes' object is not an instance of 'str'", "json_text"),
        (lambda: vorn.dumps(None), "'None' is not an instance of 'str'", "json_text"),
        (lambda: vorn.dumps(json_text=1), "'int' object is not an instance of 'str'", "json_text"),
        (lambda: vorn.loads(bytearray(b"abc")),
         "'bytearray' object is not an instance of 'bytes'", "bytes"),
        (lambda: vorn.loads(memoryview(b"abc")),
         "'memoryview' object is not an instance of 'bytes'", "bytes"),
        (lambda: vorn.loads(None), "'None' is not an instance of 'bytes'", "bytes"),
        (lambda: vorn.loads("abc"), "'str' object is not an instance of 'bytes'", "bytes"),
        (lambda: vorn.load(pathlib.Path("x")),
         f"'{type(pathlib.Path('x')).__qualname__}' object is not an instance of 'str'", "path"),
        (lambda: vorn.dump("[1]", 5), "'int' object is not an instance of 'str'", "path"),
        (lambda: vorn.dump(5, pathlib.Path("x")), "'int' object is not an instance of 'str'",
         "json_text"),
        (lambda: vorn.dumps(StrSub.mro), "'builtin_function_or_method' object is not an instance "
         "of 'str'", "json_text"),
    ],
)
def test_conversion_errors(call, message, param):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda: vorn.dumps("\ud800"), "json_text"),
        (lambda: vorn.dump("[]", "a\udcff"), "path"),
        (lambda: vorn.load("\udcff"), "path"),
    ],
)
def test_unencodable_str_raises_unicode_error_with_note(call, param):
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_arguments_are_not_leaked_on_errors():
    import sys

    arg = bytearray(b"abc")
    before = sys.getrefcount(arg)
    for _ in range(1000):
        with pytest.raises(TypeError):
            vorn.loads(arg)
    assert sys.getrefcount(arg) == before
