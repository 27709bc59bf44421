"""The built distributions: what a user downloads and installs.

`make test-matrix` builds an sdist and a wheel with `python -m build`,
installs the wheel and sets KSX_WHEEL and KSX_SDIST to the files; without
KSX_WHEEL these tests are skipped.
"""

import hashlib
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest

import Kestrix._ckernels as ckernels
from Kestrix._ckernels.diag import _diag

WHEEL = os.environ.get("KSX_WHEEL")
SDIST = os.environ.get("KSX_SDIST")
pytestmark = pytest.mark.skipif(not WHEEL, reason="KSX_WHEEL names no built wheel")

SOURCE_TREE = Path(__file__).resolve().parent.parent
CKERNELS = SOURCE_TREE / "Kestrix" / "_ckernels"
PKG = "Kestrix/_ckernels"


def source_files(pattern):
    return sorted(p.relative_to(SOURCE_TREE).as_posix() for p in CKERNELS.rglob(pattern))


@pytest.fixture(scope="module")
def members():
    with zipfile.ZipFile(WHEEL) as wheel:
        return set(wheel.namelist())


def test_wheel_is_built_for_the_running_interpreter(members):
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    assert f"-{tag}-{tag}-" in Path(WHEEL).name
    assert f"{PKG}/diag/_diag{sysconfig.get_config_var('EXT_SUFFIX')}" in members


@pytest.mark.parametrize(
    "kind, expected",
    [
        ("stubs", lambda: source_files("*.pyi") + source_files("py.typed")),
        # Headers are shipped flat in one directory.
        ("public headers", lambda: [f"{PKG}/include/{Path(h).name}" for h in source_files("*.h")]),
        ("static libraries", lambda: [f"{PKG}/lib/lib{n}.a" for n in ckernels.get_libraries() if n != "m"]),
        ("CMake package", lambda: [f"{PKG}/cmake/{f}" for f in ("KestrixConfig.cmake", "KestrixConfigVersion.cmake",
                                                                 "KestrixTargets.cmake")]),
    ],
)
def test_wheel_ships(members, kind, expected):
    paths = expected()
    assert paths, kind
    assert sorted(set(paths) - members) == [], kind


def test_wheel_has_no_sources_or_build_files(members):
    unwanted = [m for m in members if re.search(r"\.(cpp|hpp|cc|map|o)$|CMakeLists\.txt$|(^|/)(build|\.venv)/", m)]
    assert unwanted == []
    # Headers live only in include/, not beside the sources they came from.
    assert [m for m in members if m.endswith(".h") and not m.startswith(f"{PKG}/include/")] == []


def test_the_package_under_test_is_the_installed_wheel():
    module = Path(_diag.__file__)
    site = Path(sysconfig.get_paths()["platlib"])
    assert module.is_relative_to(site) and not module.is_relative_to(SOURCE_TREE / "Kestrix")
    member = module.relative_to(site).as_posix()
    with zipfile.ZipFile(WHEEL) as wheel:
        shipped = hashlib.sha256(wheel.read(member)).hexdigest()
    assert hashlib.sha256(module.read_bytes()).hexdigest() == shipped


# Release wheels are tagged manylinux_2_31: whatever toolchain and C library
# a wheel is built with (Debian sid's included), the symbols it references
# must not need a newer one.
RELEASE_GLIBC = (2, 31)


@pytest.mark.skipif(sys.platform != "linux", reason="manylinux is a Linux tag")
def test_auditwheel_reports_the_release_manylinux_tag_or_an_older_one():
    out = subprocess.run([sys.executable, "-P", "-m", "auditwheel", "show", WHEEL], capture_output=True, text=True,
                         timeout=300)
    assert out.returncode == 0, out.stderr
    # Printed wrapped; the tag follows "platform tag" with a policy name.
    text = " ".join(out.stdout.split())
    found = re.search(r'platform tag to "manylinux_(\d+)_(\d+)_\w+"', text)
    assert found, out.stdout
    assert (int(found[1]), int(found[2])) <= RELEASE_GLIBC, out.stdout


@pytest.mark.skipif(not SDIST, reason="KSX_SDIST names no built sdist")
def test_sdist_carries_the_sources_and_nothing_built():
    with tarfile.open(SDIST) as sdist:
        names = sdist.getnames()
    root = names[0].split("/")[0]
    inside = {n[len(root) + 1:] for n in names if n.startswith(root + "/")}
    needed = ["pyproject.toml", "CMakeLists.txt", *source_files("*.cpp"), *source_files("*.h")]
    assert sorted(set(needed) - inside) == []
    assert [n for n in inside if re.match(r"(build|\.venv)/|.*\.so$", n)] == []
