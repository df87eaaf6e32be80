# shellcheck shell=bash
# Helpers shared by the project's scripts (sourced): wheels, Debian roots, instrumented builds.

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages of the arguments that are missing. CI runs
# some of the scripts at once (.ci/run): they take turns, through a lock
# of their own and by waiting for dpkg's.
apt_install_missing() {
  local missing=() package lock=/run/lock/quorvex-av-apt.lock
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    [ -w "$(dirname "$lock")" ] || lock=${TMPDIR:-/tmp}/quorvex-av-apt.lock
    (
      flock 9
      as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
      DEBIAN_FRONTEND=noninteractive as_root apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends "${missing[@]}"
    ) 9>"$lock"
  fi
}

# The first Debian archive named by the machine's apt sources, in either the
# one-line or the deb822 format.
find_mirror() {
  local files=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
  cat "${files[@]}" 2>/dev/null |
    grep -E '^[[:space:]]*(deb(-src)?[[:space:]]|URIs:)' |
    grep -oE '(https?|file)://[^[:space:]]+' |
    grep -vE 'security' | grep -E '/debian/?$' | head -n 1
}

# Mounts made in roots, undone in reverse order by unmount_all (set as an
# EXIT trap by the scripts that mount).
mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${mounted[i]}" 2>/dev/null || umount -lR "${mounted[i]}" 2>/dev/null || true
  done
  mounted=()
}

# Runs a command inside a root with a clean environment that reaches the
# package index through the machine's certificate authorities.
in_root() {
  local root=$1
  shift
  chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt PIP_CERT=/etc/ssl/certs/ca-certificates.crt \
    REQUESTS_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
    PIP_DEFAULT_TIMEOUT=180 "$@"
}

# build_instrumented BUILD-DIR CMAKE-OPTION VENV: the extension built with a
# sanitizer (the CMake option that turns it on) against VENV's interpreter,
# and staged with the package's Python files in BUILD-DIR/package, a
# directory to put first on PYTHONPATH.
# python_identity PYTHON: its release, build and ABI flags, which tell an
# environment or a build made by another interpreter (another release, a
# rebuild) from one made by this.
python_identity() {
  "$1" -c 'import sys; print(sys.version, sys.abiflags)'
}

build_instrumented() {
  local build=$1 option=$2 venv=$3
  [ -x "$venv/bin/cmake" ] && [ -x "$venv/bin/ninja" ] || "$venv/bin/python" -m pip install -q cmake ninja
  # CMake's cache keeps the paths of the interpreter it was configured with:
  # one since replaced (another release, a rebuild) starts the build afresh.
  local identity
  identity=$(python_identity "$venv/bin/python")
  [ "$(cat "$build/.python" 2>/dev/null)" = "$identity" ] || rm -rf "$build"
  mkdir -p "$build"
  echo "$identity" >"$build/.python"
  PATH="$PWD/$venv/bin:$PATH" cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-D$option=ON" -DQUORVEX_WERROR=ON -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
  PATH="$PWD/$venv/bin:$PATH" cmake --build "$build"
  local staged="$build/package/quorvex_av"
  mkdir -p "$staged"
  cp quorvex_av/*.py quorvex_av/py.typed "$staged/"
  cp "$build"/_av*.so "$staged/"
}
