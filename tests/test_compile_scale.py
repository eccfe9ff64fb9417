"""The fused compiler on its own: refusals in the chain's order without a second compile, the
walk order through reordered and escaped members, and memory that stays proportional to the text
for a refusal as for a success."""

import os
import subprocess
import sys
import textwrap

import pytest

import vorn
from tests.support.image import parse_image, root, to_python
from tests.support.refusals import refusal as refusal_of, refusal_text

SANITIZED = bool(os.environ.get("VORN_EXPECT_SANITIZED"))
MANY = "[" + "0," * 65535 + "0]"  # an array one item over the format's count
MORE = "[" + "0," * 65536 + "0]"


def refusal(text):
    return refusal_of(vorn.dumps, text)


def fields(n):
    return "{" + ", ".join(f'"f{k:03}": {k}' for k in range(n)) + "}"


@pytest.mark.parametrize(
    "text, message",
    [
        # The compiler before the encoder: a mixed array after a payload fault, or inside it.
        ("[" + MANY + ', [1, "a"]]', "Array item 1 is String but elem_type is Int32"),
        ('[[1, "a"], ' + MANY + "]", "Array item 1 is String but elem_type is Int32"),
        ('[0, [true, 1]' + "," + "0," * 65534 + "0]",
         "Array item 1 is Int32 but elem_type is Bool"),
        # An array's items before the array: the inner refusal, though the outer mismatch comes
        # first in the text.
        ('[true, 1, [2, "y"]]', "Array item 1 is String but elem_type is Int32"),
        ('{"b": [true, 2], "a": [["x"], [1, "y"]]}',
         "Array item 1 is String but elem_type is Int32"),
        # The encoder's payload faults in payload order: an array before its items, items in
        # order.
        ("[" + MANY + ", " + MORE + "]", "Array has 65536 items (max 65535)"),
        ("[" + MORE + ", " + MANY + "]", "Array has 65537 items (max 65535)"),
        # The encoder before what loads would refuse.
        ("[[" + fields(257) + "], " + MANY + "]", "Array has 65536 items (max 65535)"),
        ("[[1e39], " + MANY + "]", "Array has 65536 items (max 65535)"),
        # Then the reader's refusals: the definitions first, then the first non-finite float.
        ("[[1e39], [" + fields(257) + "]]", "Object #7 has 257 fields (max 256)"),
        ("[[-1e39], [1e39]]", "Cannot represent float -inf"),
    ],
)
def test_refusals_come_in_the_chains_order(text, message):
    assert refusal(text) == message


@pytest.mark.parametrize("occurrences, message", [
    # Once: an inline string, a payload fault after the array before it.
    (1, "Array has 65536 items (max 65535)"),
    # Twice: the second occurrence puts it in the dict, which the encoder writes, and refuses,
    # before any payload.
    (2, "String exceeds maximum inline length (16 777 215 bytes)"),
])
def test_a_dict_string_fails_before_the_payload(occurrences, message):
    long = '["' + "x" * 16_777_216 + '"]'
    assert refusal("[" + MANY + (", " + long) * occurrences + "]") == message


@pytest.mark.parametrize(
    "text, strings, value",
    [
        # Members in key order through objects whose keys are not in key order, containers
        # among them: "t" and "s" occur first under "a", and again under "z", where key order
        # puts "x" (holding "t") before "y" (holding "s").
        ('{"z": {"y": "s", "x": {"q": "t"}}, "a": ["t", "s"]}', ["t", "s"],
         {"a": ["t", "s"], "z": {"x": {"q": "t"}, "y": "s"}}),
        # The last of duplicate keys wins, also in a reordered object.
        ('{"b": "u", "a": "v", "b": "v"}', ["v"], {"a": "v", "b": "v"}),
        # An escaped string is the same string as its plain spelling.
        ('["a\\u0062", "ab", "\\n", "\\u000a"]', ["ab", "\n"], ["ab", "ab", "\n", "\n"]),
    ],
)
def test_walk_order_and_dict(text, strings, value):
    img = parse_image(vorn.dumps(text))
    assert img.strings == strings
    assert to_python(img) == value
    assert vorn.loads(vorn.dumps(text)) == value


def test_escaped_keys_share_definitions_with_plain_ones():
    img = parse_image(vorn.dumps('[{"\\u0061": 1, "b\\"": 2}, {"b\\"": 3, "a": 4}]'))
    _, value = root(img)
    objects = [d for d in img.definitions if d[0] == 17]
    assert objects == [(17, 6, [("a", 2), ('b"', 2)])]
    assert [item[1] for item in value[3]] == [6, 6]


RECORDS = textwrap.dedent("""
    def records(n, last):
        body = ",".join('{"id": %d, "name": "n%d", "tags": ["t%d", "u"], "v": %d.5, '
                        '"m": {"z": "z%d", "a": %d}}' % (i, i, i % 7, i, i, i) for i in range(n))
        return '[{"rows": [' + body + ']}, {"rows": [' + last + ']}]'
""")


def peak_of_dumps(last):
    """Peak resident memory a fresh process adds while it compiles a 10 MB records text, as a
    multiple of the text, and the outcome."""
    code = RECORDS + textwrap.dedent(f"""
        import vorn
        def status(key):
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) for l in f if l.startswith(key)) * 1024
        vorn.dumps('[{{"a": [1, 2.5], "b": "x"}}]')
        text = "[" + ",".join([records(50_000, {last!r})] * 2) + "]"
        base = status("VmRSS") - len(text)
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        try:
            outcome = len(vorn.dumps(text))
        except ValueError as e:
            outcome = str(e)
        print((status("VmHWM") - base) / len(text), outcome)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=120, check=True)
    ratio, outcome = out.stdout.split(" ", 1)
    return float(ratio), outcome.strip()


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator keeps freed memory")
@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="needs /proc")
def test_a_refusal_costs_no_more_memory_than_a_success():
    ok, image = peak_of_dumps('{"id": 0}')
    assert image.isdigit()
    # The text itself counts once; its tape (nine bytes a value: about the text's size for these
    # short members), the dict map and the payload come to less than two and a half times more.
    assert ok < 3.5
    for last, message in [('{"tags": ["a", 1]}', "Array item 1 is Int32 but elem_type is String"),
                          (fields(257), "Object #11 has 257 fields (max 256)")]:
        ratio, outcome = peak_of_dumps(last)
        assert refusal_text(outcome) == message
        assert ratio < ok + 0.25
