"""The learned parts file: what training adds to the npm model, small enough to keep in the repository.

Layout: the line "likeness-learned-parts 1", a line of JSON (the recipe and the arrays' places), then
the arrays' bytes, little-endian. Tuned weights are stored as float16 differences from the npm
model's float32 weights (the converter adds them in float32), the projection as float16 and its
bias as float32; a tuned weight that did not change is left out."""

import json

import numpy as np

MAGIC = b"likeness-learned-parts 1\n"


def write_learned_parts(path, original_weights, tuned_weights, matrix, bias, parts, tuned_blocks):
    """tuned_weights: Keras weight name -> trained array of the tuned blocks; matrix: 512 x columns;
    parts: (layer, pooling, values, weight) in the order the projection reads them."""
    arrays = []
    for name, value in sorted(tuned_weights.items()):
        delta = (value.astype(np.float32) - original_weights[name]).astype(np.float16)
        if np.any(delta):
            arrays.append(("delta:" + name, delta))
    arrays.append(("projection", matrix.astype(np.float16)))
    arrays.append(("projection_bias", bias.astype(np.float32)))
    entries, offset = [], 0
    for name, array in arrays:
        entries.append({"name": name, "type": str(array.dtype), "shape": list(array.shape), "offset": offset})
        offset += array.nbytes
    header = {
        "tuned_blocks": list(tuned_blocks),
        "parts": [{"layer": layer, "pooling": pooling, "values": values, "normalised": True, "scale": weight}
                  for layer, pooling, values, weight in parts],
        "normalised": True,
        "scale": 30.0,
        "arrays": entries,
    }
    with open(path, "wb") as file:
        file.write(MAGIC)
        file.write(json.dumps(header, separators=(",", ":")).encode() + b"\n")
        for _, array in arrays:
            file.write(array.astype(array.dtype.newbyteorder("<")).tobytes())


def read_learned_parts(path):
    """The header and name -> array of a learned parts file."""
    with open(path, "rb") as file:
        if file.readline() != MAGIC:
            raise ValueError(f"{path} is not a learned parts file")
        header = json.loads(file.readline())
        data = file.read()
    arrays = {}
    for entry in header["arrays"]:
        dtype = np.dtype(entry["type"]).newbyteorder("<")
        count = int(np.prod(entry["shape"]))
        arrays[entry["name"]] = np.frombuffer(data, dtype, count, entry["offset"]).reshape(entry["shape"])
    return header, arrays
