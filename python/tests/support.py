"""The sample models the tests run, written by the python_samples test into
the folder that VEXO_SAMPLES names."""
import os
from pathlib import Path


def sample(name):
    return str(Path(os.environ["VEXO_SAMPLES"]) / name)


GENERAL = sample("general.bmodel")
LLM = sample("llm.bmodel")
LLM_LOGITS = sample("llm-logits.bmodel")
TOKENIZER = sample("tokenizer.model")
WIDE = sample("wide.bmodel")
