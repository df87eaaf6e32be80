# shellcheck shell=bash
# The cross toolchain of the wheels (sourced by scripts/wheel.sh).
#
# Zig's C and C++ compilers, from the `ziglang` package on PyPI, target a
# chosen glibc release on either architecture from this one machine: they
# carry the headers and link stubs of every glibc release, so what they build
# asks for no symbol newer than glibc 2.28 (the manylinux_2_28 floor), and
# they link LLVM's C++ runtime in statically, so the extension needs no
# libstdc++ from the machine at all. One toolchain, the same for FFmpeg, its
# libraries and the extension, on x86_64 and aarch64 alike.

WHEEL_GLIBC=2.28

# make_toolchain ARCH DIR ZIG: wrappers DIR/cc, c++, ar, ranlib for ARCH, a
# Meson cross file DIR/meson.ini and a CMake toolchain file DIR/cmake.txt.
make_toolchain() {
  local arch=$1 dir=$2 zig=$3
  mkdir -p "$dir"
  local tool
  for tool in cc c++; do
    # -fno-sanitize: zig turns UBSan traps on for unoptimised code, which
    # FFmpeg's configure probes are.
    cat >"$dir/$tool" <<EOF
#!/bin/sh
exec "$zig" $tool -target $arch-linux-gnu.$WHEEL_GLIBC -fno-sanitize=undefined "\$@"
EOF
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$dir/$tool"
  done
  chmod +x "$dir"/cc "$dir"/c++ "$dir"/ar "$dir"/ranlib
  cat >"$dir/meson.ini" <<EOF
[binaries]
c = '$dir/cc'
ar = '$dir/ar'
nasm = 'nasm'
pkg-config = 'false'

[built-in options]
c_link_args = ['-s']

[host_machine]
system = 'linux'
cpu_family = '$arch'
cpu = '$arch'
endian = 'little'
EOF
  cat >"$dir/cmake.txt" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $arch)
set(CMAKE_C_COMPILER "$dir/cc")
set(CMAKE_CXX_COMPILER "$dir/c++")
set(CMAKE_AR "$dir/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$dir/ranlib" CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
EOF
}

# The zig binary of the build environment's ziglang package.
zig_binary() {
  local python=$1
  "$python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))'
}
