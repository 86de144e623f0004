"""Runs the examples of a Markdown page (README.md, a page of docs/) against
an installed copy of Vexo.

The fenced blocks marked "sh example", "python example", "cpp example" and
"c example" run in order in one scratch folder, as a user would run them
after installing:

    readme_examples.py PAGE BUILD_DIR SCRATCH_DIR
"""
import os
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path

BLOCK = re.compile(r"^```(sh|python|cpp|c) example\n(.*?)^```", re.MULTILINE | re.DOTALL)


# Every step is bounded: a hung example fails instead of stalling the run.
STEP_SECONDS = 600


def run(command, **kwargs):
    """Runs a command, ending this program with its output when it fails;
    a command that overruns is ended with everything it started."""
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          start_new_session=True, **kwargs) as process:
        try:
            stdout, stderr = process.communicate(timeout=STEP_SECONDS)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            sys.exit(f"timed out after {STEP_SECONDS} s: {command}")
    result = subprocess.CompletedProcess(command, process.returncode, stdout, stderr)
    if result.returncode != 0:
        sys.exit(f"failed ({result.returncode}): {command}\n{result.stdout}\n{result.stderr}")
    return result


def main(readme, build_dir, scratch):
    scratch = Path(scratch)
    shutil.rmtree(scratch, ignore_errors=True)
    prefix, work = scratch / "prefix", scratch / "work"
    work.mkdir(parents=True)
    run(["cmake", "--install", build_dir, "--prefix", str(prefix)])

    env = dict(os.environ, VEXO_PREFIX=str(prefix), LOG_LEVEL="2",
               PYTHONPATH=str(prefix / "lib" / "vexo" / "python"),
               PKG_CONFIG_PATH=str(prefix / "lib" / "pkgconfig"))
    env.pop("VEXO_LIBRARY", None)
    blocks = BLOCK.findall(Path(readme).read_text())
    if not blocks:
        sys.exit(f"{readme} holds no examples")
    for kind, code in blocks:
        if kind == "sh":
            run(["bash", "-euo", "pipefail", "-c", code], cwd=work, env=env)
        elif kind == "python":
            run(["/usr/bin/python3", "-c", code], cwd=work, env=env)
        else:
            source, compiler = ("app.c", ["cc", "-std=c99", "-Wall", "-Wextra", "-Werror"]) if kind == "c" \
                else ("app.cpp", ["c++", "-std=c++17"])
            (work / source).write_text(code)
            flags = run(["pkg-config", "--cflags", "--libs", "vexo"], env=env).stdout.split()
            run([*compiler, source, "-o", "app", *flags], cwd=work, env=env)
            run(["./app"], cwd=work, env=env)
        print(f"{kind} example: ok")


if __name__ == "__main__":
    main(*sys.argv[1:])
