from typing import Tuple

import numpy as np
import numpy.typing as npt

ELEMENT_TYPES: Tuple[str, ...]

def bfloat16_to_float32(bits: npt.ArrayLike) -> npt.NDArray[np.float32]: ...
def float32_to_bfloat16(values: npt.ArrayLike) -> npt.NDArray[np.uint16]: ...
