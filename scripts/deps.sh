# Installs the Debian packages the build needs when they are missing.
# Sourced by scripts/test and scripts/run. Installs only when run as root.
CORVANE_PACKAGES="g++ cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev libboost-dev nlohmann-json3-dev libedit-dev libcli11-dev"
# Unicode case folding and character classes for UTF-8 knowledge bases.
CORVANE_PACKAGES="$CORVANE_PACKAGES libutf8proc-dev"
# The conversation store: SQLite and hiredis, and redis-server for its tests.
CORVANE_PACKAGES="$CORVANE_PACKAGES libsqlite3-dev libhiredis-dev redis-server"

# Wanted for the browser tests of the demo page, the scale-out test
# behind nginx and the SVG of `corvane graph` (graphviz); CI installs them,
# and a machine where they cannot be installed skips those tests (in CI,
# with CI set, a failed install fails and the tests fail without them).
CORVANE_OPTIONAL_PACKAGES="chromium chromium-driver python3-selenium nginx graphviz"

# Installs the optional packages that are missing; fails only in CI. Skipped
# when CORVANE_SKIP_OPTIONAL=1 (scripts/run does not need them).
corvane_install_optional() {
  [ "${CORVANE_SKIP_OPTIONAL:-0}" = 1 ] && return 0
  local missing=""
  local pkg
  local failed=0
  for pkg in $CORVANE_OPTIONAL_PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing="$missing $pkg"
    fi
  done
  if [ -z "$missing" ] || [ "$(id -u)" != "0" ]; then
    return 0
  fi
  echo "installing (optional):$missing" >&2
  export DEBIAN_FRONTEND=noninteractive
  # Installing nginx must not start a server on port 80: the scale-out test
  # starts its own on loopback. Debian's policy-rc.d hook keeps package
  # scripts from starting daemons while it is in place.
  local policy_made=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d &&
      chmod 755 /usr/sbin/policy-rc.d && policy_made=1
  fi
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $missing >&2 ||
    { apt-get update -q >&2 && apt-get install -y -q --no-install-recommends $missing >&2; } ||
    { echo "optional packages not installed; the browser and scale-out tests are skipped" >&2
      failed=1; }
  [ "$policy_made" = 1 ] && rm -f /usr/sbin/policy-rc.d
  if [ "$failed" = 1 ] && [ -n "${CI:-}" ]; then
    echo "CI needs every optional package:$missing" >&2
    return 1
  fi
  return 0
}

# npm, for the test of the editor grammar, which installs its own npm
# packages. Only when no npm is found at all: a Node.js from elsewhere
# usually brings its own npm, which Debian's package would conflict with.
# Never fails; without npm that test is skipped, and fails in CI.
corvane_install_npm() {
  [ "${CORVANE_SKIP_OPTIONAL:-0}" = 1 ] && return 0
  command -v npm > /dev/null 2>&1 && return 0
  [ "$(id -u)" != "0" ] && return 0
  echo "installing (optional): npm" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q --no-install-recommends npm >&2 ||
    { apt-get update -q >&2 && apt-get install -y -q --no-install-recommends npm >&2; } ||
    echo "npm not installed; the editor grammar test is skipped" >&2
  return 0
}

corvane_install_deps() {
  local missing=""
  local pkg
  for pkg in $CORVANE_PACKAGES "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing="$missing $pkg"
    fi
  done
  if [ -z "$missing" ]; then
    corvane_install_optional || return 1
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
  corvane_install_optional || return 1
}

# The host's readiness for systemd (libsystemd, found through pkg-config)
# and the package test (dpkg-shlibdeps, lintian).
CORVANE_PACKAGES="$CORVANE_PACKAGES libsystemd-dev pkg-config dpkg-dev lintian"
