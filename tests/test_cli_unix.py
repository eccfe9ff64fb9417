"""The vorn command as a Unix tool: standard input and output in pipes, outputs that never
replace the input or an existing file by surprise, binary images kept off terminals, write
errors reported rather than signalled, the version and the help."""

import importlib.metadata
import json
import os
import pathlib
import re
import resource
import subprocess

import pytest

import vorn
from tests.support.command import run_on_terminal, vorn_command, write
from tests.support.command import run as run_command


def run(*args, **kwargs):
    """The command run to its end, which must come within a minute."""
    return run_command(*args, timeout=kwargs.pop("timeout", 60), **kwargs)

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOC = '{"name": "x", "tags": ["x", "y", "x"]}'
IMAGE = vorn.dumps(DOC)
DECODED = '{"name":"x","tags":["x","y","x"]}\n'
BOM = b"\xef\xbb\xbf"
JOBS_RANGE = "-j takes a number from 0 to 256 (0: one per processor)"
# What each command reads and what it makes of it.
CASES = {"encode": (DOC.encode(), IMAGE, "out.vorn"),
         "decode": (IMAGE, DECODED.encode(), "out.json")}


def big_image(tmp_path):
    """An image whose JSON text is well beyond a pipe's buffer."""
    text = json.dumps([{"id": i, "name": f"user{i % 100}", "tags": ["a", "b"]}
                       for i in range(20000)])
    return write(tmp_path / "big.vorn", vorn.dumps(text))


# --- outputs ------------------------------------------------------------------------------------

@pytest.mark.parametrize("command", CASES)
@pytest.mark.parametrize("how", ["same name", "hard link", "symbolic link", "with -f", "stdout"])
def test_an_output_that_is_the_input_is_refused(tmp_path, command, how):
    data = CASES[command][0]
    src = write(tmp_path / "in", data)
    out, extra = src, []
    if how == "hard link":
        out = tmp_path / "hard"
        os.link(src, out)
    elif how == "symbolic link":
        out = tmp_path / "sym"
        out.symlink_to(src)
    elif how == "with -f":
        extra = ["-f"]
    if how == "stdout":  # appending, as the shell's >> does, so that nothing is emptied first
        with open(src, "ab") as sink:
            result = run(command, src, "-o", "-", stdout=sink)
    else:
        result = run(command, src, "-o", out, *extra)
    assert (result.returncode, result.stderr) == (1, f"vorn: {src}: output is the input file\n")
    assert src.read_bytes() == data


# (decode writes to standard output unless -o names a file, so never beside its input)
@pytest.mark.parametrize("command, where", [("encode", "file"), ("encode", "directory"),
                                            ("encode", "beside"), ("decode", "file"),
                                            ("decode", "directory")])
def test_an_existing_output_needs_force(tmp_path, command, where):
    data, made, name = CASES[command]
    src = write(tmp_path / ("in.json" if command == "encode" else "in.vorn"), data)
    out_arg = {"file": tmp_path / name, "directory": f"{tmp_path / 'dir'}/", "beside": None}[where]
    out = {"file": tmp_path / name, "directory": tmp_path / "dir" / ("in" + name[3:]),
           "beside": tmp_path / "in.vorn"}[where]
    out.parent.mkdir(exist_ok=True)
    write(out, "keep").chmod(0o640)
    args = [command, src, *(["-o", out_arg] if out_arg else [])]
    refused = run(*args)
    assert (refused.returncode, refused.stdout, refused.stderr) == \
        (1, "", f"vorn: {out}: already exists; use -f to replace it\n")
    assert out.read_text() == "keep"
    for flag in ("-f", "--force"):
        forced = run(*args, flag)
        assert (forced.returncode, forced.stderr) == (0, "")
        assert out.read_bytes() == made
        assert out.stat().st_mode & 0o777 == 0o640  # replaced, keeping its mode


@pytest.mark.parametrize("command", CASES)
@pytest.mark.parametrize("inputs", [1, 2])
def test_an_output_directory_ends_with_a_slash(tmp_path, command, inputs):
    data, made, name = CASES[command]
    ext = ".json" if command == "encode" else ".vorn"
    sources = [write(tmp_path / f"in{i}{ext}", data) for i in range(inputs)]
    result = run(command, *sources, "-o", f"{tmp_path / 'new' / 'dir'}/")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    written = sorted(p.name for p in (tmp_path / "new" / "dir").iterdir())
    assert written == [f"in{i}{name[3:]}" for i in range(inputs)]
    assert (tmp_path / "new" / "dir" / written[0]).read_bytes() == made


def test_an_image_is_never_written_to_a_terminal(tmp_path):
    src = write(tmp_path / "in.json", DOC)
    message = b"vorn: refusing to write a binary image to a terminal; use -o FILE or a pipe\n"
    for args in (["encode", src, "-o", "-"], ["encode", "-"], ["encode"]):
        status, shown, (_, err) = run_on_terminal(args, streams=("stdout",))
        assert (status, shown, err) == (2, "", message)
    # JSON text is fine on a terminal, and an image is fine in a pipe.
    image = write(tmp_path / "in.vorn", IMAGE)
    status, shown, _ = run_on_terminal(["decode", image], streams=("stdout",))
    assert (status, shown) == (0, DECODED.replace("\n", "\r\n"))
    assert run("encode", src, "-o", "-", text=False).stdout == IMAGE


@pytest.mark.parametrize("args, message", [
    (["encode", "a.json", "b.json", "-o", "-"],
     "encode: '-o -' writes to standard output, which takes one input only"),
    (["encode", "-", "a.json", "-"], "encode: standard input ('-') can be read only once"),
    (["decode", "-", "-"], "decode: standard input ('-') can be read only once"),
    (["stats", "-", "-"], "stats: standard input ('-') can be read only once"),
    (["encode", "-", "a.json", "-o", "out/"],
     "encode: standard input has no name to write into 'out/' (use -o FILE)"),
    (["decode", "a.vorn", "--lines", "--indent", "2"],
     "decode: --lines writes one line per entry and takes no --indent"),
    (["encode", "a.json", "-j", "x"], f"encode: {JOBS_RANGE}"),
    (["stats", "a.json", "--jobs=257"], f"stats: {JOBS_RANGE}"),
    (["encode", "a.json", "-qx"], "encode: unknown option '-x'"),
    (["inspect", "a.vorn", "-j", "2"], "inspect: unknown option '-j'"),
])
def test_usage_errors(args, message):
    result = run(*args)
    command = args[0]
    assert (result.returncode, result.stdout, result.stderr) == \
        (2, "", f"vorn: {message} (see 'vorn {command} --help')\n")


@pytest.mark.parametrize("command", ["encode", "decode"])
def test_no_input_on_a_terminal_is_a_usage_error(command):
    status, _, (out, err) = run_on_terminal([command], streams=("stdin",))
    assert (status, out, err) == \
        (2, b"", f"vorn: {command}: no input file given (see 'vorn {command} --help')\n".encode())


def file_size_limit():
    resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))


@pytest.mark.parametrize("to_stdout", [False, True])
def test_a_file_size_limit_is_a_write_error(tmp_path, to_stdout):
    src = write(tmp_path / "in.json", json.dumps(list(range(100))))
    out = tmp_path / "out.vorn"
    with open(out, "wb") as sink:
        result = run("encode", src, "-o", "-" if to_stdout else out, "-f",
                     stdout=sink, preexec_fn=file_size_limit)
    name = "standard output" if to_stdout else out
    assert (result.returncode, result.stderr) == \
        (1, f"vorn: {name}: File too large (os error 27)\n")
    assert out.stat().st_size == (64 if to_stdout else 0)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.json", "out.vorn"]  # no temporary


# --- pipes --------------------------------------------------------------------------------------

@pytest.mark.parametrize("command", CASES)
@pytest.mark.parametrize("args", [[], ["-"], ["-", "-o", "-"]])
def test_standard_input_to_standard_output(command, args):
    data, made, _ = CASES[command]
    result = run(command, *args, input=data, text=False)
    assert (result.returncode, result.stdout, result.stderr) == (0, made, b"")


def test_standard_input_to_a_file(tmp_path):
    result = run("encode", "-o", tmp_path / "out.vorn", input=DOC)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert (tmp_path / "out.vorn").read_bytes() == IMAGE


def test_a_pipeline_in_both_directions(tmp_path):
    src = write(tmp_path / "in.json", DOC)
    encode = subprocess.Popen([vorn_command(), "encode", src, "-o", "-"], stdout=subprocess.PIPE)
    decode = subprocess.Popen([vorn_command(), "decode"], stdin=encode.stdout,
                              stdout=subprocess.PIPE)
    encode.stdout.close()
    out, _ = decode.communicate(timeout=60)
    assert (encode.wait(timeout=60), decode.returncode, out) == (0, 0, DECODED.encode())


@pytest.mark.parametrize("command", ["inspect", "stats"])
def test_inspect_and_stats_read_standard_input(command):
    data = IMAGE if command == "inspect" else DOC.encode()
    result = run(command, "-", "--json", input=data, text=False)
    assert result.returncode == 0
    report = json.loads(result.stdout)
    assert (report if command == "inspect" else report[0])["file"] == "standard input"


def test_standard_input_is_named_in_messages():
    result = run("encode", input='{"a": }')
    assert (result.returncode, result.stderr) == \
        (1, "vorn: standard input: expected value at line 1 column 7\n")


@pytest.mark.parametrize("command", ["encode", "stats"])
def test_a_byte_order_mark_is_skipped(tmp_path, command):
    src = write(tmp_path / "in.json", BOM + DOC.encode())
    result = run(command, src, *(["--json"] if command == "stats" else []))
    assert (result.returncode, result.stderr) == (0, "")
    if command == "encode":
        assert (tmp_path / "in.vorn").read_bytes() == IMAGE
    else:
        assert json.loads(result.stdout)[0]["round_trip"] == "exact"
    # Only at the very start: elsewhere it is text the reader refuses.
    late = run(command, write(tmp_path / "late.json", b" " + BOM + b"[1]"))
    assert late.returncode == 1 and "expected value at line 1 column 2" in late.stderr


@pytest.mark.parametrize("args", [["decode", "BIG"], ["decode", "BIG", "BIG", "-j", "2"],
                                  ["encode", "JSON", "-o", "-"], ["stats", "JSON", "--json"]])
def test_a_reader_that_goes_away_ends_the_command_quietly(tmp_path, args):
    image = big_image(tmp_path)
    text = write(tmp_path / "big.json", json.dumps(vorn.loads(image.read_bytes())))
    args = [image if a == "BIG" else text if a == "JSON" else a for a in args]
    with subprocess.Popen([vorn_command(), *map(str, args)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as proc:
        proc.stdout.close()  # before the command writes anything
        _, err = proc.communicate(timeout=60)
    # cat and zstd are ended by SIGPIPE here; vorn ignores it and ends with status 1, silently.
    assert (proc.returncode, err) == (1, b"")


def test_a_full_disk_on_standard_output_is_reported(tmp_path):
    with open("/dev/full", "wb") as full:
        result = run("decode", write(tmp_path / "in.vorn", IMAGE), stdout=full)
    assert (result.returncode, result.stderr) == \
        (1, "vorn: standard output: No space left on device (os error 28)\n")


# --- what users expect of any command -------------------------------------------------------------

def test_version():
    declared = re.search(r'^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text(), re.M)[1]
    for flag in ("--version", "-V"):
        result = run(flag)
        assert (result.returncode, result.stdout, result.stderr) == (0, f"vorn {declared}\n", "")
    try:
        installed = importlib.metadata.version("vorn")
    except importlib.metadata.PackageNotFoundError:
        return
    assert run("-V").stdout == f"vorn {installed}\n"


def test_help_of_a_command_and_unknown_ones():
    assert run("help").stdout == run("--help").stdout
    result = run("help", "frob")
    assert (result.returncode, result.stderr) == \
        (2, "vorn: unknown command 'frob' (see 'vorn --help')\n")


def readme_command_section():
    return (ROOT / "docs" / "COMMAND.md").read_text()


def test_the_overview_lists_every_option_the_readme_shows():
    options = set(re.findall(r"(?<![\w-])(--?[a-zA-Z][a-z-]*)", readme_command_section()))
    assert {"-o", "-f", "-j", "-q", "--exact", "--lines", "--indent", "--json"} <= options
    overview = run("--help").stdout
    assert sorted(o for o in options if not re.search(rf"(?<![\w-]){o}\b", overview)) == []


@pytest.mark.parametrize("command", ["decode", "inspect"])
@pytest.mark.parametrize("data, like_json", [(b'{"a": 1}', True), (BOM + b'\n  [1]', True),
                                             (b'"text"', True),
                                             (b"\x02[1, 2, 3, 4, 5, 6, 7]", False)])
def test_json_given_for_an_image(tmp_path, command, data, like_json):
    src = write(tmp_path / "data.json", data)
    result = run(command, src)
    assert result.returncode == 1
    if like_json:
        assert (result.stdout, result.stderr) == \
            ("", f"vorn: {src}: not a VORN image: it starts like JSON text; "
                 "did you mean vorn encode?\n")
    else:
        assert result.stderr == f"vorn: {src}: Unsupported VORN version: 2\n"


def test_numbers_are_grouped_in_reports_only(tmp_path):
    image = big_image(tmp_path)
    report = run("inspect", image).stdout
    size = image.stat().st_size
    assert f"file: {image} ({size:,} bytes)" in report
    assert re.search(r"data block +offset +\d+  size +\d{1,3}(,\d{3})+\n", report)
    refused = run("encode", write(tmp_path / "long.json", json.dumps([1] * 70000)))
    assert refused.stderr.endswith(": Array has 70000 items (max 65535)\n")


@pytest.mark.parametrize("command", CASES)
@pytest.mark.parametrize("how", ["symbolic link", "hard link"])
def test_a_batch_output_that_is_another_input_is_refused(tmp_path, command, how):
    data, _, _ = CASES[command]
    ext = ".json" if command == "encode" else ".vorn"
    first, second = write(tmp_path / f"a{ext}", data), write(tmp_path / f"b{ext}", data)
    out = tmp_path / "out"
    out.mkdir()
    made = "a.vorn" if command == "encode" else "a.json"
    if how == "symbolic link":
        (out / made).symlink_to(f"../b{ext}")
    else:
        os.link(second, out / made)
    done = run(command, first, second, "-o", f"{out}/", "-f")
    assert done.returncode == 2
    assert done.stderr == (f"vorn: {command}: '{out}/{made}' is the input file '{second}' "
                           f"(see 'vorn {command} --help')\n")
    assert second.read_bytes() == data


@pytest.mark.parametrize("command", CASES)
def test_two_outputs_that_are_one_file_are_refused(tmp_path, command):
    data, _, _ = CASES[command]
    ext, made = (".json", ".vorn") if command == "encode" else (".vorn", ".json")
    sources = [write(tmp_path / f"{n}{ext}", data) for n in "ab"]
    out = tmp_path / "out"
    out.mkdir()
    shared = write(tmp_path / "shared", b"keep")
    for n in "ab":
        (out / f"{n}{made}").symlink_to(shared)
    done = run(command, *sources, "-o", f"{out}/", "-f")
    assert done.returncode == 2
    assert done.stderr == (f"vorn: {command}: '{out}/a{made}' and '{out}/b{made}' are the same "
                           f"file (see 'vorn {command} --help')\n")
    assert shared.read_bytes() == b"keep"
