"""The record a model file carries of the subjects it was trained on, so
that a summary can say when a run measures a model on its own training
data: a TFLite metadata entry named tumblebench_training_subjects whose
buffer is UTF-8 JSON, data set name to the subject folders of that data set
the model was trained on:

    {"fallalld": [], "kfall": ["SA06", "SA07"], "sisfall": ["SA01", "SA51"]}

The training writes it (training.tflite_writer.with_training_subjects); the
runtime skips metadata, so a model with the record runs as one without."""

import json
import struct

from .flatbuffer_tables import Table

METADATA_NAME = "tumblebench_training_subjects"
FILE_IDENTIFIER = b"TFL3"
# Vtable slots of the TFLite schema's Model, Metadata and Buffer tables.
_MODEL_BUFFERS, _MODEL_METADATA = 4, 6
_METADATA_NAME, _METADATA_BUFFER = 0, 1
_BUFFER_DATA = 0


class RecordError(ValueError):
    """A record, or a model file, that cannot be read as one."""


def check(subjects):
    """The record as {data set: sorted subject folders}; RecordError when it
    is not an object of lists of names."""
    if not isinstance(subjects, dict):
        raise RecordError("the training record is not an object of data sets")
    out = {}
    for data_set, folders in subjects.items():
        if not isinstance(data_set, str) or not data_set:
            raise RecordError("the training record names a data set %r" % (data_set,))
        if not isinstance(folders, list) or not all(isinstance(f, str) and f for f in folders):
            raise RecordError("the training record's %s entry is not a list of subject folders" % data_set)
        out[data_set.lower()] = sorted(set(folders))
    return out


def encode(subjects):
    return json.dumps(check(subjects), sort_keys=True, separators=(",", ":")).encode("utf-8")


def decode(data):
    try:
        return check(json.loads(bytes(data).decode("utf-8")))
    except (UnicodeDecodeError, ValueError) as e:
        if isinstance(e, RecordError):
            raise
        raise RecordError("the training record is not UTF-8 JSON: %s" % e)


def read(model):
    """The training record of a model file's bytes; None when the model
    carries none. RecordError for a file that is not a TFLite model or whose
    record cannot be read."""
    model = bytes(model)
    if len(model) < 8 or model[4:8] != FILE_IDENTIFIER:
        raise RecordError("not a TFLite model file (no TFL3 identifier)")
    try:
        root = Table(model, struct.unpack_from("<I", model, 0)[0])
        entries = root.tables(_MODEL_METADATA) or []
        for entry in entries:
            if entry.string(_METADATA_NAME) != METADATA_NAME:
                continue
            buffers = root.tables(_MODEL_BUFFERS) or []
            index = entry.scalar(_METADATA_BUFFER, "I")
            if index >= len(buffers):
                raise RecordError("the training record names buffer %d of %d" % (index, len(buffers)))
            return decode(buffers[index].bytes_vector(_BUFFER_DATA) or b"")
    except (struct.error, IndexError, UnicodeDecodeError) as e:
        raise RecordError("the model file's metadata cannot be read: %s" % e)
    return None


def trained_on(record, run_subjects):
    """{data set: subject folders} of the run that the model was trained on.
    run_subjects: {data set: subject folders} of the run."""
    return {name: sorted(set(folders) & set(record.get(name, ())))
            for name, folders in run_subjects.items() if set(folders) & set(record.get(name, ()))}
