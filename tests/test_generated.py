"""Generated sources are what their generators make now."""

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_pow5_table_is_what_its_generator_writes():
    made = subprocess.run([sys.executable, str(ROOT / "tools" / "gen_pow5_table.py")],
                          capture_output=True, text=True, check=True, timeout=60).stdout
    assert made == (ROOT / "src" / "compile" / "pow5_table.h").read_text()
