"""Builds the wheel of `vexo`: CMake builds libvexo.so, the cipher plug-in
and, with the simulated device, the device library; they are installed into
the package's folder, where the package finds them.

VEXO_BUILD_DIR names a configured build folder of the project to take them
from (built if out of date); without it, a scratch folder builds only these
libraries, with the tests and benchmarks off. VEXO_CMAKE_ARGS adds options to
that configuration (for example -DVEXO_DEVICE=system).
"""
import os
import re
import shlex
import subprocess
import sysconfig
import tempfile
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py
from wheel.bdist_wheel import bdist_wheel

PACKAGE_DIR = Path(__file__).resolve().parent
PROJECT_DIR = PACKAGE_DIR.parent
# Install scripts of the folders whose targets the wheel bundles; each
# installs only its own folder's targets (CMAKE_INSTALL_LOCAL_ONLY).
LIBRARY_FOLDERS = {"vexo": ".", "vexo_cipher": "bmodel/cipher", "bmlib": "sim"}
LIBRARY_FILES = ("libvexo.so", "libvexo_cipher.so", "libbmlib.so.0")


def project_version():
    """The version in the project's CMakeLists.txt."""
    match = re.search(r"project\(Vexo VERSION ([0-9.]+)", (PROJECT_DIR / "CMakeLists.txt").read_text())
    if not match:
        raise RuntimeError("CMakeLists.txt names no project version")
    return match.group(1)


def cmake(*arguments):
    subprocess.run(["cmake", *arguments], check=True)


def build_libraries(build_dir, configure):
    """Configures (when asked) and builds the bundled libraries' targets."""
    if configure:
        cmake("-S", str(PROJECT_DIR), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
              "-DVEXO_BUILD_TESTS=OFF", "-DVEXO_BUILD_BENCH=OFF",
              *shlex.split(os.environ.get("VEXO_CMAKE_ARGS", "")))
    # A build against the vendor's device library has no bmlib target.
    targets = [t for t, folder in LIBRARY_FOLDERS.items() if (build_dir / folder / "cmake_install.cmake").is_file()]
    cmake("--build", str(build_dir), "-j", str(os.cpu_count() or 1), "--target", *targets)
    return targets


def install_libraries(build_dir, targets, package_dir):
    """Installs the targets' libraries, stripped and with their installed run
    paths ($ORIGIN: each finds the others beside it), into package_dir."""
    with tempfile.TemporaryDirectory() as prefix:
        for target in targets:
            cmake("-DCMAKE_INSTALL_LOCAL_ONLY=ON", "-DCMAKE_INSTALL_DO_STRIP=ON", f"-DCMAKE_INSTALL_PREFIX={prefix}",
                  "-P", str(build_dir / LIBRARY_FOLDERS[target] / "cmake_install.cmake"))
        libraries = [path for path in Path(prefix).rglob("*") if path.name in LIBRARY_FILES]
        if "libvexo.so" not in [path.name for path in libraries]:
            raise RuntimeError(f"the install of {build_dir} holds no libvexo.so")
        for library in libraries:
            (package_dir / library.name).write_bytes(library.read_bytes())
            (package_dir / library.name).chmod(0o755)


class BuildWithLibraries(build_py):
    """Puts the CMake-built libraries into the package's build folder."""

    def run(self):
        super().run()
        package_dir = Path(self.build_lib) / "vexo"
        given = os.environ.get("VEXO_BUILD_DIR")
        if given:
            build_dir = Path(given).resolve()
            install_libraries(build_dir, build_libraries(build_dir, configure=False), package_dir)
            return
        with tempfile.TemporaryDirectory() as scratch:
            build_dir = Path(scratch)
            install_libraries(build_dir, build_libraries(build_dir, configure=True), package_dir)


class BinaryDistribution(Distribution):
    """Carries compiled libraries: its wheel is one of a platform, installed
    into the platform's site-packages."""

    def has_ext_modules(self):
        return True


class PlatformWheel(bdist_wheel):
    """A wheel for this platform (linux_x86_64) and any Python 3: the package
    calls the libraries through ctypes, so no interpreter ABI is involved.
    Not a manylinux wheel: the libraries link the build machine's
    FlatBuffers, SentencePiece and C++ runtime (see docs/packaging.md)."""

    def get_tag(self):
        return "py3", "none", sysconfig.get_platform().replace("-", "_").replace(".", "_")


setup(
    version=project_version(),
    long_description=(PROJECT_DIR / "docs" / "python.md").read_text(encoding="utf-8"),
    long_description_content_type="text/markdown",
    cmdclass={"build_py": BuildWithLibraries, "bdist_wheel": PlatformWheel},
    distclass=BinaryDistribution,
)
