#!/bin/sh
# Regenerates every PNG under resources/ from the SVG sources in this folder.
# The build does not run this: the PNGs are committed. Needs rsvg-convert
# (Debian package librsvg2-bin).
set -eu

src=$(cd "$(dirname "$0")" && pwd)
out=$(dirname "$src")
icons="$out/img/icons/WinOrvex"
mkdir -p "$icons"

# render SOURCE OUTPUT [SIZE]: SIZE scales the drawing; without it the
# source's own pixel size is used (the sources hinted for one size).
render() {
    if [ $# -eq 3 ]; then
        rsvg-convert --width "$3" --height "$3" --output "$2" "$1"
    else
        rsvg-convert --output "$2" "$1"
    fi
    echo "$2"
}

# Application icon: small sizes have their own hinted drawings, the larger
# ones are scaled from the scalable icon of the desktop entry.
for size in 16 22 24 32 48; do
    render "$src/app-$size.svg" "$icons/$size.png"
done
for size in 64 128 256; do
    render "$out/winorvex.svg" "$icons/$size.png" "$size"
done
render "$out/winorvex.svg" "$out/logo_red.png" 128
render "$src/logo-red-shadow.svg" "$out/logo_red_shadow.png"

render "$src/ok-64.svg" "$out/ok_64x64.png"
render "$src/warning-16.svg" "$out/warning_16x16.png"
render "$src/warning-32.svg" "$out/warning_32x32.png"
render "$src/warning-64.svg" "$out/warning_64x64.png"
render "$src/error-32.svg" "$out/error_32x32.png"
render "$src/retry-32.svg" "$out/retry_32x32.png"
render "$src/gear-16.svg" "$out/gear_16x16.png"
render "$src/gear-64.svg" "$out/gear_64x64.png"
render "$src/led-green-16.svg" "$out/greenled_16x16.png"
render "$src/led-red-16.svg" "$out/redled_16x16.png"
render "$src/net-failed-32.svg" "$out/net_failed_32x32.png"
render "$src/drive-16.svg" "$out/drive_16x16.png"
render "$src/folder-16.svg" "$out/folder_16x16.png"
render "$src/file-16.svg" "$out/file_16x16.png"
