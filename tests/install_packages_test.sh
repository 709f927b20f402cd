#!/usr/bin/env bash
# tools/install_packages.sh against stand-in apt-get, apt-cache and dpkg on
# PATH that answer like mirrors out of step: one table row a case.
set -euo pipefail
installer=$(cd "$(dirname "$0")/.." && pwd)/tools/install_packages.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The stand-ins read $MIRROR, lines of:
#   update-fails               apt-get update fails on one index, as a mirror mid-sync
#   offer NAME ARCH VERSION... versions on offer, newest first
#   same NAME                  NAME is Multi-Arch: same
#   held NAME VERSION          NAME is installed at VERSION
#   needs PIN...               the i386 install resolves only with these NAME[:ARCH]=VERSION
#                              (apt names the first two missing, and a library already in step)
#   removes NAME               the install would remove NAME until NAME is pinned
#   solver3                    apt 3.0 (Debian 13) adds its solver's account of unmet dependencies
# and log each real install in $MIRROR.log, each added architecture in $MIRROR.arch.
mkdir "$work/bin"
cat >"$work/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
case $1 in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "$MIRROR.arch" 2>/dev/null || true ;;
  --add-architecture) echo "$2" >>"$MIRROR.arch" ;;
esac
EOF
cat >"$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
args=() simulate=
while (($#)); do
  case $1 in
    -o) shift ;;
    -s) simulate=1 ;;
    -*) ;;
    *) args+=("$1") ;;
  esac
  shift
done
if [ "${args[0]}" = update ]; then
  grep -qx update-fails "$MIRROR" || exit 0
  echo "E: Failed to fetch http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
  exit 100
fi
if [ -z "$simulate" ]; then
  echo "${args[*]:1}" >>"$MIRROR.log"
  exit 0
fi
given=" ${args[*]} "
missing=()
if [[ $given == *:i386* ]]; then
  for pin in $(sed -n 's/^needs //p' "$MIRROR"); do
    [[ $given == *" $pin "* ]] || missing+=("$pin")
  done
fi
if ((${#missing[@]})); then
  echo "The following packages have unmet dependencies:"
  for pin in "${missing[@]:0:2}"; do
    echo " libwine:i386 : Depends: ${pin%%=*} (>= 1.0) but it is not going to be installed"
  done
  echo "                Depends: zlib1g:i386 (>= 1:1.1.4) but it is not going to be installed"
  echo "E: Unable to correct problems, you have held broken packages."
  grep -qx solver3 "$MIRROR" && cat <<'SOLVER'
E: The following information from --solver 3.0 may provide additional context:
   Unable to satisfy dependencies. Reached two conflicting decisions:
   1. libwine:i386 is not selected for install
   2. libwine:i386 is selected for install because:
      1. wine32:i386=10.0~repack-6 is selected for install
      2. wine32:i386 Depends libwine:i386 (= 10.0~repack-6)
SOLVER
  exit 100
fi
for name in $(sed -n 's/^removes //p' "$MIRROR"); do
  [[ $given != *:i386* || $given == *" $name="* ]] || echo "Remv $name [0]"
done
echo "Inst ${args[*]:1}"
EOF
cat >"$work/bin/apt-cache" <<'EOF'
#!/usr/bin/env bash
verb=$1
shift
[ "$1" != --no-all-versions ] || shift
for package; do
  name=${package%:*} arch=amd64
  [ "$name" = "$package" ] || arch=${package#*:}
  case $verb in
    madison)
      sed -n "s/^offer $name $arch //p" "$MIRROR" | tr ' ' '\n' | while read -r version; do
        echo "   $package | $version | http://mirror.invalid/debian bookworm/main $arch Packages"
      done ;;
    show)
      echo "Package: $name"
      grep -qx "same $name" "$MIRROR" && echo "Multi-Arch: same"
      echo ;;
    policy)
      echo "$package:"
      echo "  Installed: $(sed -n "s/^held $name //p" "$MIRROR" | grep . || echo '(none)')" ;;
  esac
done
EOF
chmod +x "$work/bin"/*

# case NAME MIRROR STATUS STDERR LOG: runs the installer for "wine wine32:i386"
# and compares its exit status, standard error and the installs it made.
failures=0 cases=0
case_() {
  local name=$1 status=0 err
  cases=$((cases + 1))
  export MIRROR=$work/$name
  printf '%s\n' "$2" >"$MIRROR"
  err=$(PATH=$work/bin:$PATH "$installer" wine wine32:i386 2>&1 >/dev/null) || status=$?
  local log
  log=$(cat "$MIRROR.log" 2>/dev/null || true)
  if [ "$status" != "$3" ] || [ "$err" != "$4" ] || [ "$log" != "$5" ] ||
    [ "$(cat "$MIRROR.arch")" != i386 ]; then
    printf 'FAIL: %s\nstatus %s (wanted %s)\nstderr:\n%s\nwanted:\n%s\ninstalls:\n%s\nwanted:\n%s\n' \
      "$name" "$status" "$3" "$err" "$4" "$log" "$5" >&2
    failures=$((failures + 1))
  fi
}

# The machine already holds the amd64 security versions that the i386 index
# of the security suite, which did not load, would offer. libexpat1 and libgd3
# come to light only once libssl3 is aligned; libssl-dev, of the machine's
# own, follows libssl3 on amd64 alone; zlib1g is in step and is left as it is.
case_ partial-index "update-fails
offer libssl3 amd64 3.0.22-1 3.0.20-1
offer libssl3 i386 3.0.20-1 3.0.17-1
same libssl3
held libssl3 3.0.22-1
offer libexpat1 amd64 2.5.0-1+deb12u2 2.5.0-1
offer libexpat1 i386 2.5.0-1
same libexpat1
held libexpat1 2.5.0-1+deb12u2
offer libgd3 amd64 2.3.3-9+deb12u1 2.3.3-9
offer libgd3 i386 2.3.3-9
same libgd3
offer zlib1g amd64 1:1.2.13.dfsg-1
offer zlib1g i386 1:1.2.13.dfsg-1
same zlib1g
held zlib1g 1:1.2.13.dfsg-1
offer libssl-dev amd64 3.0.22-1 3.0.20-1
offer libssl-dev i386 3.0.20-1
same libssl-dev
held libssl-dev 3.0.22-1
needs libssl3:i386=3.0.20-1 libexpat1:i386=2.5.0-1 libgd3:i386=2.3.3-9
removes libssl-dev" 0 \
  "install_packages: warning: package indices not loaded, going on without them: http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz
install_packages: aligned on one version for amd64 and i386: libexpat1 2.5.0-1, libssl3 3.0.20-1, libgd3 2.3.3-9, libssl-dev 3.0.20-1" \
  "wine
wine32:i386 libexpat1=2.5.0-1 libexpat1:i386=2.5.0-1 libssl3=3.0.20-1 libssl3:i386=3.0.20-1 libgd3=2.3.3-9 libgd3:i386=2.3.3-9 libssl-dev=3.0.20-1"

# No version of a library is on offer for both: nothing is installed for i386.
case_ no-common-version "update-fails
offer libssl3 amd64 3.0.22-1
offer libssl3 i386 3.0.20-1
same libssl3
held libssl3 3.0.22-1
needs libssl3:i386=3.0.20-1" 1 \
  "install_packages: warning: package indices not loaded, going on without them: http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz
install_packages: libssl3: no version is offered for both amd64 and i386 (amd64: 3.0.22-1, i386: 3.0.20-1); the mirrors are out of step, try again later" \
  "wine"

# Debian 13's apt, whose report of unmet dependencies goes on with its
# solver's account: only the report's own lines name packages.
case_ apt-3 "solver3
offer libssl3t64 amd64 3.5.4-1~deb13u2 3.5.1-1
offer libssl3t64 i386 3.5.1-1
same libssl3t64
held libssl3t64 3.5.4-1~deb13u2
needs libssl3t64:i386=3.5.1-1" 0 \
  "install_packages: aligned on one version for amd64 and i386: libssl3t64 3.5.1-1" \
  "wine
wine32:i386 libssl3t64=3.5.1-1 libssl3t64:i386=3.5.1-1"

# A library installed newer than either index offers (its suite's index
# missing for both): moved down to the newest version both offer.
case_ installed-newer "offer libssl3 amd64 3.0.22-1 3.0.20-1
offer libssl3 i386 3.0.22-1 3.0.20-1
same libssl3
held libssl3 3.0.23-1
needs libssl3:i386=3.0.22-1" 0 \
  "install_packages: aligned on one version for amd64 and i386: libssl3 3.0.22-1" \
  "wine
wine32:i386 libssl3=3.0.22-1 libssl3:i386=3.0.22-1"

# Mirrors in step: apt's own choice, nothing said.
case_ in-step "offer libssl3 amd64 3.0.22-1
offer libssl3 i386 3.0.22-1
same libssl3" 0 "" "wine
wine32:i386"

echo "$((cases - failures)) passed, $failures failed"
((failures == 0))
