"""The feature's head as the converter builds it in the Caffe network (tools/model/KerasToCaffe.h):
pooled parts of the network's layers, a linear projection to 512 values, normalised to a fixed norm.

The network is split where the fine-tuning starts: everything up to block 6 is frozen and computed
once per picture (`frozen_parts`), blocks 7 to 10 are a tuned copy (`TunedBlocks`), and the head
reads both."""

import math

import torch
import torch.nn.functional as F

from mirror import KerasMirror

FEATURE_DIM = 512
FEATURE_NORM = 30.0
GEM_POWER = 3.0
SPECTRUM_GRID = 8
# The signed cosines: the grey picture averaged on a COSINE_GRID square grid, its two-dimensional
# cosine transform, and the frequencies (u, v) with u, v < COSINE_KEPT but the constant term.
COSINE_GRID = 32
COSINE_KEPT = 6

FROZEN_LAST = "block_6_project_BN"
FROZEN_POOLED = "block_6_expand_relu"
TUNED_BLOCKS = (7, 8, 9, 10)
TUNED_POOLED = ("block_10_depthwise_relu", "block_9_expand_relu")
# The tuned copy of a layer is named with this prefix in the converted network.
TUNED_PREFIX = "tuned_"

# The parts in the order they are concatenated: layer, pooling, values, weight before the projection.
# The tuned blocks' parts come first, then those of the frozen network (frozen_parts).
PARTS = (
    (TUNED_PREFIX + TUNED_POOLED[0], "gem", 384, 1.0),
    (TUNED_PREFIX + TUNED_POOLED[1], "gem", 384, 1.0),
    (FROZEN_POOLED, "gem", 192, 1.0),
    ("input_1", "spectrum", SPECTRUM_GRID * (SPECTRUM_GRID + 1) // 2 - 1, 0.2),
    ("input_1", "cosines", COSINE_KEPT * COSINE_KEPT - 1, 0.2),
)


def gem(value):
    """Generalised mean per channel: the cube root of the mean cube (inputs are ReLU outputs)."""
    return value.clamp(min=0).pow(GEM_POWER).mean(dim=(2, 3)).clamp(min=1e-12).pow(1.0 / GEM_POWER)


def l2(value, eps=1e-10):
    return value / torch.sqrt((value * value).sum(dim=1, keepdim=True) + eps)


def _cosine_basis(frequencies, positions):
    grid = torch.arange(positions, dtype=torch.float64)
    basis = torch.stack([torch.cos(math.pi * (2 * grid + 1) * u / (2.0 * positions)) for u in range(frequencies)])
    return basis  # frequencies x positions


def cosine_spectrum(input_1):
    """The magnitude spectrum the default recipe takes of the input (KerasToCaffe.h: cosineSpectrum)."""
    grid = F.avg_pool2d(input_1.double(), input_1.shape[2] // SPECTRUM_GRID).mean(dim=1)  # N x 8 x 8
    basis = _cosine_basis(SPECTRUM_GRID, SPECTRUM_GRID)
    coefficients = torch.einsum("uy,nyx,vx->nuv", basis, grid, basis).abs()
    values = [coefficients[:, u, v] + coefficients[:, v, u]
              for u in range(SPECTRUM_GRID) for v in range(u, SPECTRUM_GRID) if u + v > 0]
    return torch.stack(values, dim=1).float()


def signed_cosines(input_1):
    """Signed low frequencies of the grey picture: sensitive to the layout of light and dark as a
    perceptual hash is, and indifferent to pixelation, blur, noise and heavy compression."""
    grid = F.avg_pool2d(input_1.double(), input_1.shape[2] // COSINE_GRID).mean(dim=1)  # N x 32 x 32
    basis = _cosine_basis(COSINE_KEPT, COSINE_GRID)
    coefficients = torch.einsum("uy,nyx,vx->nuv", basis, grid, basis).flatten(1)[:, 1:]
    return coefficients.float()


def frozen_parts(mirror, input_1):
    """What the frozen network gives the head and the tuned blocks: block 6's output, and the pooled
    parts that do not depend on the tuned blocks (normalised, not yet weighted)."""
    blobs = mirror({"input_1": input_1}, [FROZEN_LAST, FROZEN_POOLED])
    fixed = torch.cat([l2(gem(blobs[FROZEN_POOLED])), l2(cosine_spectrum(input_1)), l2(signed_cosines(input_1))], 1)
    return blobs[FROZEN_LAST], fixed


def fixed_part_sizes():
    return tuple(size for _, _, size, _ in PARTS[len(TUNED_POOLED):])


def part_weights():
    """Each concatenated value's weight before the projection."""
    return torch.tensor([weight for _, _, size, weight in PARTS for _ in range(size)])


def tuned_layer_names(layers):
    prefixes = tuple(f"block_{block}_" for block in TUNED_BLOCKS)
    return {layer["name"] for layer in layers if layer["name"].startswith(prefixes)}


class TunedBlocks(torch.nn.Module):
    """Blocks 7 to 10 of the trunk, a copy of the network's own to be fine-tuned, and their pooled parts."""

    def __init__(self, layers, weights):
        super().__init__()
        self.mirror = KerasMirror(layers, weights, tuned_layer_names(layers))

    def forward(self, block_6):
        # Channels last: depthwise convolutions and their gradients run about twice as fast on a CPU.
        blobs = self.mirror({FROZEN_LAST: block_6.contiguous(memory_format=torch.channels_last)}, list(TUNED_POOLED))
        return torch.cat([l2(gem(blobs[name])) for name in TUNED_POOLED], 1)


class Head(torch.nn.Module):
    """Weights the parts, projects them to 512 values and normalises the result to FEATURE_NORM."""

    def __init__(self, columns, part_weights):
        super().__init__()
        self.register_buffer("part_weights", part_weights)
        self.projection = torch.nn.Linear(columns, FEATURE_DIM)

    def forward(self, parts, unit=False):
        value = l2(self.projection(parts * self.part_weights))
        return value if unit else value * FEATURE_NORM
