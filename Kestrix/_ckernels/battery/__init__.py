"""The battery engine: the fit and every diagnostic of many regressions; the extension module is ``_engine``."""
