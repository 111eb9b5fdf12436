#!/usr/bin/env bash
# Puts the fidelity test's photographs in DEST: five of the sample photographs of Debian's
# python3-skimage package (astronaut, cat, coffee, rocket, motorcycle), fetched with apt-get
# download and unpacked with dpkg-deb, never committed. Does nothing when DEST already has them.
set -euo pipefail
dest=${1:?usage: model_fidelity_test.photos.sh DEST}
photos=(astronaut.png chelsea.png coffee.png rocket.jpg motorcycle_left.png)

have_all=true
for photo in "${photos[@]}"; do [ -s "$dest/$photo" ] || have_all=false; done
$have_all && exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # apt-get download writes as the _apt user where it can
(cd "$work" && apt-get download -q python3-skimage >/dev/null)
dpkg-deb -x "$work"/python3-skimage_*.deb "$work/unpacked"
data=$(find "$work/unpacked" -type d -path '*/skimage/data' | head -n 1)
[ -n "$data" ] || { echo "model_fidelity_test.photos.sh: no skimage/data in python3-skimage" >&2; exit 1; }
mkdir -p "$dest"
for photo in "${photos[@]}"; do cp "$data/$photo" "$dest/$photo"; done
