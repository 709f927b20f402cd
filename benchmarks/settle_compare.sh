#!/usr/bin/env bash
# From start to a saved picture on the emulated USB webcam, whose picture
# brightens to its level over its first frames like auto exposure: the time
# and the picture's mean brightness against the settled one, for this
# program's default capture and for fswebcam and ffmpeg. One guest boot.
#
#   benchmarks/settle_compare.sh BUILD_DIR [RUNS] [CONVERGE_FRAMES]
#
# BUILD_DIR holds ConsoleExample, libvidmote.so and tests/uvc_webcam. RUNS
# (default 3) captures of each kind; CONVERGE_FRAMES (default 30, a second
# at 30 fps). The guest's files stay in BUILD_DIR/settle-guest;
# SETTLE_REPORT_ONLY=1 prints the table of the last run again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:?usage: $0 BUILD_DIR [RUNS] [CONVERGE_FRAMES]}")
runs=${2:-3}
converge=${3:-30}

for package in fswebcam ffmpeg; do
  if ! command -v "$package" >/dev/null; then
    [ "$(id -u)" -eq 0 ] || { echo "$package is missing (apt-get install $package)" >&2; exit 1; }
    apt-get -o DPkg::Lock::Timeout=900 install -y "$package"
  fi
done

work=$build/settle-guest
if [ -z "${SETTLE_REPORT_ONLY:-}" ]; then
  GUEST_USB=1 GUEST_CAMERA=0 GUEST_SECONDS=${GUEST_SECONDS:-1500} \
    "$here/../tests/guest/run-guest.sh" "$work" "$here/settle_guest.sh" "$build" "$runs" "$converge"

fi
results=$work/share/settle
settled=$(sed -n 's/^settled mean luma //p' "$results/webcam.log" | tail -n 1)
# A picture's mean luma, as ffmpeg's BT.601 gray (limited range, as the
# webcam's YUYV is) makes it.
mean_luma() {
  ffmpeg -nostdin -v error -i "$1" -vf format=gray -f rawvideo - |
    od -An -v -tu1 -w4096 | awk '{ for (i = 1; i <= NF; ++i) s += $i; n += NF } END { printf "%.1f", s / n }'
}
echo "settled mean luma: $settled ($converge frames to converge)"
printf '%-14s %4s %7s %7s %7s %7s\n' what runs "min s" "mean s" "max s" ratio
while read -r name; do
  grep "^$name " "$results/times.txt" | while read -r _ run status seconds picture; do
    picture=$work/share/${picture#/run/share/} # the guest's path on this side
    if [ "$status" = 0 ] && [ -f "$picture" ]; then
      echo "$seconds $(mean_luma "$picture")"
    else
      echo "$seconds failed"
    fi
  done | awk -v name="$name" -v settled="$settled" '
    { t[NR] = $1; s += $1; if ($2 == "failed") bad++; else r = r sprintf(" %.2f", $2 / settled) }
    END { min = max = t[1]; for (i in t) { if (t[i] < min) min = t[i]; if (t[i] > max) max = t[i] }
          printf "%-14s %4d %7.2f %7.2f %7.2f %s%s\n", name, NR, min, s / NR, max, r,
                 bad ? sprintf(" (%d failed)", bad) : "" }'
done < <(awk '{ print $1 }' "$results/times.txt" | awk '!seen[$0]++')
