#!/usr/bin/env bash
# install_packages.sh PACKAGE...: installs Debian packages by name, as root
# (NAME, or NAME:i386 for the 32-bit side), on a machine whose package mirrors
# may be out of step with each other:
# - an index that fails to load is a warning, not the end;
# - the machine's own packages are installed first, then the i386 ones;
# - when apt cannot install because a library that both architectures must
#   hold at one version (Multi-Arch: same) is offered at different versions
#   (one architecture's index of a suite missing, say), that library is
#   aligned on the newest version both offer, and the install tried again.
# It never removes a package, and fails only when apt does or no common
# version exists.
set -euo pipefail

say() { echo "install_packages: $*" >&2; }
(($#)) || {
  echo "usage: $0 PACKAGE..." >&2
  exit 2
}
export DEBIAN_FRONTEND=noninteractive
apt_get=(apt-get -o DPkg::Lock::Timeout=600 -o Dpkg::Use-Pty=0)
native=$(dpkg --print-architecture)

own=() foreign=()
for package; do
  if [[ $package == *:* && $package != *:"$native" ]]; then foreign+=("$package"); else own+=("$package"); fi
done
for arch in $(printf '%s\n' "${foreign[@]}" | sed -n 's/.*:\(.*\)/\1/p' | sort -u); do
  dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done

if ! log=$("${apt_get[@]}" update -q 2>&1); then
  failed=$(sed -nE 's/^[EW]: Failed to fetch ([^ ]+).*/\1/p' <<<"$log" | paste -sd ' ')
  say "warning: package indices not loaded, going on without them: ${failed:-$(tail -n1 <<<"$log")}"
fi

# The packages apt's report of unmet dependencies speaks of: NAME for the
# machine's own, NAME:ARCH for another architecture's.
unmet_packages() {
  sed -n '/have unmet dependencies:/,/^E:/p' |
    grep -oE '^ [^ ]+ :|(Depends|Breaks|Conflicts): [^ ]+' | sed -E 's/^ //; s/.*: //; s/ .*//' |
    sed "s/:$native\$//" | sort -u
}

pins=() aligned=()
# align ARCH PACKAGE...: moves the packages named to the newest version that
# both the machine's architecture and ARCH offer, where they are not there yet:
# a library that both must hold at one version (Multi-Arch: same) and that ARCH
# needs, on both architectures (exits when no common version exists); any other
# package of the machine's own, alone, to keep it in step with the libraries
# aligned (a -dev package, say). Fails when it moves nothing.
align() {
  local arch=$1 package name common ours theirs version
  shift
  local -A foreign=() offer=() same=() held=()
  local names=()
  for package; do
    name=${package%:"$arch"}
    [[ " ${names[*]} " == *" $name "* ]] || names+=("$name")
    [ "$name" = "$package" ] || foreign[$name]=1
  done
  set -- "${names[@]}"
  # One call of each kind for all names: apt-cache is slow on large lists.
  while read -r name version; do offer[$name]+="$version "; done < <(
    apt-cache madison "$@" "${@/%/:$arch}" 2>/dev/null |
      awk -F'|' '$3 ~ /Packages/ { gsub(/ /, "", $1); gsub(/ /, "", $2); print $1, $2 }')
  while read -r name; do same[$name]=1; done < <(apt-cache show --no-all-versions "$@" 2>/dev/null |
    awk '/^Package:/ { name = $2 } /^Multi-Arch: same$/ { print name }')
  while read -r name version; do held[$name]=$version; done < <(apt-cache policy "$@" 2>/dev/null |
    awk '/^[^ ]/ { sub(/:$/, ""); name = $0 } /^  Installed:/ && $2 != "(none)" { print name, $2 }')
  local moved=
  for name; do
    [[ " ${pins[*]} " != *" $name="* ]] || continue
    ours=${offer[$name]:-} theirs=${offer[$name:$arch]:-} common=
    for version in $ours; do
      [[ " $theirs" == *" $version "* ]] && common=$version && break
    done
    local both=${same[$name]:+${foreign[$name]:-}}
    if [ -z "$common" ]; then
      [ -n "$both" ] && [ -n "$ours" ] && [ -n "$theirs" ] || continue
      say "$name: no version is offered for both $native and $arch" \
        "($native: ${ours%% *}, $arch: ${theirs%% *}); the mirrors are out of step, try again later"
      exit 1
    fi
    [ "${ours%% *}" = "$common" ] && [ "${held[$name]:-$common}" = "$common" ] &&
      { [ -z "$both" ] || [ "${theirs%% *}" = "$common" ]; } && continue
    pins+=("$name=$common")
    [ -z "$both" ] || pins+=("$name:$arch=$common")
    aligned+=("$name $common")
    moved=1
  done
  [ -n "$moved" ]
}

# install ARCH PACKAGE...: ARCH is the other architecture whose libraries
# they may need aligned with the machine's own, or "" for none.
install() {
  local arch=$1 round report names
  shift
  (($#)) || return 0
  pins=() aligned=()
  for round in 1 2 3 4 5 6 7 8 9 10; do
    if report=$("${apt_get[@]}" install -s --no-install-recommends --allow-downgrades \
      "$@" "${pins[@]}" 2>&1); then
      mapfile -t names < <(sed -n 's/^Remv \([^ ]*\).*/\1/p' <<<"$report" | sed "s/:$native\$//")
      if ((${#names[@]})); then
        [ -n "$arch" ] && align "$arch" "${names[@]}" && continue
        say "not installed, as it would remove: ${names[*]}"
        exit 1
      fi
      ((${#aligned[@]})) &&
        say "aligned on one version for $native and $arch: $(printf '%s\n' "${aligned[@]}" | paste -sd ',' | sed 's/,/, /g')"
      # Of what apt says on success only its errors and warnings are shown.
      local errors
      errors=$("${apt_get[@]}" install -y -qq --no-install-recommends --no-remove \
        --allow-downgrades "$@" "${pins[@]}" 2>&1 >/dev/null) || {
        echo "$errors" >&2
        exit 1
      }
      grep '^[EW]: ' <<<"$errors" >&2 || true
      return
    fi
    [ -n "$arch" ] || break
    mapfile -t names < <(unmet_packages <<<"$report")
    ((${#names[@]})) && align "$arch" "${names[@]}" || break
  done
  sed -n '/^E:/p; /unmet dependencies:/,$p' <<<"$report" | awk '!seen[$0]++' >&2
  exit 1
}

# The machine's own packages may need aligning too, with the i386 packages
# already installed.
install "$(dpkg --print-foreign-architectures | head -n1)" "${own[@]}"
install "$(printf '%s\n' "${foreign[@]}" | sed -n '1s/.*://p')" "${foreign[@]}"
