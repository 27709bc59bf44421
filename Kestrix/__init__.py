"""Kestrix: fast, exact kernels for regression and time-series diagnostics."""
