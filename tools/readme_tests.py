"""The README's table of the battery's tests, drawn from the package's registry.

    .venv/bin/python -P tools/readme_tests.py            # print the table
    .venv/bin/python -P tools/readme_tests.py --write    # put it into README.md between its markers

tests/test_readme.py checks that the README holds this table.
"""

from __future__ import annotations

import sys
from pathlib import Path

from Kestrix.diagnostics import REGISTRY

README = Path(__file__).resolve().parent.parent / "README.md"
BEGIN, END = "<!-- tests table: begin -->", "<!-- tests table: end -->"
LAWS = {"chi2": "χ²", "F": "F", "t": "t", "cusum": "Brownian boundary crossing", "cusumsq": "simulated (m)",
        "supf": "sup of Chow F (limit law)", "none": "none"}


def table() -> str:
    rows = ["| test | row label | family | options it reads | law | a rejection means |", "|---|---|---|---|---|---|"]
    for name, test in REGISTRY.items():
        reads = ", ".join(f"`{o}`" for o in test.reads) or "-"
        where = f"`{name}`" + (" (optional)" if test.optional else "")
        rows.append(f"| {where} | {test.label} | {test.family} | {reads} | {LAWS[test.law]} | {test.alternative} |")
    return "\n".join(rows)


def main(argv: list[str]) -> int:
    if "--write" not in argv:
        print(table())
        return 0
    text = README.read_text(encoding="utf-8")
    start, end = text.index(BEGIN) + len(BEGIN), text.index(END)
    README.write_text(text[:start] + "\n" + table() + "\n" + text[end:], encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
