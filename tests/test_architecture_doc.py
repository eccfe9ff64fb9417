"""docs/ARCHITECTURE.md names only files, folders and tests that exist."""

import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
TEXT = (ROOT / "docs" / "ARCHITECTURE.md").read_text()
FILE_NAME = re.compile(r"^[\w./-]+\.(h|cpp|py|md|toml|txt)$")
TRACKED = {p.relative_to(ROOT).as_posix() for p in ROOT.rglob("*")
           if not any(part.startswith((".", "build")) for part in p.relative_to(ROOT).parts)}


EXTERNAL = {"Python.h"}


def named():
    """(path, test) for each file, folder or test the page names; placeholders in capitals
    (fuzz/seeds/TARGET) stand for any name."""
    for word in re.findall(r"`([^`\s]+)`", TEXT):
        path, _, test = word.partition("::")
        if path in EXTERNAL or re.search(r"[A-Z]{4,}", path):
            continue
        if "/" in path or FILE_NAME.match(path):
            yield path.rstrip("/"), test


def test_every_path_exists():
    missing = []
    for path, test in named():
        if "/" in path and path.split("/")[0] in {"src", "tests", "docs", "fuzz", "tools",
                                                  "bench", "examples"}:
            if "*" in path:
                if not list(ROOT.glob(path)):
                    missing.append(path)
            elif path not in TRACKED and not any(t.startswith(path + "/") for t in TRACKED):
                missing.append(path)
            elif test and f"def {test}(" not in (ROOT / path).read_text():
                missing.append(f"{path}::{test}")
        elif "/" not in path and not any(t.endswith("/" + path) or t == path for t in TRACKED):
            missing.append(path)
    assert missing == []
