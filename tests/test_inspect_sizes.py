"""vorn inspect --sizes and --html: where the bytes of an image go, adding up to the image."""

import html.parser
import json
import pathlib
import struct

import pytest

import vorn
from tests.support.command import run, write

CORPUS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "corpus"
CORPUS_FILES = sorted(CORPUS.glob("*.json")) if CORPUS.is_dir() else []
TIMEOUT = 120

# 92 bytes: header 13, definitions 13-54, dict 54-60, one entry of 22 payload bytes at 70.
EXAMPLE = '{"tags": ["x", "y", "x"], "name": "x"}'


def inspect(*args):
    return run("inspect", *args, timeout=TIMEOUT)


def sizes_of(image):
    result = inspect(image, "--sizes", "--json")
    assert (result.returncode, result.stderr) == (0, "")
    return json.loads(result.stdout)["sizes"]


def image_file(tmp_path, data, name="doc.vorn"):
    return write(tmp_path / name, data if isinstance(data, bytes) else vorn.dumps(data))


def rows(sizes):
    """Each definition as (index, values, self, total), in the order listed."""
    return [(d["index"], d["values"], d["self"], d["total"]) for d in sizes["definitions"]]


def kinds(sizes):
    return {k: (v["count"], v["bytes"]) for k, v in sizes["kinds"].items() if v["count"]}


def test_sizes_text_of_the_example(tmp_path):
    # The object (def 7) owns its header (2) and "x" inline (2); the array (def 6) its header
    # (6), two references (5 each) and "y" inline (2). Inline, the two references to "x" would
    # take 2 bytes each: 4 instead of 10.
    image = image_file(tmp_path, EXAMPLE)
    result = inspect(image, "--sizes")
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == f"""file: {image} (92 bytes)
blocks
  header                      13   14.1%
  definition block            41   44.6%
  dict block                   6    6.5%
  entry table                 10   10.9%
  payloads                    22   23.9%
  image                       92  100.0%
definitions by payload bytes (self: without nested arrays and objects; total: with them)
    def     values          self   share         total   share  shape
      6          1            18   19.6%            18   19.6%  Array of String
      7          1             4    4.3%            22   23.9%  Object 2 fields: "name" String, "tags" Array #6
payloads by kind                   values         bytes   share
  array headers                      1             6    6.5%
  object headers                     1             2    2.2%
  inline strings                     2             4    4.3%
  string references                  2            10   10.9%
strings
  inline       2 strings, 4 bytes
  dictionary   1 string, 6 bytes (the whole dict block)
  references   2, 10 bytes (the strings written inline instead: 4 bytes)
  saved        -6 bytes by the references, -12 bytes net of the dict block
"""


def test_sizes_json_of_the_example(tmp_path):
    result = inspect(image_file(tmp_path, EXAMPLE), "--json", "--sizes")
    report = json.loads(result.stdout)
    assert report["error"] is None and report["size"] == 92
    assert report["sizes"] == {
        "blocks": {"header": 13, "definition_block": 41, "dict_block": 6, "entry_table": 10,
                   "payloads": 22, "unused": 0},
        "definitions": [
            {"index": 6, "kind": "Array", "elem_type": "String", "shape": "Array of String",
             "values": 1, "self": 18, "total": 18},
            {"index": 7, "kind": "Object",
             "fields": [{"name": "name", "tag": "String", "bytes": 2},
                        {"name": "tags", "tag": "Array", "definition": 6, "bytes": 18}],
             "shape": 'Object 2 fields: "name" String, "tags" Array #6',
             "values": 1, "self": 4, "total": 22},
        ],
        "kinds": {"array_headers": {"count": 1, "bytes": 6},
                  "object_headers": {"count": 1, "bytes": 2},
                  "inline_strings": {"count": 2, "bytes": 4},
                  "string_references": {"count": 2, "bytes": 10},
                  "int32": {"count": 0, "bytes": 0}, "uint32": {"count": 0, "bytes": 0},
                  "float32": {"count": 0, "bytes": 0}, "bool": {"count": 0, "bytes": 0},
                  "null": {"count": 0, "bytes": 0}},
        "strings": {"inline_count": 2, "inline_bytes": 4, "dict_count": 1, "dict_bytes": 6,
                    "ref_count": 2, "ref_bytes": 10, "saved": -6},
    }
    # Without --sizes the JSON document keeps its keys.
    assert "sizes" not in json.loads(inspect(image_file(tmp_path, EXAMPLE), "--json").stdout)


# (document, rows as (index, values, self, total), kinds as {name: (count, bytes)}), worked
# out by hand from the layout of dumps.
DOCUMENTS = [
    # A definition nested in itself: {"a": ...} with an object value (def 7) holds one with an
    # Int32 value (def 6). Def 7 has two values of 2 own bytes each; its total is the outer
    # value's 10 bytes, not 10 + 8.
    ('{"a": {"a": {"a": 1}}}', [(6, 1, 6, 6), (7, 2, 4, 10)],
     {"object_headers": (3, 6), "int32": (1, 4)}),
    # Fixed-width elements are the array's own bytes; null elements take none.
    ('{"n": [null, null, null], "f": [1, 2.5], "b": [true, false]}',
     [(7, 1, 14, 14), (6, 1, 8, 8), (8, 1, 6, 6), (9, 1, 2, 30)],
     {"array_headers": (3, 18), "object_headers": (1, 2), "float32": (2, 8), "bool": (2, 2),
      "null": (3, 0)}),
    # A scalar entry belongs to its entry's definition: String is #5; "hello" is 1 + 5 bytes.
    ('"hello"', [(5, 1, 6, 6)], {"inline_strings": (1, 6)}),
    # A 200-byte string takes the medium form: 2 + 200; its reference saves 202 - 5.
    ('["' + "s" * 200 + '", "' + "s" * 200 + '"]', [(6, 1, 213, 213)],
     {"array_headers": (1, 6), "inline_strings": (1, 202), "string_references": (1, 5)}),
    # Arrays of arrays: the outer array owns its header only.
    ('[[1, 2], [3]]', [(6, 2, 24, 24), (7, 1, 6, 30)],
     {"array_headers": (3, 18), "int32": (3, 12)}),
]


@pytest.mark.parametrize("doc, expected_rows, expected_kinds", DOCUMENTS)
def test_sizes_of_small_documents(tmp_path, doc, expected_rows, expected_kinds):
    image = vorn.dumps(doc)
    sizes = sizes_of(image_file(tmp_path, image))
    assert rows(sizes) == expected_rows
    assert kinds(sizes) == expected_kinds
    assert sum(sizes["blocks"].values()) == len(image)


def test_wide_objects_show_their_heaviest_fields(tmp_path):
    doc = {"a": 1, "b": 2, "c": "x" * 50, "d": True, "e": [1, 2, 3], "f": None}
    sizes = sizes_of(image_file(tmp_path, json.dumps(doc)))
    obj = sizes["definitions"][0]
    assert obj["shape"] == \
        'Object 6 fields, the heaviest: "c" String, "e" Array #6, "a" Int32, "b" Int32, ... 2 more'
    assert [(f["name"], f["bytes"]) for f in obj["fields"]] == \
        [("a", 4), ("b", 4), ("c", 51), ("d", 1), ("e", 18), ("f", 0)]
    assert (obj["self"], obj["total"]) == (2 + 4 + 4 + 51 + 1, 2 + 4 + 4 + 51 + 1 + 18)


def test_sizes_of_the_reference_saving(tmp_path):
    sizes = sizes_of(image_file(tmp_path, vorn.dumps(json.dumps(["s" * 200] * 3))))
    assert sizes["strings"] == {"inline_count": 1, "inline_bytes": 202, "dict_count": 1,
                                "dict_bytes": 4 + 202, "ref_count": 2, "ref_bytes": 10,
                                "saved": 2 * (202 - 5)}


def test_sizes_of_json_lines_entries(tmp_path):
    src = write(tmp_path / "events.jsonl", '{"id": 1}\n{"id": 2}\n"done"\n')
    assert run("encode", "--lines", src, timeout=TIMEOUT).returncode == 0
    sizes = sizes_of(tmp_path / "events.vorn")
    # Three entries: 4 + 3 * 6 bytes of entry table; two objects of 6 bytes, one string of 5.
    assert sizes["blocks"]["entry_table"] == 22
    assert rows(sizes) == [(6, 2, 12, 12), (5, 1, 5, 5)]


def patched_example(tmp_path, edit):
    image = bytearray(vorn.dumps(EXAMPLE))
    image = edit(image)
    path = image_file(tmp_path, bytes(image), "patched.vorn")
    assert vorn.loads(bytes(image)) == json.loads(EXAMPLE)  # still a valid image
    return path


def with_gap_after_header(image):
    # Three bytes no count covers between the header and the definition block.
    d, s, a = struct.unpack_from("<III", image, 1)
    struct.pack_into("<III", image, 1, d + 3, s + 3, a + 3)
    return image[:13] + b"\0\0\0" + image[13:]


def with_medium_string(image):
    # "y" at offset 85 rewritten in the medium form (80 01 79): one byte longer than needed.
    struct.pack_into("<I", image, 66, 23)
    return image[:85] + b"\x80" + image[85:]


# (edit, unused bytes, the array's self bytes, inline string bytes)
PATCHES = [
    (lambda image: image + b"\xAA" * 5, 5, 18, 4),
    (with_gap_after_header, 3, 18, 4),
    (with_medium_string, 0, 19, 5),
]


@pytest.mark.parametrize("edit, unused, array_self, inline_bytes", PATCHES)
def test_sizes_count_the_bytes_as_written(tmp_path, edit, unused, array_self, inline_bytes):
    path = patched_example(tmp_path, edit)
    sizes = sizes_of(path)
    assert sizes["blocks"]["unused"] == unused
    assert sum(sizes["blocks"].values()) == path.stat().st_size
    assert rows(sizes)[0] == (6, 1, array_self, array_self)
    assert sizes["kinds"]["inline_strings"]["bytes"] == inline_bytes


def count_containers(value):
    """(lists, dicts) in a value read back."""
    if isinstance(value, list):
        inner = [count_containers(v) for v in value]
        return 1 + sum(i[0] for i in inner), sum(i[1] for i in inner)
    if isinstance(value, dict):
        inner = [count_containers(v) for v in value.values()]
        return sum(i[0] for i in inner), 1 + sum(i[1] for i in inner)
    return 0, 0


@pytest.mark.skipif(not CORPUS_FILES, reason="the benchmark corpus is not here")
@pytest.mark.parametrize("source", CORPUS_FILES, ids=lambda p: p.name)
def test_sizes_add_up_on_the_corpus(tmp_path, source):
    try:
        image = vorn.dumps(source.read_text(encoding="utf-8"))
    except ValueError as e:  # beyond what the format holds: too many items or fields
        pytest.skip(str(e))
    path = image_file(tmp_path, image)
    sizes = sizes_of(path)
    blocks = sizes["blocks"]
    assert sum(blocks.values()) == len(image)
    assert sum(d["self"] for d in sizes["definitions"]) == blocks["payloads"]
    assert sum(k["bytes"] for k in sizes["kinds"].values()) == blocks["payloads"]
    for d in sizes["definitions"]:
        assert d["self"] <= d["total"] <= blocks["payloads"]
        assert sum(f["bytes"] for f in d.get("fields", [])) <= d["total"]
    lists, dicts = count_containers(vorn.loads(image))
    assert (sizes["kinds"]["array_headers"]["count"], sizes["kinds"]["object_headers"]["count"]) \
        == (lists, dicts)
    # The text form lists the same blocks.
    text = inspect(path, "--sizes").stdout
    assert f"  payloads{blocks['payloads']:>22,}" in text


def test_sizes_of_a_damaged_image(tmp_path):
    image = bytearray(vorn.dumps(EXAMPLE))
    struct.pack_into("<I", image, 81, 5)  # a reference past the dictionary
    path = image_file(tmp_path, bytes(image))
    page = tmp_path / "page.html"
    message = f"vorn: {path}: StrRef index 5 out of bounds\n"
    result = inspect(path, "--sizes", "--json", "--html", page)
    assert (result.returncode, result.stderr) == \
        (1, f"vorn: {page}: not written: the image has a fault\n" + message)
    assert json.loads(result.stdout)["sizes"] is None
    assert not page.exists()
    # The text form shows what the image holds, as without --sizes.
    text = inspect(path, "--sizes")
    assert (text.returncode, text.stdout, text.stderr) == \
        (1, inspect(path).stdout, message)


class Page(html.parser.HTMLParser):
    """Checks that the tags nest and close, and keeps the text and the attributes."""

    VOID = {"meta", "br", "img", "hr", "input", "link"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.open, self.tags, self.attrs, self.text = [], [], [], []

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self.attrs.extend(attrs)
        if tag not in self.VOID:
            self.open.append(tag)

    def handle_endtag(self, tag):
        assert self.open and self.open[-1] == tag, (tag, self.open)
        self.open.pop()

    def handle_data(self, data):
        self.text.append(data)


def parse_page(path):
    page = Page()
    page.feed(path.read_text(encoding="utf-8"))
    page.close()
    assert page.open == []
    return page


def assert_self_contained(page):
    assert "script" not in page.tags and "link" not in page.tags
    for name, value in page.attrs:
        assert not name.startswith("on"), name
        if name in ("src", "href"):
            assert not value.startswith(("http:", "https:", "//")), value
    assert "url(" not in "".join(page.text)


def test_html_page_of_the_example(tmp_path):
    image = image_file(tmp_path, EXAMPLE)
    out = tmp_path / "report.html"
    result = inspect(image, "--html", out)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    page = parse_page(out)
    assert_self_contained(page)
    text = " ".join(" ".join(page.text).split())
    for label in ("Blocks", "definition block", "dict block", "payloads",
                  'Object 2 fields: "name" String, "tags" Array #6', "Array of String",
                  "inline strings", "string references", "Strings"):
        assert label in text, label
    assert f"Where the bytes of \"{image}\" go" in text
    # The definition rows: index, shape, values, self, share, total, share.
    assert '#6 Array of String 1 18 19.6% 18 19.6%' in text
    assert '#7 Object 2 fields: "name" String, "tags" Array #6 1 4 4.3% 22 23.9%' in text


HOSTILE_NAMES = ['<script>alert(1)</script>', '"><img src=x onerror=alert(1)>',
                 "' onmouseover='alert(1)", "</code></td></tr></table><script src=//e.vil>"]


def test_html_escapes_field_names(tmp_path):
    doc = json.dumps({name: i for i, name in enumerate(HOSTILE_NAMES)})
    image = image_file(tmp_path, doc, "<b>odd &amp; name.vorn")
    out = tmp_path / "report.html"
    assert inspect(image, "--html", out).returncode == 0
    page = parse_page(out)
    assert_self_contained(page)
    assert set(page.tags) <= {"html", "head", "meta", "title", "style", "body", "h1", "h2", "p",
                              "div", "table", "tr", "th", "td", "span", "code"}
    text = "".join(page.text)
    for name in HOSTILE_NAMES:  # the label cuts a name after 40 bytes, the hover text does not
        assert json.dumps(name)[:40] in text
    titles = [value for name, value in page.attrs if name == "title"]
    assert any(all(json.dumps(n) in t for n in HOSTILE_NAMES) for t in titles)
    assert "<b>odd &amp; name.vorn" in text


def test_html_page_is_an_output_like_the_others(tmp_path):
    image = image_file(tmp_path, EXAMPLE)
    out = write(tmp_path / "report.html", "old")
    result = inspect(image, "--html", out)
    assert (result.returncode, result.stderr) == \
        (1, f"vorn: {out}: already exists; use -f to replace it\n")
    assert out.read_text() == "old"
    result = inspect(image, "--html", out, "-f", "--sizes")
    assert result.returncode == 0 and result.stdout.startswith(f"file: {image} (92 bytes)\nblocks")
    assert out.read_text().startswith("<!DOCTYPE html>")
    result = inspect(image, "--html", image, "-f")
    assert (result.returncode, result.stderr) == (1, f"vorn: {image}: output is the input file\n")
    result = inspect(image, "--html", "-")
    assert (result.returncode, result.stderr) == \
        (2, "vorn: inspect: --html takes a file name (see 'vorn inspect --help')\n")
    result = inspect(image, "--html", tmp_path / "no" / "such" / "dir.html")
    assert result.returncode == 1 and "dir.html: " in result.stderr


@pytest.mark.skipif(not CORPUS_FILES, reason="the benchmark corpus is not here")
def test_html_page_of_a_corpus_file(tmp_path):
    source = CORPUS / "twitter.json"
    image = image_file(tmp_path, vorn.dumps(source.read_text(encoding="utf-8")))
    out = tmp_path / "twitter.html"
    assert inspect(image, "--html", out).returncode == 0
    page = parse_page(out)
    assert_self_contained(page)
    sizes = sizes_of(image)
    text = " ".join(" ".join(page.text).split())
    heaviest = sizes["definitions"][0]
    assert f"#{heaviest['index']} " in text and f"{heaviest['self']:,}" in text
    assert f"{len(vorn.dumps(source.read_text(encoding='utf-8'))):,} bytes in all" in text
