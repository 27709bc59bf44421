"""A downstream CMake project built against the installed package's CMake
config: find_package(Kestrix CONFIG) with Kestrix_DIR from get_cmake_dir(),
linking the imported targets and nothing else."""

import shutil
import subprocess
import sys
import textwrap
from importlib.metadata import version
from pathlib import Path

import numpy as np
import pytest

import Kestrix._ckernels as ckernels
import Kestrix.diagnostics as kd
from Kestrix._ckernels.diag import _diag

BIN = Path(sys.executable).parent
CMAKE = shutil.which("cmake", path=str(BIN)) or shutil.which("cmake")
NINJA = shutil.which("ninja", path=str(BIN)) or shutil.which("ninja")
pytestmark = pytest.mark.skipif(CMAKE is None or shutil.which("cc") is None, reason="needs cmake and a C compiler")

PROJECT = textwrap.dedent(
    """
    cmake_minimum_required(VERSION 3.18)
    project(consumer LANGUAGES {language})
    find_package(Kestrix {version} CONFIG REQUIRED)
    add_executable(consumer {source})
    # The battery engine: the kernels, the numeric core, their headers and
    # the link order come with it.
    target_link_libraries(consumer PRIVATE Kestrix::battery)
    """
)

# Valid C and C++: one core operation (a linear solve), one kernel
# (Jarque-Bera) and the battery engine (Durbin-Watson and Ljung-Box of the
# series on a constant), on data the test writes in; prints every result
# exactly.
PROGRAM = textwrap.dedent(
    """
    #include <stdio.h>
    #include "ksx_common.h"
    #include "ksx_linalg.h"
    #include "diag.h"
    #include "ksx_battery.h"

    static const f64 A[9] = {{{a}}};
    static const f64 B[3] = {{{b}}};
    static const f64 SERIES[{n}] = {{{series}}};

    int main(void) {{
        f64 x[3] = {{0.0, 0.0, 0.0}};
        f64 stat = 0.0;
        i64 err = ksx_solve(A, B, 3, 1, x);
        int status = ksx_jb_stat(SERIES, {n}, &stat);
        printf("solve %lld %.17g %.17g %.17g\\n", (long long)err, x[0], x[1], x[2]);
        printf("jb %d %.17g\\n", status, stat);

        f64 ones[{n}];
        for (int i = 0; i < {n}; ++i) ones[i] = 1.0;
        const i64 starts[2] = {{0, {n}}};
        ksx_battery_options o = {{(1u << KSX_T_DURBIN_WATSON) | (1u << KSX_T_LJUNG_BOX), 4, 4, -1, 0, -1, 3,
                                 0.15, 0, 1}};
        f64 bstat[KSX_T_COUNT];
        i64 df1[KSX_T_COUNT], df2[KSX_T_COUNT], info[KSX_T_COUNT * KSX_INFO_WORDS];
        int32_t bstatus[KSX_T_COUNT];
        uint32_t flags[KSX_T_COUNT];
        ksx_battery_out out = {{0}};
        out.stat = bstat; out.df1 = df1; out.df2 = df2; out.status = bstatus; out.flags = flags; out.info = info;
        int run = ksx_battery_run(SERIES, ones, {n}, 1, starts, 1, 0, 0, &o, &out);
        printf("battery %d %d %.17g %d %.17g\\n", run, bstatus[KSX_T_DURBIN_WATSON], bstat[KSX_T_DURBIN_WATSON],
               bstatus[KSX_T_LJUNG_BOX], bstat[KSX_T_LJUNG_BOX]);
        return 0;
    }}
    """
)


def literals(values):
    return ", ".join(repr(float(v)) for v in np.ravel(values))


def run(args, cwd):
    out = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout


@pytest.mark.parametrize("language, source", [("C", "main.c"), ("CXX", "main.cpp")])
def test_downstream_cmake_project_links_the_imported_targets(language, source, tmp_path):
    rng = np.random.default_rng(11)
    A = rng.standard_normal((3, 3)) + 3 * np.eye(3)
    b = rng.standard_normal(3)
    series = rng.standard_normal(50)
    (tmp_path / "CMakeLists.txt").write_text(
        PROJECT.format(language=language, source=source, version=version("Kestrix")))
    (tmp_path / source).write_text(PROGRAM.format(a=literals(A), b=literals(b), series=literals(series),
                                                  n=series.size))

    build = tmp_path / "build"
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={NINJA}"] if NINJA else []
    run([CMAKE, "-S", str(tmp_path), "-B", str(build), *generator, "-DCMAKE_BUILD_TYPE=Release",
         f"-DKestrix_DIR={ckernels.get_cmake_dir()}"], tmp_path)
    run([CMAKE, "--build", str(build)], tmp_path)
    lines = run([str(build / "consumer")], tmp_path).splitlines()

    solve, jb, battery = lines[0].split(), lines[1].split(), lines[2].split()
    assert solve[:2] == ["solve", "0"]
    np.testing.assert_allclose([float(v) for v in solve[2:]], np.linalg.solve(A, b), rtol=1e-12)
    # The kernel through the library gives the module's bits.
    status, stat = _diag.jb_stat(series)
    assert jb == ["jb", str(status), f"{float(stat):.17g}"]
    # The engine through the library gives the package's bits.
    table = kd.battery(series, np.ones((series.size, 1)), tests=["durbin_watson", "ljung_box"])
    assert battery == ["battery", "0", "0", f"{table.at['durbin_watson', 'statistic']:.17g}", "0",
                       f"{table.at['ljung_box', 'statistic']:.17g}"]

