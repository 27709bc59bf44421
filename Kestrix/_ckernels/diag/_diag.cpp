// The extension module Kestrix._ckernels.diag._diag.
//
// A thin layer: every function binds its arguments, converts array arguments
// to C-contiguous float64 arrays through the module's `np`, reads sizes,
// allocates outputs with `np.empty`, releases the interpreter lock around
// exactly one kernel call and builds the result.  All arithmetic is in the
// kernels (diag.cpp, diag_wald.cpp).
//
// One mechanism serves all sixteen functions: a table row per function (name,
// docstring, parameters, scalar conversions, body) and one shared dispatcher
// that does argument binding, scalar conversion and error reporting.  A body
// reads like its binding table: conversions, sizes, outputs, kernel, result.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>

#include "diag.h"
#include "diag_wald.h"

namespace {

constexpr const char* kModuleName = "Kestrix._ckernels.diag._diag";
constexpr const char* kSourceFile = "Kestrix/_ckernels/diag/_diag.cpp";

// ---------------------------------------------------------------------------
// Owning references and buffer views
// ---------------------------------------------------------------------------

// An owned (strong) reference, released on scope exit.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* obj) { return Ref(obj); }
    static Ref borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Adds a traceback entry `funcname` in `filename` at `lineno` to the pending
// exception, through a frame of an empty code object, the way the
// interpreter records a frame of Python code.  The entry is best effort: if
// anything here fails, the pending exception is restored unchanged and the
// secondary error is dropped.
void add_traceback_entry(const char* funcname, const char* filename, int lineno) {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    if (!pending) return;
    Ref globals = Ref::steal(PyDict_New());
    Ref code = globals ? Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, lineno)))
                       : Ref();
    Ref frame = code ? Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                           PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)))
                     : Ref();
    if (frame) {
        PyErr_SetRaisedException(Ref::borrow(pending.get()).release());
        if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) == 0) return;
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

// A writable, C-contiguous float64 buffer of a fixed number of dimensions.
// The buffer stays exported, and its array alive, until the view is
// destroyed: on every return path of the function that holds it.
class View {
public:
    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (held_) PyBuffer_Release(&buffer_);
    }

    // Takes the view of `array`; false with an exception set on failure.
    bool acquire(PyObject* array, int ndim) {
        if (PyObject_GetBuffer(array, &buffer_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0)
            return false;
        held_ = true;
        if (buffer_.ndim != ndim) {
            PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                         buffer_.ndim);
            return false;
        }
        if (buffer_.itemsize != static_cast<Py_ssize_t>(sizeof(f64)) || !is_double_format(buffer_.format)) {
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected 'double' but got '%s'",
                         buffer_.format ? buffer_.format : "B");
            return false;
        }
        return true;
    }

    void release() {
        if (held_) PyBuffer_Release(&buffer_);
        held_ = false;
    }

    // Kernels load f64 values: their address must be a multiple of 8.
    bool aligned() const { return reinterpret_cast<std::uintptr_t>(buffer_.buf) % alignof(f64) == 0; }

    f64* data() const { return static_cast<f64*>(buffer_.buf); }
    i64 extent(int k) const { return static_cast<i64>(buffer_.shape[k]); }
    int ndim() const { return buffer_.ndim; }
    i64 count() const { return static_cast<i64>(buffer_.len / static_cast<Py_ssize_t>(sizeof(f64))); }
    // Data address, or null when the size that the kernel is told is below 1.
    f64* data_or_null(i64 size) const { return size >= 1 ? data() : nullptr; }

private:
    static bool is_double_format(const char* format) {
        if (format == nullptr) return false;
        if (format[0] == '@' || format[0] == '=' || format[0] == '<') ++format;
        return format[0] == 'd' && format[1] == '\0';
    }

    Py_buffer buffer_{};
    bool held_ = false;
};

// ---------------------------------------------------------------------------
// Process-wide state
// ---------------------------------------------------------------------------
//
// The module declares that it runs without the interpreter lock (the
// Py_mod_gil slot below), so on a free-threaded interpreter imports and calls
// may run on several threads at once with nothing serialising them.  Each
// process-wide value is therefore either synchronised or immutable once
// published:
//   * the interpreter that first created the module is recorded once, by a
//     compare-and-swap: interpreters racing to create the module agree on one
//     winner and every loser is refused;
//   * the module object is published, read and withdrawn under a mutex, and a
//     reader takes its new reference under the same mutex, so a failed import
//     on one thread cannot free the object between another thread's read and
//     its increment;
//   * the interned names are made once by the exec step that owns the module,
//     before any function object exists, and never change; a call reaches
//     them only through a function object published after them.
// The mutex is never held while Python code can run (no call back into the
// interpreter other than a reference-count increment happens under it), so it
// cannot deadlock against the interpreter lock or a stop-the-world pause.

std::atomic<int64_t> g_interpreter_id{-1};  // interpreter that first created the module
std::mutex g_module_mutex;
PyObject* g_module = nullptr;  // the one module object, once initialised; guarded by g_module_mutex

// Interned attribute and keyword names, made once and never released.
struct Names {
    PyObject* np;
    PyObject* ascontiguousarray;
    PyObject* empty;
    PyObject* float64;
    PyObject* shape;
    PyObject* copy;
    PyObject* dtype_kwnames;  // ("dtype",)
};
Names g_names{};

// A strong reference to dict[key]; empty, with no exception set, when the key
// is absent.  Without the interpreter lock another thread may rebind the key
// at any moment and free the old value, so a borrowed reference could dangle
// before it is taken: from 3.13 on the lookup itself returns a strong one.
Ref dict_item(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) return Ref();
    return Ref::steal(value);
#else
    // 3.12 always holds the interpreter lock here: nothing runs in between.
    return Ref::borrow(PyDict_GetItemWithError(dict, key));
#endif
}

// The builtins of the running frame, as a strong reference.
Ref frame_builtins() {
#if PY_VERSION_HEX >= 0x030D0000
    return Ref::steal(PyEval_GetFrameBuiltins());
#else
    return Ref::borrow(PyEval_GetBuiltins());
#endif
}

// Item k of a list, as a strong reference (another thread may shrink the list
// or replace the item meanwhile; a list shorter than k+1 by then raises
// IndexError).
Ref list_item(PyObject* list, Py_ssize_t k) {
#if PY_VERSION_HEX >= 0x030D0000
    return Ref::steal(PyList_GetItemRef(list, k));
#else
    return Ref::borrow(PyList_GET_ITEM(list, k));
#endif
}

bool make_names() {
    if (g_names.dtype_kwnames != nullptr) return true;
    Names names{};
    names.np = PyUnicode_InternFromString("np");
    names.ascontiguousarray = PyUnicode_InternFromString("ascontiguousarray");
    names.empty = PyUnicode_InternFromString("empty");
    names.float64 = PyUnicode_InternFromString("float64");
    names.shape = PyUnicode_InternFromString("shape");
    names.copy = PyUnicode_InternFromString("copy");
    if (!names.np || !names.ascontiguousarray || !names.empty || !names.float64 || !names.shape || !names.copy)
        return false;
    names.dtype_kwnames = Py_BuildValue("(s)", "dtype");
    if (!names.dtype_kwnames) return false;
    g_names = names;
    return true;
}

// ---------------------------------------------------------------------------
// Scalar conversions
// ---------------------------------------------------------------------------

// An int (or subclass) by value; anything else through its type's integer
// conversion slot (__int__, not __index__), as C extension integer arguments
// have always been converted.  Floats are truncated toward zero.
bool convert_int64(PyObject* obj, i64* out) {
    Ref owned;
    if (!PyLong_Check(obj)) {
        PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
        if (number == nullptr || number->nb_int == nullptr) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        owned = Ref::steal(number->nb_int(obj));
        if (!owned) return false;
        if (!PyLong_CheckExact(owned.get())) {
            if (!PyLong_Check(owned.get())) {
                PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(owned.get())->tp_name);
                return false;
            }
            if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                 "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                                 "strict subclass of int is deprecated, and may be removed in a future version of "
                                 "Python.",
                                 Py_TYPE(owned.get())->tp_name) < 0)
                return false;
        }
        obj = owned.get();
    }
    long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred()) return false;
    *out = static_cast<i64>(value);
    return true;
}

bool convert_int(PyObject* obj, i64* out) {
    if (!convert_int64(obj, out)) return false;
    if (*out < std::numeric_limits<int32_t>::min() || *out > std::numeric_limits<int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    return true;
}

bool convert_double(PyObject* obj, f64* out) {
    f64 value = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

// ---------------------------------------------------------------------------
// Function table
// ---------------------------------------------------------------------------

enum class Kind : uint8_t { Array, Int64, Int, Double };

struct Param {
    const char* name;
    Kind kind;
};

constexpr int kMaxParams = 4;

class Call;
using Body = PyObject* (*)(Call&);

struct FunctionSpec {
    const char* name;
    const char* full_name;  // for traceback entries
    const char* doc;        // text signature line, then the docstring
    int nparams;
    std::array<Param, kMaxParams> params;
    Body body;
};

// ---------------------------------------------------------------------------
// One call: bound arguments, converted scalars, and the steps a body uses
// ---------------------------------------------------------------------------

class Call {
public:
    Call(PyObject* module, const FunctionSpec& fn) : module_(module), fn_(fn) {}

    PyObject* arg(int i) const { return args_[i]; }
    i64 int_arg(int i) const { return ints_[i]; }
    f64 double_arg(int i) const { return doubles_[i]; }
    const char* name() const { return fn_.name; }

    // Step 1: positional arguments first, then keywords; every parameter
    // must receive exactly one value.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        const Py_ssize_t nparams = fn_.nparams;
        if (nargs > nparams) return count_error(nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) args_[i] = args[i];
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fn_.name);
                return false;
            }
            int slot = find_param(key);
            if (slot < 0) {
                if (PyErr_Occurred()) return false;
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn_.name, key);
                return false;
            }
            if (args_[slot] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fn_.name, key);
                return false;
            }
            args_[slot] = args[nargs + k];
        }
        for (Py_ssize_t i = 0; i < nparams; ++i) {
            // The first empty parameter's position equals the number of
            // leading parameters that did receive a value.
            if (args_[i] == nullptr) return count_error(nkw == 0 ? nargs : i);
        }
        return true;
    }

    // Step 2: scalar parameters, in parameter order.
    bool convert_scalars() {
        for (int i = 0; i < fn_.nparams; ++i) {
            switch (fn_.params[i].kind) {
                case Kind::Array:
                    break;
                case Kind::Int64:
                    if (!convert_int64(args_[i], &ints_[i])) return false;
                    break;
                case Kind::Int:
                    if (!convert_int(args_[i], &ints_[i])) return false;
                    break;
                case Kind::Double:
                    if (!convert_double(args_[i], &doubles_[i])) return false;
                    break;
            }
        }
        return true;
    }

    // Conversion: view = np.ascontiguousarray(arg, dtype=np.float64), taken
    // with `ndim` dimensions.  A ready float64 array is returned by NumPy
    // unchanged, so it reaches the kernel without a copy.
    bool convert(int i, View& view, int ndim) {
        Ref np = lookup_np();
        if (!np) return false;
        Ref func = Ref::steal(PyObject_GetAttr(np.get(), g_names.ascontiguousarray));
        if (!func) return false;
        Ref dtype = Ref::steal(PyObject_GetAttr(np.get(), g_names.float64));
        if (!dtype) return false;
        PyObject* call_args[2] = {args_[i], dtype.get()};
        Ref array = Ref::steal(PyObject_Vectorcall(func.get(), call_args, 1, g_names.dtype_kwnames));
        if (!array) return false;
        if (!view.acquire(array.get(), ndim)) return false;
        if (view.aligned()) return true;
        // A ready float64 array may sit at an odd address (a view into a
        // byte buffer); the conversion returns it as it is.  The kernels
        // read a fresh, aligned copy instead: the argument stays untouched.
        view.release();
        Ref copy = Ref::steal(PyObject_CallMethodNoArgs(array.get(), g_names.copy));
        if (!copy || !view.acquire(copy.get(), ndim)) return false;
        if (view.aligned()) return true;
        PyErr_Format(PyExc_ValueError, "%s(): %s is not aligned for float64", fn_.name, fn_.params[i].name);
        return false;
    }

    // The (y, X) pair of a regression, arguments 0 and 1: T rows of X with
    // p columns, and one value of y per row.
    bool regression(View& y, View& X, i64* T, i64* p) {
        if (!convert(0, y, 1) || !convert(1, X, 2)) return false;
        *T = X.extent(0);
        *p = X.extent(1);
        return require(0, y.extent(0), *T, "values", "one per row of X");
    }

    // Output: out = np.empty(shape, dtype=np.float64) and its view.  One
    // dimension is passed as an int, two as a tuple.
    bool empty(Ref& out, View& view, i64 rows) {
        Ref shape = Ref::steal(PyLong_FromLongLong(rows));
        return shape && allocate(out, view, shape.get(), 1) && check_output(view, rows, 1);
    }
    bool empty(Ref& out, View& view, i64 rows, i64 cols) {
        Ref shape = Ref::steal(Py_BuildValue("(LL)", static_cast<long long>(rows), static_cast<long long>(cols)));
        return shape && allocate(out, view, shape.get(), 2) && check_output(view, rows, cols);
    }

    // Size from the argument as passed: item k of its `shape` attribute,
    // converted like an int64 parameter.  A shape too short for item k is an
    // IndexError rather than a read past its end.
    bool shape_item(int i, int k, i64* out) {
        Ref shape = Ref::steal(PyObject_GetAttr(args_[i], g_names.shape));
        if (!shape) return false;
        Ref item;
        PyObject* seq = shape.get();
        if (PyTuple_Check(seq) || PyList_Check(seq)) {
            Py_ssize_t len = PyTuple_Check(seq) ? PyTuple_GET_SIZE(seq) : PyList_GET_SIZE(seq);
            if (k >= len) {
                PyErr_Format(PyExc_IndexError,
                             "%s(): %s.shape has %zd item%s, so it has no dimension %d", fn_.name,
                             fn_.params[i].name, len, len == 1 ? "" : "s", k);
                return false;
            }
            item = PyTuple_Check(seq) ? Ref::borrow(PyTuple_GET_ITEM(seq, k)) : list_item(seq, k);
            if (!item) return false;
        } else {
            item = Ref::steal(PySequence_GetItem(seq, k));
            if (!item) return false;
        }
        return convert_int64(item.get(), out);
    }

    // Refusal of input a kernel would read past the end of: `have` of the
    // argument's `unit` against the `need` that `reason` implies.
    bool require(int i, i64 have, i64 need, const char* unit, const char* reason) {
        if (have >= need) return true;
        PyErr_Format(PyExc_ValueError, "%s(): %s has %lld %s, fewer than the %lld needed (%s)", fn_.name,
                     fn_.params[i].name, static_cast<long long>(have), unit, static_cast<long long>(need), reason);
        return false;
    }

    // A size that must be representable: a negative size read from a shape,
    // or a product that overflows, is refused.
    bool size_error(const char* what) {
        PyErr_Format(PyExc_ValueError, "%s(): %s is negative or too large", fn_.name, what);
        return false;
    }

    // np.float64(value), looked up through the module's `np`.
    Ref numpy_float(f64 value) {
        Ref np = lookup_np();
        if (!np) return Ref();
        Ref type = Ref::steal(PyObject_GetAttr(np.get(), g_names.float64));
        if (!type) return Ref();
        Ref number = Ref::steal(PyFloat_FromDouble(value));
        if (!number) return Ref();
        return Ref::steal(PyObject_CallOneArg(type.get(), number.get()));
    }

private:
    bool count_error(Py_ssize_t given) {
        const Py_ssize_t n = fn_.nparams;
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fn_.name,
                     "exactly", n, n == 1 ? "" : "s", given);
        return false;
    }

    int find_param(PyObject* key) const {
        for (int i = 0; i < fn_.nparams; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, fn_.params[i].name) == 0) return i;
        }
        return -1;
    }

    // `np` from the module namespace on every call, then from the builtins,
    // as a strong reference: arbitrary code may run (and rebind `np`) before
    // the caller is done with it, on this thread or, without the interpreter
    // lock, on another one.
    Ref lookup_np() {
        Ref np = dict_item(PyModule_GetDict(module_), g_names.np);
        if (!np && !PyErr_Occurred()) {
            Ref builtins = frame_builtins();
            if (builtins) np = dict_item(builtins.get(), g_names.np);
            if (!np && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", g_names.np);
        }
        return np;
    }

    // The kernel writes the whole requested shape: whatever `np.empty` may
    // be rebound to, its result must be exactly that large and aligned.
    bool check_output(const View& view, i64 rows, i64 cols) {
        const i64 got_cols = view.ndim() == 2 ? view.extent(1) : 1;
        if (view.extent(0) == rows && got_cols == cols && view.aligned()) return true;
        PyErr_Format(PyExc_ValueError, "%s(): np.empty returned an unaligned array or one of the wrong shape",
                     fn_.name);
        return false;
    }

    bool allocate(Ref& out, View& view, PyObject* shape, int ndim) {
        Ref np = lookup_np();
        if (!np) return false;
        Ref func = Ref::steal(PyObject_GetAttr(np.get(), g_names.empty));
        if (!func) return false;
        Ref dtype = Ref::steal(PyObject_GetAttr(np.get(), g_names.float64));
        if (!dtype) return false;
        PyObject* call_args[2] = {shape, dtype.get()};
        out = Ref::steal(PyObject_Vectorcall(func.get(), call_args, 1, g_names.dtype_kwnames));
        if (!out) return false;
        return view.acquire(out.get(), ndim);
    }

    PyObject* module_;
    const FunctionSpec& fn_;
    PyObject* args_[kMaxParams] = {};
    i64 ints_[kMaxParams] = {};
    f64 doubles_[kMaxParams] = {};
};

// Runs one kernel with the interpreter lock released.  The kernel touches only
// the data addresses of views held by the caller's frame: each keeps its
// buffer exported and its array alive until the function returns, and no
// Python object is touched, so nothing can move or free the memory meanwhile.
template <class Kernel>
void run_unlocked(Kernel&& kernel) {
    Py_BEGIN_ALLOW_THREADS
    kernel();
    Py_END_ALLOW_THREADS
}

// ---------------------------------------------------------------------------
// Results
// ---------------------------------------------------------------------------

PyObject* to_python(int status) { return PyLong_FromLong(status); }
PyObject* to_python(i64 count) { return PyLong_FromLongLong(count); }
PyObject* to_python(f64 value) { return PyFloat_FromDouble(value); }
PyObject* to_python(const Ref& object) { return Ref::borrow(object.get()).release(); }

template <class... Items>
PyObject* result(const Items&... items) {
    Ref tuple = Ref::steal(PyTuple_New(sizeof...(Items)));
    if (!tuple) return nullptr;
    PyObject* values[] = {to_python(items)...};
    bool ok = true;
    for (std::size_t i = 0; i < sizeof...(Items); ++i) {
        if (values[i] == nullptr) ok = false;
        PyTuple_SET_ITEM(tuple.get(), i, values[i] ? values[i] : Py_NewRef(Py_None));
    }
    return ok ? tuple.release() : nullptr;
}

// q = p(p+1)/2, exact since p(p+1) is even; false when it does not fit.
bool half_vector_length(i64 p, i64* q) {
    i64 product = 0;
    if (p < 0 || __builtin_mul_overflow(p, p + 1, &product)) return false;
    *q = product / 2;
    return true;
}

// ---------------------------------------------------------------------------
// The sixteen bodies, each in the order of its binding table
// ---------------------------------------------------------------------------

PyObject* bg_stat(Call& c) {
    View eps, X;
    if (!c.convert(0, eps, 1) || !c.convert(1, X, 2)) return nullptr;
    const i64 n = eps.extent(0), K = X.extent(1), lags = c.int_arg(2);
    if (!c.require(1, X.extent(0), n, "rows", "one per value of eps")) return nullptr;
    f64 stat = 0.0;
    int status = 0;
    run_unlocked([&] { status = ksx_bg_stat(eps.data(), X.data(), n, K, lags, &stat); });
    return result(status, stat);
}

PyObject* bp_aux(Call& c) {
    View eps, X_aug;
    if (!c.convert(0, eps, 1) || !c.convert(1, X_aug, 2)) return nullptr;
    const i64 n = X_aug.extent(0), p = X_aug.extent(1);
    if (!c.require(0, eps.extent(0), n, "values", "one per row of X_aug")) return nullptr;
    f64 rss = 0.0, tss = 0.0;
    int status = 0;
    run_unlocked([&] { status = ksx_bp_aux(eps.data(), X_aug.data(), n, p, &rss, &tss); });
    return result(status, rss, tss);
}

PyObject* chow_stat(Call& c) {
    View y, X;
    i64 T = 0, p = 0;
    if (!c.regression(y, X, &T, &p)) return nullptr;
    const i64 t_break = c.int_arg(2);
    f64 stat = 0.0;
    int status = 0;
    run_unlocked([&] { status = ksx_chow_stat(y.data(), X.data(), T, p, t_break, &stat); });
    return result(status, stat);
}

// recursive_residuals and cusum_series share their shape: T - p values out.
template <int (*Kernel)(const f64*, const f64*, i64, i64, f64*)>
PyObject* residual_series(Call& c) {
    View y, X, out_view;
    i64 T = 0, p = 0;
    if (!c.regression(y, X, &T, &p)) return nullptr;
    const i64 out_len = T > p ? T - p : 0;
    Ref out;
    if (!c.empty(out, out_view, out_len)) return nullptr;
    int status = 0;
    run_unlocked([&] { status = Kernel(y.data(), X.data(), T, p, out_view.data_or_null(out_len)); });
    return result(status, out);
}

PyObject* cusum_stat(Call& c) {
    View y, X;
    i64 T = 0, p = 0;
    if (!c.regression(y, X, &T, &p)) return nullptr;
    f64 stat = 0.0;
    int status = 0;
    run_unlocked([&] { status = ksx_cusum_stat(y.data(), X.data(), T, p, &stat); });
    return result(status, stat);
}

PyObject* cusumsq_stat(Call& c) {
    View y, X;
    i64 T = 0, p = 0;
    if (!c.regression(y, X, &T, &p)) return nullptr;
    i64 count = 0;
    f64 stat = 0.0;
    int status = 0;
    run_unlocked([&] { status = ksx_cusumsq_stat(y.data(), X.data(), T, p, &count, &stat); });
    return result(status, count, stat);
}

PyObject* jb_stat(Call& c) {
    View x;
    if (!c.convert(0, x, 1)) return nullptr;
    const i64 n = x.extent(0);
    f64 stat = 0.0;
    int status = 0;
    run_unlocked([&] { status = ksx_jb_stat(x.data_or_null(n), n, &stat); });
    Ref scalar = c.numpy_float(stat);
    if (!scalar) return nullptr;
    return result(status, scalar);
}

PyObject* acorr(Call& c) {
    View x, out_view, z_view;
    if (!c.convert(0, x, 1)) return nullptr;
    i64 n = 0;
    if (!c.shape_item(0, 0, &n)) return nullptr;
    if (n < 0) return c.size_error("x.shape[0]"), nullptr;
    if (!c.require(0, x.extent(0), n, "values", "x.shape[0] claims that many")) return nullptr;
    const i64 L = c.int_arg(1);
    if (L == std::numeric_limits<i64>::max()) return c.size_error("L + 1"), nullptr;
    Ref out, z;
    if (!c.empty(out, out_view, L + 1) || !c.empty(z, z_view, n)) return nullptr;
    int status = 0;
    run_unlocked([&] { status = ksx_acorr(x.data_or_null(n), n, L, z_view.data_or_null(n), out_view.data()); });
    return result(status, out);
}

PyObject* lb_stat(Call& c) {
    View x, z_view, rho_view;
    if (!c.convert(0, x, 1)) return nullptr;
    const i64 n = x.extent(0), L = c.int_arg(1);
    Ref z, rho;
    if (!c.empty(z, z_view, n) || !c.empty(rho, rho_view, n)) return nullptr;
    f64 stat = 0.0;
    int status = 0;
    run_unlocked([&] {
        status = ksx_lb_stat(x.data_or_null(n), n, L, z_view.data_or_null(n), rho_view.data_or_null(n), &stat);
    });
    Ref scalar = c.numpy_float(stat);
    if (!scalar) return nullptr;
    return result(status, scalar);
}

PyObject* hac_estimator_matmul(Call& c) {
    View r, out_view, gamma_view;
    if (!c.convert(0, r, 2)) return nullptr;
    const i64 n = r.extent(0), p = r.extent(1);
    // Any int is a safe window id: ids the kernel does not know weigh 0.0.
    const KernelID kernel_id = static_cast<KernelID>(static_cast<int32_t>(c.int_arg(1)));
    const i64 L = c.int_arg(2);
    Ref omega, gamma;
    if (!c.empty(omega, out_view, p, p) || !c.empty(gamma, gamma_view, p, p)) return nullptr;
    run_unlocked([&] { ksx_hac_estimator_matmul(r.data(), kernel_id, L, n, p, gamma_view.data(), out_view.data()); });
    return omega.release();
}

PyObject* fill_mean_ax0(Call& c) {
    View x, mean_view;
    if (!c.convert(0, x, 2)) return nullptr;
    const i64 n = x.extent(0), p = x.extent(1);
    Ref mean;
    if (!c.empty(mean, mean_view, p)) return nullptr;
    run_unlocked([&] { ksx_fill_mean_ax0(x.data(), n, p, mean_view.data()); });
    return mean.release();
}

PyObject* fill_centered_ax0(Call& c) {
    View x, mean, out_view;
    if (!c.convert(0, x, 2) || !c.convert(1, mean, 1)) return nullptr;
    i64 n = 0, p = 0, cells = 0;
    if (!c.shape_item(0, 0, &n) || !c.shape_item(0, 1, &p)) return nullptr;
    if (n < 0 || p < 0 || __builtin_mul_overflow(n, p, &cells)) return c.size_error("x.shape"), nullptr;
    // The kernel reads n*p values of x and, when there is a row, p of mean.
    if (!c.require(0, x.count(), cells, "values", "x.shape claims that many")) return nullptr;
    if (n > 0 && !c.require(1, mean.extent(0), p, "values", "one per column of x")) return nullptr;
    Ref centered;
    if (!c.empty(centered, out_view, n, p)) return nullptr;
    run_unlocked([&] { ksx_fill_centered_ax0(x.data(), mean.data(), n, p, out_view.data()); });
    return centered.release();
}

PyObject* wald_stat_from_mean_and_cov(Call& c) {
    i64 p = 0, cells = 0;
    if (!c.shape_item(0, 0, &p)) return nullptr;
    if (p < 0 || __builtin_mul_overflow(p, p, &cells)) return c.size_error("mean.shape[0]"), nullptr;
    View mean, target, omega, dev_view, chol_view;
    if (!c.convert(0, mean, 1) || !c.convert(1, target, 1) || !c.convert(2, omega, 2)) return nullptr;
    if (!c.require(0, mean.extent(0), p, "values", "mean.shape[0] claims that many") ||
        !c.require(1, target.extent(0), p, "values", "one per value of mean") ||
        !c.require(2, omega.count(), cells, "values", "p*p for p values of mean"))
        return nullptr;
    const i64 n = c.int_arg(3);
    Ref dev, chol;
    if (!c.empty(dev, dev_view, p) || !c.empty(chol, chol_view, p, p)) return nullptr;
    f64 stat = 0.0;
    int status = 0;
    run_unlocked([&] {
        status = ksx_wald_stat_from_mean_and_cov(mean.data(), target.data(), omega.data(), n, p, dev_view.data(),
                                                 chol_view.data(), &stat);
    });
    return result(status, stat);
}

PyObject* symmetric_outer_prod_2dim(Call& c) {
    View x, out_view;
    if (!c.convert(0, x, 2)) return nullptr;
    const i64 n = x.extent(0), p = x.extent(1);
    i64 q = 0;
    if (!half_vector_length(p, &q)) return c.size_error("p*(p+1)/2"), nullptr;
    Ref out;
    if (!c.empty(out, out_view, n, q)) return nullptr;
    int status = 0;
    run_unlocked([&] { status = ksx_symmetric_outer_prod_2dim(x.data(), n, p, q, out_view.data()); });
    return result(status, out);
}

PyObject* fill_symmetric_target_vec(Call& c) {
    const f64 atol = c.double_arg(1), rtol = c.double_arg(2);
    View target, vec_view;
    if (!c.convert(0, target, 2)) return nullptr;
    const i64 p = target.extent(0);
    i64 q = 0;
    if (!half_vector_length(p, &q)) return c.size_error("p*(p+1)/2"), nullptr;
    Ref vec;
    if (!c.empty(vec, vec_view, q)) return nullptr;
    // A matrix that is not square is never symmetric; the kernel, which
    // reads p*p values with row stride p, is not run on it.
    if (p > 0 && target.extent(1) != p) return result(static_cast<int>(DIAG_BAD_SHAPE), vec);
    int status = 0;
    run_unlocked([&] { status = ksx_fill_symmetric_target_vec(target.data(), atol, rtol, p, vec_view.data()); });
    return result(status, vec);
}

// ---------------------------------------------------------------------------
// The table
// ---------------------------------------------------------------------------

#define KSX_FULL(name) "Kestrix._ckernels.diag._diag." name
// "name(params)\n--\n\n" lets inspect.signature read the parameters while
// __doc__ shows only the docstring.
#define KSX_SIG(text) text "\n--\n\n"

constexpr Param A(const char* name) { return {name, Kind::Array}; }
constexpr Param I64(const char* name) { return {name, Kind::Int64}; }
constexpr Param INT(const char* name) { return {name, Kind::Int}; }
constexpr Param DBL(const char* name) { return {name, Kind::Double}; }

const FunctionSpec kFunctions[] = {
    {"bg_stat", KSX_FULL("bg_stat"),
     KSX_SIG("bg_stat(eps, X, lags)") "Breusch-Godfrey LM statistic. Returns (status, stat).", 3,
     {A("eps"), A("X"), I64("lags")}, bg_stat},
    {"bp_aux", KSX_FULL("bp_aux"),
     KSX_SIG("bp_aux(eps, X_aug)") "Breusch-Pagan auxiliary regression. Returns (status, rss, tss).", 2,
     {A("eps"), A("X_aug")}, bp_aux},
    {"chow_stat", KSX_FULL("chow_stat"),
     KSX_SIG("chow_stat(y, X, t_break)") "Chow break-point F statistic. Returns (status, stat).", 3,
     {A("y"), A("X"), I64("t_break")}, chow_stat},
    {"recursive_residuals", KSX_FULL("recursive_residuals"),
     KSX_SIG("recursive_residuals(y, X)") "Brown-Durbin-Evans recursive residuals. Returns (status, w).", 2,
     {A("y"), A("X")}, residual_series<ksx_recursive_residuals>},
    {"cusum_series", KSX_FULL("cusum_series"),
     KSX_SIG("cusum_series(y, X)") "Standardized CUSUM series. Returns (status, series).", 2, {A("y"), A("X")},
     residual_series<ksx_cusum_series>},
    {"cusum_stat", KSX_FULL("cusum_stat"), KSX_SIG("cusum_stat(y, X)") "CUSUM statistic. Returns (status, stat).", 2,
     {A("y"), A("X")}, cusum_stat},
    {"cusumsq_stat", KSX_FULL("cusumsq_stat"),
     KSX_SIG("cusumsq_stat(y, X)") "CUSUM-of-squares statistic. Returns (status, n, stat).", 2, {A("y"), A("X")},
     cusumsq_stat},
    {"jb_stat", KSX_FULL("jb_stat"), KSX_SIG("jb_stat(x)") "Jarque-Bera normality statistic. Returns (status, stat).",
     1, {A("x")}, jb_stat},
    {"acorr", KSX_FULL("acorr"),
     KSX_SIG("acorr(x, L)") "Autocorrelation of x up to lag L. Returns (status, out(L+1)).\n"
                            "\n"
                            "    Mirrors the numba ``acorr`` (no L/n clamping here); ``out`` is length L+1 and\n"
                            "    z_scratch is length n. status is DIAG_UDEF_VARIANCE for a constant series.\n"
                            "    ",
     2, {A("x"), I64("L")}, acorr},
    {"lb_stat", KSX_FULL("lb_stat"),
     KSX_SIG("lb_stat(x, L)") "Ljung-Box statistic for x up to lag L. Returns (status, stat).\n"
                              "\n"
                              "    The kernel clamps L to n-1 and validates n/L internally; the two length-n\n"
                              "    scratch buffers cover the clamped lag (L_eff <= n-1, so L_eff+1 <= n).\n"
                              "    ",
     2, {A("x"), I64("L")}, lb_stat},
    {"hac_estimator_matmul", KSX_FULL("hac_estimator_matmul"),
     KSX_SIG("hac_estimator_matmul(r, kernel_id, L)") "HAC long-run covariance (Gamma_0 + sum_j w_j(Gamma_j + "
                                                      "Gamma_j')) / n.\n"
                                                      "\n"
                                                      "    Full-estimator parity with the numba "
                                                      "``jit_hac_estimator_matmul``: same\n"
                                                      "    inputs (centered moment array, integer kernel id, "
                                                      "bandwidth) and the same\n"
                                                      "    (p, p) output -- no separate Gamma_0/scaling codepath on "
                                                      "the caller side.\n"
                                                      "    ",
     3, {A("r"), INT("kernel_id"), I64("L")}, hac_estimator_matmul},
    {"fill_mean_ax0", KSX_FULL("fill_mean_ax0"),
     KSX_SIG("fill_mean_ax0(x)") "Column means of x over axis 0. Returns mean(p).", 1, {A("x")}, fill_mean_ax0},
    {"fill_centered_ax0", KSX_FULL("fill_centered_ax0"),
     KSX_SIG("fill_centered_ax0(x, mean)") "x with its column means subtracted. Returns centered(n, p).", 2,
     {A("x"), A("mean")}, fill_centered_ax0},
    {"wald_stat_from_mean_and_cov", KSX_FULL("wald_stat_from_mean_and_cov"),
     KSX_SIG("wald_stat_from_mean_and_cov(mean, target, omega, n)") "Wald statistic n * dev^T omega^-1 dev with dev "
                                                                    "= mean - target.\n"
                                                                    "\n"
                                                                    "    Returns (status, stat). status is DIAG_OK, or "
                                                                    "FALLBACK when omega is not\n"
                                                                    "    positive definite (the caller recomputes via "
                                                                    "the numba LU path).\n"
                                                                    "    ",
     4, {A("mean"), A("target"), A("omega"), I64("n")}, wald_stat_from_mean_and_cov},
    {"symmetric_outer_prod_2dim", KSX_FULL("symmetric_outer_prod_2dim"),
     KSX_SIG("symmetric_outer_prod_2dim(x)") "Per-row vech of the outer product x_t x_t'. Returns (status, out(n, q)).",
     1, {A("x")}, symmetric_outer_prod_2dim},
    {"fill_symmetric_target_vec", KSX_FULL("fill_symmetric_target_vec"),
     KSX_SIG("fill_symmetric_target_vec(target, atol, rtol)") "Pack the upper triangle of a symmetric target into a "
                                                              "vech vector.\n"
                                                              "\n"
                                                              "    Returns (status, vec(q)); status is DIAG_BAD_SHAPE "
                                                              "if the matrix is not\n"
                                                              "    symmetric within (atol, rtol).\n"
                                                              "    ",
     3, {A("target"), DBL("atol"), DBL("rtol")}, fill_symmetric_target_vec},
};

constexpr std::size_t kFunctionCount = sizeof(kFunctions) / sizeof(kFunctions[0]);
static_assert(kFunctionCount == 16, "the module has sixteen functions");

// The shared dispatcher: bind, convert scalars, run the body.  Any failure
// gets a traceback entry naming the function by its full dotted name.
PyObject* dispatch(const FunctionSpec& fn, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    Call call(module, fn);
    PyObject* out = nullptr;
    if (call.bind(args, PyVectorcall_NARGS(nargs), kwnames) && call.convert_scalars()) out = fn.body(call);
    if (out == nullptr) add_traceback_entry(fn.full_name, kSourceFile, 0);
    return out;
}

template <std::size_t I>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return dispatch(kFunctions[I], module, args, nargs, kwnames);
}

template <std::size_t... I>
std::array<PyMethodDef, kFunctionCount> make_method_defs(std::index_sequence<I...>) {
    return {{{kFunctions[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&entry<I>)),
              METH_FASTCALL | METH_KEYWORDS, kFunctions[I].doc}...}};
}

// Never modified after static initialisation; function objects point here.
std::array<PyMethodDef, kFunctionCount> g_method_defs = make_method_defs(std::make_index_sequence<kFunctionCount>{});

// ---------------------------------------------------------------------------
// Module creation and execution (multi-phase initialisation)
// ---------------------------------------------------------------------------

// A new reference to the module object, or null (no exception) before it
// exists.
PyObject* current_module() {
    std::lock_guard<std::mutex> lock(g_module_mutex);
    return Py_XNewRef(g_module);
}

enum class Claim { Owned, AlreadyThis, Other };

// The exec step's claim: the first module object to get here becomes the
// process's module; the same object again finds it initialised.
Claim claim_module(PyObject* module) {
    std::lock_guard<std::mutex> lock(g_module_mutex);
    if (g_module == nullptr) {
        g_module = Py_NewRef(module);
        return Claim::Owned;
    }
    return g_module == module ? Claim::AlreadyThis : Claim::Other;
}

// Forgets the module after a failed exec step, so that a later import starts
// again from the create step.  The reference is dropped outside the lock:
// freeing the module may run arbitrary code.
void release_module(PyObject* module) {
    {
        std::lock_guard<std::mutex> lock(g_module_mutex);
        if (g_module != module) return;
        g_module = nullptr;
    }
    Py_DECREF(module);
}

// Copies import_spec.<attr> to module.<name>; a missing attribute is skipped, None
// is copied only when allowed.
int copy_spec_attr(PyObject* import_spec, PyObject* module_dict, const char* attr, const char* name, bool allow_none) {
    Ref owned = Ref::steal(PyObject_GetAttrString(import_spec, attr));
    if (!owned) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (owned.get() == Py_None && !allow_none) return 0;
    return PyDict_SetItemString(module_dict, name, owned.get());
}

PyObject* module_create(PyObject* import_spec, PyModuleDef*) {
    const int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1) return nullptr;
    // The first interpreter to get here is recorded; on failure the exchange
    // leaves the recorded one in `recorded`.
    int64_t recorded = -1;
    if (!g_interpreter_id.compare_exchange_strong(recorded, interpreter_id) && recorded != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (PyObject* existing = current_module()) return existing;

    Ref name = Ref::steal(PyObject_GetAttrString(import_spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(import_spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(import_spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(import_spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(import_spec, dict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

// Steps after the first one; on failure the caller forgets the module.
int module_fill(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
    if (!make_names()) return -1;

    Ref builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins_module) return -1;
    if (PyDict_SetItemString(dict, "__builtins__", builtins_module.get()) < 0) return -1;

    const long run_major = static_cast<long>((Py_Version >> 24) & 0xff);
    const long run_minor = static_cast<long>((Py_Version >> 16) & 0xff);
    if (run_major != PY_MAJOR_VERSION || run_minor != PY_MINOR_VERSION) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match",
                             static_cast<int>(run_major), static_cast<int>(run_minor)) < 0)
            return -1;
    }

    // Registered only when the name is free, in one step: a lookup followed
    // by an insertion could overwrite an entry another thread made between
    // them.
    Ref full_name = Ref::steal(PyUnicode_FromString(kModuleName));
    if (!full_name) return -1;
    PyObject* modules = PyImport_GetModuleDict();
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* registered = nullptr;
    if (PyDict_SetDefaultRef(modules, full_name.get(), module, &registered) < 0) return -1;
    Py_DECREF(registered);
#else
    if (PyDict_SetDefault(modules, full_name.get(), module) == nullptr) return -1;
#endif

    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy || PyDict_SetItem(dict, g_names.np, numpy.get()) < 0) return -1;

    Ref fallback = Ref::steal(PyLong_FromLong(DIAG_FALLBACK));
    if (!fallback || PyDict_SetItemString(dict, "FALLBACK", fallback.get()) < 0) return -1;

    for (PyMethodDef& def : g_method_defs) {
        Ref function = Ref::steal(PyCFunction_NewEx(&def, module, full_name.get()));
        if (!function || PyDict_SetItemString(dict, def.ml_name, function.get()) < 0) return -1;
    }
    return 0;
}

int module_exec(PyObject* module) {
    switch (claim_module(module)) {
        case Claim::Owned:
            break;
        case Claim::AlreadyThis:
            return 0;
        case Claim::Other:
            PyErr_SetString(PyExc_RuntimeError,
                            "Module '_diag' has already been imported. Re-initialisation is not supported.");
            return -1;
    }
    if (module_fill(module) < 0) {
        release_module(module);
        add_traceback_entry("init Kestrix._ckernels.diag._diag", kSourceFile, 0);
        return -1;
    }
    return 0;
}

const char kModuleDoc[] =
    "Thin layer mapping NumPy buffers onto the native diagnostic-test kernels. "
    "It holds no numeric logic: it only marshals buffers to data addresses and releases the "
    "interpreter lock around each kernel call. "
    "The algorithms live in the diag kernel source. "
    "Each function mirrors the matching routine of the package's own slower implementation and "
    "returns the same (status, ...) tuple shape. "
    "A status of DIAG_FALLBACK means the design was rank-deficient, and the caller must re-run the "
    "whole statistic through that slower implementation, which has a least-squares fallback.";

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
#ifdef Py_mod_gil
    // 3.13 and newer: a free-threaded interpreter keeps running without its
    // lock when it imports the module (see "Process-wide state" above; the
    // kernels touch only their arguments and their own scratch).
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_diag",
    kModuleDoc,
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__diag(void) { return PyModuleDef_Init(&g_module_def); }
