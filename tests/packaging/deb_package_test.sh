#!/usr/bin/env bash
# deb_package_test.sh BUILD_DIR CPACK: builds the Debian package from the
# finished build in BUILD_DIR and checks what it installs: the programs,
# the extension where the unit looks for it, the sandboxed unit, the demo
# site and the documentation, and nothing from the tests.
set -euo pipefail
build=$1
cpack=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "deb_package_test: $*" >&2; exit 1; }

(cd "$build" && "$cpack" -G DEB -B "$out" >"$out/cpack.log" 2>&1) ||
  { cat "$out/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$out"/*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "no package made"

dpkg-deb -c "$deb" | awk '{print $1, $6}' >"$out/list"
files=$(awk '{print $2}' "$out/list")

for want in \
  ./usr/bin/corvane \
  ./usr/bin/corvane-httpd \
  ./usr/lib/corvane/corvane-isapi.so \
  ./usr/lib/corvane/corvane-prepare-root \
  ./usr/lib/systemd/system/corvane-httpd.service \
  ./usr/share/corvane/wwwroot/CorvWebDemo.clf \
  ./usr/share/corvane/wwwroot/web_corvane_example.htm \
  ./usr/share/doc/corvane/README.md \
  ./usr/share/doc/corvane/web.md \
  ./usr/share/doc/corvane/examples/corvane-httpd.default; do
  grep -qx -- "$want" <<<"$files" || fail "missing $want"
done
# Everything lives under /usr; nothing built for the tests comes along.
if grep -v '^\./usr/' <<<"$files" | grep -vx '\./' | grep -q .; then
  fail "files outside /usr: $(grep -v '^\./usr/' <<<"$files" | grep -vx '\./')"
fi
for banned in fake-extension corvane-bench _tests _fuzzer; do
  if grep -q -- "$banned" <<<"$files"; then fail "test file $banned packaged"; fi
done
# The programs are executable by everyone.
for prog in ./usr/bin/corvane ./usr/bin/corvane-httpd ./usr/lib/corvane/corvane-prepare-root; do
  mode=$(awk -v f="$prog" '$2 == f {print $1}' "$out/list")
  [[ "$mode" == -rwxr-xr-x ]] || fail "$prog has mode $mode"
done

# The control data: name, dependencies, and the scripts that make the user.
info=$(dpkg-deb -I "$deb")
grep -q '^ Package: corvane$' <<<"$info" || fail "package name"
grep -q '^ Depends:.*adduser' <<<"$info" || fail "adduser dependency"
dpkg-deb -e "$deb" "$out/control"
grep -q 'adduser --system' "$out/control/postinst" || fail "no service user"

# The unit runs the installed paths as the dedicated user, sandboxed.
dpkg-deb -x "$deb" "$out/root"
unit="$out/root/usr/lib/systemd/system/corvane-httpd.service"
for line in 'User=corvane' 'ProtectSystem=strict' 'StateDirectory=corvane' \
            'NoNewPrivileges=yes' 'PrivateTmp=yes' 'ProtectHome=yes' \
            'KillSignal=SIGTERM'; do
  grep -qx -- "$line" "$unit" || fail "unit lacks $line"
done
for path in $(grep -o '/usr/[^ ]*' "$unit"); do
  [ -e "$out/root$path" ] || fail "unit names $path, which the package lacks"
done
grep -q -- '--root /var/lib/corvane/wwwroot' "$unit" || fail "web root"

# The root preparer fills an empty root and keeps what is there.
"$out/root/usr/lib/corvane/corvane-prepare-root" \
  "$out/root/usr/share/corvane/wwwroot" "$out/state/wwwroot"
[ -f "$out/state/wwwroot/CorvWebDemo.clf" ] || fail "root not filled"
echo learnt >"$out/state/wwwroot/CorvWebDemo.clf"
"$out/root/usr/lib/corvane/corvane-prepare-root" \
  "$out/root/usr/share/corvane/wwwroot" "$out/state/wwwroot"
[ "$(cat "$out/state/wwwroot/CorvWebDemo.clf")" = learnt ] ||
  fail "the preparer replaced a knowledge base"
echo "deb_package_test: $(basename "$deb") ok"
