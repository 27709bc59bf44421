"""``python -m Kestrix.diagnostics``: the diagnostics report (see ``kestrix-diag --help``)."""

import sys

from .report.cli import main

if __name__ == "__main__":
    sys.exit(main())
