"""The module frame and the calling convention shared by all sixteen functions."""

import ctypes
import importlib
import inspect
import subprocess
import sys
import sysconfig
import threading
import traceback
import warnings

import numpy as np
import pytest

import Kestrix._ckernels.diag._diag as diag

MODULE = "Kestrix._ckernels.diag._diag"

# name -> parameters, in table order
FUNCTIONS = {
    "bg_stat": ("eps", "X", "lags"),
    "bp_aux": ("eps", "X_aug"),
    "chow_stat": ("y", "X", "t_break"),
    "recursive_residuals": ("y", "X"),
    "cusum_series": ("y", "X"),
    "cusum_stat": ("y", "X"),
    "cusumsq_stat": ("y", "X"),
    "jb_stat": ("x",),
    "acorr": ("x", "L"),
    "lb_stat": ("x", "L"),
    "hac_estimator_matmul": ("r", "kernel_id", "L"),
    "fill_mean_ax0": ("x",),
    "fill_centered_ax0": ("x", "mean"),
    "wald_stat_from_mean_and_cov": ("mean", "target", "omega", "n"),
    "symmetric_outer_prod_2dim": ("x",),
    "fill_symmetric_target_vec": ("target", "atol", "rtol"),
}

FIRST_DOC_LINES = {
    "bg_stat": "Breusch-Godfrey LM statistic. Returns (status, stat).",
    "bp_aux": "Breusch-Pagan auxiliary regression. Returns (status, rss, tss).",
    "chow_stat": "Chow break-point F statistic. Returns (status, stat).",
    "recursive_residuals": "Brown-Durbin-Evans recursive residuals. Returns (status, w).",
    "cusum_series": "Standardized CUSUM series. Returns (status, series).",
    "cusum_stat": "CUSUM statistic. Returns (status, stat).",
    "cusumsq_stat": "CUSUM-of-squares statistic. Returns (status, n, stat).",
    "jb_stat": "Jarque-Bera normality statistic. Returns (status, stat).",
    "acorr": "Autocorrelation of x up to lag L. Returns (status, out(L+1)).",
    "lb_stat": "Ljung-Box statistic for x up to lag L. Returns (status, stat).",
    "hac_estimator_matmul": "HAC long-run covariance (Gamma_0 + sum_j w_j(Gamma_j + Gamma_j')) / n.",
    "fill_mean_ax0": "Column means of x over axis 0. Returns mean(p).",
    "fill_centered_ax0": "x with its column means subtracted. Returns centered(n, p).",
    "wald_stat_from_mean_and_cov": "Wald statistic n * dev^T omega^-1 dev with dev = mean - target.",
    "symmetric_outer_prod_2dim": "Per-row vech of the outer product x_t x_t'. Returns (status, out(n, q)).",
    "fill_symmetric_target_vec": "Pack the upper triangle of a symmetric target into a vech vector.",
}

MULTILINE_DOCS = {
    "acorr": (
        "Autocorrelation of x up to lag L. Returns (status, out(L+1)).\n\n"
        "    Mirrors the numba ``acorr`` (no L/n clamping here); ``out`` is length L+1 and\n"
        "    z_scratch is length n. status is DIAG_UDEF_VARIANCE for a constant series.\n    "
    ),
    "lb_stat": (
        "Ljung-Box statistic for x up to lag L. Returns (status, stat).\n\n"
        "    The kernel clamps L to n-1 and validates n/L internally; the two length-n\n"
        "    scratch buffers cover the clamped lag (L_eff <= n-1, so L_eff+1 <= n).\n    "
    ),
    "hac_estimator_matmul": (
        "HAC long-run covariance (Gamma_0 + sum_j w_j(Gamma_j + Gamma_j')) / n.\n\n"
        "    Full-estimator parity with the numba ``jit_hac_estimator_matmul``: same\n"
        "    inputs (centered moment array, integer kernel id, bandwidth) and the same\n"
        "    (p, p) output -- no separate Gamma_0/scaling codepath on the caller side.\n    "
    ),
    "fill_symmetric_target_vec": (
        "Pack the upper triangle of a symmetric target into a vech vector.\n\n"
        "    Returns (status, vec(q)); status is DIAG_BAD_SHAPE if the matrix is not\n"
        "    symmetric within (atol, rtol).\n    "
    ),
    "wald_stat_from_mean_and_cov": (
        "Wald statistic n * dev^T omega^-1 dev with dev = mean - target.\n\n"
        "    Returns (status, stat). status is DIAG_OK, or FALLBACK when omega is not\n"
        "    positive definite (the caller recomputes via the numba LU path).\n    "
    ),
}


def valid_args(name):
    """A small valid call for every function, as fresh arrays."""
    rng = np.random.default_rng(7)
    X = rng.standard_normal((12, 2))
    y = rng.standard_normal(12)
    return {
        "bg_stat": (y, X, 2),
        "bp_aux": (y, np.column_stack([np.ones(12), X])),
        "chow_stat": (y, X, 6),
        "recursive_residuals": (y, X),
        "cusum_series": (y, X),
        "cusum_stat": (y, X),
        "cusumsq_stat": (y, X),
        "jb_stat": (y,),
        "acorr": (y, 3),
        "lb_stat": (y, 3),
        "hac_estimator_matmul": (X, 0, 2),
        "fill_mean_ax0": (X,),
        "fill_centered_ax0": (X, X.mean(axis=0)),
        "wald_stat_from_mean_and_cov": (np.array([1.0, 2.0]), np.zeros(2), np.eye(2), 10),
        "symmetric_outer_prod_2dim": (X,),
        "fill_symmetric_target_vec": (np.eye(3), 0.0, 0.0),
    }[name]


# ---------------------------------------------------------------------------
# Namespace and function objects
# ---------------------------------------------------------------------------


def test_namespace_order_and_globals():
    names = [k for k in vars(diag) if not (k.startswith("__") and k.endswith("__"))]
    assert names == ["np", "FALLBACK", *FUNCTIONS]
    assert diag.np is np
    assert diag.FALLBACK == 1 and type(diag.FALLBACK) is int
    assert diag.__builtins__ is __import__("builtins")
    assert diag.__name__ == MODULE
    assert len(diag.__doc__.split(". ")) == 5


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    func = getattr(diag, name)
    assert func.__name__ == name and func.__qualname__ == name
    assert func.__module__ == MODULE
    assert func.__doc__.split("\n")[0] == FIRST_DOC_LINES[name]
    assert func.__doc__ == MULTILINE_DOCS.get(name, FIRST_DOC_LINES[name])
    params = inspect.signature(func).parameters
    assert tuple(params) == FUNCTIONS[name]
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is inspect.Parameter.empty
        for p in params.values()
    )


def test_reimport_returns_the_same_module():
    saved = sys.modules.pop(MODULE)
    try:
        again = importlib.import_module(MODULE)
        assert again is saved
        assert [k for k in vars(again)][-16:] == list(FUNCTIONS)
    finally:
        sys.modules[MODULE] = saved


def test_second_interpreter_is_refused():
    try:
        import _interpreters as interpreters  # CPython 3.13

        interp = interpreters.create("legacy")
    except ImportError:
        interpreters = pytest.importorskip("_xxsubinterpreters")
        interp = interpreters.create(isolated=False)
    try:
        code = (
            "try:\n"
            f"    import {MODULE}\n"
            "except ImportError as e:\n"
            "    assert 'Interpreter change detected' in str(e), e\n"
            "else:\n"
            "    raise AssertionError('imported in a second interpreter')\n"
        )
        # 3.12 raises the script's error; 3.13 returns it.
        failure = interpreters.run_string(interp, code)
        assert failure is None, failure.formatted
    finally:
        interpreters.destroy(interp)


# ---------------------------------------------------------------------------
# Module definition
# ---------------------------------------------------------------------------

# Module slot ids by name, in both numberings: the stable ABI's, and the one
# 3.15's headers give them (which also accepts the old numbers).
SLOT_NAMES = {1: "create", 2: "exec", 4: "gil", 84: "create", 85: "exec", 87: "gil"}
PY_MOD_GIL_NOT_USED = 1


class _Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class _ModuleDef(ctypes.Structure):
    # PyModuleDef: its base (an object header, m_init, m_index, m_copy), then
    # the fields the import machinery reads.
    _fields_ = [
        ("head", ctypes.c_byte * object.__basicsize__),
        ("m_init", ctypes.c_void_p),
        ("m_index", ctypes.c_ssize_t),
        ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p),
        ("m_doc", ctypes.c_char_p),
        ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p),
        ("m_slots", ctypes.POINTER(_Slot)),
    ]


def module_definition():
    """The definition PyInit__diag hands to the import machinery, and its
    slots up to the terminating zero."""
    init = ctypes.PyDLL(diag.__file__).PyInit__diag
    init.restype = ctypes.POINTER(_ModuleDef)
    definition = init().contents
    slots = []
    while definition.m_slots[len(slots)].slot != 0 and len(slots) < 16:
        entry = definition.m_slots[len(slots)]
        slots.append((entry.slot, entry.value))
    return definition, slots


def test_module_definition_declares_it_runs_without_the_interpreter_lock():
    definition, slots = module_definition()
    assert definition.m_name == b"_diag" and definition.m_size == 0 and not definition.m_methods
    named = [(SLOT_NAMES.get(slot, slot), value) for slot, value in slots]
    assert [name for name, _ in named[:2]] == ["create", "exec"]
    # 3.12 has no Py_mod_gil slot and would refuse one it does not know.
    assert named[2:] == ([("gil", PY_MOD_GIL_NOT_USED)] if sys.version_info >= (3, 13) else [])


IMPORT_AND_REPORT = f"""
import sys, warnings
warnings.simplefilter("error")
import {MODULE}
print(getattr(sys, "_is_gil_enabled", lambda: True)())
"""


def test_import_neither_warns_nor_takes_the_lock_back():
    """Built for the running interpreter (its file name says so), the module
    imports with every warning an error: no version warning.  On a
    free-threaded interpreter the lock stays disabled after the import."""
    assert diag.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX"))
    out = subprocess.run([sys.executable, "-P", "-c", IMPORT_AND_REPORT], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    assert out.stdout.split() == [str(not free_threaded)]


# ---------------------------------------------------------------------------
# Argument binding
# ---------------------------------------------------------------------------

A = np.ones((2, 2))
M = np.ones(2)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: diag.fill_mean_ax0(), "fill_mean_ax0() takes exactly 1 positional argument (0 given)"),
        (lambda: diag.fill_centered_ax0(A), "fill_centered_ax0() takes exactly 2 positional arguments (1 given)"),
        (lambda: diag.fill_centered_ax0(A, M, M), "fill_centered_ax0() takes exactly 2 positional arguments (3 given)"),
        (lambda: diag.fill_centered_ax0(A, M, M, mean=M), "fill_centered_ax0() takes exactly 2 positional arguments (3 given)"),
        (lambda: diag.fill_centered_ax0(A, M, mean=M), "fill_centered_ax0() got multiple values for keyword argument 'mean'"),
        (
            lambda: diag.fill_symmetric_target_vec(A, rtol=1e-8),
            "fill_symmetric_target_vec() takes exactly 3 positional arguments (1 given)",
        ),
        (
            lambda: diag.fill_symmetric_target_vec(atol=1.0, rtol=1.0),
            "fill_symmetric_target_vec() takes exactly 3 positional arguments (0 given)",
        ),
        (
            lambda: diag.wald_stat_from_mean_and_cov(M, M, omega=A),
            "wald_stat_from_mean_and_cov() takes exactly 4 positional arguments (3 given)",
        ),
        (lambda: diag.fill_mean_ax0(A, x=A), "fill_mean_ax0() got multiple values for keyword argument 'x'"),
        (lambda: diag.fill_mean_ax0(y=A), "fill_mean_ax0() got an unexpected keyword argument 'y'"),
        (lambda: diag.lb_stat(M, Q=1, L=2), "lb_stat() got an unexpected keyword argument 'Q'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_in_any_order():
    x = np.arange(6.0).reshape(3, 2)
    m = np.array([1.0, 2.0])
    assert np.array_equal(diag.fill_centered_ax0(mean=m, x=x), diag.fill_centered_ax0(x, m))
    assert diag.lb_stat(L=2, x=x[:, 0]) == diag.lb_stat(x[:, 0], 2)
    assert diag.fill_symmetric_target_vec(rtol=0.0, target=np.eye(2), atol=0.0)[0] == 0


SOURCE = "Kestrix/_ckernels/diag/_diag.cpp"


def last_entry(error):
    entry = traceback.extract_tb(error.__traceback__)[-1]
    return entry.filename, entry.lineno, entry.name


@pytest.mark.parametrize("name", FUNCTIONS)
def test_binding_errors_name_the_function_in_the_traceback(name):
    func = getattr(diag, name)
    with pytest.raises(TypeError) as info:
        func(*valid_args(name), None)
    assert last_entry(info.value) == (SOURCE, 0, f"{MODULE}.{name}")


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: diag.fill_mean_ax0(np.zeros(3)), ValueError, "Buffer has wrong number of dimensions"),
        (lambda: diag.lb_stat(SERIES, "3"), TypeError, "an integer is required"),
        (lambda: diag.hac_estimator_matmul(np.eye(2), 2**40, 1), OverflowError, "value too large"),
        (lambda: diag.acorr(SERIES.tolist(), 3), AttributeError, "shape"),
        (lambda: diag.jb_stat([1.0, "x"]), ValueError, "could not convert"),
    ],
)
def test_every_error_keeps_its_type_and_message_and_gets_one_entry(call, exc, message):
    with pytest.raises(exc, match=message) as info:
        call()
    names = [entry.name for entry in traceback.extract_tb(info.value.__traceback__)]
    assert last_entry(info.value)[::2] == (SOURCE, names[-1])
    assert names[-1].startswith(MODULE + ".") and names.count(names[-1]) == 1
    # The entry is what a user sees printed, as for a frame of Python code.
    printed = "".join(traceback.format_exception(info.value))
    assert f'File "{SOURCE}", line 0, in {names[-1]}\n' in printed


# A failed import (here: numpy cannot be imported) carries an "init" entry,
# leaves no half-made module behind, and a later import starts afresh.
FAILED_IMPORT = """
import importlib.util, json, sys, traceback
path = sys.argv[1]
def load():
    spec = importlib.util.spec_from_file_location("Kestrix._ckernels.diag._diag", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
sys.modules["numpy"] = None
try:
    load()
except ImportError as error:
    entry = traceback.extract_tb(error.__traceback__)[-1]
    first = ["numpy" in str(error), entry.filename, entry.lineno, entry.name]
del sys.modules["numpy"]
import numpy
print(json.dumps([first, load().np is numpy]))
"""


def test_failed_import_names_the_module_init_in_the_traceback(tmp_path):
    import json
    import subprocess

    out = subprocess.run([sys.executable, "-P", "-c", FAILED_IMPORT, diag.__file__], capture_output=True,
                         text=True, cwd=tmp_path, timeout=120)
    assert out.returncode == 0, out.stderr
    first, second_import_works = json.loads(out.stdout)
    assert first == [True, SOURCE, 0, f"init {MODULE}"]
    assert second_import_works


# ---------------------------------------------------------------------------
# Scalar conversion
# ---------------------------------------------------------------------------

SERIES = np.array([1.0, 3.0, 2.0, 5.0, 4.0, 6.0, 5.0])


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 2


class IntSubclass(int):
    pass


@pytest.mark.parametrize(
    "value, same_as",
    [(3.9, 3), (True, 1), (np.int32(2), 2), (np.float64(2.7), 2), (IntLike(2), 2), (IntSubclass(3), 3)],
)
def test_int64_conversion_by_int(value, same_as):
    assert diag.lb_stat(SERIES, value) == diag.lb_stat(SERIES, same_as)


def test_negative_float_truncates_toward_zero():
    # acorr keeps L unchanged: -0.9 becomes 0, a one-element result
    status, out = diag.acorr(SERIES, -0.9)
    assert status == 0 and out.tolist() == [1.0]


@pytest.mark.parametrize(
    "value, exc, message",
    [
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (IntLike(2.5), TypeError, "__int__ returned non-int (type float)"),
        (2**70, OverflowError, None),
        (-(2**70), OverflowError, None),
        (float("inf"), OverflowError, None),
        (float("nan"), ValueError, None),
    ],
)
def test_int64_conversion_errors(value, exc, message):
    with pytest.raises(exc) as info:
        diag.lb_stat(SERIES, value)
    if message is not None:
        assert str(info.value) == message


def test_int_returning_int_subclass_warns():
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type bool\)\.  The ability"):
        assert diag.lb_stat(SERIES, IntLike(True)) == diag.lb_stat(SERIES, 1)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            diag.lb_stat(SERIES, IntLike(True))


@pytest.mark.parametrize("kernel_id", [2**31, -(2**31) - 1, 2**40])
def test_int_parameter_range(kernel_id):
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        diag.hac_estimator_matmul(np.ones((3, 1)), kernel_id, 1)


@pytest.mark.parametrize("kernel_id", [2**31 - 1, -(2**31), -1, 3, 7])
def test_any_c_int_window_id_weighs_zero(kernel_id):
    r = np.array([[1.0], [2.0], [3.0], [4.0]])
    assert diag.hac_estimator_matmul(r, kernel_id, 3).tolist() == [[7.5]]


class FloatLike:
    def __float__(self):
        return 0.5


@pytest.mark.parametrize("atol", [0.5, 1, np.float32(0.5), FloatLike(), IndexOnly()])
def test_double_conversion_accepts_numbers(atol):
    status, vec = diag.fill_symmetric_target_vec(np.array([[1.0, 2.0], [2.4, 5.0]]), atol, 0.0)
    assert status == 0 and vec.tolist() == [1.0, 2.0, 5.0]


@pytest.mark.parametrize("atol, exc", [("0.5", TypeError), (None, TypeError), (10**400, OverflowError)])
def test_double_conversion_errors(atol, exc):
    with pytest.raises(exc):
        diag.fill_symmetric_target_vec(np.eye(2), atol, 0.0)


# ---------------------------------------------------------------------------
# Array conversion and views
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, expected, got",
    [
        (lambda: diag.fill_mean_ax0(np.ones(3)), 2, 1),
        (lambda: diag.fill_mean_ax0(np.ones((2, 2, 2))), 2, 3),
        (lambda: diag.jb_stat(np.ones((2, 2))), 1, 2),
        (lambda: diag.fill_centered_ax0(np.ones((2, 2)), np.ones((1, 2))), 1, 2),
        (lambda: diag.recursive_residuals(np.ones(3), np.ones(3)), 2, 1),
    ],
)
def test_wrong_number_of_dimensions(call, expected, got):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == f"Buffer has wrong number of dimensions (expected {expected}, got {got})"


def test_read_only_inputs():
    data = np.arange(6.0).reshape(3, 2) + np.array([0.0, 10.0])
    frozen = data.copy()
    frozen.setflags(write=False)
    with pytest.raises(ValueError):
        diag.fill_mean_ax0(frozen)
    as_int = np.arange(6).reshape(3, 2)
    as_int.setflags(write=False)
    strided = np.asfortranarray(data)
    strided.setflags(write=False)
    expected = [2.0, 13.0]
    assert diag.fill_mean_ax0(as_int).tolist() == [2.0, 3.0]
    assert diag.fill_mean_ax0(strided).tolist() == expected
    assert diag.fill_mean_ax0(data[::1, :]).tolist() == expected


def test_nested_lists_are_converted_except_where_shape_is_read():
    assert diag.fill_mean_ax0([[1, 2], [3, 4]]).tolist() == [2.0, 3.0]
    with pytest.raises(AttributeError):
        diag.fill_centered_ax0([[1, 2], [3, 4]], [2, 3])
    with pytest.raises(AttributeError):
        diag.acorr([1.0, 2.0, 3.0], 1)
    with pytest.raises(AttributeError):
        diag.wald_stat_from_mean_and_cov([1.0], [0.0], [[1.0]], 1)


@pytest.mark.parametrize("bad", [[[1, 2], [3]], "abc", object()])
def test_conversion_errors_propagate(bad):
    with pytest.raises((ValueError, TypeError)):
        diag.fill_mean_ax0(bad)


class Shaped:
    """An array-like whose `shape` attribute need not match its data."""

    def __init__(self, data, shape):
        self.data = np.asarray(data, dtype=np.float64)
        self.shape = shape

    def __array__(self, dtype=None, copy=None):
        return self.data


@pytest.mark.parametrize(
    "call, exc, match",
    [
        (lambda: diag.fill_centered_ax0(Shaped(np.ones((2, 2)), (3, 2)), np.ones(2)), ValueError, "x"),
        (lambda: diag.fill_centered_ax0(Shaped(np.ones((2, 2)), (2, -1)), np.ones(2)), ValueError, "x"),
        (lambda: diag.fill_centered_ax0(Shaped(np.ones((2, 2)), (2,)), np.ones(2)), IndexError, "x.shape"),
        (lambda: diag.fill_centered_ax0(np.ones((2, 3)), np.ones(2)), ValueError, "mean"),
        (lambda: diag.acorr(Shaped(np.ones(3), (5,)), 1), ValueError, "x"),
        (lambda: diag.acorr(np.float64(1.0), 1), IndexError, "x.shape"),
        (lambda: diag.acorr(np.array(1.0), 1), IndexError, "x.shape"),
        (lambda: diag.wald_stat_from_mean_and_cov(np.array(1.0), np.ones(1), np.eye(1), 1), IndexError, "mean"),
        (lambda: diag.wald_stat_from_mean_and_cov(Shaped([1.0], (2,)), np.ones(2), np.eye(2), 1), ValueError, "mean"),
        (lambda: diag.wald_stat_from_mean_and_cov(np.ones(2), np.ones(1), np.eye(2), 1), ValueError, "target"),
        (lambda: diag.wald_stat_from_mean_and_cov(np.ones(2), np.ones(2), np.ones((1, 3)), 1), ValueError, "omega"),
    ],
)
def test_sizes_that_would_overrun_a_buffer_are_refused(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


def test_shape_from_argument_allows_longer_data_and_other_sequences():
    x = Shaped(np.arange(8.0).reshape(4, 2), [2, 2])  # a list shape, fewer rows than the data
    assert diag.fill_centered_ax0(x, np.zeros(3)).tolist() == [[0.0, 1.0], [2.0, 3.0]]
    assert diag.acorr(Shaped([1.0, 2.0, 4.0, 9.0], (3,)), 1)[1].tolist() == diag.acorr(
        np.array([1.0, 2.0, 4.0]), 1
    )[1].tolist()


@pytest.mark.parametrize("name", FUNCTIONS)
def test_inputs_are_never_modified_nor_returned(name):
    args = valid_args(name)
    before = [a.copy() if isinstance(a, np.ndarray) else a for a in args]
    out = getattr(diag, name)(*args)
    for a, b in zip(args, before):
        if isinstance(a, np.ndarray):
            assert np.array_equal(a, b)
    results = out if isinstance(out, tuple) else (out,)
    for item in results:
        assert all(item is not a for a in args)
        if isinstance(item, np.ndarray):
            assert item.dtype == np.float64 and item.flags.c_contiguous and type(item) is np.ndarray


def test_ready_float64_input_is_not_copied():
    # The conversion returns a ready array unchanged; the result must then
    # reflect the argument's own buffer, and np.ascontiguousarray is the
    # only conversion step.
    seen = []

    class Spy:
        float64 = np.float64
        empty = staticmethod(np.empty)

        @staticmethod
        def ascontiguousarray(a, dtype):
            out = np.ascontiguousarray(a, dtype=dtype)
            seen.append(out is a)
            return out

    saved = diag.np
    diag.np = Spy
    try:
        diag.fill_mean_ax0(np.ones((3, 2)))
        diag.fill_mean_ax0(np.ones((3, 2), dtype=np.int64))
    finally:
        diag.np = saved
    assert seen == [True, False]


def test_np_is_looked_up_on_every_call():
    saved = diag.np
    try:
        del diag.np
        with pytest.raises(NameError, match="^name 'np' is not defined$"):
            diag.fill_mean_ax0(np.ones((2, 2)))
    finally:
        diag.np = saved
    assert diag.fill_mean_ax0(np.ones((2, 2))).tolist() == [1.0, 1.0]


def test_empty_arrays_reach_the_kernel():
    assert diag.fill_mean_ax0(np.ones((0, 3))).shape == (3,)
    assert diag.fill_centered_ax0(np.ones((0, 3)), np.ones(0)).shape == (0, 3)
    assert diag.symmetric_outer_prod_2dim(np.ones((0, 3)))[1].shape == (0, 6)
    assert diag.hac_estimator_matmul(np.ones((5, 0)), 0, 2).shape == (0, 0)


# ---------------------------------------------------------------------------
# Threads
# ---------------------------------------------------------------------------


def test_concurrent_calls_match_serial_calls():
    rng = np.random.default_rng(11)
    jobs = []
    for _ in range(8):
        X = rng.standard_normal((400, 4))
        y = X @ rng.standard_normal(4) + rng.standard_normal(400)
        jobs.append((y, X))

    def run(y, X):
        return (
            diag.cusum_series(y, X)[1].tobytes(),
            diag.bg_stat(y, X, 4),
            diag.hac_estimator_matmul(X, 2, 8).tobytes(),
            diag.lb_stat(y, 12),
        )

    serial = [run(*job) for job in jobs]
    results = [None] * len(jobs)

    def worker(i):
        for _ in range(20):
            results[i] = run(*jobs[i])

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == serial
