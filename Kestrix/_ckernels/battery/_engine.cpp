// The extension module Kestrix._ckernels.battery._engine: the battery
// engine for the Python layer (Kestrix.diagnostics), which is its only
// caller.
//
// A thin layer.  The caller passes every array ready (C-contiguous, of the
// dtype named below) and every output allocated; a function checks dtypes
// and sizes, releases the interpreter lock for exactly one call of the
// engine, and returns.  While the lock is released the function holds a
// buffer view of every array it passes, so no address can move; the engine
// touches no Python object.  The module keeps no state at all, so it is
// safe without the interpreter lock (it declares so on 3.13 and newer).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "diag_wald.h"
#include "ksx_battery.h"
#include "longrun.hpp"

namespace {

constexpr const char* kModuleName = "Kestrix._ckernels.battery._engine";

// A buffer view of an argument, released on every return path.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // The C-contiguous buffer of obj, of item type `kind` ('d' f64, 'q' i64, 'i' i32, 'I' u32, 'B' u8)
    // and `ndim` dimensions; writable when asked.  False with an exception set otherwise.
    bool take(PyObject* obj, const char* what, char kind, int ndim, bool writable) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        if (view_.ndim != ndim) {
            PyErr_Format(PyExc_ValueError, "%s must have %d dimension%s, got %d", what, ndim, ndim == 1 ? "" : "s",
                         view_.ndim);
            return false;
        }
        if (!matches(kind)) {
            PyErr_Format(PyExc_ValueError, "%s has items of format '%s', not of the type expected ('%c')", what,
                         view_.format ? view_.format : "B", kind);
            return false;
        }
        if (reinterpret_cast<std::uintptr_t>(view_.buf) % static_cast<std::uintptr_t>(view_.itemsize) != 0) {
            PyErr_Format(PyExc_ValueError, "%s is not aligned for its items", what);
            return false;
        }
        return true;
    }

    // The same, or nothing for None.
    bool take_optional(PyObject* obj, const char* what, char kind, int ndim, bool writable) {
        if (obj == Py_None) return true;
        return take(obj, what, kind, ndim, writable);
    }

    bool held() const { return held_; }
    Py_ssize_t extent(int k) const { return view_.shape[k]; }
    Py_ssize_t count() const { return view_.len / view_.itemsize; }
    template <class T>
    T* data() const {
        return held_ ? static_cast<T*>(view_.buf) : nullptr;
    }

private:
    bool matches(char kind) const {
        const char* f = view_.format ? view_.format : "B";
        if (f[0] == '@' || f[0] == '=' || f[0] == '<') ++f;
        if (f[1] != '\0') return false;
        switch (kind) {
            case 'd': return f[0] == 'd' && view_.itemsize == 8;
            case 'q': return (f[0] == 'q' || f[0] == 'l') && view_.itemsize == 8;
            case 'i': return (f[0] == 'i' || f[0] == 'l') && view_.itemsize == 4;
            case 'I': return (f[0] == 'I' || f[0] == 'L') && view_.itemsize == 4;
            case 'B': return (f[0] == 'B' || f[0] == '?') && view_.itemsize == 1;
            default: return false;
        }
    }

    Py_buffer view_{};
    bool held_ = false;
};

bool need(const char* what, Py_ssize_t have, Py_ssize_t want) {
    if (have == want) return true;
    PyErr_Format(PyExc_ValueError, "%s has %zd items, expected %zd", what, have, want);
    return false;
}

bool arity(const char* name, Py_ssize_t nargs, Py_ssize_t want) {
    if (nargs == want) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments (%zd given)", name, want, nargs);
    return false;
}

bool as_i64(PyObject* obj, i64* out) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    *out = static_cast<i64>(v);
    return true;
}

// battery(y, X, starts, Z, options, out) -> status
//   y (N,) f64; X (N, p) f64, or a tuple of p columns, each (N,) f64 or None for a column of ones (Z then
//   None); starts (G+1,) i64 from 0 to N, non-decreasing; Z None or (N, q) f64;
//   options: (tests, lags, arch_lags, break_at, kernel_id, bandwidth, power, trim, cusum_scale, white_cross);
//   out: (stat, df1, df2, status, flags, info, fit_status, rank, has_constant, rss, tss, coef, bse,
//         dependent, coef_hac, resid, recursive, sup_f), each an array or None (the first six required).
PyObject* battery(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("battery", nargs, 6)) return nullptr;
    Buffer y, X, starts, Z;
    const bool by_columns = PyTuple_Check(args[1]);
    if (!y.take(args[0], "y", 'd', 1, false) || (!by_columns && !X.take(args[1], "X", 'd', 2, false)) ||
        !starts.take(args[2], "starts", 'q', 1, false) || !Z.take_optional(args[3], "Z", 'd', 2, false))
        return nullptr;
    const Py_ssize_t N = y.extent(0), p = by_columns ? PyTuple_GET_SIZE(args[1]) : X.extent(1);
    if ((!by_columns && !need("X's rows", X.extent(0), N)) || (Z.held() && !need("Z's rows", Z.extent(0), N)))
        return nullptr;
    // X as columns: a view of each (None: the column of ones), held like every other array.
    std::unique_ptr<Buffer[]> columns(by_columns ? new (std::nothrow) Buffer[p > 0 ? p : 1] : nullptr);
    std::vector<const f64*> column_data;
    if (by_columns) {
        if (!columns) return PyErr_NoMemory();
        if (Z.held()) {
            PyErr_SetString(PyExc_ValueError, "Z cannot be given with X as columns");
            return nullptr;
        }
        column_data.assign(static_cast<size_t>(p), nullptr);
        for (Py_ssize_t j = 0; j < p; ++j) {
            PyObject* column = PyTuple_GET_ITEM(args[1], j);
            if (column == Py_None) continue;
            if (!columns[j].take(column, "a column of X", 'd', 1, false) || !need("a column of X", columns[j].extent(0), N))
                return nullptr;
            column_data[static_cast<size_t>(j)] = columns[j].data<f64>();
        }
    }
    const Py_ssize_t G = starts.extent(0) - 1;
    if (G < 0) {
        PyErr_SetString(PyExc_ValueError, "starts must hold at least one value");
        return nullptr;
    }
    const i64* s = starts.data<i64>();
    if (s[0] != 0 || s[G] != N) {
        PyErr_SetString(PyExc_ValueError, "starts must run from 0 to the number of rows");
        return nullptr;
    }
    for (Py_ssize_t g = 0; g < G; ++g)
        if (s[g + 1] < s[g]) {
            PyErr_SetString(PyExc_ValueError, "starts must not decrease");
            return nullptr;
        }
    PyObject* opts = args[4];
    if (!PyTuple_Check(opts) || PyTuple_GET_SIZE(opts) != 10) {
        PyErr_SetString(PyExc_TypeError, "options must be a tuple of 10 values");
        return nullptr;
    }
    ksx_battery_options o{};
    i64 tests = 0;
    if (!as_i64(PyTuple_GET_ITEM(opts, 0), &tests) || !as_i64(PyTuple_GET_ITEM(opts, 1), &o.lags) ||
        !as_i64(PyTuple_GET_ITEM(opts, 2), &o.arch_lags) || !as_i64(PyTuple_GET_ITEM(opts, 3), &o.break_at) ||
        !as_i64(PyTuple_GET_ITEM(opts, 4), &o.kernel_id) || !as_i64(PyTuple_GET_ITEM(opts, 5), &o.bandwidth) ||
        !as_i64(PyTuple_GET_ITEM(opts, 6), &o.power) || !as_i64(PyTuple_GET_ITEM(opts, 8), &o.cusum_scale) ||
        !as_i64(PyTuple_GET_ITEM(opts, 9), &o.white_cross))
        return nullptr;
    o.tests = static_cast<uint64_t>(tests);
    o.trim = PyFloat_AsDouble(PyTuple_GET_ITEM(opts, 7));
    if (o.trim == -1.0 && PyErr_Occurred()) return nullptr;
    if (o.lags < 1 || o.arch_lags < 1 || o.power < 2 || o.kernel_id < 0 || o.kernel_id > 2 ||
        !(o.trim > 0.0 && o.trim < 0.5) || o.cusum_scale < 0 || o.cusum_scale > 1) {
        PyErr_SetString(PyExc_ValueError, "options out of range");
        return nullptr;
    }
    PyObject* outs = args[5];
    if (!PyTuple_Check(outs) || PyTuple_GET_SIZE(outs) != 18) {
        PyErr_SetString(PyExc_TypeError, "out must be a tuple of 18 arrays or None");
        return nullptr;
    }
    const Py_ssize_t T = KSX_T_COUNT;
    struct Output {
        const char* name;
        char kind;
        Py_ssize_t count;
        bool required;
    };
    const Output outputs[18] = {
        {"stat", 'd', G * T, true},       {"df1", 'q', G * T, true},
        {"df2", 'q', G * T, true},        {"status", 'i', G * T, true},
        {"flags", 'I', G * T, true},      {"info", 'q', G * T * KSX_INFO_WORDS, true},
        {"fit_status", 'i', G, false},    {"rank", 'q', G, false},
        {"has_constant", 'B', G, false},  {"rss", 'd', G, false},
        {"tss", 'd', G, false},           {"coef", 'd', G * p, false},
        {"bse", 'd', G * p, false},       {"dependent", 'B', G * p, false},
        {"coef_hac", 'd', G * p * p, false}, {"resid", 'd', N, false},
        {"recursive", 'd', N, false},     {"sup_f", 'd', N, false},
    };
    Buffer b[18];
    for (int k = 0; k < 18; ++k) {
        PyObject* obj = PyTuple_GET_ITEM(outs, k);
        if (obj == Py_None && outputs[k].required) {
            PyErr_Format(PyExc_ValueError, "out: %s is required", outputs[k].name);
            return nullptr;
        }
        int ndim = 1;
        if (obj != Py_None) {
            Py_buffer probe;
            if (PyObject_GetBuffer(obj, &probe, PyBUF_ND) < 0) return nullptr;
            ndim = probe.ndim;
            PyBuffer_Release(&probe);
        }
        if (!b[k].take_optional(obj, outputs[k].name, outputs[k].kind, ndim, true)) return nullptr;
        if (b[k].held() && !need(outputs[k].name, b[k].count(), outputs[k].count)) return nullptr;
    }
    ksx_battery_out out{b[0].data<f64>(),     b[1].data<i64>(),   b[2].data<i64>(),      b[3].data<int32_t>(),
                        b[4].data<uint32_t>(), b[5].data<i64>(),   b[6].data<int32_t>(),  b[7].data<i64>(),
                        b[8].data<uint8_t>(), b[9].data<f64>(),   b[10].data<f64>(),     b[11].data<f64>(),
                        b[12].data<f64>(),    b[13].data<uint8_t>(), b[14].data<f64>(),  b[15].data<f64>(),
                        b[16].data<f64>(),    b[17].data<f64>()};
    int status;
    // Every array is held by a view until the views go out of scope below; nothing else is touched.
    Py_BEGIN_ALLOW_THREADS
    status = by_columns ? ksx_battery_run_columns(y.data<f64>(), column_data.data(), N, p, s, G, &o, &out)
                        : ksx_battery_run(y.data<f64>(), X.data<f64>(), N, p, s, G, Z.data<f64>(),
                                          Z.held() ? Z.extent(1) : 0, &o, &out);
    Py_END_ALLOW_THREADS
    if (status == KSX_S_NO_MEMORY) return PyErr_NoMemory();
    return PyLong_FromLong(status);
}

// long_run(r, kernel_id, bandwidth, center, out): the long-run covariance of the rows of r (n, p) into
// out (p, p); r centred first when center is true (r is not changed).
PyObject* long_run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("long_run", nargs, 5)) return nullptr;
    Buffer r, out;
    i64 kernel_id = 0, bandwidth = 0;
    if (!r.take(args[0], "r", 'd', 2, false) || !as_i64(args[1], &kernel_id) || !as_i64(args[2], &bandwidth))
        return nullptr;
    const int center = PyObject_IsTrue(args[3]);
    if (center < 0 || !out.take(args[4], "out", 'd', 2, true)) return nullptr;
    const i64 n = r.extent(0), p = r.extent(1);
    if (!need("out", out.count(), p * p)) return nullptr;
    if (kernel_id < 0 || kernel_id > 2 || bandwidth < 0 || bandwidth > n - 1 || n < 1) {
        PyErr_SetString(PyExc_ValueError, "long_run: kernel, bandwidth or rows out of range");
        return nullptr;
    }
    const i64 scratch = ksx::battery::long_run_scratch(n, p, kernel_id) + n * p + p + p * p;
    f64* work = static_cast<f64*>(std::malloc(sizeof(f64) * static_cast<size_t>(scratch > 0 ? scratch : 1)));
    if (!work) return PyErr_NoMemory();
    Py_BEGIN_ALLOW_THREADS
    f64* copy = work;
    f64* mean = copy + n * p;
    f64* rest = mean + p;
    std::memcpy(copy, r.data<f64>(), sizeof(f64) * static_cast<size_t>(n * p));
    if (center) {
        ksx_fill_mean_ax0(copy, n, p, mean);
        ksx_fill_centered_ax0(copy, mean, n, p, copy);
    }
    ksx::battery::long_run(copy, n, p, kernel_id, bandwidth, out.data<f64>(), rest);
    Py_END_ALLOW_THREADS
    std::free(work);
    Py_RETURN_NONE;
}

// wald(b, V) -> (statistic, rank): b'·V⁻¹·b through the equilibrated, pivoted Cholesky factor of V.
PyObject* wald(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!arity("wald", nargs, 2)) return nullptr;
    Buffer b, V;
    if (!b.take(args[0], "b", 'd', 1, false) || !V.take(args[1], "V", 'd', 2, false)) return nullptr;
    const i64 q = b.extent(0);
    if (!need("V", V.count(), q * q)) return nullptr;
    f64* work = static_cast<f64*>(std::malloc(sizeof(f64) * static_cast<size_t>(ksx::battery::wald_scratch(q) + 1)));
    if (!work) return PyErr_NoMemory();
    f64 stat = 0.0;
    i64 rank = 0;
    Py_BEGIN_ALLOW_THREADS
    rank = ksx::battery::wald_statistic(b.data<f64>(), V.data<f64>(), q, &stat, work);
    Py_END_ALLOW_THREADS
    std::free(work);
    return Py_BuildValue("(dL)", stat, static_cast<long long>(rank));
}

PyObject* constants() {
    PyObject* d = PyDict_New();
    if (!d) return nullptr;
    struct {
        const char* name;
        long value;
    } items[] = {
        {"TESTS", KSX_T_COUNT},           {"INFO_WORDS", KSX_INFO_WORDS},   {"OK", KSX_S_OK},
        {"NOT_RUN", KSX_S_NOT_RUN},       {"NO_MEMORY", KSX_S_NO_MEMORY},   {"UDEF_VARIANCE", KSX_S_UDEF_VARIANCE},
        {"TOO_FEW_OBS", KSX_S_TOO_FEW_OBS}, {"BAD_BREAK", KSX_S_BAD_BREAK}, {"NOT_FINITE", KSX_S_NOT_FINITE},
        {"F_DROPPED", KSX_F_DROPPED},     {"F_LATE_START", KSX_F_LATE_START}, {"F_CLAMPED", KSX_F_CLAMPED},
        {"F_NO_CONSTANT", KSX_F_NO_CONSTANT}, {"F_SEGMENT_RANK", KSX_F_SEGMENT_RANK}, {"F_FLAT", KSX_F_FLAT},
        {"F_FEW_OBS", KSX_F_FEW_OBS},     {"F_UNIDENTIFIED", KSX_F_UNIDENTIFIED}, {"F_SKIPPED", KSX_F_SKIPPED},
        {"F_PSEUDO", KSX_F_PSEUDO},
    };
    for (const auto& item : items) {
        PyObject* v = PyLong_FromLong(item.value);
        if (!v || PyDict_SetItemString(d, item.name, v) < 0) {
            Py_XDECREF(v);
            Py_DECREF(d);
            return nullptr;
        }
        Py_DECREF(v);
    }
    return d;
}

PyMethodDef methods[] = {
    {"battery", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(battery)), METH_FASTCALL,
     "battery(y, X, starts, Z, options, out) -> status\n\nThe fit and the tests of every group (ksx_battery.h)."},
    {"long_run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(long_run)), METH_FASTCALL,
     "long_run(r, kernel_id, bandwidth, center, out)\n\nThe long-run covariance of the rows of r."},
    {"wald", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(wald)), METH_FASTCALL,
     "wald(b, V) -> (statistic, rank)\n\nb'V^-1 b by the equilibrated, pivoted Cholesky factor of V."},
    {nullptr, nullptr, 0, nullptr},
};

int exec(PyObject* module) {
    const unsigned long running = Py_Version >> 16;
    const unsigned long built = (PY_MAJOR_VERSION << 8) | PY_MINOR_VERSION;
    if (running != built &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match",
                         static_cast<int>(running >> 8), static_cast<int>(running & 0xff)) < 0)
        return -1;
    PyObject* d = constants();
    if (!d) return -1;
    if (PyModule_AddObjectRef(module, "CODES", d) < 0) {
        Py_DECREF(d);
        return -1;
    }
    Py_DECREF(d);
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "The battery engine of Kestrix.diagnostics: the fit and every test of many regressions in one call.\n\n"
    "Private: the arrays must come ready (C-contiguous, of the documented dtypes) and the outputs allocated.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&definition); }
