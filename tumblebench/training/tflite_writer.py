"""Writes and reads TensorFlow Lite model files for the Tumblix fall model.

The writer lays the flatbuffer out the way TensorFlow's Python converter
front end leaves its result: after the MLIR converter has run, the front end
unpacks the model into the schema's object API, appends the conversion
metadata and packs it again with a Python FlatBuffers builder. Packing builds
every object from the back of the buffer forward, each table's children
before the table, in the order the object API's Pack methods visit them, so
the same visiting order here gives the same bytes.

Only the part of the TFLite schema that this model uses is described below:
field numbers (vtable slots) of the tables it contains.
"""

import struct

import flatbuffers
import numpy as np

from .. import model_record
from ..flatbuffer_tables import Table as _Table

FILE_IDENTIFIER = b"TFL3"
SCHEMA_VERSION = 3

# Builtin operator codes and the tensor types used here.
RESHAPE = 22
FULLY_CONNECTED = 9
LOGISTIC = 14
SOFTMAX = 25
FLOAT32 = 0
INT32 = 2

# Union tag of FullyConnectedOptions in BuiltinOptions.
OPTIONS_NONE = 0
OPTIONS_FULLY_CONNECTED = 8

ACTIVATION_NONE = 0
ACTIVATION_RELU = 1

# Vtable slots, per table.
MODEL = dict(version=0, operator_codes=1, subgraphs=2, description=3, buffers=4,
             metadata_buffer=5, metadata=6, signature_defs=7)
OPERATOR_CODE = dict(deprecated_builtin_code=0, custom_code=1, version=2, builtin_code=3)
SUBGRAPH = dict(tensors=0, inputs=1, outputs=2, operators=3, name=4)
TENSOR = dict(shape=0, type=1, buffer=2, name=3, quantization=4, is_variable=5, sparsity=6,
              shape_signature=7, has_rank=8)
QUANTIZATION = dict(min=0, max=1, scale=2, zero_point=3, details_type=4, details=5,
                    quantized_dimension=6)
OPERATOR = dict(opcode_index=0, inputs=1, outputs=2, builtin_options_type=3, builtin_options=4,
                custom_options=5, custom_options_format=6, mutating_variable_inputs=7,
                intermediates=8)
FC_OPTIONS = dict(fused_activation_function=0, weights_format=1, keep_num_dims=2,
                  asymmetric_quantize_inputs=3)
BUFFER = dict(data=0, offset=1, size=2)
METADATA = dict(name=0, buffer=1)
SIGNATURE_DEF = dict(inputs=0, outputs=1, signature_key=2, subgraph_index=4)
TENSOR_MAP = dict(name=0, tensor_index=1)
# The converter's own record, carried as the CONVERSION_METADATA buffer.
CONVERSION_METADATA = dict(environment=0, options=1)
ENVIRONMENT = dict(tensorflow_version=0, api_version=1, model_type=2, model_hash=3)
CONVERSION_OPTIONS = dict(model_optimization_modes=0, allow_custom_ops=1,
                          enable_select_tf_ops=2, force_select_tf_ops=3,
                          sparsity_block_sizes=4)

# Number of slots each table's schema declares; only the vtable's length up
# to the last present field is written, so these only bound the slots.
_SLOTS = {id(MODEL): 8, id(OPERATOR_CODE): 4, id(SUBGRAPH): 5, id(TENSOR): 10,
          id(QUANTIZATION): 7, id(OPERATOR): 11, id(FC_OPTIONS): 4, id(BUFFER): 3,
          id(METADATA): 2, id(SIGNATURE_DEF): 5, id(TENSOR_MAP): 2,
          id(CONVERSION_METADATA): 2, id(ENVIRONMENT): 4, id(CONVERSION_OPTIONS): 5}


# ---------------------------------------------------------------------------
# Writing

def _int32_vector(builder, values):
    return builder.CreateNumpyVector(np.asarray(values, dtype="<i4"))


def _table_vector(builder, offsets):
    builder.StartVector(4, len(offsets), 4)
    for off in reversed(offsets):
        builder.PrependUOffsetTRelative(off)
    return builder.EndVector()


def _start(builder, table):
    builder.StartObject(_SLOTS[id(table)])


def _pack_operator_code(builder, code):
    _start(builder, OPERATOR_CODE)
    builder.PrependInt8Slot(OPERATOR_CODE["deprecated_builtin_code"],
                            code["deprecated_builtin_code"], 0)
    builder.PrependInt32Slot(OPERATOR_CODE["version"], code["version"], 1)
    builder.PrependInt32Slot(OPERATOR_CODE["builtin_code"], code["builtin_code"], 0)
    return builder.EndObject()


def _pack_tensor(builder, tensor):
    shape = _int32_vector(builder, tensor["shape"])
    name = builder.CreateString(tensor["name"])
    quantization = None
    if tensor.get("quantization") is not None:
        # Float tensors carry an empty quantisation table: every field absent.
        _start(builder, QUANTIZATION)
        quantization = builder.EndObject()
    shape_signature = None
    if tensor.get("shape_signature") is not None:
        shape_signature = _int32_vector(builder, tensor["shape_signature"])
    _start(builder, TENSOR)
    builder.PrependUOffsetTRelativeSlot(TENSOR["shape"], shape, 0)
    builder.PrependInt8Slot(TENSOR["type"], tensor["type"], 0)
    builder.PrependUint32Slot(TENSOR["buffer"], tensor["buffer"], 0)
    builder.PrependUOffsetTRelativeSlot(TENSOR["name"], name, 0)
    if quantization is not None:
        builder.PrependUOffsetTRelativeSlot(TENSOR["quantization"], quantization, 0)
    builder.PrependBoolSlot(TENSOR["is_variable"], False, False)
    if shape_signature is not None:
        builder.PrependUOffsetTRelativeSlot(TENSOR["shape_signature"], shape_signature, 0)
    builder.PrependBoolSlot(TENSOR["has_rank"], tensor.get("has_rank", False), False)
    return builder.EndObject()


def _pack_operator(builder, op):
    inputs = _int32_vector(builder, op["inputs"])
    outputs = _int32_vector(builder, op["outputs"])
    options = None
    if op.get("builtin_options") is not None:
        # Only FULLY_CONNECTED options occur in this model.
        fc = op["builtin_options"]
        _start(builder, FC_OPTIONS)
        builder.PrependInt8Slot(FC_OPTIONS["fused_activation_function"],
                                fc.get("fused_activation_function", 0), 0)
        builder.PrependInt8Slot(FC_OPTIONS["weights_format"], fc.get("weights_format", 0), 0)
        builder.PrependBoolSlot(FC_OPTIONS["keep_num_dims"], fc.get("keep_num_dims", False), False)
        builder.PrependBoolSlot(FC_OPTIONS["asymmetric_quantize_inputs"],
                                fc.get("asymmetric_quantize_inputs", False), False)
        options = builder.EndObject()
    _start(builder, OPERATOR)
    builder.PrependUint32Slot(OPERATOR["opcode_index"], op["opcode_index"], 0)
    builder.PrependUOffsetTRelativeSlot(OPERATOR["inputs"], inputs, 0)
    builder.PrependUOffsetTRelativeSlot(OPERATOR["outputs"], outputs, 0)
    builder.PrependUint8Slot(OPERATOR["builtin_options_type"], op.get("builtin_options_type", 0), 0)
    if options is not None:
        builder.PrependUOffsetTRelativeSlot(OPERATOR["builtin_options"], options, 0)
    builder.PrependInt8Slot(OPERATOR["custom_options_format"], 0, 0)
    return builder.EndObject()


def _pack_subgraph(builder, subgraph):
    tensors = _table_vector(builder, [_pack_tensor(builder, t) for t in subgraph["tensors"]])
    inputs = _int32_vector(builder, subgraph["inputs"])
    outputs = _int32_vector(builder, subgraph["outputs"])
    operators = _table_vector(builder, [_pack_operator(builder, o) for o in subgraph["operators"]])
    name = builder.CreateString(subgraph["name"])
    _start(builder, SUBGRAPH)
    builder.PrependUOffsetTRelativeSlot(SUBGRAPH["tensors"], tensors, 0)
    builder.PrependUOffsetTRelativeSlot(SUBGRAPH["inputs"], inputs, 0)
    builder.PrependUOffsetTRelativeSlot(SUBGRAPH["outputs"], outputs, 0)
    builder.PrependUOffsetTRelativeSlot(SUBGRAPH["operators"], operators, 0)
    builder.PrependUOffsetTRelativeSlot(SUBGRAPH["name"], name, 0)
    return builder.EndObject()


def _pack_buffer(builder, data):
    # data: None for a buffer without a data vector, else bytes.
    vector = None
    if data is not None:
        vector = builder.CreateNumpyVector(np.frombuffer(bytes(data), dtype=np.uint8))
    _start(builder, BUFFER)
    if vector is not None:
        builder.PrependUOffsetTRelativeSlot(BUFFER["data"], vector, 0)
    builder.PrependUint64Slot(BUFFER["offset"], 0, 0)
    builder.PrependUint64Slot(BUFFER["size"], 0, 0)
    return builder.EndObject()


def _pack_metadata(builder, entry):
    name = builder.CreateString(entry["name"])
    _start(builder, METADATA)
    builder.PrependUOffsetTRelativeSlot(METADATA["name"], name, 0)
    builder.PrependUint32Slot(METADATA["buffer"], entry["buffer"], 0)
    return builder.EndObject()


def _pack_tensor_map(builder, name_and_index):
    name = builder.CreateString(name_and_index[0])
    _start(builder, TENSOR_MAP)
    builder.PrependUOffsetTRelativeSlot(TENSOR_MAP["name"], name, 0)
    builder.PrependUint32Slot(TENSOR_MAP["tensor_index"], name_and_index[1], 0)
    return builder.EndObject()


def _pack_signature_def(builder, sig):
    inputs = _table_vector(builder, [_pack_tensor_map(builder, m) for m in sig["inputs"]])
    outputs = _table_vector(builder, [_pack_tensor_map(builder, m) for m in sig["outputs"]])
    key = builder.CreateString(sig["signature_key"])
    _start(builder, SIGNATURE_DEF)
    builder.PrependUOffsetTRelativeSlot(SIGNATURE_DEF["inputs"], inputs, 0)
    builder.PrependUOffsetTRelativeSlot(SIGNATURE_DEF["outputs"], outputs, 0)
    builder.PrependUOffsetTRelativeSlot(SIGNATURE_DEF["signature_key"], key, 0)
    builder.PrependUint32Slot(SIGNATURE_DEF["subgraph_index"], sig["subgraph_index"], 0)
    return builder.EndObject()


def pack_model(model):
    """Serialises a model description (as read_model returns it) to bytes."""
    builder = flatbuffers.Builder(1024)
    codes = _table_vector(builder, [_pack_operator_code(builder, c)
                                    for c in model["operator_codes"]])
    subgraphs = _table_vector(builder, [_pack_subgraph(builder, s) for s in model["subgraphs"]])
    description = builder.CreateString(model["description"])
    buffers = _table_vector(builder, [_pack_buffer(builder, b) for b in model["buffers"]])
    metadata = None
    if model.get("metadata") is not None:
        metadata = _table_vector(builder, [_pack_metadata(builder, m) for m in model["metadata"]])
    signature_defs = None
    if model.get("signature_defs") is not None:
        signature_defs = _table_vector(builder, [_pack_signature_def(builder, s)
                                                 for s in model["signature_defs"]])
    _start(builder, MODEL)
    builder.PrependUint32Slot(MODEL["version"], model["version"], 0)
    builder.PrependUOffsetTRelativeSlot(MODEL["operator_codes"], codes, 0)
    builder.PrependUOffsetTRelativeSlot(MODEL["subgraphs"], subgraphs, 0)
    builder.PrependUOffsetTRelativeSlot(MODEL["description"], description, 0)
    builder.PrependUOffsetTRelativeSlot(MODEL["buffers"], buffers, 0)
    if metadata is not None:
        builder.PrependUOffsetTRelativeSlot(MODEL["metadata"], metadata, 0)
    if signature_defs is not None:
        builder.PrependUOffsetTRelativeSlot(MODEL["signature_defs"], signature_defs, 0)
    root = builder.EndObject()
    builder.Finish(root, file_identifier=FILE_IDENTIFIER)
    return bytes(builder.Output())


def conversion_metadata(tensorflow_version="2.13.0", api_version=2, model_type=2,
                        enable_select_tf_ops=True):
    """The converter's record of how a model was made, as its own builder
    writes it (no file identifier): an empty list of optimisation modes (not
    quantised, not sparsified), no custom ops. The select-TF-ops flag records
    that the converter was allowed to fall back to TensorFlow kernels, the
    usual Keras export setting; the model itself uses builtin operators only.
    With that flag the record is the 92 bytes the fall model carries."""
    builder = flatbuffers.Builder(0)
    version = builder.CreateString(tensorflow_version)
    _start(builder, ENVIRONMENT)
    builder.PrependUOffsetTRelativeSlot(ENVIRONMENT["tensorflow_version"], version, 0)
    builder.PrependUint32Slot(ENVIRONMENT["api_version"], api_version, 0)
    builder.PrependInt32Slot(ENVIRONMENT["model_type"], model_type, 0)
    builder.PrependUint64Slot(ENVIRONMENT["model_hash"], 0, 0)
    environment = builder.EndObject()
    builder.StartVector(4, 0, 4)
    modes = builder.EndVector()
    _start(builder, CONVERSION_OPTIONS)
    builder.PrependUOffsetTRelativeSlot(CONVERSION_OPTIONS["model_optimization_modes"], modes, 0)
    builder.PrependBoolSlot(CONVERSION_OPTIONS["allow_custom_ops"], False, False)
    builder.PrependBoolSlot(CONVERSION_OPTIONS["enable_select_tf_ops"], enable_select_tf_ops, False)
    builder.PrependBoolSlot(CONVERSION_OPTIONS["force_select_tf_ops"], False, False)
    options = builder.EndObject()
    _start(builder, CONVERSION_METADATA)
    builder.PrependUOffsetTRelativeSlot(CONVERSION_METADATA["environment"], environment, 0)
    builder.PrependUOffsetTRelativeSlot(CONVERSION_METADATA["options"], options, 0)
    builder.Finish(builder.EndObject())
    return bytes(builder.Output())


# ---------------------------------------------------------------------------
# The fall model

INPUT_ROWS = 25
INPUT_CHANNELS = 6
INPUTS = INPUT_ROWS * INPUT_CHANNELS
HIDDEN = 32
OUTPUTS = 2


# w1, b1, w2, b2, w3, b3
_WEIGHT_SHAPES = ((HIDDEN, INPUTS), (HIDDEN,), (HIDDEN, HIDDEN), (HIDDEN,), (OUTPUTS, HIDDEN),
                  (OUTPUTS,))


def _f32(array, shape):
    a = np.asarray(array, dtype=np.float32)
    if a.shape != shape:
        raise ValueError("expected an array of shape %s, got %s" % (shape, a.shape))
    if not np.all(np.isfinite(a)):
        raise ValueError("weights must be finite")
    return a.astype("<f4").tobytes()


def fall_model_description(w1, b1, w2, b2, w3, b3):
    """The fall model's structure with the given weights.

    Weights are [units, inputs] (row o holds the weights of output unit o),
    biases one value per unit; all are stored as float32."""
    float_tensor = dict(type=FLOAT32, quantization={}, has_rank=True)

    def tensor(name, shape, buffer, signature=None, ttype=FLOAT32):
        t = dict(float_tensor, name=name, shape=shape, buffer=buffer, type=ttype)
        if signature is not None:
            t["shape_signature"] = signature
        return t

    tensors = [
        tensor("serving_default_input_1:0", [1, INPUT_ROWS, INPUT_CHANNELS], 1,
               [-1, INPUT_ROWS, INPUT_CHANNELS]),
        tensor("model/dense/BiasAdd/ReadVariableOp", [HIDDEN], 2),
        tensor("model/dense_2/BiasAdd/ReadVariableOp", [OUTPUTS], 3),
        tensor("model/dense_1/BiasAdd/ReadVariableOp", [HIDDEN], 4),
        tensor("model/flatten/Const", [2], 5, ttype=INT32),
        tensor("model/dense/MatMul", [HIDDEN, INPUTS], 6),
        tensor("model/dense_1/MatMul", [HIDDEN, HIDDEN], 7),
        tensor("model/dense_2/MatMul", [OUTPUTS, HIDDEN], 8),
        tensor("model/flatten/Reshape", [1, INPUTS], 9, [-1, INPUTS]),
        tensor("model/dense/MatMul;model/activation/Relu;model/dense/BiasAdd", [1, HIDDEN], 10,
               [-1, HIDDEN]),
        tensor("model/dense_1/MatMul;model/activation_1/Relu;model/dense_1/BiasAdd",
               [1, HIDDEN], 11, [-1, HIDDEN]),
        tensor("model/dense_2/MatMul;model/dense_2/BiasAdd", [1, OUTPUTS], 12, [-1, OUTPUTS]),
        tensor("StatefulPartitionedCall:0", [1, OUTPUTS], 13, [-1, OUTPUTS]),
    ]
    operators = [
        dict(opcode_index=0, inputs=[0, 4], outputs=[8]),
        dict(opcode_index=1, inputs=[8, 5, 1], outputs=[9],
             builtin_options_type=OPTIONS_FULLY_CONNECTED,
             builtin_options=dict(fused_activation_function=ACTIVATION_RELU)),
        dict(opcode_index=1, inputs=[9, 6, 3], outputs=[10],
             builtin_options_type=OPTIONS_FULLY_CONNECTED,
             builtin_options=dict(fused_activation_function=ACTIVATION_RELU)),
        dict(opcode_index=1, inputs=[10, 7, 2], outputs=[11],
             builtin_options_type=OPTIONS_FULLY_CONNECTED,
             builtin_options=dict(fused_activation_function=ACTIVATION_NONE)),
        dict(opcode_index=2, inputs=[11], outputs=[12]),
    ]
    buffers = [
        None,                                   # the schema's empty buffer 0
        None,                                   # input
        _f32(b1, (HIDDEN,)),
        _f32(b3, (OUTPUTS,)),
        _f32(b2, (HIDDEN,)),
        np.asarray([-1, INPUTS], dtype="<i4").tobytes(),
        _f32(w1, (HIDDEN, INPUTS)),
        _f32(w2, (HIDDEN, HIDDEN)),
        _f32(w3, (OUTPUTS, HIDDEN)),
        None, None, None, None, None,           # activations and output
        b"1.14.0".ljust(16, b"\0"),
        conversion_metadata(),
    ]
    codes = [dict(deprecated_builtin_code=c, version=1, builtin_code=c)
             for c in (RESHAPE, FULLY_CONNECTED, LOGISTIC)]
    return dict(
        version=SCHEMA_VERSION,
        operator_codes=codes,
        subgraphs=[dict(tensors=tensors, inputs=[0], outputs=[12], operators=operators,
                        name="main")],
        description="MLIR Converted.",
        buffers=buffers,
        metadata=[dict(name="min_runtime_version", buffer=14),
                  dict(name="CONVERSION_METADATA", buffer=15)],
        signature_defs=[dict(inputs=[("input_1", 0)], outputs=[("dense_2", 12)],
                             signature_key="serving_default", subgraph_index=0)],
    )


def with_training_subjects(description, subjects):
    """The model description with the record of the subjects it was trained
    on ({data set: subject folders}, see tumblebench.model_record) in a
    metadata entry of its own, replacing an earlier one."""
    model = dict(description)
    buffers = list(model["buffers"])
    metadata = [m for m in model.get("metadata") or [] if m["name"] != model_record.METADATA_NAME]
    buffers.append(model_record.encode(subjects))
    metadata.append(dict(name=model_record.METADATA_NAME, buffer=len(buffers) - 1))
    model.update(buffers=buffers, metadata=metadata)
    return model


def write_fall_model(path, w1, b1, w2, b2, w3, b3, training_subjects=None):
    """Writes the fall model; with training_subjects ({data set: subject
    folders}) the file records what it was trained on."""
    description = fall_model_description(w1, b1, w2, b2, w3, b3)
    if training_subjects is not None:
        description = with_training_subjects(description, training_subjects)
    data = pack_model(description)
    with open(path, "wb") as f:
        f.write(data)
    return data


# ---------------------------------------------------------------------------
# Reading, for checks: the same description that pack_model takes.

def read_model(data):
    """Parses a .tflite file into the description pack_model takes."""
    if len(data) < 8 or data[4:8] != FILE_IDENTIFIER:
        raise ValueError("not a TFLite model (file identifier is not TFL3)")
    root = _Table(data, struct.unpack_from("<I", data, 0)[0])
    model = dict(version=root.scalar(MODEL["version"], "I"),
                 description=root.string(MODEL["description"]))
    model["operator_codes"] = [
        dict(deprecated_builtin_code=t.scalar(OPERATOR_CODE["deprecated_builtin_code"], "b"),
             version=t.scalar(OPERATOR_CODE["version"], "i", 1),
             builtin_code=t.scalar(OPERATOR_CODE["builtin_code"], "i"))
        for t in root.tables(MODEL["operator_codes"])]
    model["subgraphs"] = []
    for sg in root.tables(MODEL["subgraphs"]):
        tensors = []
        for t in sg.tables(SUBGRAPH["tensors"]):
            tensor = dict(shape=t.vector(TENSOR["shape"], "i"), type=t.scalar(TENSOR["type"], "b"),
                          buffer=t.scalar(TENSOR["buffer"], "I"), name=t.string(TENSOR["name"]),
                          has_rank=bool(t.scalar(TENSOR["has_rank"], "B")),
                          is_variable=bool(t.scalar(TENSOR["is_variable"], "B")),
                          sparse=t.has(TENSOR["sparsity"]))
            q = t.table(TENSOR["quantization"])
            if q is not None:
                tensor["quantization"] = {k: q.has(v) for k, v in QUANTIZATION.items() if q.has(v)}
            sig = t.vector(TENSOR["shape_signature"], "i")
            if sig is not None:
                tensor["shape_signature"] = sig
            tensors.append(tensor)
        operators = []
        for o in sg.tables(SUBGRAPH["operators"]):
            op = dict(opcode_index=o.scalar(OPERATOR["opcode_index"], "I"),
                      inputs=o.vector(OPERATOR["inputs"], "i"),
                      outputs=o.vector(OPERATOR["outputs"], "i"),
                      builtin_options_type=o.scalar(OPERATOR["builtin_options_type"], "B"))
            opt = o.table(OPERATOR["builtin_options"])
            if opt is not None:
                op["builtin_options"] = {k: opt.scalar(v, "b") for k, v in FC_OPTIONS.items()}
            operators.append(op)
        model["subgraphs"].append(dict(tensors=tensors, inputs=sg.vector(SUBGRAPH["inputs"], "i"),
                                       outputs=sg.vector(SUBGRAPH["outputs"], "i"),
                                       operators=operators, name=sg.string(SUBGRAPH["name"])))
    model["buffers"] = [b.bytes_vector(BUFFER["data"]) for b in root.tables(MODEL["buffers"])]
    meta = root.tables(MODEL["metadata"])
    if meta is not None:
        model["metadata"] = [dict(name=m.string(METADATA["name"]),
                                  buffer=m.scalar(METADATA["buffer"], "I")) for m in meta]
    sigs = root.tables(MODEL["signature_defs"])
    if sigs is not None:
        model["signature_defs"] = [
            dict(inputs=[(m.string(TENSOR_MAP["name"]), m.scalar(TENSOR_MAP["tensor_index"], "I"))
                         for m in s.tables(SIGNATURE_DEF["inputs"])],
                 outputs=[(m.string(TENSOR_MAP["name"]), m.scalar(TENSOR_MAP["tensor_index"], "I"))
                          for m in s.tables(SIGNATURE_DEF["outputs"])],
                 signature_key=s.string(SIGNATURE_DEF["signature_key"]),
                 subgraph_index=s.scalar(SIGNATURE_DEF["subgraph_index"], "I"))
            for s in sigs]
    return model


def fall_model_weights(model):
    """(w1, b1, w2, b2, w3, b3) of a fall model as float32 arrays."""
    sg = model["subgraphs"][0]
    expected = [t["name"] for t in
                fall_model_description(*[np.zeros(s) for s in _WEIGHT_SHAPES])
                ["subgraphs"][0]["tensors"]]
    if [t["name"] for t in sg["tensors"]] != expected:
        raise ValueError("not the fall model: its tensors are not the fall model's")

    def buf(tensor_index):
        t = sg["tensors"][tensor_index]
        return np.frombuffer(model["buffers"][t["buffer"]], dtype="<f4").reshape(t["shape"])

    return buf(5), buf(1), buf(6), buf(3), buf(7), buf(2)


def forward(weights, windows):
    """The model's forward pass in float32, as the runtime computes it (up to
    summation order): windows is [n, 150]; returns [n, 2]."""
    w1, b1, w2, b2, w3, b3 = weights
    x = np.asarray(windows, dtype=np.float32)
    h1 = np.maximum(x @ w1.T + b1, np.float32(0))
    h2 = np.maximum(h1 @ w2.T + b2, np.float32(0))
    z = h2 @ w3.T + b3
    with np.errstate(over="ignore"):  # exp overflowing to inf gives the right 0
        return (np.float32(1) / (np.float32(1) + np.exp(-z))).astype(np.float32)
