"""Element types: the library's type codes, their numpy dtypes, conversion of
arrays to them, and the bfloat16 helpers.

numpy has no bfloat16, so bfloat16 data travels as uint16 arrays holding the
bits; the 4-bit types take a whole byte per element, as in the library.
"""
import numpy as np

from ._library import VexoError

# Names indexed by the library's type code.
ELEMENT_TYPES = (
    "float32", "float16", "int8", "uint8", "int16", "uint16",
    "int32", "uint32", "bfloat16", "int4", "uint4",
)
BFLOAT16 = ELEMENT_TYPES.index("bfloat16")
UINT16 = ELEMENT_TYPES.index("uint16")
# The 4-bit types sit in a byte each but hold only these values.
_NIBBLE_LIMITS = {ELEMENT_TYPES.index("int4"): (-8, 7), ELEMENT_TYPES.index("uint4"): (0, 15)}
_NUMPY_TYPES = tuple(
    np.dtype(t)
    for t in (np.float32, np.float16, np.int8, np.uint8, np.int16, np.uint16,
              np.int32, np.uint32, np.uint16, np.int8, np.uint8)
)
# The types that numpy holds as themselves, for choosing a code from an array.
_NATIVE_CODES = {_NUMPY_TYPES[code]: code for code in range(ELEMENT_TYPES.index("uint32") + 1)}


def numpy_dtype(code):
    """The numpy dtype that holds elements of type `code`."""
    return _NUMPY_TYPES[code]


def type_code(element_type):
    """The code of an element type given by name ("bfloat16", "int4", ...) or
    as a numpy dtype of one of the types numpy holds natively."""
    if isinstance(element_type, str) and element_type in ELEMENT_TYPES:
        return ELEMENT_TYPES.index(element_type)
    try:
        return _NATIVE_CODES[np.dtype(element_type)]
    except (TypeError, KeyError):
        raise VexoError(f"{element_type} is not an element type: choose one of {', '.join(ELEMENT_TYPES)}") from None


def to_element_type(values, code, what):
    """`values` as a contiguous array of element type `code`.

    Values convert when no kind is lost (integers to integers or floats,
    floats to floats; an empty array to anything) and integers only when
    they fit (int4: -8 to 7, uint4: 0 to 15); for bfloat16, floating
    values are rounded with float32_to_bfloat16 and integer values are taken
    as the bits. `what` names the values in the error message.
    """
    array = np.asarray(values)
    if code == BFLOAT16 and array.dtype.kind == "f":
        return float32_to_bfloat16(array)
    target = numpy_dtype(code)
    if array.size and array.dtype.kind not in ("biu" if target.kind in "iu" else "biuf"):
        raise VexoError(f"{what}: cannot convert {array.dtype} values to {ELEMENT_TYPES[code]}")
    if target.kind in "iu" and (array.dtype != target or code in _NIBBLE_LIMITS) and array.size:
        limits = np.iinfo(target)
        low, high, kind = limits.min, limits.max, target
        if code in _NIBBLE_LIMITS:
            (low, high), kind = _NIBBLE_LIMITS[code], ELEMENT_TYPES[code]
        if array.min() < low or array.max() > high:
            raise VexoError(f"{what}: values outside the range of {kind} ({low} to {high})")
    return np.asarray(array, dtype=target, order="C")


def bfloat16_to_float32(bits):
    """float32 values of bfloat16 bits (uint16): exact."""
    halves = to_element_type(bits, UINT16, "bfloat16 bits")
    return (halves.astype(np.uint32) << 16).view(np.float32)


def float32_to_bfloat16(values):
    """bfloat16 bits (uint16) of values taken as float32, as the library
    converts them: round to nearest even, NaN to 0x7FFF, infinities kept,
    zeros and subnormals to a zero of their sign."""
    bits = np.asarray(values, dtype=np.float32, order="C").view(np.uint32).astype(np.uint64)
    exponent = (bits >> 23) & 0xFF
    rounded = (bits + 0x7FFF + ((bits >> 16) & 1)) >> 16
    result = np.where(exponent == 0, (bits >> 16) & 0x8000, rounded)
    result = np.where((exponent == 0xFF) & ((bits & 0x7FFFFF) != 0), 0x7FFF, result)
    return result.astype(np.uint16)
