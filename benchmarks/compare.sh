#!/usr/bin/env bash
# Whole-process comparison on real photographs: the program taking captures of
# a photograph served by the test camera (fakecam reading raw frames from a
# file) against jp2a (the ASCII-art page) plus ImageMagick's convert (the BMP)
# doing the same job on the same picture.
#
#   benchmarks/compare.sh [photo ...]
#
# Photos default to sample images of Debian's python3-skimage, plus one of them
# resized to 1920 x 1080. Each is timed for one capture per run and for
# COUNT captures per run (start-up spread over them), as medians.
#
# Environment: BUILD_DIR (default build; built when the program is missing),
# WIDTHS (page widths, default "200"), COUNT (default 20), RUNS (runs per
# command, default 15).
# Needs: jp2a imagemagick python3-skimage, and hyperfine (else a plain loop).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build}
widths=${WIDTHS:-200}
count=${COUNT:-20}
runs=${RUNS:-15}
skimage=/usr/lib/python3/dist-packages/skimage/data

fail() {
  echo "compare.sh: $*" >&2
  exit 1
}

# The real ImageMagick; another `convert` may come first on PATH.
convert=
for candidate in convert-im6.q16 magick convert; do
  if command -v "$candidate" >/dev/null && "$candidate" -version 2>/dev/null | grep -q ImageMagick; then
    convert=$(command -v "$candidate")
    break
  fi
done
[ -n "$convert" ] || fail "ImageMagick not found (apt-get install imagemagick)"
command -v jp2a >/dev/null || fail "jp2a not found (apt-get install jp2a)"

if (($# == 0)); then
  [ -d "$skimage" ] || fail "no photo given and $skimage missing (apt-get install python3-skimage)"
  set -- "$skimage/astronaut.png" "$skimage/coffee.png" "coffee@1920x1080"
fi

program=$build/ConsoleExample
plugin_dir=$build/tests/plugins/fakecam
if [ ! -x "$program" ] || [ ! -f "$plugin_dir/libvidmote.so" ]; then
  cmake -S . -B "$build" -DBUILD_TESTING=ON >/dev/null
  cmake --build "$build" -j2 --target ConsoleExample fakecam_fakecam >/dev/null
fi
program=$(realpath "$program")
plugin_dir=$(realpath "$plugin_dir")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# median_ms <command>: median wall time of $runs runs and, with hyperfine,
# the mean CPU time (user + system; steadier on a busy machine), in ms.
median_ms() {
  if command -v hyperfine >/dev/null; then
    hyperfine --style none --warmup 2 --min-runs "$runs" --max-runs "$runs" \
      --prepare "rm -f $work/out/*" --export-json "$work/t.json" "$1" >/dev/null 2>>"$work/hyperfine.log"
    python3 -c 'import json,sys; r = json.load(open(sys.argv[1]))["results"][0]
print("%.2f %.2f" % (1000 * r["median"], 1000 * (r["user"] + r["system"])))' "$work/t.json"
  else
    local times=() start end
    for ((i = 0; i < runs; i++)); do
      rm -f "$work"/out/*
      start=$(date +%s%N)
      bash -c "$1" || return 1
      end=$(date +%s%N)
      times+=($(((end - start) / 1000)))
    done
    printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.2f -\n", a[int((NR+1)/2)]/1000}'
  fi
}

# ratio a b: a / b to one decimal, or - when either is unknown.
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-") print "-"; else printf "%.1f\n", a / b }'
}

echo "timer: $(command -v hyperfine >/dev/null && hyperfine --version || echo 'shell loop'), $runs runs each, medians"
echo "peer: $(jp2a --version 2>&1 | head -1) --html --width=C, then $($convert -version | head -1 | cut -d' ' -f2-3) convert photo.ppm photo.bmp"
printf '\n| photo | size | width | captures | program ms | jp2a+convert ms | peer / program | program ms per capture | program CPU ms | peer CPU ms | CPU peer / program |\n'
printf '|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n'
mkdir -p "$work/out"
for photo in "$@"; do
  if [[ $photo == *@* ]]; then  # name@WxH: a skimage photo resized
    source=$skimage/${photo%@*}.png
    "$convert" "$source" -resize "${photo#*@}!" "$work/photo.png" 2>/dev/null
  else
    "$convert" "$photo" "$work/photo.png" 2>/dev/null
  fi
  # The same picture three ways: PNG for jp2a, PPM for convert, and the raw
  # frame the camera serves (bottom-up rows of blue, green, red bytes).
  "$convert" "$work/photo.png" "$work/photo.ppm" 2>/dev/null
  "$convert" "$work/photo.png" -flip -depth 8 "bgr:$work/frame.raw" 2>/dev/null
  size=$("$convert" "$work/photo.png" -format '%w %h' info: 2>/dev/null)
  export LD_LIBRARY_PATH=$plugin_dir FAKECAM_SIZE=$size FAKECAM_FRAMES=$work/frame.raw
  for width in $widths; do
    for n in 1 "$count"; do
      { echo "$width"; for ((i = 0; i < n; i++)); do echo; done; echo q; } >"$work/input.txt"
      ours="cd $work/out && $program <$work/input.txt >/dev/null"
      peer="cd $work/out && for i in \$(seq $n); do jp2a --html --width=$width --output=p\$i.html $work/photo.png 2>/dev/null && $convert $work/photo.ppm p\$i.bmp; done"
      timing=$(median_ms "$ours")  # a failed run ends the script
      read -r ours_ms ours_cpu <<<"$timing"
      # The run must have left every file: a failed capture is no result.
      [ -f "$work/out/R$(printf %05d $((n - 1))).html" ] && [ -f "$work/out/g.bmp" ] ||
        fail "the program did not write its files for $photo"
      timing=$(median_ms "$peer")
      read -r peer_ms peer_cpu <<<"$timing"
      printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$(basename "${photo%@*}")" \
        "${size/ /x}" "$width" "$n" "$ours_ms" "$peer_ms" "$(ratio "$peer_ms" "$ours_ms")" \
        "$(ratio "$ours_ms" "$n")" "$ours_cpu" "$peer_cpu" "$(ratio "$peer_cpu" "$ours_cpu")"
    done
  done
done
