"""The native interface for sibling compiled modules: installed headers and
static libraries, used the way a downstream build would use them."""

import importlib.util
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import numpy as np
import pytest

import Kestrix._ckernels as ckernels
import Kestrix.diagnostics as kd
from Kestrix._ckernels.battery import _engine as _engine_module
from Kestrix._ckernels.diag import _diag

CC = shutil.which("gcc") or shutil.which("cc")
pytestmark = pytest.mark.skipif(CC is None, reason="no C compiler")

HEADERS = ["ksx_common.h", "ksx_linalg.h", "ksx_complex.h", "diag.h", "diag_wald.h", "ksx_battery.h"]

SIBLING_SOURCE = textwrap.dedent(
    r"""
    #define PY_SSIZE_T_CLEAN
    #include <Python.h>
    #include <stdlib.h>

    #include "ksx_linalg.h"
    #include "ksx_complex.h"
    #include "diag.h"
    #include "ksx_battery.h"

    /* solve(A, B, n, m): A row-major n*n floats, B n*m; returns (err, X). */
    static PyObject* solve(PyObject* self, PyObject* args) {
        PyObject *a_obj, *b_obj;
        Py_ssize_t n, m;
        if (!PyArg_ParseTuple(args, "OOnn", &a_obj, &b_obj, &n, &m)) return NULL;
        f64 *A = malloc(sizeof(f64) * n * n), *B = malloc(sizeof(f64) * n * m),
            *X = calloc((size_t)(n * m), sizeof(f64));
        for (Py_ssize_t i = 0; i < n * n; ++i) A[i] = PyFloat_AsDouble(PyList_GetItem(a_obj, i));
        for (Py_ssize_t i = 0; i < n * m; ++i) B[i] = PyFloat_AsDouble(PyList_GetItem(b_obj, i));
        i64 err = ksx_solve(A, B, n, m, X);
        PyObject* out = PyList_New(n * m);
        for (Py_ssize_t i = 0; i < n * m; ++i) PyList_SetItem(out, i, PyFloat_FromDouble(X[i]));
        free(A); free(B); free(X);
        return Py_BuildValue("(LN)", (long long)err, out);
    }

    /* csolve(A, B, n): complex A n*n and b n; returns (err, x). */
    static PyObject* csolve(PyObject* self, PyObject* args) {
        PyObject *a_obj, *b_obj;
        Py_ssize_t n;
        if (!PyArg_ParseTuple(args, "OOn", &a_obj, &b_obj, &n)) return NULL;
        c128 *A = malloc(sizeof(c128) * n * n), *B = malloc(sizeof(c128) * n),
             *X = calloc((size_t)n, sizeof(c128));
        for (Py_ssize_t i = 0; i < n * n; ++i) {
            Py_complex z = PyComplex_AsCComplex(PyList_GetItem(a_obj, i));
            A[i] = c128_make(z.real, z.imag);
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_complex z = PyComplex_AsCComplex(PyList_GetItem(b_obj, i));
            B[i] = c128_make(z.real, z.imag);
        }
        i64 err = c128_solve(A, B, n, 1, X);
        PyObject* out = PyList_New(n);
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SetItem(out, i, PyComplex_FromDoubles(X[i].re, X[i].im));
        free(A); free(B); free(X);
        return Py_BuildValue("(LN)", (long long)err, out);
    }

    /* jb(x): the Jarque-Bera kernel called directly; returns (status, stat). */
    static PyObject* jb(PyObject* self, PyObject* args) {
        PyObject* x_obj;
        if (!PyArg_ParseTuple(args, "O", &x_obj)) return NULL;
        Py_ssize_t n = PyList_Size(x_obj);
        f64* x = malloc(sizeof(f64) * (n > 0 ? n : 1));
        for (Py_ssize_t i = 0; i < n; ++i) x[i] = PyFloat_AsDouble(PyList_GetItem(x_obj, i));
        f64 stat = 0.0;
        int status = ksx_jb_stat(x, n, &stat);
        free(x);
        return Py_BuildValue("(id)", status, stat);
    }

    /* battery(y, X, p, tests): one regression through the battery engine with its default options;
       returns (status, [statistic per test], [status per test], rank). */
    static PyObject* battery(PyObject* self, PyObject* args) {
        PyObject *y_obj, *x_obj;
        Py_ssize_t p;
        unsigned long long tests;
        if (!PyArg_ParseTuple(args, "OOnK", &y_obj, &x_obj, &p, &tests)) return NULL;
        Py_ssize_t n = PyList_Size(y_obj);
        f64 *y = malloc(sizeof(f64) * n), *X = malloc(sizeof(f64) * n * p);
        for (Py_ssize_t i = 0; i < n; ++i) y[i] = PyFloat_AsDouble(PyList_GetItem(y_obj, i));
        for (Py_ssize_t i = 0; i < n * p; ++i) X[i] = PyFloat_AsDouble(PyList_GetItem(x_obj, i));
        i64 starts[2] = {0, n};
        ksx_battery_options o = {tests, 4, 4, -1, 0, -1, 3, 0.15, 0, 1};
        f64 stat[KSX_T_COUNT];
        i64 df1[KSX_T_COUNT], df2[KSX_T_COUNT], info[KSX_T_COUNT * KSX_INFO_WORDS], rank = 0;
        int32_t st[KSX_T_COUNT], fit_status = 0;
        uint32_t flags[KSX_T_COUNT];
        ksx_battery_out out = {0};
        out.stat = stat; out.df1 = df1; out.df2 = df2; out.status = st; out.flags = flags; out.info = info;
        out.fit_status = &fit_status; out.rank = &rank;
        int status = ksx_battery_run(y, X, n, p, starts, 1, NULL, 0, &o, &out);
        free(y); free(X);
        PyObject *stats = PyList_New(KSX_T_COUNT), *statuses = PyList_New(KSX_T_COUNT);
        for (int t = 0; t < KSX_T_COUNT; ++t) {
            PyList_SetItem(stats, t, PyFloat_FromDouble(stat[t]));
            PyList_SetItem(statuses, t, PyLong_FromLong(st[t]));
        }
        return Py_BuildValue("(iNNL)", status, stats, statuses, (long long)rank);
    }

    static PyMethodDef methods[] = {
        {"solve", solve, METH_VARARGS, NULL},
        {"csolve", csolve, METH_VARARGS, NULL},
        {"jb", jb, METH_VARARGS, NULL},
        {"battery", battery, METH_VARARGS, NULL},
        {NULL, NULL, 0, NULL},
    };
    static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "ksx_sibling", NULL, -1, methods};
    PyMODINIT_FUNC PyInit_ksx_sibling(void) { return PyModule_Create(&def); }
    """
)


def compile_c(args, cwd):
    result = subprocess.run([CC, *args], cwd=cwd, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


def test_installed_layout():
    include, libdir = Path(ckernels.get_include()), Path(ckernels.get_library_dir())
    assert sorted(p.name for p in include.glob("*.h")) == sorted(HEADERS)
    assert {f"lib{name}.a" for name in ckernels.get_libraries() if name != "m"} <= {
        p.name for p in libdir.glob("*.a")
    }


@pytest.mark.parametrize("header", HEADERS)
@pytest.mark.parametrize("language", [["-x", "c", "-std=c11"], ["-x", "c++", "-std=c++17"]])
def test_each_header_compiles_on_its_own(header, language, tmp_path):
    source = tmp_path / "one.src"
    source.write_text(f'#include "{header}"\nint main(void) {{ return 0; }}\n')
    compile_c(
        [*language, "-Wall", "-Wextra", "-Werror", "-pedantic", "-I", ckernels.get_include(),
         "-fsyntax-only", str(source)],
        tmp_path,
    )


@pytest.fixture(scope="module")
def sibling(tmp_path_factory):
    build = tmp_path_factory.mktemp("sibling")
    (build / "ksx_sibling.c").write_text(SIBLING_SOURCE)
    target = build / ("ksx_sibling" + sysconfig.get_config_var("EXT_SUFFIX"))
    compile_c(
        ["-std=c11", "-shared", "-fPIC", "-O2", "-Wall", "-Werror",
         "-I", sysconfig.get_paths()["include"], "-I", ckernels.get_include(),
         "ksx_sibling.c", "-o", str(target),
         "-L", ckernels.get_library_dir(), *(f"-l{name}" for name in ckernels.get_libraries())],
        build,
    )
    spec = importlib.util.spec_from_file_location("ksx_sibling", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_sibling_solves_a_real_system(sibling):
    rng = np.random.default_rng(3)
    A = rng.standard_normal((4, 4)) + 4 * np.eye(4)
    B = rng.standard_normal((4, 2))
    err, X = sibling.solve(A.ravel().tolist(), B.ravel().tolist(), 4, 2)
    assert err == 0
    np.testing.assert_allclose(np.reshape(X, (4, 2)), np.linalg.solve(A, B), rtol=1e-12)
    assert sibling.solve([1.0, 2.0, 2.0, 4.0], [1.0, 1.0], 2, 1)[0] == -2


def test_sibling_solves_a_complex_system(sibling):
    rng = np.random.default_rng(4)
    A = rng.standard_normal((3, 3)) + 1j * rng.standard_normal((3, 3)) + 3 * np.eye(3)
    b = rng.standard_normal(3) + 1j * rng.standard_normal(3)
    err, x = sibling.csolve(A.ravel().tolist(), b.tolist(), 3)
    assert err == 0
    np.testing.assert_allclose(np.array(x), np.linalg.solve(A, b), rtol=1e-12)


def test_sibling_calls_a_kernel_directly(sibling):
    x = np.random.default_rng(5).standard_normal(40)
    status, stat = sibling.jb(x.tolist())
    assert (status, stat) == (0, float(_diag.jb_stat(x)[1]))
    assert sibling.jb([1.0, 1.0])[0] == -3


def test_sibling_runs_the_battery_engine(sibling):
    from Kestrix.diagnostics import _engine

    rng = np.random.default_rng(6)
    n = 60
    X = np.column_stack([np.ones(n), rng.standard_normal((n, 2))])
    X = np.column_stack([X, X[:, 1] + X[:, 2]])  # rank 3 of 4: the engine's pivoting, from C
    y = X[:, :3] @ [0.5, 1.0, -2.0] + rng.standard_normal(n)
    tests = ("breusch_godfrey", "chow", "cusum", "jarque_bera", "durbin_watson", "wald")
    status, stats, statuses, rank = sibling.battery(y.tolist(), X.ravel().tolist(), 4, _engine.mask(tests))
    assert (status, rank) == (0, 3)
    table = kd.battery(y, X, tests=list(tests))
    for name in tests:
        assert statuses[_engine.SLOT[name]] == 0
        assert stats[_engine.SLOT[name]] == table.at[name, "statistic"], name  # the same bits
    assert all(statuses[k] == 2 for name, k in _engine.SLOT.items() if name not in tests)  # not run


@pytest.mark.skipif(shutil.which("nm") is None or sys.platform != "linux", reason="needs nm on Linux")
@pytest.mark.parametrize("module, entry", [(_diag, "PyInit__diag"), (_engine_module, "PyInit__engine")])
def test_extension_exports_only_its_entry_point(module, entry):
    result = subprocess.run(["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True,
                            check=True)
    assert [line.split()[-1] for line in result.stdout.splitlines()] == [entry]
