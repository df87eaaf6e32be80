#!/usr/bin/env bash
# `make wheel-test [ARCH=...]`: the wheels in dist/ on machines without
# FFmpeg, each where it is meant to run.
#
#   x86_64   a bare Debian 11 root (glibc 2.31, with CPython 3.11 built from
#            source, Debian 11's Python being 3.9) and a bare Debian 12 root
#            (glibc 2.36, Debian's Python 3.11): the clips and the whole
#            test suite in each; the free-threaded wheel in the Debian 12
#            root with the free-threaded CPython of scripts/ft_python.sh
#            (mounted from this machine's cache), the same;
#   aarch64  a bare arm64 Debian 12 root run through qemu-user (binfmt_misc):
#            the clips and the readers' tests (WHEEL_TEST_AARCH64_ARGS, say
#            "tests", for more); the free-threaded wheel there with the
#            free-threaded CPython cross-built for it, the same and the
#            tests of objects shared by threads.
#
# Each bare root is `debootstrap --variant=minbase` plus its Python, checked
# to hold no FFmpeg library. It gets a fresh venv with the wheel and its test
# extra; there the wheel decodes clips of every codec and container it is
# built for, each compared with the ffmpeg tool's decoding of the same file
# (scripts/wheel_check.py), and then the package's tests run against it.
#
# The clips and the suite's references come from the ffmpeg tool of a tools
# root (x86_64 Debian 13, the FFmpeg release the wheels carry). It is mounted
# inside a bare root only after the check for FFmpeg libraries, and reached
# through two wrapper scripts on the suite's PATH that run the tool there, in
# the same directory: the work directory and /tmp are the same in both roots.
# Both the check and the suite read the libraries mapped into their own
# process (/proc/self/maps) and fail unless every FFmpeg library in it is one
# the wheel vendors.
#
#   WHEEL_TEST_ARCH    the architectures to test (default: those in dist/)
#   WHEEL_TEST_ROOTS   where the roots live (default /var/cache/quorvex-av-wheel;
#                      made on the first run, reused after)
#   WHEEL_TEST_MIRROR  Debian archive to install from (default: the one this
#                      machine's apt sources name)
#   WHEEL_TEST_ARGS    extra arguments for pytest in the x86_64 roots
#   WHEEL_TEST_AARCH64_ARGS  what pytest runs in the arm64 root
#   WHEEL_TEST_PREPARE 1: only make the roots (no wheel needed)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
checkout=$PWD

if [ "$(id -u)" -ne 0 ]; then
  exec sudo --preserve-env=FT_PYTHON_CACHE,WHEEL_TEST_ARCH,WHEEL_TEST_ROOTS,WHEEL_TEST_MIRROR,WHEEL_TEST_ARGS,WHEEL_TEST_AARCH64_ARGS,WHEEL_TEST_PREPARE \
    "$0" "$@"
fi

# Per architecture its abi3 wheel and its free-threaded one (either may be
# missing, not both).
declare -A wheel_of=() ft_wheel_of=()
default_arches=()
only_one() {  # only_one ARCH WHEEL...: the one wheel, or nothing
  [ -f "$2" ] || return 0
  [ $# -eq 2 ] || { echo "more than one $1 wheel of a kind in dist/: ${*:2}" >&2; exit 2; }
  echo "$2"
}
for arch in x86_64 aarch64; do
  wheel_of[$arch]=$(only_one "$arch" dist/quorvex_av-*-cp310-abi3-manylinux_*_"$arch".whl)
  ft_wheel_of[$arch]=$(only_one "$arch" dist/quorvex_av-*-cp3*-cp3*t-manylinux_*_"$arch".whl)
  [ -z "${wheel_of[$arch]}${ft_wheel_of[$arch]}" ] || default_arches+=("$arch")
done
prepare_only=${WHEEL_TEST_PREPARE:-0}
[ "$prepare_only" != 1 ] || default_arches=(x86_64 aarch64)
read -r -a arches <<<"${WHEEL_TEST_ARCH:-${default_arches[*]}}"
if [ ${#arches[@]} -eq 0 ]; then
  echo "no wheel in dist/ (make wheel)" >&2
  exit 2
fi
for arch in "${arches[@]}"; do
  [ -n "${wheel_of[$arch]:-}${ft_wheel_of[$arch]:-}" ] || [ "$prepare_only" = 1 ] ||
    { echo "no $arch wheel in dist/ (make wheel ARCH=$arch)" >&2; exit 2; }
done

roots=${WHEEL_TEST_ROOTS:-/var/cache/quorvex-av-wheel}
tools=$roots/trixie-tools
work=$roots/work                 # shared by all the roots, at $inside in each
inside=/srv/quorvex-wheel-test
tools_at=/opt/ffmpeg-tools       # where the tools root appears in a bare root
logs=$checkout/build/wheel-test
ft_cache=${FT_PYTHON_CACHE:-/var/cache/quorvex-av-ft}   # scripts/ft_python.sh's
apt_options=(-o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false -q)
started=$SECONDS

mirror=${WHEEL_TEST_MIRROR:-$(find_mirror || true)}
if [ -z "$mirror" ]; then
  echo "no Debian archive found in /etc/apt; set WHEEL_TEST_MIRROR" >&2
  exit 2
fi
apt_install_missing debootstrap
if [[ " ${arches[*]} " == *" aarch64 "* && "$(uname -m)" != aarch64 ]]; then
  . scripts/wheel_qemu.sh
  ensure_qemu aarch64
fi
. scripts/wheel_python.sh
mkdir -p "$logs"

trap unmount_all EXIT
# Mounts left in the roots by a run that was killed.
awk -v roots="$roots/" 'index($2, roots) == 1 {print $2}' /proc/self/mounts | sort -r |
  while read -r target; do umount -l "$target" 2>/dev/null || true; done

bind() {  # bind SOURCE TARGET [--rbind]
  mkdir -p "$2"
  mount "${3:---bind}" "$1" "$2"
  mounted+=("$2")
}

# Makes a root once (a half-made one is started over; a foreign one in two
# stages, the second under qemu), mounts /proc and /dev in it and installs
# whatever of the given packages it lacks.
prepare_root() {
  local release=$1 root=$2 debian_arch=$3
  shift 3
  local log
  log=$logs/$(basename "$root").log
  if [ ! -f "$root/.ready" ]; then
    rm -rf --one-file-system "$root"
    mkdir -p "$roots"
    echo "[$(basename "$root")] creating the root from $mirror"
    if [ "$debian_arch" = "$(dpkg --print-architecture)" ]; then
      debootstrap --variant=minbase "$release" "$root" "$mirror" >"$log" 2>&1 || { tail -n 20 "$log"; return 1; }
    else
      { debootstrap --variant=minbase --arch="$debian_arch" --foreign "$release" "$root" "$mirror" &&
        chroot "$root" /debootstrap/debootstrap --second-stage; } >"$log" 2>&1 || { tail -n 20 "$log"; return 1; }
    fi
    echo "deb $mirror $release main" >"$root/etc/apt/sources.list"
    touch "$root/.ready"
  fi
  bind /proc "$root/proc"
  bind /dev "$root/dev" --rbind
  mount --make-rslave "$root/dev"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  cp -L /etc/hosts "$root/etc/hosts" 2>/dev/null || true
  local missing=() package
  for package in "$@"; do
    in_root "$root" dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q "install ok installed" || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "[$(basename "$root")] installing ${missing[*]}"
    {
      in_root "$root" apt-get "${apt_options[@]}" update
      in_root "$root" apt-get "${apt_options[@]}" install -y "${missing[@]}"
      in_root "$root" apt-get clean
    } >>"$log" 2>&1 || { tail -n 20 "$log"; return 1; }
  fi
  # The machine's certificate authorities, for pip; after apt, which rewrites
  # the bundle.
  if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    mkdir -p "$root/etc/ssl/certs"
    cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
  fi
}

prepare_root trixie "$tools" amd64 ffmpeg

# WHEEL_TEST_PREPARE=1: the roots made (downloads, and the Debian 11 root's
# CPython) and the free-threaded interpreters built, nothing tested, so that
# CI can do this beside the other suites (the wheel build, which needs the
# interpreters too, waits for them or finds them built).
if [ "$prepare_only" = 1 ]; then
  for arch in "${arches[@]}"; do
    if [ "$arch" = x86_64 ]; then
      prepare_root bullseye "$roots/bullseye-bare" amd64
      ensure_cpython "$roots/bullseye-bare"
      prepare_root bookworm "$roots/bookworm-bare" amd64 python3 python3-venv
      bash scripts/ft_python.sh >/dev/null
    else
      prepare_root bookworm "$roots/bookworm-arm64-bare" arm64 python3 python3-venv
      FT_PYTHON_ARCH=aarch64 bash scripts/ft_python.sh >/dev/null
    fi
  done
  echo "wheel test roots ready in $((SECONDS - started)) s"
  exit 0
fi

# The work directory: the wheels, the suite (the checkout's files without the
# package and its sources; pytest's cache, which keeps the suite's clips,
# survives between runs), the checks, the tool wrappers and the clips.
mkdir -p "$work"
find "$work/suite" -mindepth 1 -maxdepth 1 ! -name .pytest_cache -exec rm -rf {} + 2>/dev/null || true
rm -rf "${work:?}"/venv-* "${work:?}/wheel" "${work:?}/media" "${work:?}/bin" "${work:?}/check"
mkdir -p "$work/wheel" "$work/media" "$work/bin" "$work/check" "$work/suite"
for arch in "${arches[@]}"; do
  for wheel in "${wheel_of[$arch]}" "${ft_wheel_of[$arch]}"; do [ -z "$wheel" ] || cp "$wheel" "$work/wheel/"; done
done
cp scripts/wheel_check.py "$work/check/"
git ls-files -co --exclude-standard | grep -vE '^(quorvex_av|src)/' |
  while IFS= read -r file; do [ ! -e "$file" ] || printf '%s\n' "$file"; done |
  tar -cf - -T - | tar -xf - -C "$work/suite"
find "$work/suite" -name __pycache__ -prune -exec rm -rf {} +
bind "$work" "$tools$inside"
for tool in ffmpeg ffprobe; do
  cat >"$work/bin/$tool" <<EOF
#!/bin/sh
# The $tool tool of the Debian 13 root at $tools_at, run in the same directory.
exec /usr/sbin/chroot $tools_at /bin/sh -c 'cd "\$1" && shift && exec /usr/bin/$tool "\$@"' $tool "\$PWD" "\$@"
EOF
  chmod +x "$work/bin/$tool"
done
echo "[tools] $(in_root "$tools" ffmpeg -version | head -n 1)"
. scripts/wheel_clips.sh
make_clips

# test_in NAME ROOT RELEASE DEBIAN-ARCH PYTHON WHEEL PYTEST-ARGUMENTS...: the
# wheel in the bare root ROOT with the interpreter PYTHON (Debian's python3,
# the Debian 11 root's own CPython, or a free-threaded one of this machine's
# cache, mounted at the same path); its status in $status_of[NAME].
declare -A status_of=() summary_of=()
test_in() {
  local name=$1 root=$roots/$2 release=$3 debian_arch=$4 root_python=$5 wheel
  wheel=$(basename "$6")
  shift 6
  local venv=$inside/venv-$name
  # Debian's Python, or (for a free-threaded one) the libraries it links.
  local packages=(python3 python3-venv)
  [ "$root_python" != "$cpython_prefix/bin/python3.11" ] || packages=()
  prepare_root "$release" "$root" "$debian_arch" "${packages[@]}"
  [ "$root_python" != "$cpython_prefix/bin/python3.11" ] || ensure_cpython "$root"
  bind "$work" "$root$inside"
  local ft_prefix=
  if [ "$root_python" != "${root_python#"$ft_cache"/}" ]; then
    ft_prefix=$(dirname "$(dirname "$root_python")")
    bind "$ft_prefix" "$root$ft_prefix"
  fi
  local status=0
  echo "[$name] python $(in_root "$root" "$root_python" -c 'import platform, sysconfig
print(platform.python_version() + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')," \
    "glibc $(in_root "$root" getconf GNU_LIBC_VERSION | cut -d' ' -f2), $(in_root "$root" uname -m):" \
    "installing $wheel with its test extra into a fresh venv"
  {
    in_root "$root" "$root_python" -m venv "$venv" &&
    if [ -z "$ft_prefix" ]; then
      in_root "$root" "$venv/bin/pip" install "$inside/wheel/$wheel[test]"
    else
      # Wheels only, as in make test-ft: the newest NumPy may have none for
      # this interpreter, and the root has no compiler. Of the test extra,
      # what has a wheel for it.
      in_root "$root" env PIP_ONLY_BINARY=:all: "$venv/bin/pip" install "$inside/wheel/$wheel" &&
      in_root "$root" "$venv/bin/python" "$inside/suite/scripts/install_test_requirements.py"
    fi
  } >"$logs/$name-install.log" 2>&1 || { tail -n 30 "$logs/$name-install.log"; exit 1; }
  grep -h "^no wheel for" "$logs/$name-install.log" || true

  # No FFmpeg library in the bare root but the wheel's own: no package of
  # FFmpeg's, nothing the dynamic linker knows of, no file anywhere outside
  # the work directory (which holds the venvs).
  echo "[$name] looking for FFmpeg libraries outside the venv"
  in_root "$root" sh -c "
    set -e
    if dpkg-query -W -f='\${Package} \${Status}\n' 'libav*' 'libsw*' 'libpostproc*' 'ffmpeg' 'libdav1d*' 2>/dev/null |
       grep ' installed\$'; then echo 'FFmpeg packages are installed' >&2; exit 1; fi
    if ldconfig -p | grep -E 'lib(av|sw|postproc|dav1d)'; then echo 'the linker knows FFmpeg libraries' >&2; exit 1; fi
    found=\$(find / \\( -path /proc -o -path /sys -o -path /dev -o -path $inside -o -path $tools_at \\) -prune \
      -o \\( -name 'libav*' -o -name 'libsw*' -o -name 'libpostproc*' -o -name 'libdav1d*' \\) -print)
    if [ -n \"\$found\" ]; then echo \"FFmpeg libraries outside the venv:\"; echo \"\$found\"; exit 1; fi
    echo '  none: no package, no ldconfig entry, no libav*/libsw*/libpostproc*/libdav1d* file'
    echo '  the wheel vendors:' \$(ls $venv/lib/python3*/site-packages/quorvex_av.libs)
  "

  # The tools root, mounted into the bare root with /tmp shared, so that a
  # path means the same file in both.
  bind "$root/tmp" "$tools/tmp"
  bind "$tools" "$root$tools_at" --rbind
  echo "[$name] decoding the clips with the wheel"
  in_root "$root" "$venv/bin/python" "$inside/check/wheel_check.py" "$inside/media" "${clips[@]}" || status=1
  echo "[$name] the command line"
  in_root "$root" "$venv/bin/quorvex-av" --version
  in_root "$root" "$venv/bin/quorvex-av" info "$inside/media/h264_aac.mp4" || status=1

  # PyTorch is left out of the venv, as in the compat roots: its tests skip.
  echo "[$name] the tests against the installed wheel: pytest $* (log: build/wheel-test/$name-pytest.log)"
  set +e
  in_root "$root" env PATH="$inside/bin:$venv/bin:/usr/bin:/bin" PYTHONPATH="$inside/check" \
    QUORVEX_TEST_TORCH=skip \
    sh -c 'cd "$1" && shift && exec pytest -p wheel_check -q "$@"' sh "$inside/suite" "$@" \
    2>&1 | tee "$logs/$name-pytest.log"
  local suite_status=${PIPESTATUS[0]}
  set -e
  [ "$suite_status" -eq 0 ] || status=1
  unmount_all
  status_of[$name]=$status
  summary_of[$name]=$(grep -E '^(=+ )?[0-9]+ (passed|failed)|^=+ .*(passed|failed|error).* =+$' \
    "$logs/$name-pytest.log" | tail -n 1)
  # The tools root's own mounts again, for the next bare root.
  prepare_root trixie "$tools" amd64 ffmpeg
  bind "$work" "$tools$inside"
}

read -r -a x86_args <<<"${WHEEL_TEST_ARGS:-}"
# The suite compares one cut of MP3 samples with the tool's bit for bit; the
# tool's run on x86_64, whose floating-point MP3 decoder rounds differently.
arm_default="tests/test_readers.py --deselect tests/test_readers.py::test_audio_is_cut_exactly[mp3-0-0.5-1.0]"
read -r -a arm_args <<<"${WHEEL_TEST_AARCH64_ARGS:-$arm_default}"
# On the free-threaded interpreter, the objects shared by threads too.
read -r -a arm_ft_args <<<"${WHEEL_TEST_AARCH64_ARGS:-$arm_default tests/test_threads.py}"
ran=()
run() {  # run NAME ROOT ARGUMENTS...: test_in, and the run noted
  test_in "$@"
  ran+=("$1")
}
for arch in "${arches[@]}"; do
  wheel=${wheel_of[$arch]} ft_wheel=${ft_wheel_of[$arch]}
  if [ "$arch" = x86_64 ]; then
    if [ -n "$wheel" ]; then
      run bullseye-bare bullseye-bare bullseye amd64 "$cpython_prefix/bin/python3.11" "$wheel" "${x86_args[@]}"
      run bookworm-bare bookworm-bare bookworm amd64 python3 "$wheel" "${x86_args[@]}"
    fi
    if [ -n "$ft_wheel" ]; then
      run bookworm-ft bookworm-bare bookworm amd64 "$(bash scripts/ft_python.sh | tail -n 1)" "$ft_wheel" "${x86_args[@]}"
    fi
  else
    [ -z "$wheel" ] || run bookworm-arm64-bare bookworm-arm64-bare bookworm arm64 python3 "$wheel" "${arm_args[@]}"
    if [ -n "$ft_wheel" ]; then
      run bookworm-arm64-ft bookworm-arm64-bare bookworm arm64 \
        "$(FT_PYTHON_ARCH=aarch64 bash scripts/ft_python.sh | tail -n 1)" "$ft_wheel" "${arm_ft_args[@]}"
    fi
  fi
done
echo
failed=0
for name in "${ran[@]}"; do
  printf '  %-20s %s  %s\n' "$name" "$([ "${status_of[$name]}" -eq 0 ] && echo ok || echo FAILED)" \
    "${summary_of[$name]:-no test summary}"
  [ "${status_of[$name]}" -eq 0 ] || failed=1
done
echo "wheel test: $([ $failed -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - started)) s"
exit $failed
