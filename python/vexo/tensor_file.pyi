from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

from ._library import _Path


def save_tensor(path: _Path, array: npt.ArrayLike, dtype: Optional[npt.DTypeLike] = None) -> None: ...
def load_tensor(path: _Path) -> npt.NDArray[Any]: ...
