"""Builds the Python package's wheel from a build folder, installs it into a
fresh virtual environment and runs the Python examples of README.md and
docs/python.md there, from a folder outside the source tree, with neither
PYTHONPATH nor VEXO_LIBRARY; mypy checks the same examples against the
package's types.

    wheel_test.py SOURCE_DIR BUILD_DIR SCRATCH_DIR VEXO_SAMPLES VEXO_MODEL
"""
import os
import re
import shutil
import sys
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "readme"))
from readme_examples import run  # noqa: E402

PYTHON_BLOCK = re.compile(r"^```python(?: example)?\n(.*?)^```", re.MULTILINE | re.DOTALL)


def source_copy(source, scratch):
    """The package's folder beside the files setup.py reads, so that building
    writes nothing into the source tree."""
    copy = scratch / "source"
    shutil.copytree(source / "python", copy / "python",
                    ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__", "tests"))
    shutil.copy(source / "CMakeLists.txt", copy)
    (copy / "docs").mkdir()
    shutil.copy(source / "docs" / "python.md", copy / "docs")
    return copy / "python"


def check_wheel(wheel):
    """The wheel's tag, metadata and bundled files."""
    if not re.fullmatch(r"vexo-[0-9.]+-py3-none-linux_x86_64\.whl", wheel.name):
        sys.exit(f"unexpected wheel name {wheel.name}")
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        metadata = next(archive.read(n).decode() for n in names if n.endswith(".dist-info/METADATA"))
    for name in ("vexo/libvexo.so", "vexo/libbmlib.so.0", "vexo/libvexo_cipher.so", "vexo/py.typed",
                 "vexo/__init__.pyi", "vexo/runtime.py"):
        if name not in names:
            sys.exit(f"the wheel lacks {name}")
    for field in ("Name: vexo", "Requires-Dist: numpy", "Requires-Python: >=", "License: ",
                  "# The Python package `vexo`"):
        if field not in metadata:
            sys.exit(f"the wheel's metadata lacks {field!r}:\n{metadata}")


def main(source, build_dir, scratch, samples_tool, model_tool):
    source, scratch = Path(source), Path(scratch).resolve()
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VEXO_LIBRARY")}
    env.update(VEXO_BUILD_DIR=str(Path(build_dir).resolve()), PYTHONDONTWRITEBYTECODE="1", LOG_LEVEL="2",
               PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    try:
        package = source_copy(source, scratch)
        run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(scratch / "venv")], env=env)
        python = str(scratch / "venv" / "bin" / "python")
        run([python, "-m", "build", "--wheel", "--no-isolation", "--outdir", str(scratch / "dist"), str(package)],
            env=env)
        (wheel,) = (scratch / "dist").glob("*.whl")
        check_wheel(wheel)
        # pip builds the package itself, as users install it.
        run([python, "-m", "pip", "install", "--no-build-isolation", str(package)], env=env)
        shutil.rmtree(scratch / "source")

        # The examples' files: the sample models and, for the encrypted
        # example, two of them encrypted through the bundled plug-in.
        work = scratch / "work"
        run([samples_tool, "--out", str(work / "samples")], env=env)
        library = Path(run([python, "-c", "import vexo._library; print(vexo._library.library_path())"],
                           cwd=work, env=env).stdout.strip())
        if not library.is_relative_to(scratch / "venv"):
            sys.exit(f"the package would load {library}, not the library it bundles")
        plugin = str(library.with_name("libvexo_cipher.so"))
        for plain, secret in (("general", "secret"), ("llm", "secret-llm")):
            run([model_tool, "encrypt", "--lib", plugin, "-o", str(work / f"{secret}.bmodel"),
                 str(work / "samples" / f"{plain}.bmodel")], env=dict(env, VEXO_CIPHER_KEY="my secret"))

        examples = []
        for page in ("README.md", "docs/python.md"):
            examples += PYTHON_BLOCK.findall((source / page).read_text())
        for index, code in enumerate(examples):
            path = work / f"example_{index}.py"
            path.write_text(code)
            run([python, path.name], cwd=work, env=env)
        print(f"{len(examples)} examples ran")
        checked = run([python, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                       *[f"example_{i}.py" for i in range(len(examples))]], cwd=work, env=env)
        print(checked.stdout.strip())
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main(*sys.argv[1:])
