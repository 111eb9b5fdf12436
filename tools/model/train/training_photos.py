#!/usr/bin/python3
"""training_photos: picks the training pictures out of unpacked packages that the quality benchmark
does not use, into one flat folder with a PROVENANCE.tsv (name, package, path, version, kind).

Kept: pictures of at least 256 pixels on their long side, no more than three times as long as they are
wide, that look photographic enough to train on:
not the technical maps of game textures (normal, bump, gloss, glow, specular, height maps, told by
their names), not nearly uniform, not mostly transparent, and not a near-repeat of one already kept
(the same 16 x 16 thumbnail). Game texture packages share pictures with the benchmark's textures, so
every picture that looks like one of the benchmark's (--benchmark: its grey 16 x 16 thumbnail, as it is
or mirrored, correlates above 0.95 with one of theirs) is left out too. JPEGs are copied as they are;
other formats are written as PNG.

usage: training_photos.py UNPACKED OUT [--benchmark DIR]        (UNPACKED/PKG/... as dpkg-deb -x and unzip left it, with
                                             the package's version in UNPACKED/PKG/.version)"""

import hashlib
import os
import re
import sys

import numpy as np
from PIL import Image

# Maps a game engine lays over a texture (normals, bumps, specular highlights, ...) and clothing
# parts, named by a suffix: not pictures anyone would look for.
TECHNICAL = re.compile(r"(_|-)(norm|normal|nm|bump|gloss|glow|s(?:pec|pecular)|height|local|luma|shirt|pants|"
                       r"reflect|alpha|mask|lightmap)s?\b", re.IGNORECASE)
EXTENSIONS = (".jpg", ".jpeg", ".png", ".tga")
MINIMUM_LONG_SIDE = 256
LONGEST_ASPECT = 3.0
LIKENESS_TO_BENCHMARK = 0.95


def grey_thumbnail(rgb):
    """The 16 x 16 grey thumbnail with zero mean and unit variance, flattened."""
    values = np.asarray(rgb.convert("L").resize((16, 16), Image.BILINEAR), dtype=np.float64)
    return ((values - values.mean()) / (values.std() + 1e-6)).ravel()


def benchmark_thumbnails(directory):
    rows = []
    for name in sorted(os.listdir(directory)):
        if name.lower().endswith(EXTENSIONS + (".webp",)):
            with Image.open(os.path.join(directory, name)) as picture:
                rows.append(grey_thumbnail(picture))
    return np.stack(rows)


def like_benchmark(rgb, benchmark):
    thumbnail = grey_thumbnail(rgb)
    mirrored = grey_thumbnail(rgb.transpose(Image.FLIP_LEFT_RIGHT))
    return max((benchmark @ thumbnail).max(), (benchmark @ mirrored).max()) / thumbnail.size > LIKENESS_TO_BENCHMARK


def usable(path):
    """The picture as RGB when it is worth training on, else None."""
    if TECHNICAL.search(os.path.splitext(os.path.basename(path))[0]):
        return None
    try:
        with Image.open(path) as picture:
            if max(picture.size) < MINIMUM_LONG_SIDE or max(picture.size) > LONGEST_ASPECT * min(picture.size):
                return None
            if picture.mode in ("RGBA", "LA", "P"):
                rgba = picture.convert("RGBA")
                if np.asarray(rgba)[:, :, 3].mean() < 200:
                    return None
            rgb = picture.convert("RGB")
    except (OSError, ValueError):
        return None
    values = np.asarray(rgb, dtype=np.float32)
    if values.std() < 12:
        return None
    return rgb


def main():
    if len(sys.argv) not in (3, 5) or (len(sys.argv) == 5 and sys.argv[3] != "--benchmark"):
        sys.exit(__doc__)
    unpacked, out = sys.argv[1:3]
    benchmark = benchmark_thumbnails(sys.argv[4]) if len(sys.argv) == 5 else None
    os.makedirs(out, exist_ok=True)
    seen = set()
    rows = []
    for package in sorted(os.listdir(unpacked)):
        version_path = os.path.join(unpacked, package, ".version")
        version = open(version_path).read().strip() if os.path.exists(version_path) else ""
        for root, _, files in sorted(os.walk(os.path.join(unpacked, package))):
            for file in sorted(files):
                if not file.lower().endswith(EXTENSIONS):
                    continue
                path = os.path.join(root, file)
                rgb = usable(path)
                if rgb is None or (benchmark is not None and like_benchmark(rgb, benchmark)):
                    continue
                thumbnail = np.asarray(rgb.resize((16, 16), Image.BILINEAR), dtype=np.uint8) // 16
                fingerprint = hashlib.sha1(thumbnail.tobytes()).hexdigest()
                if fingerprint in seen:
                    continue
                seen.add(fingerprint)
                inside = os.path.relpath(path, os.path.join(unpacked, package))
                stem = re.sub(r"[^A-Za-z0-9._-]", "_", package + "__" + os.path.splitext(inside)[0])
                if file.lower().endswith((".jpg", ".jpeg")):
                    name = stem + ".jpg"
                    with open(path, "rb") as source, open(os.path.join(out, name), "wb") as target:
                        target.write(source.read())
                else:
                    name = stem + ".png"
                    rgb.save(os.path.join(out, name))
                rows.append((name, package, inside, version, "train"))
    with open(os.path.join(out, "PROVENANCE.tsv"), "w") as file:
        file.write("name\tpackage\tpath\tversion\tkind\n")
        for row in rows:
            file.write("\t".join(row) + "\n")
    print(f"training_photos: {len(rows)} pictures in {out}")


if __name__ == "__main__":
    main()
