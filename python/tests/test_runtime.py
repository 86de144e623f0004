"""vexo.Runtime on the general sample model: descriptions, runs of every net
and stage, selection, refusals, release and the library's log."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np

import vexo

from support import GENERAL, LLM


def embed_rows(ids):
    """The embedding table rows of `ids` as half-precision bits."""
    return np.array([[0x4000 + (i << 4) + k for k in range(4)] for i in ids], dtype=np.uint16)


def run_python(code, **env):
    """Runs `code` in a fresh interpreter with extra environment variables."""
    return subprocess.run([sys.executable, "-c", code], env={**os.environ, **env}, capture_output=True,
                          text=True, timeout=120)


class RuntimeTest(unittest.TestCase):
    def setUp(self):
        self.runtime = vexo.Runtime(GENERAL)
        self.addCleanup(self.runtime.close)

    def test_describes_every_net_stage_and_tensor(self):
        def tensor(name, element_type, shape, nbytes):
            dtype = np.dtype(np.uint16 if element_type == "bfloat16" else element_type)
            return vexo.TensorInfo(name, element_type, dtype, shape, nbytes)

        def embed(n):
            return vexo.Stage((tensor("ids", "int32", (n,), 4 * n),),
                              (tensor("rows", "float16", (n, 4), 8 * n), tensor("valid", "int32", (n,), 4 * n)))

        def reverse(n):
            return vexo.Stage((tensor("rows", "float16", (n, 4), 8 * n),),
                              (tensor("reversed", "float16", (n, 4), 8 * n),))

        pad = vexo.Stage((tensor("data", "uint8", (4,), 4),), (tensor("padded", "uint8", (8,), 8),))
        self.assertEqual(self.runtime.nets, (vexo.Net("embed", (embed(1), embed(4))),
                                             vexo.Net("reverse", (reverse(4), reverse(2))),
                                             vexo.Net("pad", (pad,))))
        self.assertEqual((self.runtime.net.name, self.runtime.stage_index), ("embed", 0))
        self.assertEqual(self.runtime.inputs, embed(1).inputs)
        self.assertEqual(self.runtime.outputs, embed(1).outputs)

    def test_description_survives_opening_another_model(self):
        nets = self.runtime.nets
        with vexo.Runtime(LLM) as other:
            self.assertEqual(other.nets[0].name, "embedding")
        self.assertEqual(self.runtime.nets, nets)
        self.assertEqual([net.name for net in self.runtime.nets], ["embed", "reverse", "pad"])

    def test_embed_stages(self):
        for stage, ids in ((0, [[5]]), (1, [[0, 15, 3, 3], [1, 2, 4, 8]])):
            self.runtime.select("embed", stage)
            for batch in ids:  # a second run returns its own outputs, not the first's
                rows, valid = self.runtime.run([np.array(batch, dtype=np.int32)])
                self.assertEqual(rows.dtype, np.float16)
                np.testing.assert_array_equal(rows.view(np.uint16), embed_rows(batch))
                np.testing.assert_array_equal(valid, np.ones(len(batch), dtype=np.int32))

    def test_reverse_stages(self):
        for stage, n in ((0, 4), (1, 2)):
            self.runtime.select(1, stage)
            rows = np.arange(4 * n, dtype=np.float16).reshape(n, 4) - 3.5
            (reversed_rows,) = self.runtime.run([rows])
            np.testing.assert_array_equal(reversed_rows, rows[::-1])

    def test_pad_stage(self):
        self.runtime.select("pad")
        (padded,) = self.runtime.run([[1, 2, 250, 0]])  # a list of Python integers converts
        np.testing.assert_array_equal(padded, np.array([1, 2, 250, 0] + [0xEE] * 4, dtype=np.uint8))

    def test_a_refused_run_raises_and_later_runs_proceed(self):
        self.runtime.select("embed", 1)
        with self.assertRaisesRegex(vexo.VexoError, "the run of net 'embed' stage 1 failed"):
            self.runtime.run([np.array([1, 16, 2, 3], dtype=np.int32)])  # the table has 16 rows
        rows, _ = self.runtime.run([np.array([1, 15, 2, 3], dtype=np.int32)])
        np.testing.assert_array_equal(rows.view(np.uint16), embed_rows([1, 15, 2, 3]))

    def test_select_by_name_or_index_is_the_same(self):
        self.runtime.select("reverse", 1)
        by_name = (self.runtime.net_index, self.runtime.stage_index, self.runtime.inputs)
        self.runtime.select(0)
        self.runtime.select(1, 1)
        self.assertEqual((self.runtime.net_index, self.runtime.stage_index, self.runtime.inputs), by_name)
        self.assertEqual(self.runtime.inputs[0].shape, (2, 4))

    def test_refused_selection_keeps_the_current_one(self):
        self.runtime.select("reverse", 1)
        for net, stage, message in (("nope", 0, "no net is named 'nope'"), (3, 0, "net index 3 is out of range"),
                                    (-1, 0, "net index -1"), ("pad", 1, "stage 1 is out of range")):
            with self.assertRaisesRegex(vexo.VexoError, message):
                self.runtime.select(net, stage)
        self.assertEqual((self.runtime.net.name, self.runtime.stage_index), ("reverse", 1))
        rows = np.ones((2, 4), dtype=np.float16)
        np.testing.assert_array_equal(self.runtime.run([rows])[0], rows)

    def test_refuses_inputs_that_do_not_fit(self):
        self.runtime.select("pad")
        for inputs, message in (
            ([np.zeros(4, np.uint8)] * 2, "takes 1 inputs, not 2"),
            ([np.zeros(5, np.uint8)], r"takes shape \(4,\), not \(5,\)"),
            ([np.zeros((1, 4), np.uint8)], r"takes shape \(4,\), not \(1, 4\)"),
            ([np.zeros(4, np.float32)], "cannot convert float32 values to uint8"),
            ([[1, 2, 3, 256]], "outside the range of uint8"),
            ([[-1, 2, 3, 4]], "outside the range of uint8"),
        ):
            with self.assertRaisesRegex(vexo.VexoError, message):
                self.runtime.run(inputs)
        with self.assertRaises(TypeError):
            self.runtime.run(np.zeros(4, np.uint8))

    def test_float_and_integer_inputs_convert_to_half_precision(self):
        self.runtime.select("reverse", 1)
        (out,) = self.runtime.run([[[1, 2, 3, 4], [0.1, 0.2, 0.3, 2049]]])
        np.testing.assert_array_equal(out, np.array([[0.1, 0.2, 0.3, 2048], [1, 2, 3, 4]], dtype=np.float16))

    def test_closed_runtime_refuses_and_closes_once(self):
        with vexo.Runtime(GENERAL) as runtime:
            pass
        with self.assertRaisesRegex(vexo.VexoError, "the Runtime is closed"):
            runtime.run([[1]])
        with self.assertRaisesRegex(vexo.VexoError, "the Runtime is closed"):
            runtime.select(0)
        runtime.close()


class RuntimeLoadTest(unittest.TestCase):
    def test_unloadable_files_raise(self):
        with tempfile.TemporaryDirectory() as folder:
            garbage = os.path.join(folder, "garbage.bmodel")
            with open(garbage, "wb") as file:
                file.write(b"not a model" * 10)
            with self.assertRaisesRegex(vexo.VexoError, "cannot load the model"):
                vexo.Runtime(garbage)
            with self.assertRaises(FileNotFoundError):
                vexo.Runtime(os.path.join(folder, "missing.bmodel"))

    def test_log_lines_go_to_standard_output_and_follow_log_level(self):
        with tempfile.TemporaryDirectory() as folder:
            garbage = os.path.join(folder, "garbage.bmodel")
            with open(garbage, "wb") as file:
                file.write(b"not a model" * 10)
            code = f"import vexo\ntry:\n    vexo.Runtime({garbage!r})\nexcept vexo.VexoError as e:\n    print(e)"
            logged = run_python(code)
            self.assertEqual(logged.returncode, 0, logged.stderr)
            self.assertRegex(logged.stdout, r"\[ERROR\] .*garbage\.bmodel")
            reason = logged.stdout.splitlines()[-1]
            self.assertRegex(reason, r"^cannot load the model '.*garbage.bmodel' on device 0: .*garbage\.bmodel")
            quiet = run_python(code, LOG_LEVEL="0")
            self.assertNotIn("[ERROR]", quiet.stdout)
            self.assertEqual(quiet.stdout.splitlines()[-1], reason)

    def test_garbage_collection_releases_the_device(self):
        with tempfile.TemporaryDirectory() as folder:
            trace = os.path.join(folder, "trace.jsonl")
            code = ("import gc, vexo\n"
                    f"runtime = vexo.Runtime({GENERAL!r})\n"
                    "del runtime\n"
                    "gc.collect()\n"
                    f"print(open({trace!r}).read(), end='')\n")
            result = run_python(code, VEXO_SIM_TRACE=trace, LOG_LEVEL="0")
            self.assertEqual(result.returncode, 0, result.stderr)
            records = [json.loads(line) for line in result.stdout.splitlines()]
            closes = [record for record in records if record["op"] == "close"]
            self.assertEqual(len(closes), 1)
            self.assertEqual((closes[0]["live_allocations"], closes[0]["live_bytes"]), (0, 0))


if __name__ == "__main__":
    unittest.main()
