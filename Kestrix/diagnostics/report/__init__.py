"""The ``kestrix-diag`` report: an application of the public diagnostics API.

It reads a CSV file (or the bundled US macro data), fits one OLS regression
with ``kd.ols``, runs ``kd.battery`` on it once and prints the table; nothing
here reaches past ``Kestrix.diagnostics``' exported names.

- ``data``: the CSV file, the row labels, the model's columns and the fit;
- ``render``: the battery run and the printed report, the CSV and JSON tables;
- ``plot``: the figure of the CUSUM paths (matplotlib);
- ``cli``: the command line, ``main``.
"""
