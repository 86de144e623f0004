"""vexo-serve through the official OpenAI client for Node (npm "openai",
installed once into the shared npm cache by scripts/npm-cache).

    openai_client_test.py VEXO_SERVE SERVE_FIXTURE SCRATCH_DIR

Starts three servers on loopback (the logits-head sample under two names
with CORS, a token-head sample, and a slowed-down device without a queue)
and runs openai_client.mjs against them. Skips (exit 77) when node or npm
is missing.
"""
import os
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from serve_test import Server  # noqa: E402

SKIP = 77


def main(binary, fixture_tool, scratch):
    if not shutil.which("node") or not shutil.which("npm"):
        print("skipped: node and npm are needed for the OpenAI client checks (Debian packages nodejs, npm)")
        return SKIP
    cache = subprocess.run([str(HERE.parent.parent / "scripts" / "npm-cache"), "openai"], check=True,
                           capture_output=True, text=True, timeout=300).stdout.strip()
    scratch = Path(scratch)
    shutil.rmtree(scratch, ignore_errors=True)
    fixture = scratch / "fixture"
    fixture.mkdir(parents=True)
    subprocess.run([fixture_tool, str(fixture)], check=True)
    tokenizer = fixture / "tokenizer.model"

    def start(servers):
        servers.append(Server(binary, fixture / "llm.bmodel", tokenizer, "--devices", "0",
                              "--served-model-name", "vexo-test", "--served-model-name", "vexo-alias",
                              "--cors-origin", "http://page.example"))
        servers.append(Server(binary, fixture / "llm-token.bmodel", tokenizer, "--devices", "1"))
        os.environ["VEXO_SIM_LAUNCH_US"] = "1000"
        servers.append(Server(binary, fixture / "llm-long.bmodel", tokenizer, "--devices", "0", "--queue", "0"))
        del os.environ["VEXO_SIM_LAUNCH_US"]
    if run_node_client(HERE / "openai_client.mjs", cache, start, timeout=240):
        return 1
    print("vexo-serve with the OpenAI client: ok")
    return 0


def run_node_client(script, cache, start, timeout):
    """Starts servers (`start` appends them to the list it is given), runs
    the Node script with their URLs, and stops them. 0 when the script
    passes and no server reported a sanitizer error, else 1."""
    servers = []
    try:
        start(servers)
        urls = [f"http://127.0.0.1:{server.port}" for server in servers]
        result = subprocess.run(["node", str(script), *urls],
                                env={**os.environ, "NODE_PATH": str(Path(cache) / "node_modules")}, timeout=timeout)
        if result.returncode != 0:
            return 1
        for server in servers:
            err = server.stop()
            if "runtime error" in err or "Sanitizer" in err:
                print(err)
                return 1
    finally:
        for server in servers:
            if server.process.poll() is None:
                server.process.kill()
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
