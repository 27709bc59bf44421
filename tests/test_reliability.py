"""Reference counts, memory, threads and the interpreter lock, for all
sixteen functions on their success paths, every status path reachable from
Python and every binding error path.

* Reference counts of every argument object (and of the NumPy callables the
  bindings look up) are unchanged after many calls; results carry no extra
  reference.
* Memory stops growing: Python allocations (tracemalloc, which also sees
  NumPy's array data), the C heap (glibc's counters, or the sanitizer's when
  it owns the heap) and the resident size, each measured over three windows
  of many calls after a warm-up.  A leak grows in every window; a cache that
  the interpreter or the allocator fills or rebuilds once does not, so
  growth in one window alone is not a leak.  A leak of one small object per
  call of a single case is shown to be caught.  The cases include every path
  that allocates a kernel arena, an output, a scratch array or a converted
  copy, and the ones where an allocation fails.
* Many threads calling all sixteen functions at once, on their own arrays
  and on shared ones, get results bit-identical to serial calls.
* Each function releases the interpreter lock around its kernel: another
  thread makes progress during the call (no timing involved).
"""

import ctypes
import gc
import json
import os
import subprocess
import sys
import threading
import time
import traceback
import tracemalloc
import warnings

import numpy as np
import pytest

import Kestrix._ckernels.diag._diag as diag
import Kestrix.diagnostics as kd

ROUNDS = 150  # calls of each case in each measurement window

# ---------------------------------------------------------------------------
# Argument objects
# ---------------------------------------------------------------------------


class Boom(Exception):
    pass


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IntSub(int):
    pass


class IntSubLike:
    """__int__ returns a strict subclass of int: a DeprecationWarning."""

    def __int__(self):
        return IntSub(2)


class Raising:
    def __int__(self):
        raise Boom("__int__")

    def __float__(self):
        raise Boom("__float__")


class Shaped(list):
    """A list with whatever `shape` attribute it is given."""

    def __init__(self, items, shape):
        super().__init__(items)
        self.shape = shape


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def _data():
    rng = np.random.default_rng(20240611)
    T, p = 400, 12
    X = np.column_stack([np.ones(T), np.arange(T) / T, rng.standard_normal((T, p - 2))])
    y = X @ np.linspace(1, 2, p) + rng.standard_normal(T)
    X_rep = X.copy()
    X_rep[1] = X_rep[0]  # the first p rows are not of full rank
    a = rng.standard_normal((6, 8))
    omega = a @ a.T / 8 + np.eye(6)
    big = rng.standard_normal((3000, 12)).astype(np.float32)  # converted copies of 288 kB
    return dict(
        T=T, X=X, Xk=np.ascontiguousarray(X[:, 1:]), y=y, X_rep=X_rep,
        twin=np.column_stack([X[:, 1], X[:, 1]]), omega=omega, omega_bad=-omega,
        mean=rng.standard_normal(6), target=rng.standard_normal(6),
        sym=omega.copy(), asym=omega + np.triu(np.ones((6, 6)), 1),
        big=big, big_y=rng.standard_normal(3000).astype(np.float32),
        big_X=np.column_stack([np.ones(3000), big[:, :5]]).astype(np.float32),
    )


D = _data()
HUGE = np.zeros((1, 2**19))  # K or p = 2**19: a kernel arena of terabytes


# (function, label, args, kwargs, expected): expected is a status, "array"
# for a bare array, or an exception class.
def _cases():
    y, X, Xk, T = D["y"], D["X"], D["Xk"], D["T"]
    c = []

    def add(name, label, args, expected, kwargs=None):
        c.append((name, label, tuple(args), dict(kwargs or {}), expected))

    for name in ("bg_stat",):
        add(name, "ok", (y, Xk, 2), 0)
        add(name, "ok keywords", (), 0, {"lags": 2, "X": Xk, "eps": y})
        add(name, "converted copies", (D["big_y"], np.asfortranarray(D["big"]), 3), 0)
        add(name, "lists", (y.tolist(), Xk.tolist(), IntLike(2)), 0)
        add(name, "lags >= n", (y, Xk, T), -5)
        add(name, "lags < 0", (y, Xk, -1), -4)
        add(name, "rank-deficient", (y, np.ones((T, 1)), 0), 1)
        add(name, "arena too large", (np.ones(1), HUGE, 0), -2)
        add(name, "X short", (y, Xk[:5], 1), ValueError)
        add(name, "X 1-D", (y, y, 1), ValueError)
        add(name, "X read-only", (y, read_only(Xk), 1), ValueError)
        add(name, "eps ragged", ([[1.0], [2.0, 3.0]], Xk, 1), ValueError)
        add(name, "lags str", (y, Xk, "2"), TypeError)
        add(name, "lags overflow", (y, Xk, 2**70), OverflowError)
        add(name, "lags int subclass", (y, Xk, IntSubLike()), 0)
        add(name, "lags raises", (y, Xk, Raising()), Boom)
        add(name, "__int__ non-int", (y, Xk, IntLike(2.5)), TypeError)
        add(name, "too many", (y, Xk, 1, 2), TypeError)
        add(name, "too few", (y, Xk), TypeError)
        add(name, "unknown keyword", (y, Xk), TypeError, {"lag": 1})
        add(name, "duplicate keyword", (y, Xk, 1), TypeError, {"eps": y})

    name = "bp_aux"
    add(name, "ok", (y, X), 0)
    add(name, "converted copies", (D["big_y"], D["big_X"]), 0)
    add(name, "n == 0", (np.empty(0), np.empty((0, 2))), -5)
    add(name, "zero residuals", (np.zeros(T), X), -3)
    add(name, "rank-deficient", (y, D["twin"]), 1)
    add(name, "arena too large", (np.ones(1), HUGE), -2)
    add(name, "eps short", (y[:3], X), ValueError)
    add(name, "X_aug 3-D", (y, X[None]), ValueError)

    name = "chow_stat"
    add(name, "ok", (y, X, T // 2), 0)
    add(name, "converted copies", (D["big_y"], D["big_X"], 1500), 0)
    add(name, "2p >= T", (y[:20], X[:20], 5), -5)
    add(name, "bad break", (y, X, 0), -7)
    add(name, "short segment", (y, X, 1), 1)
    add(name, "float break", (y, X, 200.7), 0)
    add(name, "y short", (y[:3], X, 2), ValueError)

    for name in ("recursive_residuals", "cusum_series", "cusum_stat", "cusumsq_stat"):
        add(name, "ok", (y, X), 0)
        add(name, "converted copies", (D["big_y"], D["big_X"]), 0)
        add(name, "reversed strides", (y[::-1], X[::-1]), 0)
        add(name, "T <= p", (y[:3], X[:3]), -5)
        add(name, "start fit fails", (y, D["X_rep"]), 1)
        add(name, "y short", (y[:3], X), ValueError)
        add(name, "X None", (y, None), ValueError)

    name = "jb_stat"
    add(name, "ok", (y,), 0)
    add(name, "converted copy", (D["big_y"],), 0)
    add(name, "n < 10", (y[:5],), -5)
    add(name, "n == 0", (np.empty(0),), -5)
    add(name, "constant", (np.ones(12),), -3)
    add(name, "2-D", (X,), ValueError)
    add(name, "None", (None,), -3)  # converts to [nan]
    add(name, "dict", ({"a": 1},), TypeError)

    name = "acorr"
    add(name, "ok", (y, 5), 0)
    add(name, "converted copy", (D["big_y"], 20), 0)
    add(name, "constant", (np.ones(8), 3), -3)
    add(name, "L == -1", (y, -1), 0)
    add(name, "L == -2", (y, -2), ValueError)
    add(name, "list", (y.tolist(), 3), AttributeError)
    add(name, "0-d", (np.array(1.0), 2), IndexError)
    add(name, "shape claims more", (Shaped(y.tolist(), (T + 1,)), 3), ValueError)
    add(name, "shape negative", (Shaped(y.tolist(), (-1,)), 3), ValueError)
    add(name, "shape item str", (Shaped(y.tolist(), ("a",)), 3), TypeError)
    add(name, "L + 1 overflows", (y, 2**63 - 1), ValueError)
    add(name, "output too large", (y, 2**45), MemoryError)

    name = "lb_stat"
    add(name, "ok", (y, 5), 0)
    add(name, "list", (y.tolist(), 5), 0)
    add(name, "converted copy", (D["big_y"], 20), 0)
    add(name, "n < 2", (y[:1], 3), -5)
    add(name, "L < 1", (y, 0), -4)
    add(name, "constant", (np.ones(8), 3), -3)
    add(name, "L raises", (y, Raising()), Boom)

    name = "hac_estimator_matmul"
    for kernel_id in (0, 1, 2, 7):
        add(name, f"window {kernel_id}", (X, kernel_id, 6), "array")
    add(name, "converted copy", (D["big"], 2, 1), "array")
    add(name, "n == 0", (np.empty((0, 3)), 0, 2), "array")
    add(name, "output too large", (np.empty((0, 2**23)), 0, 1), MemoryError)
    add(name, "kernel_id beyond int", (X, 2**40, 1), OverflowError)
    add(name, "L str", (X, 0, "x"), TypeError)
    add(name, "r 1-D", (y, 0, 1), ValueError)

    name = "fill_mean_ax0"
    add(name, "ok", (X,), "array")
    add(name, "converted copy", (D["big"],), "array")
    add(name, "output too large", (np.empty((0, 2**45)),), MemoryError)
    add(name, "1-D", (y,), ValueError)

    name = "fill_centered_ax0"
    mean = X.mean(axis=0)
    add(name, "ok", (X, mean), "array")
    add(name, "converted copy", (D["big"], D["big"].mean(axis=0)), "array")
    add(name, "x list", (X.tolist(), mean), AttributeError)
    add(name, "mean short", (X, mean[:2]), ValueError)
    add(name, "shape too short", (Shaped(X.tolist(), (T,)), mean), IndexError)
    add(name, "shape claims more", (Shaped(X.tolist(), (T + 1, 12)), mean), ValueError)

    name = "wald_stat_from_mean_and_cov"
    add(name, "ok", (D["mean"], D["target"], D["omega"], 100), 0)
    add(name, "converted copies", (D["mean"].astype(np.float32), D["target"].tolist(), D["omega"].T, 100), 0)
    add(name, "not positive definite", (D["mean"], D["target"], D["omega_bad"], 100), 1)
    add(name, "mean list", (D["mean"].tolist(), D["target"], D["omega"], 100), AttributeError)
    add(name, "target short", (D["mean"], D["target"][:2], D["omega"], 100), ValueError)
    add(name, "omega short", (D["mean"], D["target"], D["omega"][:2], 100), ValueError)
    add(name, "mean 0-d", (np.array(1.0), D["target"], D["omega"], 100), IndexError)

    name = "symmetric_outer_prod_2dim"
    add(name, "ok", (X,), 0)
    add(name, "converted copy", (D["big"],), 0)
    add(name, "1-D", (y,), ValueError)
    add(name, "q overflows", (np.empty((0, 2**45)),), ValueError)

    name = "fill_symmetric_target_vec"
    add(name, "ok", (D["sym"], 0.0, 0.0), 0)
    add(name, "converted copy", (D["sym"].astype(np.float32), 1e-6, 1e-6), 0)
    add(name, "asymmetric", (D["asym"], 0.0, 0.0), -1)
    add(name, "not square", (np.ones((3, 4)), 0.0, 0.0), -1)
    add(name, "output too large", (np.empty((2**23, 0)), 0.0, 0.0), MemoryError)
    add(name, "atol str", (D["sym"], "x", 0.0), TypeError)
    add(name, "atol overflow", (D["sym"], 10**400, 0.0), OverflowError)
    add(name, "rtol raises", (D["sym"], 0.0, Raising()), Boom)
    return c


CASES = _cases()
NAMES = list(dict.fromkeys(case[0] for case in CASES))
assert len(NAMES) == 16


def _call(name, args, kwargs):
    """The result, or the exception raised (its traceback dropped)."""
    try:
        return getattr(diag, name)(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - the caller checks the type
        exc.__traceback__ = None
        return exc


def _outcome(result):
    if isinstance(result, Exception):
        return type(result)
    if isinstance(result, np.ndarray):
        return "array"
    return result[0]


# ---------------------------------------------------------------------------
# Memory figures
# ---------------------------------------------------------------------------


class _MallInfo2(ctypes.Structure):
    _fields_ = [(f, ctypes.c_size_t) for f in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_counter():
    """(bytes in use on the C heap, whether a sanitizer owns the heap): the
    sanitizer's count when it does, else glibc's; None when neither is
    available."""
    process = ctypes.CDLL(None)
    try:
        sanitizer = process.__sanitizer_get_current_allocated_bytes
        sanitizer.restype = ctypes.c_size_t
        return sanitizer, True
    except AttributeError:
        pass
    try:
        mallinfo2 = process.mallinfo2
    except AttributeError:
        return None, False
    mallinfo2.restype = _MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use, False


# Under AddressSanitizer freed blocks wait in a quarantine of up to 256 MB,
# so the resident size says nothing there; its heap count stays exact.
HEAP_IN_USE, SANITIZED = _heap_counter()


def _report(**fields):
    """Appends the figures of a test to $KSX_RELIABILITY_REPORT, if set."""
    path = os.environ.get("KSX_RELIABILITY_REPORT")
    if path:
        with open(path, "a") as fh:
            fh.write(json.dumps(fields, sort_keys=True) + "\n")


def _rss():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ---------------------------------------------------------------------------
# References and leaks
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("name, label, args, kwargs, expected", CASES,
                         ids=[f"{c[0]}-{c[1]}" for c in CASES])
def test_case_reaches_its_path(name, label, args, kwargs, expected):
    """The leak cases below take the paths they are meant to take."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        result = _call(name, args, kwargs)
    outcome = _outcome(result)
    if isinstance(expected, type):
        assert isinstance(outcome, type) and issubclass(outcome, expected), result
    else:
        assert outcome == expected, result


def _watched(args, kwargs):
    """Objects whose reference counts must not move: the arguments and what
    the bindings look up on every call."""
    return list(args) + list(kwargs.values()) + [np, np.ascontiguousarray, np.empty, np.float64, diag]


def _run(cases, rounds, after_call=None):
    for _ in range(rounds):
        for name, label, args, kwargs, _expected in cases:
            _call(name, args, kwargs)
            if after_call is not None:
                after_call(label)


def _window_growths(measures, run):
    """For each of WINDOWS consecutive runs of `run`, the growth of each of
    `measures` (callables returning a byte count) over that run."""
    growths = [[] for _ in measures]
    for _ in range(WINDOWS):
        before = [measure() for measure in measures]
        run()
        gc.collect()
        for series, measure, start in zip(growths, measures, before):
            series.append(measure() - start)
    return growths


def _memory_growths(run):
    """Growth per window of traced Python allocations, of the C heap and of
    the resident size.  tracemalloc runs only over its own windows: its
    bookkeeping lives on the C heap."""
    tracemalloc.start()
    try:
        run()  # blocks made before tracing started are freed untraced here
        (traced,) = _window_growths([lambda: tracemalloc.get_traced_memory()[0]], run)
    finally:
        tracemalloc.stop()
    heap, rss = _window_growths([HEAP_IN_USE or (lambda: 0), _rss], run)
    return traced, heap, rss


# A leak grows every window by the leaked size times the calls of the leaking
# case: one 16-byte object per call of a single case is ROUNDS * 16 = 2400
# bytes a window, above these bounds.  A cache filled or rebuilt once grows in
# one window only.  Such rebuilds are real: from CPython 3.13 on, interned
# names live only while used, and the names of each traceback entry an error
# path makes come and go with it; after enough of them the interpreter
# rebuilds its whole table of interned strings (1 to 8 MB, by the number of
# names the process holds), in whichever window that happens to fall.
WINDOWS = 3
TRACED_BOUND = 1024
HEAP_BOUND = 1024
RSS_BOUND = 8 << 20  # whole pages, and the heap's top is trimmed lazily


def _leaks(traced, heap, rss):
    """What grew in every window."""
    found = []
    if min(traced) >= TRACED_BOUND:
        found.append(f"Python allocations grew in every window: {traced} bytes")
    if min(heap) >= HEAP_BOUND:
        found.append(f"C heap grew in every window: {heap} bytes")
    if not SANITIZED and min(rss) >= RSS_BOUND:
        found.append(f"resident size grew in every window: {rss} bytes")
    return found


@pytest.mark.parametrize("name", NAMES)
def test_no_reference_or_memory_leak(name):
    cases = [c for c in CASES if c[0] == name]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        _run(cases, 20)  # warm-up: caches, free lists, lazily created objects
        gc.collect()
        refs_before = [[sys.getrefcount(o) for o in _watched(c[2], c[3])] for c in cases]
        traced, heap, rss = _memory_growths(lambda: _run(cases, ROUNDS))
        refs_after = [[sys.getrefcount(o) for o in _watched(c[2], c[3])] for c in cases]

    calls = (20 + ROUNDS * (1 + 2 * WINDOWS)) * len(cases)
    _report(test="leaks", function=name, cases=len(cases), calls=calls, traced_growth=traced, heap_growth=heap,
            rss_growth=rss)
    for case, before, after in zip(cases, refs_before, refs_after):
        assert after == before, f"{case[1]}: reference counts {before} -> {after}"
    assert _leaks(traced, heap, rss) == [], f"{ROUNDS * len(cases)} calls a window"


def _leak_python_object():
    """A new 16-byte object whose reference is never dropped, as a binding
    that forgets one Py_DECREF would leave it."""
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(object()))


# Resolved once: each ctypes.CDLL makes a class of its own, whose memory would
# come and go with the garbage collector inside the windows.
_MALLOC = ctypes.CDLL(None).malloc
_MALLOC.restype, _MALLOC.argtypes = ctypes.c_void_p, [ctypes.c_size_t]


def _leak_c_block():
    """A 16-byte block from malloc, never freed."""
    _MALLOC(16)


@pytest.mark.parametrize("leak, caught_by", [(_leak_python_object, "Python allocations"),
                                             (_leak_c_block, "C heap")])
@pytest.mark.parametrize("label", ["ok", "1-D"])
def test_a_leak_of_one_small_object_per_call_is_caught(leak, caught_by, label):
    """The measure above, run on the cases of one function with one small
    object leaked on each call of a single case (a success path or an error
    path), reports the leak; the other cases stay as they are."""
    if caught_by == "C heap" and HEAP_IN_USE is None:
        pytest.skip("no count of the C heap on this platform")
    cases = [c for c in CASES if c[0] == "fill_mean_ax0"]
    assert label in [c[1] for c in cases]

    def after_call(case_label):
        if case_label == label:
            leak()

    _run(cases, 20, after_call)
    gc.collect()
    found = _leaks(*_memory_growths(lambda: _run(cases, ROUNDS, after_call)))
    assert [f for f in found if f.startswith(caught_by)], found


@pytest.mark.parametrize("name", NAMES)
def test_results_hold_no_extra_reference(name):
    for _name, label, args, kwargs, expected in (c for c in CASES if c[0] == name):
        if isinstance(expected, type):
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            result = getattr(diag, name)(*args, **kwargs)
        # One reference from `result` (or the tuple), one from getrefcount's
        # argument.
        # (Counted outside `assert`, whose rewriting keeps references.)
        counts = [sys.getrefcount(result)]
        if isinstance(result, tuple):
            counts += [sys.getrefcount(result[i]) for i in range(1, len(result)) if not isinstance(result[i], int)]
        del result
        assert counts == [2] * len(counts), f"{label}: {counts}"


# ---------------------------------------------------------------------------
# Threads
# ---------------------------------------------------------------------------


def _thread_inputs(seed):
    """Success-path arguments for all sixteen functions (outputs fully
    written, so results can be compared byte for byte)."""
    rng = np.random.default_rng(seed)
    T, p = 300, 5
    X = np.column_stack([np.ones(T), rng.standard_normal((T, p - 1))])
    y = X @ rng.standard_normal(p) + rng.standard_normal(T)
    Xk = np.ascontiguousarray(X[:, 1:])
    a = rng.standard_normal((p, p + 3))
    omega = a @ a.T + np.eye(p)
    mean = X.mean(axis=0)
    return [
        ("bg_stat", (y, Xk, 3)),
        ("bp_aux", (y, X)),
        ("chow_stat", (y, X, T // 3)),
        ("recursive_residuals", (y, X)),
        ("cusum_series", (y, X)),
        ("cusum_stat", (y, X)),
        ("cusumsq_stat", (y, X)),
        ("jb_stat", (y,)),
        ("acorr", (y, 30)),
        ("lb_stat", (y, 30)),
        ("hac_estimator_matmul", (X, seed % 3, 12)),
        ("fill_mean_ax0", (X,)),
        ("fill_centered_ax0", (X, mean)),
        ("wald_stat_from_mean_and_cov", (mean, y[:p], omega, T)),
        ("symmetric_outer_prod_2dim", (X,)),
        ("fill_symmetric_target_vec", (omega, 0.0, 0.0)),
    ]


def _image(result):
    """Exact bytes of a result."""
    if isinstance(result, np.ndarray):
        return (result.shape, result.tobytes())
    if isinstance(result, tuple):
        return tuple(_image(r) for r in result)
    if isinstance(result, (float, np.floating)):
        return np.float64(result).tobytes()
    return result


THREADS = 8
THREAD_ROUNDS = 25


def test_threads_match_serial_results():
    shared = _thread_inputs(0)
    own = [_thread_inputs(1 + t) for t in range(THREADS)]
    shared_copy = [[a.copy() if isinstance(a, np.ndarray) else a for a in args] for _, args in shared]
    for name, args in shared + [call for inputs in own for call in inputs]:
        result = getattr(diag, name)(*args)
        assert not isinstance(result, tuple) or result[0] == 0, f"{name}: thread inputs must succeed"
    want_shared = [_image(getattr(diag, n)(*a)) for n, a in shared]
    want_own = [[_image(getattr(diag, n)(*a)) for n, a in inputs] for inputs in own]

    barrier = threading.Barrier(THREADS)
    mismatches, errors, calls = [], [], [0] * THREADS

    def work(t):
        try:
            barrier.wait()
            for r in range(THREAD_ROUNDS):
                # Alternate the order so that different kernels overlap.
                order = range(16) if (r + t) % 2 else range(15, -1, -1)
                for i in order:
                    for inputs, want in ((own[t], want_own[t]), (shared, want_shared)):
                        name, args = inputs[i]
                        if _image(getattr(diag, name)(*args)) != want[i]:
                            mismatches.append((t, r, name))
                        calls[t] += 1
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append((t, repr(exc)))

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as possible
    try:
        threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    finally:
        sys.setswitchinterval(old_interval)

    _report(test="threads", threads=THREADS, calls=sum(calls), mismatches=len(mismatches), errors=len(errors))
    assert not errors, errors
    assert not mismatches, mismatches[:10]
    assert sum(calls) == THREADS * THREAD_ROUNDS * 32
    for (_, args), before in zip(shared, shared_copy):
        for a, b in zip(args, before):
            if isinstance(a, np.ndarray):
                assert a.tobytes() == b.tobytes(), "a shared input was modified"


def test_calls_while_another_thread_rebinds_np():
    """The bindings look `np` up in the module on every call.  While threads
    call, another one rebinds it over and over to fresh stand-ins, each freed
    when the next replaces it: every call must use a live `np` and give the
    right result.  (Without the interpreter lock a lookup that borrowed the
    value would use a freed one here.)"""
    X = np.arange(24.0).reshape(8, 3)
    want = X.mean(axis=0).tobytes()
    stop = threading.Event()
    errors, rebinds = [], [0]

    def stand_in():
        fake = type(sys)("numpy_stand_in")
        fake.ascontiguousarray, fake.empty, fake.float64 = np.ascontiguousarray, np.empty, np.float64
        return fake

    def rebind():
        while not stop.is_set():
            diag.np = stand_in()
            rebinds[0] += 1

    def call():
        try:
            for _ in range(2000):
                if diag.fill_mean_ax0(X).tobytes() != want:
                    errors.append("wrong mean")
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(repr(exc))

    callers = [threading.Thread(target=call) for _ in range(4)]
    rebinder = threading.Thread(target=rebind)
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        rebinder.start()
        for th in callers:
            th.start()
        for th in callers:
            th.join()
    finally:
        stop.set()
        rebinder.join()
        sys.setswitchinterval(old_interval)
        diag.np = np
    assert not errors, errors[:5]
    assert rebinds[0] > 0


RACE = """
import sys, threading
import numpy as np
import Kestrix._ckernels.diag._diag as diag
import Kestrix.diagnostics as kd
shared = np.empty(4000)
fake = type(sys)("numpy_stand_in")
fake.ascontiguousarray, fake.float64 = np.ascontiguousarray, np.float64
fake.empty = lambda shape, dtype=None: shared[:shape]  # every call writes the same output
diag.np = fake
barrier = threading.Barrier(2)
def work():
    barrier.wait()
    for _ in range(50):
        diag.fill_mean_ax0(np.ones((100, 4000)))
threads = [threading.Thread(target=work) for _ in range(2)]
for t in threads:
    t.start()
for t in threads:
    t.join()
"""


def _under_thread_sanitizer():
    try:
        ctypes.CDLL(None).__tsan_init
        return True
    except AttributeError:
        return False


@pytest.mark.skipif(not _under_thread_sanitizer(), reason="ThreadSanitizer is not loaded")
def test_thread_sanitizer_sees_a_race_in_the_kernels():
    """The control of the ThreadSanitizer run: two kernels that write one
    output at once (an `np.empty` rebound to hand out the same buffer) are
    reported, so a clean run of the other tests means something."""
    out = subprocess.run([sys.executable, "-P", "-c", RACE], capture_output=True, text=True, timeout=300)
    assert out.returncode != 0 and "ThreadSanitizer: data race" in out.stderr, out.stderr[-2000:]


def _long_inputs(scale):
    """Arguments that keep each kernel busy for a while; every array is a
    ready C-contiguous float64 array, so the binding makes no copy."""
    rng = np.random.default_rng(5)

    def n(k):
        return int(k * scale)

    T = n(20000)
    X = np.column_stack([np.ones(T), rng.standard_normal((T, 19))])
    y = rng.standard_normal(T)
    Xk = np.ascontiguousarray(X[:, 1:])
    p = n(300)
    a = rng.standard_normal((p, p))
    omega = a @ a.T + p * np.eye(p)
    x = rng.standard_normal(n(20000))
    wide = rng.standard_normal((n(4000), 40))
    big = rng.standard_normal((n(2000), 1000))
    b = rng.standard_normal((n(1500), n(1500)))
    return {
        "bg_stat": (y, Xk, 5),
        "bp_aux": (y, X),
        "chow_stat": (y, X, T // 2),
        "recursive_residuals": (y, X),
        "cusum_series": (y, X),
        "cusum_stat": (y, X),
        "cusumsq_stat": (y, X),
        "jb_stat": (rng.standard_normal(n(2_000_000)),),
        "acorr": (x, 300),
        "lb_stat": (x, 300),
        "hac_estimator_matmul": (wide[:, :20].copy(), 2, 30),
        "fill_mean_ax0": (big,),
        "fill_centered_ax0": (big, big[0].copy()),
        "wald_stat_from_mean_and_cov": (rng.standard_normal(p), np.zeros(p), omega, 10),
        "symmetric_outer_prod_2dim": (wide,),
        "fill_symmetric_target_vec": (b + b.T, 0.0, 0.0),
    }


def test_every_function_releases_the_lock():
    """While the main thread runs a kernel, another thread runs Python code.

    With the switch interval raised out of reach, the main thread never gives
    up the lock on its own; the other thread, which increments a counter and
    sleeps, can only run while the main thread has released the lock, which
    it does in none of the steps around the kernel (all arrays are ready, so
    no copy is made).  Without the release the counter cannot move; a
    scheduler that never lets the other thread run is retried."""
    inputs = _long_inputs(1.0)
    counter = [0]
    stop = threading.Event()
    started = threading.Event()

    def spin():
        started.set()
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0.0001)

    progress = {}
    old_interval = sys.getswitchinterval()
    spinner = threading.Thread(target=spin, daemon=True)
    spinner.start()
    started.wait()
    try:
        for name, args in inputs.items():
            func = getattr(diag, name)
            # A fast kernel may end before the other thread is scheduled on a
            # busy machine: each retry runs twice as many calls in a row.
            for attempt in range(8):
                sys.setswitchinterval(100.0)
                before = counter[0]
                for _ in range(2**attempt):
                    func(*args)
                progress[name] = counter[0] - before
                sys.setswitchinterval(old_interval)
                if progress[name]:
                    break
                time.sleep(0.05)
        # The control: pure Python code that holds the lock throughout.  A
        # request to drop the lock that the other thread made under the old
        # interval may still be pending; one sleep lets it be served first.
        sys.setswitchinterval(100.0)
        time.sleep(0.01)
        before = counter[0]
        sum(i * i for i in range(300_000))
        control = counter[0] - before
    finally:
        sys.setswitchinterval(old_interval)
        stop.set()
        spinner.join()
    _report(test="lock", progress=progress, control=control)
    assert control == 0, "the probe thread ran while the lock was held"
    stuck = [name for name, moved in progress.items() if not moved]
    assert not stuck, f"no other thread ran during {stuck}: {progress}"


def test_gil_overlap_script_runs():
    script = os.path.join(os.path.dirname(__file__), os.pardir, "benchmarks", "gil_overlap.py")
    proc = subprocess.run([sys.executable, "-P", script, "--repeat", "1", "--scale", "0.02"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "overlap ratio" in proc.stdout and "CPU time / wall time" in proc.stdout


# ---------------------------------------------------------------------------
# Alignment
# ---------------------------------------------------------------------------

def _unaligned(a):
    """A copy of `a` at an odd address: C-contiguous, writable, native
    float64, and not aligned."""
    buf = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = buf[1:].view(np.float64).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned and out.flags.c_contiguous and out.flags.writeable
    return out


def _in_child(check):
    """Runs `check` in a forked child; its exit code (negative: a signal)."""
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            check()
            code = 0
        except BaseException:  # noqa: BLE001 - reported through the exit code
            traceback.print_exc()
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


@pytest.mark.parametrize("name", NAMES)
def test_misaligned_float64_arrays(name):
    """A C-contiguous float64 array at an odd address is passed through
    np.ascontiguousarray unchanged.  The call must either refuse it or give
    the result of an aligned copy, and must never hand the kernel a
    misaligned double pointer (UndefinedBehaviorSanitizer stops the child
    process at such a load in the sanitized run; its report is in the
    captured stderr)."""
    args = dict(_thread_inputs(3))[name]

    def check():
        want = _image(getattr(diag, name)(*args))
        odd = tuple(_unaligned(a) if isinstance(a, np.ndarray) else a for a in args)
        try:
            got = _image(getattr(diag, name)(*odd))
        except ValueError:
            return  # refusing a misaligned buffer is acceptable
        assert got == want

    assert _in_child(check) == 0, f"{name} failed on a misaligned array (see the captured stderr)"


# Functions that allocate outputs or scratch arrays with the module's np.empty.
ALLOCATING = ["recursive_residuals", "cusum_series", "acorr", "lb_stat", "hac_estimator_matmul", "fill_mean_ax0",
              "fill_centered_ax0", "wald_stat_from_mean_and_cov", "symmetric_outer_prod_2dim",
              "fill_symmetric_target_vec"]


@pytest.mark.parametrize("name", ALLOCATING)
def test_output_buffer_smaller_than_requested(name, monkeypatch):
    """The bindings look `np` up in the module on every call, so plain
    Python code can hand them an `empty` whose arrays are shorter than the
    shape asked for.  The call must refuse such a buffer (or fit in it), not
    write past its end.  Each array handed out here is a one-element-per-
    dimension view at the front of a guarded block."""
    guards = []

    def short_empty(shape, dtype=None):
        ndim = len(shape) if isinstance(shape, tuple) else 1
        guard = np.full(1 << 16, -7.25)
        guards.append(guard)
        return guard[:1].reshape((1,) * ndim)

    fake = type(sys)("fake_numpy")
    fake.ascontiguousarray, fake.float64, fake.empty = np.ascontiguousarray, np.float64, short_empty
    args = dict(_thread_inputs(3))[name]
    monkeypatch.setattr(diag, "np", fake)
    try:
        getattr(diag, name)(*args)
    except ValueError:
        pass
    finally:
        monkeypatch.undo()
    assert guards, "np.empty was not called"
    overrun = [int((g[1:] != -7.25).sum()) for g in guards]
    assert not any(overrun), f"{name} wrote {overrun} values past the buffers np.empty returned"


# ---------------------------------------------------------------------------
# The battery engine's binding
# ---------------------------------------------------------------------------

def _engine_cases():
    """Calls of the engine's binding on its success paths and on each kind of refusal."""
    from Kestrix._ckernels.battery import _engine as engine_module
    from Kestrix.diagnostics import _engine

    rng = np.random.default_rng(31)
    n, G = 24, 5
    X = np.column_stack([np.ones(n * G), rng.standard_normal((n * G, 2))])
    y = X @ [0.5, 1.0, -1.0] + rng.standard_normal(n * G)
    starts = np.arange(0, n * G + 1, n, dtype=np.int64)
    every = _engine.options_tuple(kd.TESTS + kd.OPTIONAL, kd.Options())
    y_nan = y.copy()
    y_nan[7] = np.nan
    cases = {
        "every output": lambda: _engine.run(y, X, starts, every, fit=True, rows=True, recursive=True, sup_f=True,
                                            coef_hac=True),
        "a missing value": lambda: _engine.run(y_nan, X, starts, every),
        "qs window": lambda: _engine.run(y, X, starts, _engine.options_tuple(("wald",), kd.Options(kernel="qs"))),
        "bad starts": lambda: _engine.run(y, X, starts[::-1].copy(), every),
        "bad options": lambda: engine_module.battery(y, X, starts, None, (1, 2), ()),
        "short outputs": lambda: engine_module.battery(y, X, starts, None, every, ()),
        "X as columns": lambda: _engine.run(y, (None, X[:, 1].copy(), X[:, 2].copy()), starts, every, fit=True),
        "a short column": lambda: _engine.run(y, (None, X[:-1, 1].copy()), starts, every),
        "columns with Z": lambda: engine_module.battery(y, (None,), starts, X, every, ()),
        "long run": lambda: _engine.long_run(np.ascontiguousarray(X), "qs", 3, True),
        "wald": lambda: _engine.wald(np.ones(2), np.eye(2)),
    }
    return cases


def test_engine_takes_x_as_columns():
    # Columns (None: the constant) give the bits of the row-major design, lane runs and odd sizes alike.
    from Kestrix.diagnostics import _engine

    rng = np.random.default_rng(32)
    sizes = np.array([30] * 9 + [7, 12, 12, 3])
    X = np.column_stack([np.ones(sizes.sum()), rng.standard_normal((sizes.sum(), 2))])
    y = X @ [0.5, 1.0, -1.0] + rng.standard_normal(sizes.sum())
    y[40] = np.inf
    starts = np.concatenate([[0], np.cumsum(sizes)]).astype(np.int64)
    every = _engine.options_tuple(kd.TESTS + kd.OPTIONAL, kd.Options())
    wanted = {"fit": True, "rows": True, "recursive": True, "sup_f": True, "coef_hac": True}
    rows = _engine.run(y, X, starts, every, **wanted)
    columns = _engine.run(y, (None, X[:, 1].copy(), X[:, 2].copy()), starts, every, **wanted)
    for field in ("stat", "df1", "df2", "status", "flags", "info", "rank", "coef", "bse", "coef_hac", "resid",
                  "recursive", "sup_f"):
        a, b = getattr(rows, field), getattr(columns, field)
        assert np.array_equal(a.view(np.uint8), b.view(np.uint8)) or np.array_equal(a, b, equal_nan=True), field
    with pytest.raises(ValueError, match="a column of X has 119 items, expected 120"):
        _engine.run(y[:120], (None, X[:119, 1].copy()), starts[:5], every)
    with pytest.raises(ValueError, match="Z cannot be given with X as columns"):
        _engine.run(y, (None, X[:, 1].copy()), starts, every, Z=X)


def test_engine_binding_leaks_nothing():
    cases = _engine_cases()

    def run():
        for _ in range(ROUNDS):
            for call in cases.values():
                try:
                    call()
                except (TypeError, ValueError) as exc:
                    exc.__traceback__ = None

    run()  # warm-up
    gc.collect()
    traced, heap, rss = _memory_growths(run)
    _report(test="leaks", function="battery engine", cases=len(cases), traced_growth=traced, heap_growth=heap,
            rss_growth=rss)
    assert _leaks(traced, heap, rss) == [], f"{ROUNDS * len(cases)} calls a window"
