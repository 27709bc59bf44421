"""Every Python example of the README runs as a script.

The ```python blocks are read in order; a block that starts with an import
starts a new script, and the blocks after it (sessions with >>> prompts,
whose output lines are dropped) continue it.  Each script runs in a fresh
interpreter, from a scratch directory, against the installed package.
"""

import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"


def code_of(block):
    """The code of a block: a >>> session without its prompts and output, or the block as it is."""
    lines = block.splitlines()
    if not any(line.startswith(">>> ") for line in lines):
        return block
    return "\n".join(line[4:] for line in lines if line.startswith((">>> ", "... ")))


def scripts():
    blocks = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), flags=re.S | re.M)
    out = []
    for block in blocks:
        code = code_of(block)
        first = next((line for line in code.splitlines() if line.strip()), "")
        if first.startswith(("import ", "from ")) or not out:
            out.append([])
        out[-1].append(code)
    return ["\n".join(parts) for parts in out]


SCRIPTS = scripts()


def test_the_readme_has_its_examples():
    assert len(SCRIPTS) >= 4 and any("if __name__ == \"__main__\":" in script for script in SCRIPTS)


@pytest.mark.parametrize("script", SCRIPTS, ids=[f"script{i}" for i in range(len(SCRIPTS))])
def test_readme_example_runs(script, tmp_path):
    if "dask" in script:
        pytest.importorskip("dask.dataframe")
        pytest.importorskip("distributed")
    path = tmp_path / "example.py"
    path.write_text(script, encoding="utf-8")
    # -P and a scratch directory: the installed package, never the source tree.
    out = subprocess.run([sys.executable, "-P", str(path)], capture_output=True, text=True, cwd=tmp_path,
                         timeout=300)
    assert out.returncode == 0, out.stderr[-3000:]


def test_the_tests_table_is_the_registrys():
    import importlib.util

    spec = importlib.util.spec_from_file_location("readme_tests", README.parent / "tools" / "readme_tests.py")
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    text = README.read_text(encoding="utf-8")
    shown = text[text.index(tool.BEGIN) + len(tool.BEGIN):text.index(tool.END)].strip()
    assert shown == tool.table(), "run tools/readme_tests.py --write"
