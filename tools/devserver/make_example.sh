#!/usr/bin/env bash
# make_example.sh <content dir>
#
# Builds the example content that the development server serves:
#   packages/reelmaker.tar.gz   ReelMaker.app, the product (launched after install)
#   packages/codecs.tar.gz      ReelCodecs.app, a second package
#   images/progress.png         the progress page's picture
#   config.ini.in               the configuration, with @BASE_URL@ for the server's address
#                               and each package's sha256 and size
#
# Each product's program is a shell script that appends
# "<Name> launched <date>" to $HOME/zentak-demo-launch.log and exits.
# EXAMPLE_PAYLOAD_KIB sets the size of the filler each package carries, so
# that downloads take a few progress steps (default 1024).
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <content dir>" >&2
  exit 2
fi
content=$1
examples="$(cd "$(dirname "$0")/../.." && pwd)/examples"
payload_kib=${EXAMPLE_PAYLOAD_KIB:-1024}

mkdir -p "$content/packages" "$content/images"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# make_package <Name> <package id> <filler KiB>
make_package() {
  local name=$1 id=$2 kib=$3
  local app="$work/$id/$name.app"
  mkdir -p "$app/Contents/MacOS" "$app/Contents/Resources"
  sed -e "s/@NAME@/$name/g" -e "s/@ID@/$id/g" "$examples/product/launcher.sh.in" \
    >"$app/Contents/MacOS/$name"
  chmod 755 "$app/Contents/MacOS/$name"
  sed -e "s/@NAME@/$name/g" -e "s/@ID@/$id/g" "$examples/product/Info.plist.in" \
    >"$app/Contents/Info.plist"
  # Random filler does not compress, so the archive keeps its size.
  head -c "$((kib * 1024))" /dev/urandom >"$app/Contents/Resources/filler.bin"
  tar -czf "$content/packages/$id.tar.gz" -C "$work/$id" "$name.app"
}

make_package ReelMaker reelmaker "$payload_kib"
make_package ReelCodecs codecs "$((payload_kib / 2))"

# A small gradient picture, written as a PNG by hand so no image tool is needed.
python3 - "$content/images/progress.png" <<'EOF'
import struct
import sys
import zlib

width, height = 320, 120
raw = bytearray()
for y in range(height):
    raw.append(0)  # filter: none
    for x in range(width):
        raw += bytes((x * 255 // width, 90, 255 - y * 255 // height))


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


png = (b"\x89PNG\r\n\x1a\n"
       + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
       + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
       + chunk(b"IEND", b""))
with open(sys.argv[1], "wb") as out:
    out.write(png)
EOF

# The configuration names each package's SHA-256 and size.
substitutions=()
for id in reelmaker codecs; do
  file="$content/packages/$id.tar.gz"
  # python3 and wc rather than sha256sum and stat -c, which macOS lacks.
  sha256=$(python3 -c 'import hashlib, sys; print(hashlib.sha256(open(sys.argv[1], "rb").read()).hexdigest())' "$file")
  substitutions+=(-e "s/@SHA256_${id}@/$sha256/")
  substitutions+=(-e "s/@SIZE_${id}@/$(wc -c <"$file" | tr -d ' ')/")
done
sed "${substitutions[@]}" "$examples/config.ini.in" >"$content/config.ini.in"
echo "Example content written to $content"
