# Installs the Debian packages the build needs when they are missing.
# Sourced by scripts/test and scripts/run. Installs only when run as root.
CORVANE_PACKAGES="g++ cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev libboost-dev"

corvane_install_deps() {
  local missing=""
  local pkg
  for pkg in $CORVANE_PACKAGES "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing="$missing $pkg"
    fi
  done
  if [ -z "$missing" ]; then
    return 0
  fi
  if [ "$(id -u)" != "0" ]; then
    echo "missing packages:$missing (run as root to install them)" >&2
    return 0
  fi
  echo "installing:$missing" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >&2 || return 1
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $missing >&2
}
