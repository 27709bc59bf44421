"""Property-based robustness run of one function of the diag module.

tests/test_fuzz.py runs this script in a child process, so that a crash
(segmentation fault, sanitizer abort) fails one test instead of ending the
whole test run:

    python -P tests/fuzz_worker.py FUNCTION [--examples N] [--seed S] [--last-case PATH]

Every example draws arguments of random dtypes, dimensions, shapes (zero
sizes, mismatched lengths, huge empty extents), layouts, read-only flags,
odd scalar and array-like objects and NaN/inf/huge/subnormal values, calls
the function twice and checks:

* it raises only TypeError, ValueError, OverflowError, IndexError,
  AttributeError or MemoryError (or the exception an argument object raises
  itself), with a traceback entry naming the function, or returns;
* it warns only with DeprecationWarning (an __int__/__float__ returning a
  subclass) or NumPy's ComplexWarning (a complex array converted);
* results have the documented types, shapes and statuses, and the outputs
  that a status leaves defined have their documented values;
* no argument is modified and no argument object is returned;
* the second call gives bit-identical results (or the same exception).

Before each call the case is written to the --last-case file, so that a
crash can be reproduced.  The last line printed is a JSON summary.
"""

import argparse
import faulthandler
import fractions
import inspect
import decimal
import json
import math
import os
import pickle
import struct
import sys
import traceback
import warnings
from collections import Counter

import numpy as np
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

import Kestrix._ckernels.diag._diag as diag

MODULE = "Kestrix._ckernels.diag._diag"
NAN = float("nan")
INF = float("inf")
SPECIAL_VALUES = [0.0, -0.0, 1.0, -1.0, NAN, -NAN, INF, -INF, 1e308, -1e308, 1.7976931348623157e308,
                  5e-324, -5e-324, 2.2250738585072014e-308, 1e-300, 1e300, 1e154, 3.0, 0.1]
# Extents of empty arrays that no output derived from them can be allocated
# for: 2**45 doubles are beyond any address space, 2**59 is NumPy's limit.
HUGE_EXTENTS = [2**45, 2**59]
BAD_STRINGS = ["3", "", "x"]


# ---------------------------------------------------------------------------
# Odd argument objects
# ---------------------------------------------------------------------------

class Boom(Exception):
    """Raised on purpose by an argument object; must propagate unchanged."""


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value

    def __repr__(self):
        return f"IntLike({self.value!r})"


class IntSub(int):
    pass


class IntSubLike(IntLike):
    def __int__(self):
        return IntSub(self.value)

    def __repr__(self):
        return f"IntSubLike({self.value!r})"


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexOnly({self.value!r})"


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatLike({self.value!r})"


class FloatSub(float):
    pass


class FloatSubLike(FloatLike):
    def __float__(self):
        return FloatSub(self.value)

    def __repr__(self):
        return f"FloatSubLike({self.value!r})"


class Raising:
    """No conversion of it succeeds: every one raises Boom."""

    def __int__(self):
        raise Boom("__int__")

    def __float__(self):
        raise Boom("__float__")

    def __index__(self):
        raise Boom("__index__")

    def __array__(self, dtype=None, copy=None):
        raise Boom("__array__")

    @property
    def shape(self):
        raise Boom("shape")

    def __repr__(self):
        return "Raising()"


class ShapedList(list):
    """A nested list whose `shape` attribute says whatever it is told."""

    def __init__(self, items, shape):
        super().__init__(items)
        self.shape = shape

    def __repr__(self):
        return f"ShapedList({list(self)!r}, shape={self.shape!r})"


class RaisingShapeList(list):
    @property
    def shape(self):
        raise Boom("shape")

    def __repr__(self):
        return f"RaisingShapeList({list(self)!r})"


class ArrayProxy:
    """An array-like through __array__, with an optional `shape`."""

    def __init__(self, array, shape=None):
        self.array = array
        if shape is not None:
            self.shape = shape

    def __array__(self, dtype=None, copy=None):
        return self.array

    def __repr__(self):
        return f"ArrayProxy({self.array!r}, shape={getattr(self, 'shape', None)!r})"


class SubArray(np.ndarray):
    pass


ALLOWED_EXCEPTIONS = (TypeError, ValueError, OverflowError, IndexError, AttributeError, MemoryError, Boom)
ALLOWED_WARNINGS = (DeprecationWarning, np.exceptions.ComplexWarning)


# ---------------------------------------------------------------------------
# Strategies
# ---------------------------------------------------------------------------

def _size(draw, small_only=False):
    if small_only:
        return draw(st.integers(0, 6))
    return draw(st.one_of(st.integers(0, 4), st.integers(5, 16), st.integers(17, 60)))


def _values(draw, shape):
    """float64 contents of the given shape (an ndarray, also for shape ())."""
    return np.asarray(_raw_values(draw, shape), dtype=np.float64)


def _raw_values(draw, shape):
    count = int(np.prod(shape, dtype=np.int64)) if shape else 1
    kind = draw(st.sampled_from(["random", "random", "random", "special", "ints", "constant", "drawn", "scaled"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    if kind == "drawn" and count <= 24:
        floats = st.one_of(st.floats(-10, 10), st.sampled_from(SPECIAL_VALUES), st.floats())
        return np.array(draw(st.lists(floats, min_size=count, max_size=count)), dtype=np.float64).reshape(shape)
    if kind == "ints":
        return rng.integers(-3, 4, size=shape).astype(np.float64)
    if kind == "constant":
        return np.full(shape, draw(st.sampled_from(SPECIAL_VALUES)), dtype=np.float64)
    values = rng.standard_normal(size=shape)
    if kind == "scaled":
        values = values * draw(st.sampled_from([1e-300, 1e-160, 1e150, 1e300, 5e-324]))
    if kind == "special" and count:
        flat = values.reshape(-1)
        for _ in range(draw(st.integers(1, 3))):
            flat[draw(st.integers(0, count - 1))] = draw(st.sampled_from(SPECIAL_VALUES))
    return values


def _with_dtype(draw, values):
    return np.asarray(_raw_with_dtype(draw, values))


def _raw_with_dtype(draw, values):
    dtype = draw(st.sampled_from(["f8"] * 8 + ["f4", "f2", "i8", "i4", "u1", "?", "c16", ">f8", "O", "U"]))
    if max(values.shape, default=0) in HUGE_EXTENTS and dtype in ("c16", "U"):
        dtype = "f4"  # wider items would exceed NumPy's size limit
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if dtype in ("i8", "i4", "u1", "?"):
            return np.clip(np.nan_to_num(values), -100, 100).astype(dtype)
        if dtype == "c16":
            return values + 1j * draw(st.sampled_from([0.0, 1.0, NAN]))
        if dtype == "O":
            out = values.astype(object)
            if out.size and draw(st.booleans()):
                out.reshape(-1)[0] = draw(st.sampled_from([None, "x", 10**400, fractions.Fraction(1, 3)]))
            return out
        if dtype == "U":
            out = values.astype("U32")
            if out.size and draw(st.booleans()):
                out.reshape(-1)[-1] = draw(st.sampled_from(BAD_STRINGS))
            return out
        return values.astype(dtype)


def _with_layout(draw, array):
    layout = draw(st.sampled_from(["C"] * 6 + ["F", "strided", "reversed"]))
    if array.ndim == 0 or array.size == 0 or layout == "C":
        out = array
    elif layout == "F":
        out = np.asfortranarray(array)
    elif layout == "strided":
        wide = np.repeat(array, 2, axis=0)
        out = wide[::2]
    else:
        out = array[::-1].copy()[::-1]
    if draw(st.integers(0, 9)) == 0:
        out = out.view(SubArray)
    if draw(st.integers(0, 6)) == 0:
        out.flags.writeable = False
    return out


def _shape_attr(draw, real_shape):
    """What a `shape` attribute may claim."""
    choice = draw(st.integers(0, 9))
    if choice <= 3:
        return tuple(real_shape)
    if choice == 4:
        return list(real_shape)
    if choice == 5:
        return tuple(real_shape)[:-1] if real_shape else ()
    if choice == 6:
        return tuple(draw(st.sampled_from([-1, 0, 1, 2**31, 2**63, 10**20, 2.9])) for _ in range(max(len(real_shape), 1)))
    if choice == 7:
        return tuple(d + draw(st.integers(-2, 2)) for d in real_shape)
    if choice == 8:
        return draw(st.sampled_from(["ab", 5, None, range(7), np.array(real_shape or (1,))]))
    return tuple(IntLike(d) for d in real_shape)


def array_arg(draw, shape):
    """An argument where an array is expected, of (nominally) this shape."""
    # Sometimes the wrong number of dimensions, or an empty array with a
    # huge extent.
    roll = draw(st.integers(0, 19))
    if roll == 0:
        shape = draw(st.sampled_from([(), (3,), (2, 3), (2, 2, 2), (0,), (1, 0, 3)]))
    elif roll == 1 and len(shape) == 2:
        huge = draw(st.sampled_from(HUGE_EXTENTS))
        shape = draw(st.sampled_from([(0, huge), (huge, 0)]))
    values = _values(draw, shape)
    wrapper = draw(st.sampled_from(["array"] * 14 + ["list", "tuple", "shaped", "proxy", "scalar", "odd"]))
    if max(shape, default=0) in HUGE_EXTENTS and wrapper in ("list", "tuple", "shaped"):
        wrapper = "array"  # as a list it would hold 2**45 empty rows
    if wrapper == "list":
        return values.tolist()
    if wrapper == "tuple":
        return tuple(values.tolist()) if values.ndim else values.tolist()
    if wrapper == "shaped":
        return ShapedList(values.tolist() if values.ndim else [values.tolist()], _shape_attr(draw, values.shape))
    if wrapper == "proxy":
        inner = _with_dtype(draw, values)
        return ArrayProxy(inner, _shape_attr(draw, inner.shape) if draw(st.booleans()) else None)
    if wrapper == "scalar":
        return draw(st.sampled_from([1.5, 7, np.float64(2.0), np.array(3.0), True, NAN]))
    if wrapper == "odd":
        return draw(st.sampled_from([None, "abc", "1.5", [[1.0, 2.0], [3.0]], [], [[]], Raising(),
                                     RaisingShapeList([1.0, 2.0, 3.0]), {"a": 1}, b"12", 1 + 2j]))
    return _with_layout(draw, _with_dtype(draw, values))


INT_BOUNDARIES = [2**31 - 1, 2**31, 2**32, 2**62, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64, 10**30, -(10**30)]
# For a count that sizes an output (acorr's L): values either small or
# unallocatable, never a size that could be allocated and then filled.
SIZING_BOUNDARIES = [2**45, 2**59, 2**62, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64, 10**30, -(10**30)]


def int_arg(draw, small, sizing=False):
    """An argument where an int64 (or int) is expected, around `small`."""
    kind = draw(st.integers(0, 23))
    boundaries = SIZING_BOUNDARIES if sizing else INT_BOUNDARIES
    if kind <= 9 or kind >= 20:
        return draw(small)
    if kind == 10:
        return draw(st.sampled_from(boundaries))
    if kind == 11:
        return draw(st.sampled_from([True, False, np.int64(3), np.int32(-1), np.uint64(2**64 - 1), np.bool_(True)]))
    if kind == 12:
        return draw(st.sampled_from([2.9, -2.9, 0.5, NAN, INF, -INF, 1e300, np.float64(4.5), np.float32(1.5)]))
    if kind == 13:
        return IntLike(draw(st.one_of(small, st.sampled_from(boundaries))))
    if kind == 14:
        return IntSubLike(draw(small))
    if kind == 15:
        return draw(st.sampled_from([IntLike(2.5), IntLike("3"), IntLike(None), IndexOnly(2), Raising()]))
    if kind == 16:
        return draw(st.sampled_from([fractions.Fraction(7, 2), decimal.Decimal("4.7"), decimal.Decimal("NaN")]))
    return draw(st.sampled_from(["3", None, 1 + 2j, b"3", [3], np.array([2])]))


def double_arg(draw):
    kind = draw(st.integers(0, 11))
    if kind <= 5:
        return draw(st.one_of(st.floats(), st.sampled_from(SPECIAL_VALUES), st.floats(0, 1e-6)))
    if kind == 6:
        return draw(st.sampled_from([0, 1, -(2**63), 2**100, 10**400, True]))
    if kind == 7:
        return draw(st.sampled_from([np.float32(1e-3), np.float16(0.5), np.int64(2), np.float64(NAN)]))
    if kind == 8:
        return FloatLike(draw(st.floats()))
    if kind == 9:
        return draw(st.sampled_from([FloatSubLike(1e-9), IndexOnly(1), IndexOnly(10**400)]))
    if kind == 10:
        return draw(st.sampled_from([FloatLike("x"), FloatLike(None), Raising()]))
    return draw(st.sampled_from(["1e-8", None, 1 + 2j, [1.0]]))


def other(draw, size):
    """Usually `size`, sometimes a mismatched length."""
    return size if draw(st.integers(0, 5)) else _size(draw)


def lag_small(lo=-3, hi=70):
    return st.integers(lo, hi)


# Coherent argument builders: mostly matching shapes, sometimes not.
def build_regression(draw, with_int=None):
    T, p = _size(draw), draw(st.integers(0, 5))
    args = [array_arg(draw, (other(draw, T),)), array_arg(draw, (T, p))]
    if with_int is not None:
        args.append(int_arg(draw, with_int(T)))
    return args


BUILDERS = {
    "bg_stat": lambda d: build_regression(d, lambda n: st.integers(-2, max(n, 1) + 1)),
    "bp_aux": build_regression,
    "chow_stat": lambda d: build_regression(d, lambda T: st.integers(-1, max(T, 1) + 1)),
    "recursive_residuals": build_regression,
    "cusum_series": build_regression,
    "cusum_stat": build_regression,
    "cusumsq_stat": build_regression,
    "jb_stat": lambda d: [array_arg(d, (_size(d),))],
    "acorr": lambda d: [array_arg(d, (_size(d),)), int_arg(d, lag_small(), sizing=True)],
    "lb_stat": lambda d: [array_arg(d, (_size(d),)), int_arg(d, lag_small())],
    "hac_estimator_matmul": lambda d: [array_arg(d, (_size(d), d(st.integers(0, 6)))),
                                       int_arg(d, st.integers(-2, 4)), int_arg(d, lag_small(-2, 30))],
    "fill_mean_ax0": lambda d: [array_arg(d, (_size(d), d(st.integers(0, 8))))],
    "fill_centered_ax0": lambda d: _centered(d),
    "wald_stat_from_mean_and_cov": lambda d: _wald(d),
    "symmetric_outer_prod_2dim": lambda d: [array_arg(d, (_size(d), d(st.integers(0, 8))))],
    "fill_symmetric_target_vec": lambda d: _target(d),
}


def _centered(draw):
    n, p = _size(draw), draw(st.integers(0, 8))
    return [array_arg(draw, (n, p)), array_arg(draw, (other(draw, p),))]


def _wald(draw):
    p = draw(st.integers(0, 6))
    args = [array_arg(draw, (p,)), array_arg(draw, (other(draw, p),))]
    if draw(st.integers(0, 2)):
        # A positive definite covariance, so that the statistic is reached.
        a = np.random.default_rng(draw(st.integers(0, 2**32 - 1))).standard_normal((p, p + 2))
        omega = a @ a.T + np.eye(p)
        args.append(_with_layout(draw, omega) if draw(st.booleans()) else omega)
    else:
        args.append(array_arg(draw, (other(draw, p), other(draw, p))))
    args.append(int_arg(draw, st.integers(-5, 100)))
    return args


def _target(draw):
    p = draw(st.integers(0, 7))
    q = other(draw, p)
    if draw(st.booleans()):
        a = np.random.default_rng(draw(st.integers(0, 2**32 - 1))).standard_normal((p, p))
        sym = a + a.T
        if p and draw(st.booleans()):
            i, j = draw(st.integers(0, p - 1)), draw(st.integers(0, p - 1))
            sym[i, j] += draw(st.sampled_from([1e-12, 1e-3, NAN, INF]))
        target = _with_layout(draw, sym) if q == p else array_arg(draw, (p, q))
    else:
        target = array_arg(draw, (p, q))
    return [target, double_arg(draw), double_arg(draw)]


# ---------------------------------------------------------------------------
# Calling
# ---------------------------------------------------------------------------

# Parameter names as the functions report them; tests/test_module.py checks
# them against the documented table.
PARAMS = {
    name: tuple(inspect.signature(getattr(diag, name)).parameters)
    for name in vars(diag)
    if callable(getattr(diag, name)) and not name.startswith("_") and name != "np"
}


def draw_call(draw, name):
    """(positional args, keyword args, binds_cleanly)."""
    args = BUILDERS[name](draw)
    params = PARAMS[name]
    style = draw(st.integers(0, 39))
    if style <= 31:
        return args, {}, True
    if style <= 35:
        split = draw(st.integers(0, len(args)))
        kwargs = dict(zip(params[split:], args[split:]))
        order = draw(st.permutations(list(kwargs)))
        return args[:split], {k: kwargs[k] for k in order}, True
    if style == 36:
        return args + [1.0], {}, False
    if style == 37:
        return args[:-1], {}, False
    if style == 38:
        return args, {"bogus": 1}, False
    return args, {params[0]: args[0]}, False


# ---------------------------------------------------------------------------
# Checking
# ---------------------------------------------------------------------------

def converted(obj):
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return np.ascontiguousarray(obj, dtype=np.float64)


def as_int(obj):
    """The value an int64 parameter receives (after a successful call)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return int(obj)


def claimed(obj, k):
    return as_int(obj.shape[k])


def snapshot(obj):
    """A byte image of an argument's value (and layout, for arrays)."""
    try:
        image = pickle.dumps(obj, protocol=5)
    except Exception:
        image = repr(obj).encode()
    if isinstance(obj, np.ndarray):
        return image, obj.shape, obj.strides, obj.dtype.str, obj.flags.writeable, obj.flags.c_contiguous
    return image


def f64_bits(value):
    return struct.pack("<d", value)


def is_nan(value):
    return isinstance(value, float) and math.isnan(value)


def check_array(out, shape, args):
    assert type(out) is np.ndarray, type(out)
    assert out.dtype == np.float64 and out.dtype.isnative, out.dtype
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata
    assert out.shape == shape, (out.shape, shape)
    assert all(out is not a for a in args), "an argument object was returned"


STATUSES = {
    "bg_stat": {0, 1, -2, -4, -5},
    "bp_aux": {0, 1, -2, -3, -5},
    "chow_stat": {0, 1, -2, -5, -7},
    "recursive_residuals": {0, 1, -2, -5},
    "cusum_series": {0, 1, -2, -5},
    "cusum_stat": {0, 1, -2, -5},
    "cusumsq_stat": {0, 1, -2, -5},
    "jb_stat": {0, -3, -5},
    "acorr": {0, -3},
    "lb_stat": {0, -3, -4, -5},
    "wald_stat_from_mean_and_cov": {0, 1},
    "symmetric_outer_prod_2dim": {0},
    "fill_symmetric_target_vec": {0, -1},
}

# Scalar statistic after each non-zero status: NaN where the kernel rejects
# its arguments or a nested kernel failed, the binding's 0.0 where nothing
# was written.
NAN_STATUSES = {"bg_stat": {-4, -5}, "chow_stat": {-5, -7}, "cusum_stat": {-5, 1}, "cusumsq_stat": {-5, 1},
                "jb_stat": {-3}, "lb_stat": {-3, -4, -5}}
ZERO_STATUSES = {"bg_stat": {-2, 1}, "bp_aux": {-2, -3, -5, 1}, "chow_stat": {-2, 1},
                 "wald_stat_from_mean_and_cov": {1}}


def check_result(name, args, kwargs, result):
    """Types, shapes and documented values; returns the bytes that a repeated
    call must reproduce (outputs only where the status defines them)."""
    bound = dict(zip(PARAMS[name], args))
    bound.update(kwargs)
    a = [bound[p] for p in PARAMS[name]]
    everything = list(args) + list(kwargs.values())

    if name == "hac_estimator_matmul":
        p = converted(a[0]).shape[1]
        check_array(result, (p, p), everything)
        return result.tobytes()
    if name == "fill_mean_ax0":
        check_array(result, (converted(a[0]).shape[1],), everything)
        return result.tobytes()
    if name == "fill_centered_ax0":
        n, p = claimed(a[0], 0), claimed(a[0], 1)
        check_array(result, (n, p), everything)
        return result.tobytes()

    assert type(result) is tuple, type(result)
    status = result[0]
    assert type(status) is int and status in STATUSES[name], status
    image = [status]

    if name in ("bg_stat", "chow_stat", "cusum_stat", "wald_stat_from_mean_and_cov", "jb_stat", "lb_stat"):
        assert len(result) == 2
        stat = result[1]
        if name in ("jb_stat", "lb_stat"):
            assert type(stat) is np.float64, type(stat)
            stat = float(stat)
        else:
            assert type(stat) is float, type(stat)
        if status in NAN_STATUSES.get(name, ()):
            assert math.isnan(stat), (status, stat)
        if status in ZERO_STATUSES.get(name, ()):
            assert f64_bits(stat) == f64_bits(0.0), (status, stat)
        if name == "jb_stat":
            n = converted(a[0]).shape[0]
            if n == 0:
                assert status == -5 and math.isnan(stat)
            elif status != -3:
                assert status == (-5 if n < 10 else 0), (n, status)
        if name == "lb_stat" and converted(a[0]).shape[0] < 2:
            assert status == -5
        image.append(stat)
    elif name == "bp_aux":
        assert len(result) == 3 and type(result[1]) is float and type(result[2]) is float
        if status != 0:
            assert f64_bits(result[1]) == f64_bits(result[2]) == f64_bits(0.0), result
        image += result[1:]
    elif name == "cusumsq_stat":
        assert len(result) == 3 and type(result[1]) is int and type(result[2]) is float
        X = converted(a[1])
        T, p = X.shape
        assert result[1] == (T - p if 0 <= p < T else 0), (result[1], T, p)
        if status in NAN_STATUSES[name]:
            assert math.isnan(result[2])
        image += result[1:]
    elif name in ("recursive_residuals", "cusum_series"):
        assert len(result) == 2
        T, p = converted(a[1]).shape
        check_array(result[1], (max(T - p, 0),), everything)
        if status == -5:
            assert p >= T
        if status == 0:
            image.append(result[1].tobytes())
    elif name == "acorr":
        assert len(result) == 2
        L = as_int(a[1])
        check_array(result[1], (L + 1,), everything)
        out = result[1]
        if status == -3:
            assert np.isnan(out).all()
        elif L >= 0:
            assert out[0] == 1.0
        image.append(out.tobytes())
    elif name == "symmetric_outer_prod_2dim":
        assert len(result) == 2
        n, p = converted(a[0]).shape
        check_array(result[1], (n, p * (p + 1) // 2), everything)
        image.append(result[1].tobytes())
    elif name == "fill_symmetric_target_vec":
        assert len(result) == 2
        t = converted(a[0])
        p = t.shape[0]
        check_array(result[1], (p * (p + 1) // 2,), everything)
        if p and t.shape[1] != p:
            assert status == -1, "a target that is not square is refused"
        if status == 0:
            image.append(result[1].tobytes())
    return image


def canonical(image):
    """Bytes of a result image, NaN-aware (every NaN compares equal)."""
    out = []
    for item in image if isinstance(image, list) else [image]:
        if isinstance(item, float):
            out.append(b"nan" if math.isnan(item) else f64_bits(item))
        elif isinstance(item, bytes):
            arr = np.frombuffer(item, dtype=np.float64).copy()
            arr[np.isnan(arr)] = NAN
            out.append(arr.tobytes())
        else:
            out.append(repr(item).encode())
    return out


def describe(name, args, kwargs):
    def one(obj):
        if isinstance(obj, np.ndarray):
            return (f"ndarray(shape={obj.shape}, dtype={obj.dtype.str}, strides={obj.strides}, "
                    f"writeable={obj.flags.writeable}, type={type(obj).__name__}, data={obj.ravel().tolist()!r:.2000})")
        return f"{obj!r:.2000}"
    parts = [one(a) for a in args] + [f"{k}={one(v)}" for k, v in kwargs.items()]
    return f"{name}({', '.join(parts)})"


def call(func, args, kwargs):
    """(result or None, exception or None, warning categories)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            return func(*args, **kwargs), None, [w.category for w in caught]
        except BaseException as exc:  # noqa: BLE001 - classified by the caller
            return None, exc, [w.category for w in caught]


def run(name, examples, seed_value, last_case):
    func = getattr(diag, name)
    full_name = f"{MODULE}.{name}"
    stats = Counter()

    @seed(seed_value)
    @settings(max_examples=examples, database=None, deadline=None, derandomize=False,
              suppress_health_check=list(HealthCheck), print_blob=True)
    @given(st.data())
    def fuzz(data):
        args, kwargs, binds = draw_call(data.draw, name)
        with open(last_case, "w") as fh:
            fh.write(describe(name, args, kwargs) + "\n")
        before = [snapshot(x) for x in list(args) + list(kwargs.values())]

        first, error, warned = call(func, args, kwargs)
        for category in warned:
            assert issubclass(category, ALLOWED_WARNINGS), f"unexpected warning {category}"
        if error is not None:
            assert isinstance(error, ALLOWED_EXCEPTIONS), f"unexpected {type(error).__name__}: {error}"
            frames = [f.name for f in traceback.extract_tb(error.__traceback__)]
            assert full_name in frames, f"no traceback entry {full_name}: {frames}"
            stats["raised " + type(error).__name__] += 1
            image = [type(error).__name__, str(error)]
        else:
            assert binds, "a call that cannot bind returned a result"
            image = canonical(check_result(name, args, kwargs, first))
            stats["status " + str(first[0]) if isinstance(first, tuple) else "returned"] += 1

        second, error2, _ = call(func, args, kwargs)
        if error is not None:
            assert error2 is not None and [type(error2).__name__, str(error2)] == image, (error, error2)
        else:
            assert error2 is None, f"second call raised {error2!r}"
            assert canonical(check_result(name, args, kwargs, second)) == image, "second call differs"

        after = [snapshot(x) for x in list(args) + list(kwargs.values())]
        assert after == before, "an argument was modified"
        stats["cases"] += 1

    fuzz()
    return stats


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("function", choices=sorted(PARAMS))
    parser.add_argument("--examples", type=int, default=int(os.environ.get("KSX_FUZZ_EXAMPLES", "150")))
    parser.add_argument("--seed", default=os.environ.get("KSX_FUZZ_SEED", "0"))
    parser.add_argument("--last-case", default=os.devnull)
    opts = parser.parse_args()
    faulthandler.enable()
    np.seterr(all="ignore")
    seed_value = int.from_bytes(os.urandom(4), "little") if opts.seed == "random" else int(opts.seed)
    seed_value += sorted(PARAMS).index(opts.function)
    print(f"{opts.function}: seed {seed_value}, up to {opts.examples} examples", flush=True)
    stats = run(opts.function, opts.examples, seed_value, opts.last_case)
    print(json.dumps({"function": opts.function, "seed": seed_value, **dict(stats)}, sort_keys=True), flush=True)


if __name__ == "__main__":
    sys.exit(main())
