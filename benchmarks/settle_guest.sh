#!/usr/bin/env bash
# The guest's half of settle_compare.sh: starts the emulated webcam, then
# times each capture from start to its saved picture, RUNS times in turn.
#   settle_guest.sh BUILD_DIR RUNS CONVERGE_FRAMES
set -uo pipefail
build=$1 runs=$2 converge=$3
out=/run/share/settle
mkdir -p "$out"
product="Settle Test Camera"

"$build/tests/uvc_webcam" --formats yuyv --converge-frames "$converge" --product "$product" \
  --log "$out/webcam.log" &
webcam=$!
device=
for _ in $(seq 300); do
  for node in /sys/class/video4linux/*; do
    [ "$(cat "$node/name" 2>/dev/null)" = "$product" ] && [ "$(cat "$node/index")" = 0 ] &&
      device=/dev/$(basename "$node")
  done
  [ -n "$device" ] && break
  sleep 0.1
done
[ -n "$device" ] || { echo "no webcam"; kill $webcam; exit 1; }
echo "webcam at $device"

# One capture: NAME PICTURE COMMAND... (run in a fresh folder; PICTURE is
# the file it leaves there).
capture() {
  local name=$1 picture=$2 run=$3
  shift 3
  local dir=$out/$name-$run
  mkdir -p "$dir"
  local start end status
  start=$(date +%s.%N)
  (cd "$dir" && "$@" >stdout.txt 2>stderr.txt)
  status=$?
  end=$(date +%s.%N)
  echo "$name $run $status $(echo "$end - $start" | bc) $dir/$picture" >>"$out/times.txt"
  sleep 1 # the webcam's stream stops before the next one starts
}

fsw() { fswebcam -d "$device" -r 640x480 --no-banner --png 1 -S "$1" out.png; }
for run in $(seq "$runs"); do
  capture console R00000.bmp "$run" env VIDMOTE_DEVICE="$device" sh -c \
    "printf '200\n\nq\n' | '$build/ConsoleExample'"
  for skip in 0 10 25 35; do
    capture "fswebcam-S$skip" out.png "$run" bash -c "$(declare -f fsw); device=$device; fsw $skip"
  done
  capture ffmpeg out.bmp "$run" ffmpeg -nostdin -v error -f v4l2 -video_size 640x480 -i "$device" \
    -frames:v 1 out.bmp
done
kill $webcam
wait $webcam 2>/dev/null
exit 0
