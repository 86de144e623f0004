"""Tensor files through the library, and the bfloat16 helpers."""
import os
import struct
import tempfile
import unittest

import numpy as np

import vexo

HEADER = struct.Struct("<iQ8QQ")


def header(code, shape, size, slots=None):
    return HEADER.pack(code, len(shape), *(slots or list(shape) + [0] * (8 - len(shape))), size)


class TensorFileTest(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = folder.name

    def path(self, name="tensor.bin"):
        return os.path.join(self.folder, name)

    def write(self, data):
        with open(self.path(), "wb") as file:
            file.write(data)
        return self.path()

    def test_round_trip_keeps_type_shape_and_values(self):
        rng = np.random.default_rng(7)
        for dtype in (np.float32, np.float16, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32):
            for shape in ((), (5,), (2, 3, 4), (1, 2, 1, 2, 1, 2, 1, 3)):
                with self.subTest(dtype=dtype, shape=shape):
                    values = (rng.standard_normal(shape) * 100).astype(dtype)
                    vexo.save_tensor(self.path(), values)
                    loaded = vexo.load_tensor(self.path())
                    self.assertEqual((loaded.dtype, loaded.shape), (np.dtype(dtype), shape))
                    np.testing.assert_array_equal(loaded, values)

    def test_saved_bytes_follow_the_file_format(self):
        values = np.arange(6, dtype=np.float16).reshape(2, 3)
        vexo.save_tensor(self.path(), values)
        with open(self.path(), "rb") as file:
            data = file.read()
        self.assertEqual(len(data), 96)
        self.assertEqual(data, header(1, (2, 3), 12) + values.tobytes())

    def test_loads_a_file_written_by_other_means(self):
        values = np.array([[1, -2], [3, -4], [5, -6]], dtype=np.int16)
        # Stale extents beyond dims and bytes after the data are ignored.
        path = self.write(header(4, (3, 2), 12, slots=[3, 2, 9, 9, 9, 9, 9, 9]) + values.tobytes() + b"extra")
        np.testing.assert_array_equal(vexo.load_tensor(path), values)

    def test_bfloat16_files_hold_bits(self):
        bits = np.array([[0x3F80, 0xC020], [0x7F80, 0x0000]], dtype=np.uint16)
        vexo.save_tensor(self.path(), bits, dtype="bfloat16")
        with open(self.path(), "rb") as file:
            self.assertEqual(struct.unpack("<i", file.read(4))[0], 8)
        np.testing.assert_array_equal(vexo.load_tensor(self.path()), bits)
        vexo.save_tensor(self.path(), np.array([[1.0, -2.5], [np.inf, 0.0]]), dtype="bfloat16")
        loaded = vexo.load_tensor(self.path())
        self.assertEqual(loaded.dtype, np.uint16)
        np.testing.assert_array_equal(loaded, bits)
        np.testing.assert_array_equal(vexo.bfloat16_to_float32(loaded), [[1.0, -2.5], [np.inf, 0.0]])

    def test_dtype_argument_converts_the_values(self):
        vexo.save_tensor(self.path(), [[1.5, 2.25]], dtype=np.float16)
        np.testing.assert_array_equal(vexo.load_tensor(self.path()), np.array([[1.5, 2.25]], dtype=np.float16))
        vexo.save_tensor(self.path(), [-8, 7], dtype="int4")
        with open(self.path(), "rb") as file:
            self.assertEqual(file.read(), header(9, (2,), 2) + bytes([0xF8, 0x07]))

    def test_save_refusals(self):
        for values, dtype, message in (
            (np.zeros(3), None, "float64 is not an element type"),
            ([1, 2], None, "int64 is not an element type"),
            (np.zeros(3, np.float32), "float8", "float8 is not an element type"),
            (np.zeros(3, np.float32), "int32", "cannot convert float32 values to int32"),
            ([300], "int8", "outside the range of int8"),
            (np.zeros((1,) * 9, np.uint8), None, "at most 8 dimensions, not 9"),
        ):
            with self.subTest(message=message), self.assertRaisesRegex(vexo.VexoError, message):
                vexo.save_tensor(self.path(), values, dtype)
        # The library's refusal carries its reason.
        with self.assertRaisesRegex(vexo.VexoError, "cannot save the tensor to .*: .+"):
            vexo.save_tensor(self.folder, np.zeros(2, np.int8))

    def test_load_refusals(self):
        data = np.arange(4, dtype=np.int32).tobytes()
        for content, message in (
            (header(6, (4,), 16)[:83], "shorter than the 84-byte header"),
            (header(11, (4,), 16) + data, "unknown element type code 11"),
            (header(6, (1,) * 9, 16, slots=[1] * 8) + data, "holds 9 dimensions"),
            (header(6, (4,), 12) + data, "takes 16 bytes, the header says 12"),
            (header(6, (4,), 16) + data[:15], "holds 15 of its 16 data bytes"),
            (header(6, (2 ** 40,), 2 ** 42) + data, "holds 16 of its 4398046511104 data bytes"),
        ):
            with self.subTest(message=message), self.assertRaisesRegex(vexo.VexoError, message):
                vexo.load_tensor(self.write(content))
        with self.assertRaises(FileNotFoundError):
            vexo.load_tensor(self.path("missing.bin"))


class Bfloat16Test(unittest.TestCase):
    def test_every_bit_pattern_survives_a_round_trip(self):
        bits = np.arange(1 << 16, dtype=np.uint32).astype(np.uint16)
        values = vexo.bfloat16_to_float32(bits)
        self.assertEqual(values.dtype, np.float32)
        np.testing.assert_array_equal(values.view(np.uint32), bits.astype(np.uint32) << 16)
        exponent, fraction = (bits >> 7) & 0xFF, bits & 0x7F
        expected = np.where(exponent == 0, bits & 0x8000, bits)  # subnormals become zeros of their sign
        expected = np.where((exponent == 0xFF) & (fraction != 0), 0x7FFF, expected)
        np.testing.assert_array_equal(vexo.float32_to_bfloat16(values), expected)

    def test_rounds_to_nearest_even(self):
        step = 2.0 ** -8  # half of the gap between bfloat16 values near 1
        cases = {
            1 + step: 0x3F80,  # tie, down to the even neighbour
            1 + 3 * step: 0x3F82,  # tie, up to the even neighbour
            1 + step + 2.0 ** -20: 0x3F81,
            -(1 + step - 2.0 ** -20): 0xBF80,
            np.finfo(np.float32).max: 0x7F80,
            -np.inf: 0xFF80,
            -1e-45: 0x8000,
            np.nan: 0x7FFF,
        }
        converted = vexo.float32_to_bfloat16(np.array(list(cases), dtype=np.float32))
        self.assertEqual([hex(v) for v in converted], [hex(v) for v in cases.values()])

    def test_bits_must_be_integers(self):
        with self.assertRaisesRegex(vexo.VexoError, "cannot convert float32 values to uint16"):
            vexo.bfloat16_to_float32(np.ones(2, np.float32))


if __name__ == "__main__":
    unittest.main()
