"""The ``kestrix-diag`` report: CSV data, the OLS model, the battery and its rendering.

An application of the public API (``Kestrix.diagnostics``) and nothing else.
"""
