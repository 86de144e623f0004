"""Makes the Debian packages of a build folder configured for /usr, checks
them with lintian, installs them, builds the C++ example of README.md and the
C example of docs/c-interface.md against the installed files (pkg-config and
find_package(Vexo)), runs them, and removes the packages.

    deb_test.py SOURCE_DIR BUILD_DIR SCRATCH_DIR [--system]

--system installs with dpkg -i into this machine (as root; CI does) and
checks that dpkg -r leaves none of the packages' files; without it the
packages are unpacked into a scratch root folder instead.
"""
import os
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "readme"))
from readme_examples import BLOCK, run  # noqa: E402

PACKAGES = ("vexo", "vexo-dev")
CONSUMER = """cmake_minimum_required(VERSION 3.25)
project(Examples LANGUAGES C CXX)
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_C_STANDARD 99)
find_package(Vexo REQUIRED)
add_executable(app_cpp app.cpp)
add_executable(app_c app.c)
target_link_libraries(app_cpp PRIVATE Vexo::vexo)
target_link_libraries(app_c PRIVATE Vexo::vexo)
"""


def example(page, kind):
    code = [c for k, c in BLOCK.findall(page.read_text()) if k == kind]
    if not code:
        sys.exit(f"{page} has no {kind} example")
    return code[0]


def make_packages(build_dir, out):
    run(["cpack", "-G", "DEB", "-B", str(out)], cwd=build_dir)
    debs = {p.name.split("_")[0]: p for p in out.glob("*.deb")}
    if sorted(debs) != sorted(PACKAGES):
        sys.exit(f"cpack made {sorted(debs)}, not {PACKAGES}")
    depends = run(["dpkg-deb", "--field", str(debs["vexo"]), "Depends"]).stdout
    # dpkg-shlibdeps names the libraries that libvexo.so and the tools link.
    for needed in ("libc6", "libstdc++6", "libsentencepiece"):
        if needed not in depends:
            sys.exit(f"the package vexo does not depend on {needed}: {depends}")
    dev_depends = run(["dpkg-deb", "--field", str(debs["vexo-dev"]), "Depends"]).stdout
    if "vexo (=" not in dev_depends:
        sys.exit(f"vexo-dev does not depend on its vexo: {dev_depends}")
    report = run(["lintian", "--fail-on", "error", "--no-tag-display-limit", *map(str, debs.values())])
    print(report.stdout.strip() or "lintian: no tags")
    return debs


def build_and_run_examples(source, work, env, root):
    work.mkdir(parents=True)
    (work / "app.cpp").write_text(example(source / "README.md", "cpp"))
    (work / "app.c").write_text(example(source / "docs" / "c-interface.md", "c"))
    run([str(root / "usr/bin/vexo-samples"), "--out", "samples"], cwd=work, env=env)
    run([str(root / "usr/bin/vexo-model"), "info", "samples/general.bmodel"], cwd=work, env=env)

    flags = run(["pkg-config", "--cflags", "--libs", "vexo"], env=env).stdout.split()
    run(["c++", "-std=c++17", "app.cpp", "-o", "pkg_cpp", *flags], cwd=work, env=env)
    run(["cc", "-std=c99", "-Wall", "-Wextra", "-Werror", "app.c", "-o", "pkg_c", *flags], cwd=work, env=env)
    (work / "consumer").mkdir()
    (work / "consumer" / "CMakeLists.txt").write_text(CONSUMER)
    for name in ("app.cpp", "app.c"):
        shutil.copy(work / name, work / "consumer")
    run(["cmake", "-S", "consumer", "-B", "consumer-build", f"-DCMAKE_PREFIX_PATH={root / 'usr'}"],
        cwd=work, env=env)
    run(["cmake", "--build", "consumer-build"], cwd=work, env=env)
    for program in ("pkg_cpp", "pkg_c", "consumer-build/app_cpp", "consumer-build/app_c"):
        output = run([f"./{program}"], cwd=work, env=env).stdout
        print(f"{program}: {output.strip().splitlines()[-1] if output.strip() else 'ok'}")


def main(source, build_dir, scratch, *mode):
    source, scratch = Path(source).resolve(), Path(scratch).resolve()
    system = mode == ("--system",)
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    env = dict(os.environ, LOG_LEVEL="2")
    try:
        debs = make_packages(Path(build_dir).resolve(), scratch / "packages")
        if system:
            for package in PACKAGES:
                if subprocess.run(["dpkg-query", "-W", package], capture_output=True).returncode == 0:
                    sys.exit(f"{package} is installed already: remove it first")
            run(["dpkg", "-i", *map(str, debs.values())])
            files = run(["dpkg", "-L", *PACKAGES]).stdout.split()
            try:
                build_and_run_examples(source, scratch / "work", env, Path("/"))
            finally:
                run(["dpkg", "--purge", "vexo-dev", "vexo"])
            left = [f for f in files if os.path.isfile(f)]
            if left:
                sys.exit(f"dpkg --purge left {left}")
        else:
            root = scratch / "root"
            for deb in debs.values():
                run(["dpkg-deb", "-x", str(deb), str(root)])
            env["PKG_CONFIG_PATH"] = str(next(root.glob("usr/lib/*/pkgconfig")))
            build_and_run_examples(source, scratch / "work", env, root)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("packages built, installed, used and removed")


if __name__ == "__main__":
    main(*sys.argv[1:])
