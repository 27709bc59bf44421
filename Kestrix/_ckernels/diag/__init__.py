"""Diagnostic-test kernels; the extension module is ``_diag``."""
