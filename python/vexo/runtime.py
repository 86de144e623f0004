"""The general runtime: a model opened on a device, its nets and stages, and
runs of the selected stage on numpy arrays."""
import operator
import threading
from dataclasses import dataclass

import numpy as np

from ._library import ModelHandle, VexoError, library
from ._records import RUNTIME_MODEL_INFO_OFFSET
from ._tensors import host_array
from .elements import ELEMENT_TYPES, numpy_dtype, to_element_type, type_code


@dataclass(frozen=True)
class TensorInfo:
    """An input or output of a stage."""

    name: str
    element_type: str  # a name from ELEMENT_TYPES
    dtype: np.dtype  # of the arrays that carry it: uint16 for bfloat16
    shape: tuple
    bytes: int


@dataclass(frozen=True)
class Stage:
    """One shape variant of a net."""

    inputs: tuple
    outputs: tuple


@dataclass(frozen=True)
class Net:
    name: str
    stages: tuple


# The flat description is one record in the library that every conversion
# overwrites, so conversions and the copies out of it take turns.
_describe_lock = threading.Lock()


def _text(chars):
    return chars.decode("utf-8", errors="replace")


def _tensor_info(tensor):
    name = _text(tensor.name)
    code = tensor.data_type
    if not 0 <= code < len(ELEMENT_TYPES):
        raise VexoError(f"tensor {name!r} has an unknown element type code {code}")
    return TensorInfo(name, ELEMENT_TYPES[code], numpy_dtype(code), tuple(tensor.shape[: tensor.dims]), tensor.size)


def _stage(stage):
    return Stage(
        tuple(_tensor_info(t) for t in stage.input_tensor[: stage.input_num]),
        tuple(_tensor_info(t) for t in stage.output_tensor[: stage.output_num]),
    )


def _describe(handle):
    """The nets of a runtime's model, copied out of the flat description."""
    with _describe_lock:
        model = library().convert_model_info(handle + RUNTIME_MODEL_INFO_OFFSET)
        if not model:
            raise VexoError("the model's nets cannot be described")
        model = model.contents
        return tuple(
            Net(_text(net.name), tuple(_stage(stage) for stage in net.stages[: net.stage_num]))
            for net in model.nets[: model.net_num]
        )


def _input_array(info, values):
    what = f"input {info.name!r}"
    array = to_element_type(values, type_code(info.element_type), what)
    if array.shape != info.shape:
        raise VexoError(f"{what} takes shape {info.shape}, not {array.shape}")
    if array.nbytes != info.bytes:
        raise VexoError(f"{what} holds {info.bytes} bytes, not the {array.nbytes} of its shape")
    return array


class Runtime(ModelHandle):
    """A model opened on a device; runs one selected net and stage at a time.

    `nets` describes every net, stage, input and output; net 0, stage 0 is
    selected first.
    """

    def __init__(self, path, device=0):
        lib = library()
        super().__init__(path, device, lib.vexoruntime_init, lib.vexoruntime_free, "the model")
        try:
            self.nets = _describe(self._handle)
        except BaseException:
            self.close()
            raise
        self.net_index = 0
        self.stage_index = 0
        self._borrowed_inputs = []

    @property
    def net(self):
        """The selected net."""
        return self.nets[self.net_index]

    @property
    def inputs(self):
        """The inputs of the selected stage."""
        return self.net.stages[self.stage_index].inputs

    @property
    def outputs(self):
        """The outputs of the selected stage."""
        return self.net.stages[self.stage_index].outputs

    def select(self, net, stage=0):
        """Selects a stage of a net given by name or index."""
        handle = self._open_handle()
        net_index = self._find_net(net)
        stages = self.nets[net_index].stages
        stage_index = operator.index(stage)
        if not 0 <= stage_index < len(stages):
            raise VexoError(
                f"stage {stage_index} is out of range: net {self.nets[net_index].name!r} has {len(stages)} stages"
            )
        lib = library()
        lib.vexoruntime_set_net_stage(handle, net_index, stage_index)
        self.net_index, self.stage_index = net_index, stage_index
        self._borrowed_inputs = []
        counts = (lib.vexoruntime_get_io_count(handle, b"i"), lib.vexoruntime_get_io_count(handle, b"o"))
        if counts != (len(self.inputs), len(self.outputs)):
            raise VexoError(f"the tensors of net {self.net.name!r} stage {stage_index} cannot be set up")

    def run(self, inputs):
        """Runs the selected stage on a list of arrays, one per input, and
        returns its outputs as new arrays.

        Inputs are converted to their element type without losing their kind
        (integers must fit) and must have the input's shape.
        """
        handle = self._open_handle()
        if isinstance(inputs, np.ndarray):
            raise TypeError("run takes a list of arrays, one per input")
        inputs = list(inputs)
        if len(inputs) != len(self.inputs):
            raise VexoError(f"net {self.net.name!r} stage {self.stage_index} takes {len(self.inputs)} inputs, "
                            f"not {len(inputs)}")
        arrays = [_input_array(info, values) for info, values in zip(self.inputs, inputs)]
        # The input records keep pointing at these buffers after the upload.
        self._borrowed_inputs = arrays
        lib = library()
        # The library reports a failed upload only in its log; an input's
        # flag is set again only by an upload that succeeded, so clearing it
        # first tells the upload's outcome.
        for index, (info, array) in enumerate(zip(self.inputs, arrays)):
            record = self._record(b"i", index)
            record.is_in_device = False
            lib.vexoruntime_set_input_s2d(handle, index, array.ctypes.data, array.nbytes)
            if not record.is_in_device:
                raise VexoError(f"input {info.name!r} cannot be uploaded")
        outputs = [self._record(b"o", index) for index in range(len(self.outputs))]
        if not lib.vexoruntime_run_checked(handle, True):
            raise VexoError(f"the run of net {self.net.name!r} stage {self.stage_index} failed")
        return [host_array(record, info.dtype, info.shape) for record, info in zip(outputs, self.outputs)]

    def _find_net(self, net):
        if isinstance(net, str):
            for index, candidate in enumerate(self.nets):
                if candidate.name == net:
                    return index
            names = ", ".join(repr(candidate.name) for candidate in self.nets)
            raise VexoError(f"no net is named {net!r}: the model has {names}")
        index = operator.index(net)
        if not 0 <= index < len(self.nets):
            raise VexoError(f"net index {index} is out of range: the model has {len(self.nets)} nets")
        return index

    def _record(self, io_type, index):
        record = library().vexoruntime_get_io_tensor(self._handle, io_type, index)
        if not record:
            raise VexoError(f"the selected stage has no tensor record {io_type.decode()}[{index}]")
        return record.contents
