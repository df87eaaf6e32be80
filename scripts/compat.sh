#!/usr/bin/env bash
# `make compat`: the README's test command in fresh Debian roots, one per
# release, each with that release's own FFmpeg, Python and compiler: by
# default those of bookworm (FFmpeg 5.1), trixie (7.1) and sid (the newest)
# that the machine itself is not. Every run tests a new clone of this
# checkout (its committed state plus changes to tracked files); the roots
# themselves are kept and reused.
#
#   COMPAT_RELEASES  releases to test
#   COMPAT_ROOTS     where the roots live (default /var/cache/quorvex-av-compat)
#   COMPAT_MIRROR    Debian archive to install from (default: the one this
#                    machine's apt sources name)
#   COMPAT_TEST_ARGS extra arguments for pytest inside the roots
#   COMPAT_PREPARE   1: only make the roots and install their packages
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
. scripts/common.sh

own_release=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
default_releases=()
for release in bookworm trixie sid; do
  [ "$release" = "$own_release" ] || default_releases+=("$release")
done
read -r -a releases <<<"${COMPAT_RELEASES:-${default_releases[*]}}"
roots=${COMPAT_ROOTS:-/var/cache/quorvex-av-compat}
logs=$checkout/build/compat
packages=(build-essential cmake pkg-config git make python3 python3-venv python3-dev
          ffmpeg libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev)
# Snapshot mirrors serve Release files past their Valid-Until date.
apt_options=(-o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false -q)

if [ "$(id -u)" -ne 0 ]; then
  exec sudo --preserve-env=COMPAT_RELEASES,COMPAT_ROOTS,COMPAT_MIRROR,COMPAT_TEST_ARGS,COMPAT_PREPARE "$0" "$@"
fi

mirror=${COMPAT_MIRROR:-$(find_mirror || true)}
if [ -z "$mirror" ]; then
  echo "no Debian archive found in /etc/apt; set COMPAT_MIRROR" >&2
  exit 2
fi

apt_install_missing debootstrap
trap unmount_all EXIT

mount_root() {
  local root=$1
  mkdir -p "$root/proc" "$root/dev"
  mount --bind /proc "$root/proc" && mounted+=("$root/proc")
  mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev" && mounted+=("$root/dev")
  cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  cp -L /etc/hosts "$root/etc/hosts" 2>/dev/null || true
}

# The machine's certificate authorities, which pip needs to reach the package
# index. Copied after any package installation, which rewrites the bundle.
share_certificates() {
  local root=$1
  if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    mkdir -p "$root/etc/ssl/certs"
    cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
  fi
}

# Creates the root of a release once (a half-made one is started over) and
# installs whatever of the package list it lacks.
prepare_root() {
  local release=$1 root=$roots/$1
  if [ ! -f "$root/.ready" ]; then
    rm -rf "$root"
    mkdir -p "$roots"
    echo "[$release] creating the root from $mirror"
    debootstrap --variant=minbase "$release" "$root" "$mirror" >"$logs/$release-root.log" 2>&1 || {
      tail -n 20 "$logs/$release-root.log"
      return 1
    }
    echo "deb $mirror $release main" >"$root/etc/apt/sources.list"
    touch "$root/.ready"
  fi
  mount_root "$root"
  local missing=()
  for package in "${packages[@]}"; do
    in_root "$root" dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q "install ok installed" || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "[$release] installing ${#missing[@]} package(s)"
    {
      in_root "$root" apt-get "${apt_options[@]}" update
      in_root "$root" apt-get "${apt_options[@]}" install -y "${missing[@]}"
      in_root "$root" apt-get clean
    } >>"$logs/$release-root.log" 2>&1 || {
      tail -n 20 "$logs/$release-root.log"
      return 1
    }
  fi
  share_certificates "$root"
}

# A clone of the checkout as it stands: `git stash create` records changes
# to tracked files without touching the work tree.
source_revision=$(git stash create 2>/dev/null || true)
source_revision=${source_revision:-$(git rev-parse HEAD)}

run_release() {
  local release=$1 root=$roots/$1
  local log=$logs/$release.log
  prepare_root "$release"
  rm -rf "$root/srv/quorvex_av"
  git clone -q --no-checkout "$checkout" "$root/srv/quorvex_av"
  git -C "$root/srv/quorvex_av" fetch -q "$checkout" "$source_revision"
  git -C "$root/srv/quorvex_av" -c advice.detachedHead=false checkout -q FETCH_HEAD
  local ffmpeg_version python_version
  ffmpeg_version=$(in_root "$root" pkg-config --modversion libavcodec libavformat libavutil | paste -sd/)
  python_version=$(in_root "$root" python3 -c 'import platform; print(platform.python_version())')
  echo "[$release] python $python_version, libavcodec/libavformat/libavutil $ffmpeg_version"
  local status=0
  # PyTorch's CPU build is a wheel on this machine's disk for its own Python
  # only; from the package index the roots would get the CUDA build (several
  # GB), so their tests run without torch (the main `make test` runs them).
  in_root "$root" QUORVEX_TEST_TORCH=skip \
    bash -c "cd /srv/quorvex_av && make test PYTEST_ARGS='${COMPAT_TEST_ARGS:-}'" \
    >"$log" 2>&1 || status=$?
  unmount_all
  local summary
  summary=$(grep -E '^(=+ )?[0-9]+ (passed|failed)|^=+ .*(passed|failed|error).* =+$' "$log" | tail -n 1)
  results+=("$(printf '%-8s python %-7s  av %-22s %s  %s' "$release" "$python_version" \
    "$ffmpeg_version" "$([ $status -eq 0 ] && echo ok || echo FAILED)" "${summary:-no test summary}")")
  if [ $status -ne 0 ]; then
    failed=1
    echo "[$release] failed; the end of $log:"
    tail -n 60 "$log"
  fi
}

mkdir -p "$logs"
results=()
failed=0
if [ "${COMPAT_PREPARE:-0}" = 1 ]; then
  for release in "${releases[@]}"; do
    prepare_root "$release"
    unmount_all
  done
  echo "roots ready: ${releases[*]}"
  exit 0
fi
for release in "${releases[@]}"; do
  run_release "$release"
done
echo
echo "make test per release:"
printf '  %s\n' "${results[@]}"
exit $failed
