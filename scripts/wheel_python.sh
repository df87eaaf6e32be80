# shellcheck shell=bash
# A Python newer than Debian 11's own 3.9 inside the Debian 11 root (sourced
# by scripts/wheel_test.sh, which sets mirror, logs and apt_options).
#
# CPython 3.11 from the upstream tarball of Debian 12's python3.11 source
# package, configured without optimisations beyond the default -O3 (no PGO,
# no LTO), debug information or CPython's own test modules and suite (the
# wheel is what is tested, not the interpreter), built and
# installed inside the root into /opt/python3.11 against Debian 11's own
# libraries. Kept in the root, which lives in the cache: about ten minutes
# on two busy cores, once.

cpython_prefix=/opt/python3.11

ensure_cpython() {
  local root=$1
  [ -x "$root$cpython_prefix/bin/python3.11" ] && [ -f "$root$cpython_prefix/.built" ] && return
  local log=$logs/cpython.log begun=$SECONDS
  echo "[$(basename "$root")] building CPython 3.11 from Debian 12's python3.11 source package (log: $log)"
  echo "deb-src $mirror bookworm main" >"$root/etc/apt/sources.list.d/python-source.list"
  {
    in_root "$root" apt-get "${apt_options[@]}" update
    in_root "$root" apt-get "${apt_options[@]}" install -y gcc make libc6-dev libssl-dev zlib1g-dev \
      libffi-dev libbz2-dev liblzma-dev libsqlite3-dev xz-utils
    in_root "$root" sh -c 'rm -rf /usr/src/cpython && mkdir -p /usr/src/cpython && cd /usr/src/cpython &&
      apt-get -q source --download-only python3.11/bookworm &&
      tar -xzf python3.11_*.orig.tar.gz --strip-components=1'
    in_root "$root" apt-get clean
    in_root "$root" sh -c "cd /usr/src/cpython && ./configure -q --prefix=$cpython_prefix --disable-test-modules --with-ensurepip=install CFLAGS=-g0 &&
      nice -n 10 make -s -j$(nproc) && make -s install"
  } >"$log" 2>&1 || { tail -n 30 "$log"; return 1; }
  rm -rf "$root/usr/src/cpython"
  # multiprocessing's locks: configure probes POSIX semaphores through
  # /dev/shm, which is why the root's /dev is mounted before the build.
  in_root "$root" "$cpython_prefix/bin/python3.11" -c 'import ssl, zlib, ctypes, lzma, bz2, venv, multiprocessing.synchronize' ||
    { echo "CPython in $root lacks a module"; return 1; }
  touch "$root$cpython_prefix/.built"
  echo "[$(basename "$root")] CPython 3.11 built in $((SECONDS - begun)) s"
}
