"""The whole battery on one fitted model, as one table; the battery's options."""

from __future__ import annotations

import functools
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _engine
from ._fit import OLSFit, as_fit, from_run, prepare
from ._inputs import as_int
from ._registry import OPTIONAL, REGISTRY, TESTS
from ._table import COLUMNS, Groups, Rows, frame, rows
from ._windows import window

#: The scales of the CUSUM path: the residual standard error of the fit, or the standard deviation of the
#: recursive residuals.
CUSUM_SCALES = ("ols", "recursive")


@dataclass(frozen=True)
class Options:
    """The battery's options, checked once when made: a bad value is an error of the call, not of a row.

    ``lags`` serves Breusch-Godfrey (both forms), Ljung-Box and Box-Pierce,
    and ARCH LM unless ``arch_lags`` is given; ``break_at`` or ``position``
    the Chow test (by default the middle of the sample); ``kernel`` and
    ``bandwidth`` the HAC covariance of the Wald test of the slopes;
    ``power`` RESET; ``trim`` sup-F; ``cusum_scale`` the CUSUM path.
    """

    lags: int = 4
    arch_lags: int | None = None
    break_at: Any = None
    position: int | None = None
    kernel: str = "bartlett"
    bandwidth: int | None = None
    power: int = 3
    trim: float = 0.15
    cusum_scale: str = "ols"

    def __post_init__(self) -> None:
        set_ = functools.partial(object.__setattr__, self)
        for name in ("lags", "arch_lags"):
            value = getattr(self, name)
            if value is None and name == "arch_lags":
                continue
            value = as_int(value, name)
            if value < 1:
                raise ValueError(f"{name} must be at least 1, got {value}")
            set_(name, value)
        set_("kernel", window(self.kernel).name)
        if self.bandwidth is not None:
            bandwidth = as_int(self.bandwidth, "bandwidth")
            if bandwidth < 0:
                raise ValueError(f"bandwidth must be at least 0, got {bandwidth}")
            set_("bandwidth", bandwidth)
        power = as_int(self.power, "power")
        if power < 2:
            raise ValueError(f"power must be at least 2, got {power}")
        set_("power", power)
        if isinstance(self.trim, (bool, np.bool_)) or not isinstance(self.trim, (int, float, np.integer, np.floating)):
            raise TypeError(f"trim must be a number, got {type(self.trim).__name__}")
        if not 0.0 < float(self.trim) < 0.5:
            raise ValueError(f"trim must lie strictly between 0 and 0.5, got {self.trim}")
        set_("trim", float(self.trim))
        if self.cusum_scale not in CUSUM_SCALES:
            raise ValueError(f"cusum_scale must be one of {', '.join(map(repr, CUSUM_SCALES))}, "
                             f"got {self.cusum_scale!r}")
        if self.break_at is not None and self.position is not None:
            raise TypeError("give the Chow break as break_at (a label) or as position= (a row number), not both")
        if self.position is not None:
            set_("position", as_int(self.position, "position"))

    @property
    def arch(self) -> int:
        """The lags of ARCH LM."""
        return self.lags if self.arch_lags is None else self.arch_lags


def make_options(what: str, options: dict[str, Any]) -> Options:
    """The options of a battery call, an unknown name refused by the call's own name."""
    if not options:
        return _defaults()
    unknown = [name for name in options if name not in Options.__dataclass_fields__]
    if unknown:
        raise TypeError(f"{what} got an unexpected option {unknown[0]!r} (options: "
                        f"{', '.join(Options.__dataclass_fields__)})")
    return Options(**options)


@functools.lru_cache(maxsize=1)
def _defaults() -> Options:
    return Options()  # frozen: one object serves every call


def selected(tests: Any) -> tuple[str, ...]:
    if tests is None:
        return TESTS
    if isinstance(tests, str):
        tests = [tests]
    chosen = tuple(tests)
    unknown = [name for name in chosen if name not in REGISTRY]
    if unknown:
        raise ValueError(f"unknown test {unknown[0]!r}: choose from {', '.join(TESTS + OPTIONAL)}")
    return chosen


@functools.lru_cache(maxsize=64)
def _index(names: tuple[str, ...]) -> Any:
    import pandas as pd

    return pd.Index(list(names), dtype="str", name="test")  # immutable, so one object serves every table


def groups_of(fit: OLSFit, z_names: tuple[str, ...] | None = None) -> Groups:
    """What the words of one fit's rows need."""
    return groups_of_one(fit.nobs, fit.names, fit.index, fit.inner_gaps, fit.X, z_names)


def groups_of_one(n: int, names: tuple[str, ...], index: Any, gaps: int, X: np.ndarray,
                  z_names: tuple[str, ...] | None = None) -> Groups:
    """What the words of the rows of one regression (n rows of X, columns ``names``) need."""
    unordered: dict[int, str] = {}
    if index is not None and not index.is_unique:
        repeated = index[index.duplicated()]
        unordered[0] = (f"the row labels repeat ({repeated[0]} labels more than one row): the test uses the order "
                        "of the rows and needs one row per label")
    return Groups(n=np.array([n]), names=names, z_names=z_names,
                  label=None if index is None else (lambda g, position: index[position]),
                  gaps=np.array([gaps]), unordered=unordered, design=lambda g: X)


def fit_rows(fit: OLSFit, tests: tuple[str, ...], options: Options, *, details: bool = False, Z: Any = None,
             z_names: tuple[str, ...] | None = None, white_cross: bool = True, **outputs: bool) -> tuple[Rows, Any]:
    """The rows of the tests on one fit, from one engine call, and the engine's outputs."""
    run = _engine.run(fit.y, fit.X, np.array([0, fit.nobs], dtype=np.int64),
                      _engine_options(fit.index, fit.nobs, tests, options, white_cross), Z=Z, **outputs)
    return rows(run, tests, options, groups_of(fit, z_names), white_cross, details), run


def _engine_options(index: Any, nobs: int, tests: tuple[str, ...], options: Options,
                    white_cross: bool = True) -> tuple[Any, ...]:
    break_at = -1
    if "chow" in tests:
        break_at = break_position(index, nobs, options.break_at, options.position)
    return _engine.options_tuple(tests, options, break_at, white_cross)


def fit_and_rows(y: Any, X: Any, tests: tuple[str, ...], options: Options) -> tuple[OLSFit, Rows]:
    """``ols(y, X)`` and the rows of the tests on it from one engine call: the engine fits before it tests,
    and the fit it returns is the one ``ols`` returns."""
    args = prepare(y, X)
    y_, X_, index = args[0], args[1], args[4]
    run = _engine.run(y_, X_, np.array([0, y_.shape[0]], dtype=np.int64),
                      _engine_options(index, y_.shape[0], tests, options), fit=True, rows=True)
    fit = from_run(run, 0, *args)
    return fit, rows(run, tests, options, groups_of(fit))


def break_position(index: Any, nobs: int, break_at: Any, position: Any) -> int:
    """The row where the second regime starts: a label of the index, a position, or the middle.

    Labels follow pandas' rules: an integer is a label of an integer index
    (a year, say), never silently a position.  Without an index (array
    input) the labels are the positions 0 ... n-1.
    """
    from ._status import DiagnosticError, Status

    if position is not None:
        return as_int(position, "position")
    if break_at is None:
        return nobs // 2
    if index is None:
        if isinstance(break_at, (bool, np.bool_)) or not isinstance(break_at, (int, np.integer)):
            raise TypeError(f"break_at must be an integer position for array input, got {type(break_at).__name__}")
        return int(break_at)
    try:
        where = index.get_loc(break_at)
    except (KeyError, TypeError, ValueError):
        raise DiagnosticError(f"break outside the sample: {break_at!r} is not a label of the index "
                              "(use position= for a row number)", Status.BAD_BREAK) from None
    if not isinstance(where, (int, np.integer)):
        raise DiagnosticError(f"break label {break_at!r} is not unique in the index", Status.BAD_BREAK)
    return int(where)


def battery(y_or_fit: Any, X: Any = None, *, tests: Any = None, **options: Any) -> Any:
    """Every diagnostic of one regression, as a pandas DataFrame with one row per test.

    The model is fitted once (or given, from ``ols``), and every test runs
    in one call of the battery engine.  The index holds the test names
    (``TESTS``; ``tests=`` picks any of ``TESTS`` and ``OPTIONAL``, in the
    order given); the columns are ``label`` (the test as printed),
    ``statistic``, ``df``, ``pvalue``, ``status``, ``fallback`` (always
    False: there is one path), ``reject_5pct``, ``verdict``, ``note`` and
    ``error``.  A test that does not apply to this data (too few rows for
    its lags, no slope to test) gets the status ``Status.NOT_APPLICABLE``,
    the verdict "not applicable" and its reason in ``note``; a test the
    data makes impossible gets the verdict "not computed", its refusal's
    ``status`` and the message in ``error``.  The others still run.

    The options (keywords, checked before anything runs: a bad value is a
    ValueError or TypeError of the call) are those of ``Options``:
    ``lags=4`` for Breusch-Godfrey, Ljung-Box, Box-Pierce and ARCH LM
    (``arch_lags=`` for ARCH LM alone); ``break_at`` (a label) or
    ``position=`` (a row) for the Chow test, by default the middle of the
    sample; ``kernel="bartlett"`` and ``bandwidth`` for the HAC covariance
    of the Wald test that all slopes are zero; ``power=3`` for RESET;
    ``trim=0.15`` for sup-F; ``cusum_scale="ols"`` for CUSUM.  ``attrs`` of
    the table hold ``nobs`` and the fit's notes.
    """
    chosen = make_options("battery", options)
    names = selected(tests)
    if isinstance(y_or_fit, OLSFit) or X is None:
        fit = as_fit(y_or_fit, X, "battery")
        table_rows, _ = fit_rows(fit, names, chosen)
    else:
        fit, table_rows = fit_and_rows(y_or_fit, X, names, chosen)
    table = frame(table_rows.columns, _index(names))
    table.attrs["nobs"] = fit.nobs
    table.attrs["notes"] = fit.notes
    return table


__all__ = ["COLUMNS", "CUSUM_SCALES", "OPTIONAL", "Options", "TESTS", "battery", "make_options", "selected"]
