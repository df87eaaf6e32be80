# shellcheck shell=bash
# Running another architecture's programs through qemu-user (sourced by
# scripts/wheel_test.sh): Debian's statically linked qemu-user-static,
# registered with binfmt_misc by binfmt-support with the "fix binary" flag,
# so that the kernel starts the emulator for a foreign ELF file inside a
# root too, without a copy of it there.

ensure_qemu() {
  local arch=$1
  apt_install_missing qemu-user-static binfmt-support
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [ ! -e "/proc/sys/fs/binfmt_misc/qemu-$arch" ]; then
    update-binfmts --enable "qemu-$arch" >/dev/null 2>&1 || update-binfmts --import "qemu-$arch"
  fi
  grep -q '^enabled' "/proc/sys/fs/binfmt_misc/qemu-$arch" ||
    { echo "binfmt_misc has qemu-$arch disabled" >&2; exit 1; }
  grep -q '^flags: .*F' "/proc/sys/fs/binfmt_misc/qemu-$arch" ||
    { echo "qemu-$arch is registered without the fix-binary flag: it cannot run inside a root" >&2; exit 1; }
}
