"""The general runtime: a model opened on a device, its nets and stages, and
runs of the selected stage on numpy arrays."""
import ctypes
import operator
from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np

from ._library import ModelHandle, VexoError, library, library_error
from ._records import vexo_tensor_desc
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


def _tensor_info(desc):
    name = desc.name.decode("utf-8", errors="replace")
    code = desc.dtype
    if not 0 <= code < len(ELEMENT_TYPES):
        raise VexoError(f"tensor {name!r} has an unknown element type code {code}")
    shape = tuple(desc.shape[d] for d in range(desc.dims))
    return TensorInfo(name, ELEMENT_TYPES[code], numpy_dtype(code), shape, desc.size)


def _tensors(handle, net, stage, io_type):
    lib = library()
    infos = []
    for index in range(lib.vexoruntime_get_tensor_count(handle, net, stage, io_type)):
        desc = vexo_tensor_desc()
        if not lib.vexoruntime_get_tensor_desc(handle, net, stage, io_type, index, ctypes.byref(desc)):
            raise library_error(f"tensor {io_type.decode()}[{index}] of net {net} stage {stage} cannot be described")
        infos.append(_tensor_info(desc))
    return tuple(infos)


def _describe(handle):
    """The nets of a runtime's model, from the library's introspection."""
    lib = library()
    nets = []
    for net in range(lib.vexoruntime_get_net_count(handle)):
        name = lib.vexoruntime_get_net_name(handle, net)
        if name is None:
            raise library_error(f"net {net} cannot be described")
        stages = tuple(Stage(_tensors(handle, net, stage, b"i"), _tensors(handle, net, stage, b"o"))
                       for stage in range(lib.vexoruntime_get_stage_count(handle, net)))
        nets.append(Net(name.decode("utf-8", errors="replace"), stages))
    return tuple(nets)


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

    An encrypted model file opens through its decryption plug-in, a shared
    library given as `decrypt_lib`. `nets` describes every net, stage, input
    and output (get_inputs and get_outputs one stage's); net 0, stage 0 is
    selected first.
    """

    def __init__(self, path, device=0, decrypt_lib=None):
        lib = library()
        super().__init__(path, device, decrypt_lib, lib.vexoruntime_init, lib.vexoruntime_init_decrypt,
                         lib.vexoruntime_free, "the model")
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

    def get_inputs(self, net=None, stage=None):
        """The inputs (name, element type, numpy dtype, shape, bytes) of the
        selected stage, or of a stage (default 0) of a net given by name or
        index."""
        return self._stage(net, stage).inputs

    def get_outputs(self, net=None, stage=None):
        """The outputs of the selected stage, or of a stage of a net, as
        get_inputs."""
        return self._stage(net, stage).outputs

    def select(self, net, stage=0):
        """Selects a stage of a net given by name or index."""
        handle = self._open_handle()
        net_index, stage_index = self._find_stage(net, stage)
        lib = library()
        lib.vexoruntime_set_net_stage(handle, net_index, stage_index)
        self.net_index, self.stage_index = net_index, stage_index
        self._borrowed_inputs = []
        counts = (lib.vexoruntime_get_io_count(handle, b"i"), lib.vexoruntime_get_io_count(handle, b"o"))
        if counts != (len(self.inputs), len(self.outputs)):
            raise VexoError(f"the tensors of net {self.net.name!r} stage {stage_index} cannot be set up")

    def run(self, inputs, feeds=None):
        """Runs the selected stage and returns its outputs as new arrays.

        run([array, ...]) takes one array per input, in the stage's order, and
        returns every output. run(output_names, {input_name: array}) takes
        the inputs by name and returns the outputs named, in that order
        (output_names None: every output).

        Inputs are converted to their element type without losing their kind
        (integers must fit) and must have the input's shape.
        """
        if feeds is None:
            if isinstance(inputs, Mapping):
                raise TypeError("run([array, ...]) takes a list of arrays, one per input; for inputs by name, "
                                "call run(output_names, {input_name: array}) with output_names None for all")
            if isinstance(inputs, np.ndarray):
                raise TypeError("run takes a list of arrays, one per input")
            return self._run(list(inputs))
        if not isinstance(feeds, Mapping):
            raise TypeError("run(output_names, inputs) takes the inputs as a dict {input_name: array}")
        stage = f"net {self.net.name!r} stage {self.stage_index}"
        names = [info.name for info in self.inputs]
        unknown = [name for name in feeds if name not in names]
        if unknown:
            raise VexoError(f"{stage} has no input named {', '.join(map(repr, unknown))}")
        missing = [name for name in names if name not in feeds]
        if missing:
            raise VexoError(f"{stage} lacks the inputs {', '.join(map(repr, missing))}")
        if isinstance(inputs, str):
            raise TypeError("output_names is a list of output names, or None for every output")
        wanted = None if inputs is None else list(inputs)
        where = {info.name: index for index, info in enumerate(self.outputs)}
        unknown = [name for name in wanted or () if name not in where]
        if unknown:
            raise VexoError(f"{stage} has no output named {', '.join(map(repr, unknown))}")
        outputs = self._run([feeds[name] for name in names])
        return outputs if wanted is None else [outputs[where[name]] for name in wanted]

    def _run(self, inputs):
        handle = self._open_handle()
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

    def _stage(self, net, stage):
        self._open_handle()
        if net is None and stage is None:
            return self.net.stages[self.stage_index]
        if net is None:
            net = self.net_index
        net_index, stage_index = self._find_stage(net, 0 if stage is None else stage)
        return self.nets[net_index].stages[stage_index]

    def _find_stage(self, net, stage):
        net_index = self._find_net(net)
        stages = self.nets[net_index].stages
        stage_index = operator.index(stage)
        if not 0 <= stage_index < len(stages):
            raise VexoError(
                f"stage {stage_index} is out of range: net {self.nets[net_index].name!r} has {len(stages)} stages"
            )
        return net_index, stage_index

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
            raise library_error(f"the selected stage has no tensor record {io_type.decode()}[{index}]")
        return record.contents
