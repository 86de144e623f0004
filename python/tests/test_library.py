"""Finding the library, and the ctypes declarations of the C records against
the layout the headers fix."""
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import vexo
from vexo._library import library
from vexo._records import C_DeviceMem, C_ModelInfo, C_NetInfo, C_StageInfo, C_TensorInfo, VexoTensor, vexo_tensor_desc

from support import GENERAL


class RecordLayoutTest(unittest.TestCase):
    def assert_layout(self, record, size, offsets):
        self.assertEqual(ctypes.sizeof(record), size)
        for field, offset in offsets.items():
            self.assertEqual(getattr(record, field).offset, offset, field)

    def test_tensor_record(self):
        self.assert_layout(VexoTensor, 296, {
            "dtype": 128, "size": 136, "dims": 144, "shape": 152, "data": 216, "is_malloc_host": 224,
            "is_have_data": 225, "device_id": 228, "bm_handle": 232, "is_in_device": 240, "addr": 248,
            "device_start": 256, "device_size": 264, "offset": 272, "dmabuf_fd": 280, "reserved": 284,
            "rawflags": 288, "user_malloc": 292})

    def test_flat_model_description(self):
        self.assert_layout(C_DeviceMem, 24, {"size": 8, "reserved": 12, "rawflags": 16, "dmabuf_fd": 20})
        self.assert_layout(C_TensorInfo, 224, {"data_type": 128, "device_addr": 136, "size": 144, "dims": 152,
                                               "shape": 160})
        self.assert_layout(C_StageInfo, 29800, {
            "output_num": 8, "input_tensor": 16, "output_tensor": 14352, "input_tensor_global_addr": 28688,
            "output_tensor_global_addr": 29200, "io_alone": 29712, "io_addr": 29720, "neuron_offset": 29768,
            "io_device": 29776})
        self.assert_layout(C_NetInfo, 1907344, {"stage_num": 128, "stages": 136, "addr_mode": 1907336})
        self.assert_layout(C_ModelInfo, 488280112, {"bm_handle": 8, "net_num": 16, "nets": 24,
                                                    "neuron_device": 488280088})

    def test_tensor_description(self):
        self.assert_layout(vexo_tensor_desc, 40, {"name": 0, "dtype": 8, "dims": 16, "shape": 24, "size": 32})

    def test_model_description_comes_from_the_runtime(self):
        # The runtime hands out its own description; the flat copy of it
        # names the same nets as the introspection.
        with vexo.Runtime(GENERAL) as runtime:
            lib = library()
            model = lib.convert_model_info(lib.vexoruntime_get_model_info(runtime._open_handle())).contents
            self.assertEqual(model.net_num, 3)
            self.assertEqual([model.nets[i].name.decode() for i in range(3)], [net.name for net in runtime.nets])


class LibraryLoadTest(unittest.TestCase):
    def run_python(self, code, pythonpath, **env):
        environment = {key: value for key, value in os.environ.items() if key != "VEXO_LIBRARY"}
        environment.update(PYTHONPATH=pythonpath, LOG_LEVEL="0", **env)
        return subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True,
                              timeout=120)

    def test_installed_package_finds_the_library_beside_it(self):
        with tempfile.TemporaryDirectory() as prefix:
            libdir = Path(prefix, "lib")
            shutil.copytree(Path(vexo.__file__).parent, libdir / "vexo" / "python" / "vexo")
            os.symlink(os.environ["VEXO_LIBRARY"], libdir / "libvexo.so")
            code = ("import vexo, vexo._library\n"
                    "print(vexo._library.library_path())\n"
                    f"with vexo.Runtime({GENERAL!r}) as runtime:\n"
                    "    runtime.select('pad')\n"
                    "    print(runtime.run([[1, 2, 3, 4]])[0].tolist())\n")
            result = self.run_python(code, str(libdir / "vexo" / "python"))
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout.splitlines(),
                             [str(libdir.resolve() / "libvexo.so"),
                              str([1, 2, 3, 4] + [0xEE] * 4)])

    def test_a_library_that_cannot_be_loaded_raises(self):
        code = "import vexo\ntry:\n    vexo.Runtime('x')\nexcept vexo.VexoError as e:\n    print(e)"
        result = self.run_python(code, str(Path(vexo.__file__).parents[1]), VEXO_LIBRARY="/nowhere/libvexo.so")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"^cannot load the Vexo library '/nowhere/libvexo.so' .*set VEXO_LIBRARY")


if __name__ == "__main__":
    unittest.main()
