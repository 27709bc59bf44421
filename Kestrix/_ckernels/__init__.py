"""Compiled kernels of Kestrix, and where a downstream build finds them.

Sibling compiled modules use the numeric core, the diagnostic kernels and
the battery engine through C headers and static libraries shipped inside
this package::

    cc -I"$(python -c 'import Kestrix._ckernels as k; print(k.get_include())')" ... \\
       -L"$(python -c 'import Kestrix._ckernels as k; print(k.get_library_dir())')" \\
       -lksx_battery -lksx_diag -lksx_core -lm

A CMake build finds them as the imported targets ``Kestrix::battery``,
``Kestrix::diag`` and ``Kestrix::core`` of a package config shipped beside
them::

    cmake -DKestrix_DIR="$(python -c 'import Kestrix._ckernels as k; print(k.get_cmake_dir())')" ...
    find_package(Kestrix CONFIG REQUIRED)
    target_link_libraries(app PRIVATE Kestrix::diag)
"""

from pathlib import Path

__all__ = ["get_include", "get_library_dir", "get_libraries", "get_cmake_dir"]

_HERE = Path(__file__).resolve().parent


def get_include() -> str:
    """Directory holding ksx_common.h, ksx_linalg.h, ksx_complex.h, diag.h, diag_wald.h and ksx_battery.h."""
    return str(_HERE / "include")


def get_library_dir() -> str:
    """Directory holding the static libraries libksx_battery.a, libksx_diag.a and libksx_core.a."""
    return str(_HERE / "lib")


def get_libraries() -> list[str]:
    """Library names in link order: the battery engine, the kernels, the numeric core, the maths library."""
    return ["ksx_battery", "ksx_diag", "ksx_core", "m"]


def get_cmake_dir() -> str:
    """Directory holding KestrixConfig.cmake, for ``-DKestrix_DIR=`` (find_package(Kestrix CONFIG))."""
    return str(_HERE / "cmake")
