from typing import Any, Iterable, List, Mapping, Optional, Sequence, Tuple, TypeVar, Union, overload

import numpy as np
import numpy.typing as npt

from ._library import ModelHandle, _Path


_Self = TypeVar("_Self", bound="Runtime")

class TensorInfo:
    name: str
    element_type: str
    dtype: np.dtype[Any]
    shape: Tuple[int, ...]
    bytes: int
    def __init__(self, name: str, element_type: str, dtype: np.dtype[Any], shape: Tuple[int, ...], bytes: int) -> None: ...

class Stage:
    inputs: Tuple[TensorInfo, ...]
    outputs: Tuple[TensorInfo, ...]
    def __init__(self, inputs: Tuple[TensorInfo, ...], outputs: Tuple[TensorInfo, ...]) -> None: ...

class Net:
    name: str
    stages: Tuple[Stage, ...]
    def __init__(self, name: str, stages: Tuple[Stage, ...]) -> None: ...

class Runtime(ModelHandle):
    nets: Tuple[Net, ...]
    net_index: int
    stage_index: int
    def __init__(self, path: _Path, device: int = 0, decrypt_lib: Optional[_Path] = None) -> None: ...
    def __enter__(self: _Self) -> _Self: ...
    @property
    def net(self) -> Net: ...
    @property
    def inputs(self) -> Tuple[TensorInfo, ...]: ...
    @property
    def outputs(self) -> Tuple[TensorInfo, ...]: ...
    def get_inputs(self, net: Union[str, int, None] = None, stage: Optional[int] = None) -> Tuple[TensorInfo, ...]: ...
    def get_outputs(self, net: Union[str, int, None] = None, stage: Optional[int] = None) -> Tuple[TensorInfo, ...]: ...
    def select(self, net: Union[str, int], stage: int = 0) -> None: ...
    @overload
    def run(self, inputs: Iterable[npt.ArrayLike]) -> List[npt.NDArray[Any]]: ...
    @overload
    def run(self, inputs: Optional[Sequence[str]], feeds: Mapping[str, npt.ArrayLike]) -> List[npt.NDArray[Any]]: ...
