#!/usr/bin/env bash
# deb_package_test.sh BUILD_DIR CPACK: builds the Debian package from the
# finished build in BUILD_DIR and checks what it installs: the programs
# (stripped), the extension where the unit looks for it, the sandboxed unit
# of type notify in session mode, its options file as a conffile, the demo
# site with its word index, the manual pages, copyright and changelog, and
# nothing from the tests; lintian finds no error in it; and the programs of
# the package serve the demo, word index included.
#
# A tool it needs that is missing fails the test in CI (CI set), where
# scripts/deps.sh installs them all, and skips it (exit 77) elsewhere.
set -euo pipefail
build=$1
cpack=$2
out=$(mktemp -d)
httpd_pid=""
cleanup() {
  if [ -n "$httpd_pid" ]; then kill "$httpd_pid" 2>/dev/null || true; fi
  rm -rf "$out"
}
trap cleanup EXIT
fail() { echo "deb_package_test: $*" >&2; exit 1; }

for tool in dpkg-deb dpkg-shlibdeps lintian gzip readelf; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    if [ -n "${CI:-}" ]; then fail "$tool is missing (scripts/deps.sh installs it)"; fi
    echo "deb_package_test: $tool is missing; skipped" >&2
    exit 77
  fi
done

step() { echo "deb_package_test: $* ($(date +%T))" >&2; }
step "cpack"
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
  ./usr/share/doc/corvane/copyright \
  ./usr/share/doc/corvane/changelog.gz \
  ./usr/share/doc/corvane/examples/corvane-httpd.default \
  ./usr/share/man/man1/corvane.1.gz \
  ./usr/share/man/man1/corvane-httpd.1.gz \
  ./usr/share/corvane/wwwroot/windex/Words.str \
  ./usr/share/corvane/wwwroot/windex/WordIndex.idx \
  ./usr/share/corvane/wwwroot/windex/OVData.str \
  ./etc/default/corvane-httpd; do
  grep -qx -- "$want" <<<"$files" || fail "missing $want"
done
# Everything lives under /usr but the options file; nothing built for the
# tests comes along.
outside=$(grep -v '^\./usr/' <<<"$files" | grep -vx '\./' |
  grep -vx -e '\./etc/' -e '\./etc/default/' -e '\./etc/default/corvane-httpd' || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"
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
grep -q '^ Depends:.*libsystemd0' <<<"$info" || fail "no libsystemd dependency"
grep -q '^  .*one conversation' <<<"$info" || fail "no extended description"
dpkg-deb -e "$deb" "$out/control"
grep -q 'adduser --system' "$out/control/postinst" || fail "no service user"
grep -qx /etc/default/corvane-httpd "$out/control/conffiles" || fail "conffile"

# lintian finds no error (warnings and notes are allowed).
step "lintian"
lintian --no-tag-display-limit "$deb" >"$out/lintian.txt" 2>&1 || true
if grep -q '^E: ' "$out/lintian.txt"; then
  cat "$out/lintian.txt" >&2
  fail "lintian reports errors"
fi

# The unit runs the installed paths as the dedicated user, sandboxed.
dpkg-deb -x "$deb" "$out/root"
unit="$out/root/usr/lib/systemd/system/corvane-httpd.service"
for line in 'User=corvane' 'ProtectSystem=strict' 'StateDirectory=corvane' \
            'NoNewPrivileges=yes' 'PrivateTmp=yes' 'ProtectHome=yes' \
            'KillSignal=SIGTERM' 'Type=notify' \
            'EnvironmentFile=-/etc/default/corvane-httpd'; do
  grep -qx -- "$line" "$unit" || fail "unit lacks $line"
done
for path in $(grep -o '/usr/[^ ]*' "$unit"); do
  [ -e "$out/root$path" ] || fail "unit names $path, which the package lacks"
done
grep -q -- '--root /var/lib/corvane/wwwroot' "$unit" || fail "web root"
grep -q -- '--sessions --store sqlite:/var/lib/corvane/conversations.db' "$unit" ||
  fail "the service does not run session mode on the conversation store"

# The programs carry no debug symbols.
for prog in usr/bin/corvane usr/bin/corvane-httpd usr/lib/corvane/corvane-isapi.so; do
  if readelf -S "$out/root/$prog" | grep -q -e '\.debug_' -e '\.symtab'; then
    fail "$prog is not stripped"
  fi
done

# The root preparer fills an empty root and keeps what is there.
"$out/root/usr/lib/corvane/corvane-prepare-root" \
  "$out/root/usr/share/corvane/wwwroot" "$out/state/wwwroot"
[ -f "$out/state/wwwroot/CorvWebDemo.clf" ] || fail "root not filled"
echo learnt >"$out/state/wwwroot/CorvWebDemo.clf"
"$out/root/usr/lib/corvane/corvane-prepare-root" \
  "$out/root/usr/share/corvane/wwwroot" "$out/state/wwwroot"
[ "$(cat "$out/state/wwwroot/CorvWebDemo.clf")" = learnt ] ||
  fail "the preparer replaced a knowledge base"

# The packaged programs serve the demo from a prepared root, and the word
# index answers "tell me about owls".
step "the packaged host"
"$out/root/usr/bin/corvane-httpd" --version | grep -qx 'corvane-httpd [0-9.]*' ||
  fail "corvane-httpd --version"
"$out/root/usr/lib/corvane/corvane-prepare-root" \
  "$out/root/usr/share/corvane/wwwroot" "$out/demo"
[ -f "$out/demo/windex/Words.str" ] || fail "the word index was not copied"
"$out/root/usr/bin/corvane-httpd" --port 0 --root "$out/demo" \
  --extension "$out/root/usr/lib/corvane/corvane-isapi.so" \
  --sessions --store "sqlite:$out/state-db/conversations.db" 2>"$out/httpd.log" &
httpd_pid=$!
port=""
for _ in $(seq 200); do
  port=$(sed -n 's/.*listening on http:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' \
    "$out/httpd.log" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { cat "$out/httpd.log" >&2; fail "the packaged host did not start"; }
body='{"input": "tell me about owls"}'
exec 3<>"/dev/tcp/127.0.0.1/$port"
printf 'POST /api/reply HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Type: application/json\r\nContent-Length: %s\r\n\r\n%s' \
  "${#body}" "$body" >&3
answer=$(timeout 30 cat <&3 || true)
exec 3<&-
grep -q 'Owls cannot move their eyes' <<<"$answer" ||
  fail "the word index did not answer: $answer"
# The turn is in the store, a file only its owner may read.
[ "$(stat -c %a "$out/state-db/conversations.db")" = 600 ] ||
  fail "the conversation store is not mode 0600"
"$out/root/usr/bin/corvane" sessions "sqlite:$out/state-db/conversations.db" export |
  grep -q 'tell me about owls' || fail "the turn is not in the conversation store"
kill -TERM "$httpd_pid"
for _ in $(seq 300); do
  kill -0 "$httpd_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$httpd_pid" 2>/dev/null && { cat "$out/httpd.log" >&2; fail "the packaged host did not stop"; }
wait "$httpd_pid" || { cat "$out/httpd.log" >&2; fail "the packaged host did not stop cleanly"; }
httpd_pid=""
echo "deb_package_test: $(basename "$deb") ok"
