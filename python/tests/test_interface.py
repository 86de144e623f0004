"""The package on the library's public interface: introspection of models
beyond the flat description, runs with inputs and outputs by name, the
library's reasons in exceptions, and the conveniences of the package
(default log threshold, missing files, element type hints, version)."""
import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np

import vexo

from support import GENERAL, WIDE

WIDE_INPUTS = 70
LONG_NAME = "wide_input_" + "x" * 189


class WideModelTest(unittest.TestCase):
    """70 inputs, one of them named with 200 characters, and an output of 9
    dimensions whose byte i is input i's byte."""

    def setUp(self):
        self.runtime = vexo.Runtime(WIDE)
        self.addCleanup(self.runtime.close)

    def test_describes_and_runs_by_name_and_by_position(self):
        inputs = self.runtime.get_inputs()
        self.assertEqual(len(inputs), WIDE_INPUTS)
        self.assertEqual(inputs[0].name, LONG_NAME)
        self.assertEqual(len(inputs[0].name), 200)
        self.assertEqual([(t.name, t.shape, t.element_type, t.dtype) for t in inputs[1:3]],
                         [("in_1", (1,), "uint8", np.uint8), ("in_2", (1,), "uint8", np.uint8)])
        (gathered,) = self.runtime.get_outputs("wide", 0)
        self.assertEqual((gathered.name, gathered.shape, gathered.bytes), ("gathered", (1,) * 7 + (2, 35), 70))

        values = (np.arange(WIDE_INPUTS, dtype=np.uint8) * 3 + 1)
        feeds = {info.name: values[i:i + 1] for i, info in enumerate(inputs)}
        (by_name,) = self.runtime.run(["gathered"], feeds)
        self.assertEqual(by_name.shape, (1,) * 7 + (2, 35))
        np.testing.assert_array_equal(by_name.reshape(-1), values)
        (by_position,) = self.runtime.run([values[i:i + 1][::-1] for i in range(WIDE_INPUTS)])
        np.testing.assert_array_equal(by_position.reshape(-1), values)


class NamedRunTest(unittest.TestCase):
    def setUp(self):
        self.runtime = vexo.Runtime(GENERAL)
        self.addCleanup(self.runtime.close)

    def test_outputs_in_the_order_asked(self):
        self.runtime.select("embed", 1)
        ids = np.array([0, 15, 3, 3], dtype=np.int32)
        valid, rows = self.runtime.run(["valid", "rows"], {"ids": ids})
        np.testing.assert_array_equal(valid, np.ones(4, np.int32))
        self.assertEqual(rows.shape, (4, 4))
        every = self.runtime.run(None, {"ids": ids})
        self.assertEqual(len(every), 2)
        np.testing.assert_array_equal(every[0], rows)
        (again,) = self.runtime.run(("rows",), {"ids": ids})
        np.testing.assert_array_equal(again, rows)

    def test_any_stage_is_described_without_selecting_it(self):
        self.assertEqual(self.runtime.get_inputs("reverse", 1)[0].shape, (2, 4))
        self.assertEqual(self.runtime.get_outputs(2)[0].name, "padded")
        self.assertEqual(self.runtime.get_inputs(stage=1)[0].shape, (4,))  # the selected net, embed
        self.assertEqual((self.runtime.net.name, self.runtime.stage_index), ("embed", 0))
        self.assertEqual(self.runtime.get_inputs(), self.runtime.inputs)
        with self.assertRaisesRegex(vexo.VexoError, "stage 1 is out of range: net 'pad' has 1 stages"):
            self.runtime.get_outputs("pad", 1)

    def test_refused_names_and_forms(self):
        self.runtime.select("pad")
        data = np.arange(4, dtype=np.uint8)
        for outputs, feeds, message in (
            (None, {"data": data, "extra": data}, "has no input named 'extra'"),
            (None, {}, "lacks the inputs 'data'"),
            (["padded", "nope"], {"data": data}, "has no output named 'nope'"),
        ):
            with self.subTest(message=message), self.assertRaisesRegex(vexo.VexoError, message):
                self.runtime.run(outputs, feeds)
        with self.assertRaisesRegex(TypeError, r"run\(output_names, \{input_name: array\}\)"):
            self.runtime.run({"data": data})
        with self.assertRaisesRegex(TypeError, "output_names is a list"):
            self.runtime.run("padded", {"data": data})
        with self.assertRaisesRegex(TypeError, "as a dict"):
            self.runtime.run(["padded"], [data])
        (padded,) = self.runtime.run(["padded"], {"data": data})
        np.testing.assert_array_equal(padded[:4], data)


def run_python(code, **env):
    environment = {key: value for key, value in os.environ.items() if key != "LOG_LEVEL"}
    environment.update(env)
    return subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True,
                          timeout=120)


class ConveniencesTest(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = folder.name

    def test_missing_files_raise_file_not_found(self):
        missing = os.path.join(self.folder, "missing")
        for call in (lambda: vexo.Runtime(missing + ".bmodel"), lambda: vexo.LLM(missing + ".bmodel"),
                     lambda: vexo.load_tensor(missing + ".tensor"),
                     lambda: vexo.save_tensor(os.path.join(missing, "t.tensor"), np.zeros(2, np.int8))):
            with self.assertRaises(FileNotFoundError) as caught:
                call()
            self.assertTrue(caught.exception.filename.startswith(missing), caught.exception.filename)

    def test_reasons_of_the_library_end_the_messages(self):
        truncated = os.path.join(self.folder, "truncated.bmodel")
        with open(GENERAL, "rb") as source, open(truncated, "wb") as target:
            target.write(source.read(200))
        with self.assertRaisesRegex(vexo.VexoError, r"cannot load the model .* on device 0: \S.*truncated"):
            vexo.Runtime(truncated)
        with self.assertRaisesRegex(vexo.VexoError, r"cannot load the language model .*: \S"):
            vexo.LLM(GENERAL)

    def test_element_types_of_saved_arrays(self):
        path = os.path.join(self.folder, "t.tensor")
        for values in (np.array([1, 2]), np.zeros(2)):  # int64, float64
            with self.assertRaisesRegex(vexo.VexoError, f"{values.dtype} is not an element type: pass dtype="):
                vexo.save_tensor(path, values)
        vexo.save_tensor(path, np.array([1, 2]), dtype="int32")
        np.testing.assert_array_equal(vexo.load_tensor(path), np.array([1, 2], np.int32))
        for values, dtype, message in (([8], "int4", r"range of int4 \(-8 to 7\)"),
                                       ([-9], "int4", "range of int4"),
                                       ([16], "uint4", r"range of uint4 \(0 to 15\)"),
                                       (np.array([-1], np.int8), "uint4", "range of uint4")):
            with self.subTest(values=values, dtype=dtype), self.assertRaisesRegex(vexo.VexoError, message):
                vexo.save_tensor(path, values, dtype=dtype)
        vexo.save_tensor(path, np.array([-8, 7], np.int8), dtype="int4")
        np.testing.assert_array_equal(vexo.load_tensor(path), np.array([-8, 7], np.int8))

    def test_version_is_the_librarys(self):
        self.assertEqual(vexo.__version__, os.environ["VEXO_VERSION"])

    def test_log_threshold_defaults_to_warnings_and_errors(self):
        code = (f"import vexo\nwith vexo.Runtime({GENERAL!r}) as r:\n    r.select('pad')\n"
                "    print(r.run([[1, 2, 3, 4]])[0][4])\n"
                "try:\n    r.select('pad')\nexcept vexo.VexoError as e:\n    print(e)\n")
        quiet = run_python(code)
        self.assertEqual(quiet.returncode, 0, quiet.stderr)
        self.assertEqual(quiet.stdout, "238\nthe Runtime is closed\n")
        chatty = run_python(code, LOG_LEVEL="3")
        self.assertIn("[INFO]", chatty.stdout)


if __name__ == "__main__":
    unittest.main()
