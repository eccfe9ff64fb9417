"""emit: the Python value reader and the positional images it writes."""

import decimal
import math
import struct
from typing import NamedTuple

import pytest

import vorn
from tests.support.image import PREDEFINED_PARSED, parse_image, root, untagged
from tests.support.model import float32
from tests.support.refusals import refusal


class Emitted(NamedTuple):
    new_defs: list
    strings: list
    def_index: int
    payload: object


def read(obj):
    img = parse_image(vorn.emit(obj))
    assert img.definitions[:6] == PREDEFINED_PARSED
    index, value = root(img)
    return Emitted(img.definitions[6:], img.strings, index, untagged(value))


@pytest.mark.parametrize("obj, image", [
    ("a", "010d000000210000002700000006000000000101000202000303000404000505000100000001610100000005"
          "0002000000 0161"),
    ({"a": 1}, "010d0000002e0000003400000007000000000101000202000303000404000505001106000200026630"
               "05026631020100000001610100000006000800000006000161 01000000"),
    ([1, 2, 3], "010d000000250000002900000007000000000101000202000303000404000505001006000200"
                "00000001000000060012000000060006000300 010000000200000003000000"),
])
def test_whole_images(obj, image):
    assert vorn.emit(obj).hex() == image.replace(" ", "")


KEY_INT = [("f0", 5), ("f1", 2)]  # the fields of a dict holding one int
KEY_STR = [("f0", 5), ("f1", 5)]


@pytest.mark.parametrize("obj, defs, strings, def_index, payload", [
    ("a", [], ["a"], 5, "a"),
    (7, [], [], 2, 7),
    (2.5, [], [], 4, 2.5),
    (True, [], [], 1, True),
    ([1, 2, 3], [(16, 6, 2)], [], 6, ("Array", 6, 6, [1, 2, 3])),
    ([], [(16, 6, 0)], [], 6, ("Array", 6, 6, [])),
    ({}, [(17, 6, [])], [], 6, ("Object", 6, [])),
    ({"a": 1}, [(17, 6, KEY_INT)], ["a"], 6, ("Object", 6, ["a", 1])),
    ([[1], ["x"]], [(16, 6, 16), (16, 7, 2), (16, 8, 5)], ["x"], 6,
     ("Array", 6, 6, [("Array", 7, 7, [1]), ("Array", 8, 8, ["x"])])),
    ({"a": {"x": 1}, "b": {"y": "s"}},
     [(17, 6, KEY_INT), (17, 7, KEY_STR), (17, 8, [("f0", 5), ("f1", 17), ("f2", 5), ("f3", 17)])],
     ["a", "x", "b", "y", "s"], 8,
     ("Object", 8, ["a", ("Object", 6, ["x", 1]), "b", ("Object", 7, ["y", "s"])])),
    ([{"a": 1}, {"b": 2}], [(16, 6, 17), (17, 7, KEY_INT)],
     ["a", "b"], 6, ("Array", 6, 6, [("Object", 7, ["a", 1]), ("Object", 7, ["b", 2])])),
    # Repeated strings: listed once, inline at every place; keys stay in insertion order.
    ({"b": "x", "a": "x"}, [(17, 6, [(f"f{i}", 5) for i in range(4)])],
     ["b", "x", "a"], 6, ("Object", 6, ["b", "x", "a", "x"])),
    # Decided: numbers of both kinds make an array of Float32.
    ([1, 2.5, -3], [(16, 6, 4)], [], 6, ("Array", 6, 6, [1.0, 2.5, -3.0])),
    ([[1], [1.5, 2**24 + 1]], [(16, 6, 16), (16, 7, 2), (16, 8, 4)], [],
     6, ("Array", 6, 6, [("Array", 7, 7, [1]), ("Array", 8, 8, [1.5, 16777216.0])])),
    ([{"a": 1}, {"b": "x"}], [(16, 6, 17), (17, 7, KEY_INT), (17, 8, KEY_STR)],
     ["a", "b", "x"], 6, ("Array", 6, 6, [("Object", 7, ["a", 1]), ("Object", 8, ["b", "x"])])),
])
def test_definitions_strings_and_payload(obj, defs, strings, def_index, payload):
    image = read(obj)
    assert (image.new_defs, image.strings, image.def_index) == (defs, strings, def_index)
    assert repr(image.payload) == repr(payload)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __float__(self):
        return 2.5


class BadIndexGoodFloat(Float):
    def __index__(self):
        raise RuntimeError("never seen")


class bool_:  # noqa: N801 - a numpy-style bool by module and name
    __module__ = "numpy"

    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        return self.truth


class Str(str):
    pass


class Int(int):
    pass


@pytest.mark.parametrize("obj, expected", [
    (True, True), (False, False), ([True, False], ("Array", 6, 6, [True, False])),
    (2147483647, 2147483647), (2**31, -2147483648), (-(2**31) - 1, 2147483647), (2**32 + 5, 5),
    (-1, -1), (2**63, float32(2.0**63)), (-(2**70), float32(-(2.0**70))), (Int(2**40 + 9), 9),
    (1.1, float32(1.1)), (-1.0, -1.0),
    # Round to nearest, ties to even, around the midpoint between the largest float and 2**128.
    (float.fromhex("0x1.fffffefffffffp127"), float.fromhex("0x1.fffffep127")),
    (Index(7), 7), (Index(-1), -1), (Index(2**32 + 1), 1), (Float(), 2.5),
    (BadIndexGoodFloat(), 2.5), (decimal.Decimal("1.1"), float32(1.1)),
    (bool_(True), True), (bool_(False), False), (Str("é"), "é"),
])
def test_type_dispatch(obj, expected):
    assert repr(read(obj).payload) == repr(expected)


class Meta(type):
    def __getattribute__(cls, name):
        if name == "__module__":
            raise RuntimeError("no module")
        return super().__getattribute__(name)


class Unreadable(metaclass=Meta):
    pass


class Outer:
    class Key:
        pass


@pytest.mark.parametrize("obj, error, message", [
    (None, TypeError, "Unsupported Python type: NoneType"),
    ((1,), TypeError, "Unsupported Python type: tuple"),
    (b"x", TypeError, "Unsupported Python type: bytes"),
    ({1}, TypeError, "Unsupported Python type: set"),
    ("\ud800", TypeError, "Unsupported Python type: str"),
    (Str("\ud800"), TypeError, "Unsupported Python type: Str"),
    (10**400, TypeError, "Unsupported Python type: int"),
    (Unreadable(), TypeError, "Unsupported Python type: Unreadable"),
    (bool_(2), TypeError, "Unsupported Python type: bool_"),
    ([[1, None], (1,)], TypeError, "Unsupported Python type: NoneType"),
    ({"a": [1, {"b": b""}]}, TypeError, "Unsupported Python type: bytes"),
    ({1: 1}, TypeError, "'int' object is not an instance of 'str'"),
    ({Outer.Key(): 1}, TypeError, "'Outer.Key' object is not an instance of 'str'"),
    ({None: 1}, TypeError, "'None' is not an instance of 'str'"),
    ({"\ud800": 1}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    # Reader errors come before the check of mixed arrays.
    ([[1, "a"], None], TypeError, "Unsupported Python type: NoneType"),
])
def test_reader_errors(obj, error, message):
    with pytest.raises(error) as info:
        vorn.emit(obj)
    assert type(info.value) is error and str(info.value) == message


class Raising:
    """Raises `exc` from the conversion named `where`; the other conversions fail as usual."""

    def __init__(self, where, exc):
        self.where, self.exc = where, exc

    def __index__(self):
        if self.where == "__index__":
            raise self.exc
        raise TypeError("no index")

    def __float__(self):
        if self.where == "__float__":
            raise self.exc
        raise TypeError("no float")


def raising_module(exc):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__module__":
                raise exc
            return super().__getattribute__(name)

    return Meta("Odd", (), {"__index__": Raising.__index__, "__float__": Raising.__float__,
                            "where": "none"})()


# A conversion failure (an Exception) sends the value on to the next test; an exception that is
# not an Exception (Ctrl-C in code the reader calls, SystemExit) or MemoryError ends emit as it is.
@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), GeneratorExit(),
                                 MemoryError()], ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("where", ["__index__", "__float__", "__module__"])
def test_exceptions_that_are_not_conversion_failures_propagate(where, exc):
    obj = raising_module(exc) if where == "__module__" else Raising(where, exc)
    with pytest.raises(type(exc)) as info:
        vorn.emit({"a": [1, obj]})
    assert info.value is exc


@pytest.mark.parametrize("where", ["__index__", "__float__"])
def test_conversion_failures_still_fall_through(where):
    with pytest.raises(TypeError, match="^Unsupported Python type: Raising$"):
        vorn.emit([Raising(where, ValueError("bad"))])


class Mutating:
    """Runs `action` when read as an integer, then reads as 1."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 1


def test_dict_changed_size_during_walk():
    d = {"a": 1}
    d["b"] = Mutating(lambda: d.update(c=3))
    with pytest.raises(BaseException) as info:
        vorn.emit([d])
    assert type(info.value).__name__ == "PanicException"
    assert type(info.value).__bases__ == (BaseException,)
    assert str(info.value) == "dictionary changed size during iteration"


def test_dict_keys_changed_during_walk():
    d = {}
    d["a"] = Mutating(lambda: (d.pop("a"), d.update(c=3)))
    d["b"] = 2
    with pytest.raises(BaseException, match="^dictionary keys changed during iteration$"):
        vorn.emit(d)
    assert vorn.emit([1]) == vorn.emit([1])  # the module stays usable


def test_list_shrunk_or_grown_during_walk():
    shrinking = [1, None, 3]
    shrinking[1] = Mutating(shrinking.clear)
    assert read(shrinking).payload == ("Array", 6, 6, [1, 1])
    growing = [None, 2]
    growing[0] = Mutating(lambda: growing.extend([7, 8]))
    assert read(growing).payload == ("Array", 6, 6, [1, 2])


@pytest.mark.parametrize("distinct", [1, 31, 32, 33, 65, 129, 257, 513, 1025, 4097, 20000])
def test_dictionary_lists_each_distinct_string_once_in_first_seen_order(distinct):
    texts = [f"s{i}" for i in range(distinct)]
    copies = ["".join(["s", str(i)]) for i in range(distinct)]  # equal text, other objects
    # Each text three times: met again in its own storage and in a copy's, and as a key.
    obj = {"a": texts, "b": copies[::-1], "c": texts, "d": [{t: 1} for t in texts[:50]]}
    image = read(obj)
    assert image.strings == ["a"] + texts + ["b", "c", "d"]
    assert image.payload[2][1][3] == texts and image.payload[2][3][3] == copies[::-1]


def test_strings_stay_alive_when_their_container_drops_them():
    text = "".join(["unique text "] * 20)
    items = [[text, "".join(["v"] * 40)], [None]]
    items[1][0] = Mutating(items.clear)
    del text
    image = read(items)
    assert image.strings == ["unique text " * 20, "v" * 40]
    assert image.payload == ("Array", 6, 6, [("Array", 7, 7, image.strings), ("Array", 8, 8, [1])])


def test_strings_read_between_calls_into_code_stay_alive():
    later = "".join(["later text "] * 20)
    items = [[Mutating(lambda: None)], [later], [Mutating(lambda: items.clear())]]
    del later
    image = read(items)
    assert image.strings == ["later text " * 20]
    assert image.payload == ("Array", 6, 6, [("Array", 7, 7, [1]), ("Array", 8, 8, image.strings),
                                           ("Array", 7, 7, [1])])


def test_metaclass_code_that_empties_the_list_being_read():
    items = [["".join(["x"] * 30)], None]

    class Clearing(type):
        def __getattribute__(cls, name):
            if name == "__module__":
                items.clear()
            return super().__getattribute__(name)

    items[1] = [Clearing("Odd", (), {})()]
    with pytest.raises(TypeError, match="^Unsupported Python type: Odd$"):
        vorn.emit(items)


def nested(levels, inner=1):
    for _ in range(levels):
        inner = [inner]
    return inner


def test_depth():
    assert read(nested(128)).payload is not None
    assert read({"a": nested(127)}).def_index == 8
    loop = []
    loop.append(loop)
    itself = {}
    itself["x"] = [itself]
    for obj in (nested(129), {"a": nested(128)}, loop, itself):
        with pytest.raises(ValueError, match="^Max recursion depth 128 exceeded$"):
            vorn.emit(obj)


@pytest.mark.parametrize("obj, message", [
    ([1, "a"], "Array item 1 is String but elem_type is Int32"),
    ([1, 2.5, "a"], "Array item 2 is String but elem_type is Int32"),
    ([2.5, 1, True], "Array item 2 is Bool but elem_type is Float32"),
    ([True, 1], "Array item 1 is Int32 but elem_type is Bool"),
    ([[1], {"a": 1}], "Array item 1 is Object but elem_type is Array"),
    (["x", ["y"]], "Array item 1 is Array but elem_type is String"),
    # Each array is checked after its items.
    ([["a", 1], 5], "Array item 1 is Int32 but elem_type is String"),
    (list(range(65536)), "Array has 65536 items (max 65535)"),
    ({str(i): i for i in range(32768)}, "Object #6 has 65536 fields (max 65535)"),
    ("x" * 16777216, "String exceeds maximum inline length (16 777 215 bytes)"),
])
def test_refusals(obj, message):
    assert refusal(vorn.emit, obj) == message


def test_largest_counts():
    assert len(read(list(range(65535))).payload[3]) == 65535
    assert len(read({str(i): i for i in range(128)}).new_defs[0][2]) == 256
    assert len(read("x" * 16777215).strings[0]) == 16777215


def test_definition_count_limit():
    # Every pattern of bool and int values gives an object definition of its own; with the six
    # predefined ones and the array's, 65528 patterns make 65535 definitions.
    shapes = [{str(j): bool(i >> j & 1) or 0 for j in range(16)} for i in range(65529)]
    # The encoder's limit comes first, then the decoder's, which the image must meet to load.
    for count, message in [(65529, "Too many definitions (65536), max 65535"),
                           (65528, "Definition count 65535 exceeds max 2048"),
                           (2042, "Definition count 2049 exceeds max 2048")]:
        assert refusal(vorn.emit, shapes[:count]) == message
    image = vorn.emit(shapes[:2041])
    assert struct.unpack_from("<H", image, 13) == (2048,)


@pytest.mark.parametrize("obj, loaded", [
    ("a", "a"), (7, 7), (2**32 + 5, 5), (2.5, 2.5), (True, True),
    ({"a": 1}, {"f0": "a", "f1": 1}),
    ({"b": {"x": True}, "a": []}, {"f0": "b", "f1": {"f0": "x", "f1": True}, "f2": "a", "f3": []}),
    ([1, 2.5], [1.0, 2.5]),
    ([[1], ["x"]], [[1], ["x"]]),
    ([{"a": 1}, {"b": "x"}], [{"f0": "a", "f1": 1}, {"f0": "b", "f1": "x"}]),
    (nested(128, "deep"), nested(128, "deep")),
])
def test_loads_gives_the_positional_form(obj, loaded):
    assert repr(vorn.loads(vorn.emit(obj))) == repr(loaded)


# emit refuses what loads would refuse of its image, with loads' message.
@pytest.mark.parametrize("obj, message", [
    ([math.inf], "Cannot represent float inf"),
    (1e39, "Cannot represent float inf"),
    (-1e39, "Cannot represent float -inf"),
    (float.fromhex("0x1.ffffffp127"), "Cannot represent float inf"),  # halfway: rounds to 2^128
    (10**39, "Cannot represent float inf"),
    ({"x": math.nan}, "Cannot represent float NaN"),
    ({str(i): i for i in range(129)}, "Object #6 has 258 fields (max 256)"),
    ({str(i): i for i in range(32767)}, "Object #6 has 65534 fields (max 256)"),
])
def test_images_loads_would_refuse_are_refused(obj, message):
    assert refusal(vorn.emit, obj) == message


class Int(int):
    pass


class Float(float):
    pass


def spelled_out(value):
    """The value with every number a subclass instance, which the reader takes item by item."""
    if isinstance(value, list):
        return [spelled_out(v) for v in value]
    if isinstance(value, dict):
        return {k: spelled_out(v) for k, v in value.items()}
    if type(value) is float:
        return Float(value)
    if type(value) is int:
        return Int(value)
    return value


# Lists of plain numbers are read in one piece; the image is the one of the same numbers read
# one by one, down to the definition ids and the refusals.
@pytest.mark.parametrize("obj", [
    [1.5], [1, -2, 2**31, -(2**31) - 1, 2**40 + 3], [0.1, -0.0, 3.4e38, 1e-46],
    [1, 2.5, -3, 2**31 + 1], [2.5, 1, 16777217], [[1, 2], [3.5], ["x"], [4, 5.5]],
    {"a": [1.5, 2.5], "b": [1, 2], "c": [[7], [8.5]]}, [[1], [2**70, 1], [1, 2**70]],
    [{"x": [1.0]}, {"x": [2]}], [[[1.0], []], [[2, 3]]], [list(range(70000))],
    [[1.0] * 65536, list(range(65536))], [[1e39]], [[1.0, math.nan, math.inf]],
    [[1.0], "x"], [[1], [True]], nested(127, [1.5, 2]), nested(128, [1.5]),
])
def test_number_lists_read_in_one_piece(obj):
    try:
        expected = vorn.emit(spelled_out(obj))
    except Exception as e:  # noqa: BLE001 - the refusal must be the same
        with pytest.raises(type(e)) as got:
            vorn.emit(obj)
        assert str(got.value) == str(e)
        return
    assert vorn.emit(obj) == expected


def object_ids(obj, parsed, found):
    """Pairs each object's item kinds with its definition id, walking value and payload."""
    if isinstance(obj, dict):
        kinds = tuple(type(v).__name__ for v in obj.values())
        found.setdefault(kinds, set()).add(parsed[1])
        for v, p in zip(obj.values(), parsed[2][1::2]):
            object_ids(v, p, found)
    elif isinstance(obj, list):
        for v, p in zip(obj, parsed[3]):
            object_ids(v, p, found)
    return found


# Layouts met in runs are found again without the table: runs broken by other layouts of as many
# items, at the same depth or another, still give each layout one definition and no other.
@pytest.mark.parametrize("obj", [
    [{"a": 1}, {"a": "x"}, {"a": 1}, {"b": True}, {"a": "y"}],
    [{"a": [{"b": 1}]}, {"a": [{"b": "x"}]}, {"a": [{"b": 1}, {"b": 2.5}]}],
    [{str(i): i for i in range(n)} for n in (1, 17, 1, 33, 17, 49, 1)],
    [{"a": {"b": {"c": 1}}, "d": {"e": 1}}, {"a": {"b": {"c": "x"}}, "d": {"e": "y"}}] * 3,
    [{"k" + str(j): ([1] if j == i else 1) for j in range(20)} for i in range(20)] * 2,
])
def test_each_layout_has_one_definition(obj):
    img = parse_image(vorn.emit(obj))
    _, value = root(img)
    found = object_ids(obj, untagged(value), {})
    ids = [next(iter(s)) for s in found.values()]
    assert all(len(s) == 1 for s in found.values())
    assert len(set(ids)) == len(ids)
