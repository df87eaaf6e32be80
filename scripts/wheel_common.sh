# shellcheck shell=bash
# Helpers shared by scripts/wheel.sh and scripts/wheel_test.sh (sourced).

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages of the arguments that are missing.
apt_install_missing() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# The first Debian archive named by the machine's apt sources, in either the
# one-line or the deb822 format (as scripts/compat.sh finds it).
find_mirror() {
  local files=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
  cat "${files[@]}" 2>/dev/null |
    grep -E '^[[:space:]]*(deb(-src)?[[:space:]]|URIs:)' |
    grep -oE '(https?|file)://[^[:space:]]+' |
    grep -vE 'security' | grep -E '/debian/?$' | head -n 1
}
