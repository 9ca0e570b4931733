#!/usr/bin/env bash
# The Debian roots that the portable wheels are built against and tested in,
# made with mmdebstrap from Debian's archive once per machine and reused:
#
#   scripts/debian_root.sh path NAME           makes the root when missing, prints its folder
#   scripts/debian_root.sh run NAME [VAR=VALUE ...] -- COMMAND [ARG ...]
#                                              runs COMMAND as root inside it
#
# NAME                    suite     arch   what it holds
# bookworm-arm64          bookworm  arm64  Debian 12's Python 3.11, venv, unicode-data: tests the cp311 aarch64 wheel
# trixie-arm64            trixie    arm64  Debian 13's Python 3.13, venv, unicode-data: tests the cp313 aarch64 wheel
# bookworm-amd64          bookworm  amd64  Python 3.11, g++, no simdjson: builds and tests the sdist
# headers-bookworm-arm64  bookworm  arm64  libpython3.11-dev, unpacked only: the cp311 aarch64 headers
# headers-trixie-arm64    trixie    arm64  libpython3.13-dev, unpacked only: the cp313 aarch64 headers
#
# Roots live in $BRENVOLT_ROOTS (default /var/cache/brenvolt-roots), outside
# any work tree; a root is made in a temporary folder and renamed when
# complete, so an interrupted run leaves nothing half made. arm64 roots run
# through qemu-user-static and the kernel's binfmt_misc; the script installs
# mmdebstrap, qemu-user-static and binfmt-support with apt-get when missing
# and registers the emulator. Needs root (sudo is used when not root).
#
# `run` gives the command a mount namespace of its own: /proc, /dev, a fresh
# /tmp, the machine's DNS and CA settings, this work tree read-write at
# /src/brenvolt and ../shared (the corpus) read-only at /src/shared. The
# mounts end with the command.
set -euo pipefail
cd "$(dirname "$0")/.."

roots="${BRENVOLT_ROOTS:-/var/cache/brenvolt-roots}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo

usage() {
  sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

# What a test root needs: Python with venv (pip comes from ensurepip), a
# shell and the commands every Debian has (scripts the tests run use them),
# the C++ runtime every Debian has (numpy's and pyarrow's wheels load it;
# brenvolt's must not, which the wheels' file checks hold them to), the
# Unicode data the escape tests read, CA
# certificates for pip. The arm64 roots are only unpacked (variant extract):
# configuring packages would run their scripts under the emulator, which
# takes many minutes, and nothing the tests use needs it.
test_packages=python3,python3-venv,dash,bash,coreutils,findutils,grep,sed,tar,gzip,libstdc++6,unicode-data,ca-certificates

# suite arch variant packages
definition() {
  case "$1" in
    bookworm-arm64) echo "bookworm arm64 extract $test_packages" ;;
    trixie-arm64) echo "trixie arm64 extract $test_packages" ;;
    bookworm-amd64) echo "bookworm amd64 apt python3,python3-venv,python3-dev,g++,unicode-data,ca-certificates" ;;
    headers-bookworm-arm64) echo "bookworm arm64 extract libpython3.11-dev" ;;
    headers-trixie-arm64) echo "trixie arm64 extract libpython3.13-dev" ;;
    *) echo "debian_root.sh: unknown root '$1'" >&2; usage ;;
  esac
}

install_tools() {
  local arch="$1" missing=() package
  local packages=(mmdebstrap)
  [ "$arch" = arm64 ] && packages+=(qemu-user-static binfmt-support)
  for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "debian_root.sh: installing ${missing[*]} with apt-get" >&2
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# arm64 programs run through qemu only while binfmt_misc knows the emulator.
enable_emulation() {
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    $sudo mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    $sudo update-binfmts --enable qemu-aarch64
  fi
  if ! grep -q '^enabled' /proc/sys/fs/binfmt_misc/qemu-aarch64; then
    echo "debian_root.sh: qemu-aarch64 is registered but disabled in binfmt_misc" >&2
    exit 1
  fi
}

make_root() {
  local name="$1" suite arch variant packages
  read -r suite arch variant packages <<<"$(definition "$name")"
  local root="$roots/$name"
  install_tools "$arch"
  # .complete holds the definition the root was made from; a root made from
  # another one is made again.
  if [ -f "$root/.complete" ] && [ "$(cat "$root/.complete")" = "$suite $arch $variant $packages" ]; then
    echo "$root"
    return 0
  fi
  $sudo mkdir -p "$roots"
  $sudo rm -rf "$root.tmp"
  echo "debian_root.sh: making $root (Debian $suite, $arch: $packages); once per machine" >&2
  local begin=$SECONDS
  # The mirror is the one apt uses here; mmdebstrap's default otherwise.
  $sudo mmdebstrap --quiet --arch="$arch" --variant="$variant" --include="$packages" \
    --aptopt='Acquire::Retries "3"' "$suite" "$root.tmp" >&2
  echo "$suite $arch $variant $packages" | $sudo tee "$root.tmp/.complete" >/dev/null
  $sudo rm -rf "$root"
  $sudo mv "$root.tmp" "$root"
  echo "debian_root.sh: $root made in $((SECONDS - begin))s" >&2
  echo "$root"
}

run_in_root() {
  local name="$1"
  shift
  local variables=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    variables+=("$1")
    shift
  done
  [ $# -gt 1 ] || usage
  shift
  local root arch
  root=$(make_root "$name")
  # Making a root unpacks it without running anything; running in an arm64
  # one needs the emulator, on a fresh machine registered here.
  read -r _ arch _ <<<"$(definition "$name")"
  if [ "$arch" = arm64 ]; then enable_emulation; fi
  local shared
  shared=$(cd .. && pwd)/shared
  # The commands of the namespace read their arguments from the environment.
  $sudo unshare --mount --propagation private env ROOT="$root" WORK="$PWD" SHARED="$shared" bash -euo pipefail -c '
      mount -t proc proc "$ROOT/proc"
      mount --rbind /dev "$ROOT/dev"
      mount -t tmpfs tmpfs "$ROOT/tmp"
      mkdir -p "$ROOT/src/brenvolt" "$ROOT/src/shared"
      mount --bind "$WORK" "$ROOT/src/brenvolt"
      if [ -d "$SHARED" ]; then mount --bind -o ro "$SHARED" "$ROOT/src/shared"; fi
      touch "$ROOT/etc/resolv.conf"
      mount --bind /etc/resolv.conf "$ROOT/etc/resolv.conf"
      if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
        mkdir -p "$ROOT/etc/ssl/certs"
        touch "$ROOT/etc/ssl/certs/ca-certificates.crt"
        mount --bind /etc/ssl/certs/ca-certificates.crt "$ROOT/etc/ssl/certs/ca-certificates.crt"
      fi
      exec chroot "$ROOT" "$@"
    ' bash env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    ${http_proxy:+http_proxy="$http_proxy"} ${https_proxy:+https_proxy="$https_proxy"} \
    "${variables[@]}" "$@"
}

[ $# -ge 2 ] || usage
command="$1"
shift
case "$command" in
  path) make_root "$1" ;;
  run) run_in_root "$@" ;;
  *) usage ;;
esac
