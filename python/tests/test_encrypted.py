"""Encrypted models, made by `vexo-model encrypt` with the project's cipher
plug-in, opened through the plug-in by vexo.Runtime and vexo.LLM."""
import os
import subprocess
import tempfile
import unittest

import numpy as np

import vexo

from support import GENERAL, LLM
from test_llm import expected_tokens

CIPHER = os.environ["VEXO_CIPHER"]
KEY = "python test key"


def listing(folder):
    return sorted(os.path.join(root, name) for root, dirs, files in os.walk(folder) for name in dirs + files)


class EncryptedModelTest(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = folder.name
        # The plug-in reads its key from this process's environment.
        self.addCleanup(os.environ.pop, "VEXO_CIPHER_KEY", None)
        os.environ["VEXO_CIPHER_KEY"] = KEY

    def encrypt(self, plain):
        encrypted = os.path.join(self.folder, os.path.basename(plain) + ".enc")
        result = subprocess.run([os.environ["VEXO_MODEL_TOOL"], "encrypt", "--lib", CIPHER, "-o", encrypted, plain],
                                capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        return encrypted

    def test_runtime_and_llm_decipher_in_memory(self):
        general, llm = self.encrypt(GENERAL), self.encrypt(LLM)
        before = listing(self.folder)
        with vexo.Runtime(GENERAL) as plain, vexo.Runtime(general, decrypt_lib=CIPHER) as runtime:
            self.assertEqual(runtime.nets, plain.nets)
            runtime.select("pad")
            np.testing.assert_array_equal(runtime.run([[1, 2, 3, 4]])[0], [1, 2, 3, 4] + [0xEE] * 4)
        with vexo.LLM(llm, decrypt_lib=CIPHER) as model:
            self.assertEqual(list(model.generate([1, 2, 3], 5)), expected_tokens([1, 2, 3], 8))
        self.assertEqual(listing(self.folder), before)  # no deciphered copy

        for open_model, path, what in ((vexo.Runtime, general, "the model"), (vexo.LLM, llm, "the language model")):
            with self.subTest(what=what):
                missing = os.path.join(self.folder, "missing.so")
                with self.assertRaises(FileNotFoundError) as caught:
                    open_model(path, decrypt_lib=missing)
                self.assertEqual(caught.exception.filename, missing)
                with self.assertRaisesRegex(vexo.VexoError, f"cannot load {what} .* on device 0: \\S"):
                    open_model(path)
                os.environ["VEXO_CIPHER_KEY"] = "another key"
                with self.assertRaisesRegex(vexo.VexoError, f"cannot load {what} .* on device 0: \\S"):
                    open_model(path, decrypt_lib=CIPHER)
                os.environ["VEXO_CIPHER_KEY"] = KEY


if __name__ == "__main__":
    unittest.main()
