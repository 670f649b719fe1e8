#!/usr/bin/env bash
# Turns per second of corvane-httpd --sessions on the demo at 32 keep-alive
# connections, with conversations in memory, in a SQLite store
# (synchronous=NORMAL) and in a Redis store (append-only, every second),
# the three one after the other in each round, and the best round of each
# counting, with the CPU time per turn of the host and of redis-server;
# then their ratios to memory, and the load average.
#   bench/store_throughput.sh [SECONDS] [ROUNDS] [CHURN]
# 256 visitors talk at once: each is made first (its conversation and
# cookie), then wrk sends the JSON API one of their cookies per request, in
# turn, with the lines of a demo visit. With CHURN (e.g. 100000), CHURN
# cookie-less requests are sent to the SQLite host afterwards, and the
# host's open descriptors and a visitor's conversation are checked before
# and after. Not run by scripts/test; needs wrk, redis-server and python3
# (installs wrk from Debian when missing, as root). Everything listens on
# loopback; the processes are the script's own and are ended by PID.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-5}
rounds=${2:-2}
churn=${3:-0}
conns=32
visitors=256

if ! command -v wrk >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q wrk >&2
  else
    echo "store_throughput: wrk is missing (apt install wrk)" >&2
    exit 1
  fi
fi
command -v redis-server >/dev/null 2>&1 ||
  { echo "store_throughput: redis-server is missing" >&2; exit 1; }
[ -x build/corvane-httpd ] ||
  { echo "store_throughput: build corvane-httpd first" >&2; exit 1; }

work=$(mktemp -d /tmp/corvane-store-bench-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root"
cp demo/wwwroot/CorvWebDemo.clf demo/wwwroot/web_corvane_example.htm "$work/root/"

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

redis_port=$(free_port)
redis-server --port "$redis_port" --bind 127.0.0.1 --dir "$work" --save '' \
  --appendonly yes --appendfsync everysec --daemonize no \
  --logfile "$work/redis.log" &
redis_pid=$!
pids+=("$redis_pid")
for _ in $(seq 200); do
  redis-cli -p "$redis_port" ping >/dev/null 2>&1 && break
  python3 -c "import socket; socket.create_connection(('127.0.0.1', $redis_port)).close()" \
    2>/dev/null && break
  sleep 0.05
done

# Starts a host with the store options "$@"; sets host_pid and host_port.
start_host() {
  local log="$work/httpd-$RANDOM.log"
  build/corvane-httpd --port 0 --root "$work/root" --sessions \
    --max-conns-per-address 0 --max-sessions 1000 --threads "${CORVANE_THREADS:-2}" "$@" 2>"$log" &
  host_pid=$!
  pids+=("$host_pid")
  host_port=""
  for _ in $(seq 400); do
    host_port=$(sed -n 's/.*listening on http:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log" | head -n 1)
    [ -n "$host_port" ] && break
    sleep 0.025
  done
  [ -n "$host_port" ] || { cat "$log" >&2; exit 1; }
}

# Makes the visitors of the host at $host_port: their cookies, one a line.
make_visitors() {
  python3 - "$host_port" "$visitors" >"$work/cookies.txt" <<'EOF'
import http.client, json, re, sys
port, n = int(sys.argv[1]), int(sys.argv[2])
conn = http.client.HTTPConnection("127.0.0.1", port)
for _ in range(n):
    conn.request("POST", "/api/reply", json.dumps({"input": "hello"}),
                 {"Content-Type": "application/json"})
    r = conn.getresponse()
    r.read()
    m = re.search(r"corvane_session=([0-9a-f]{32})", r.getheader("Set-Cookie") or "")
    print(m.group(1))
EOF
  {
    echo 'local cookies = {}'
    while read -r c; do echo "cookies[#cookies + 1] = \"$c\""; done <"$work/cookies.txt"
    cat <<'EOF'
local lines = {"my name is Anna", "what is my name", "how are you", "help",
  "what are your opening hours", "is the tiramisu good", "thanks", "menu",
  "tell me a joke", "who are you"}
local n = 0
request = function()
  n = n + 1
  local body = '{"input": "' .. lines[(n % #lines) + 1] .. '"}'
  return wrk.format("POST", "/api/reply",
    {["Content-Type"] = "application/json",
     ["Cookie"] = "corvane_session=" .. cookies[(n % #cookies) + 1]}, body)
end
EOF
  } >"$work/visit.lua"
}

# CPU time of process $1 so far, in clock ticks (user and system).
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# Requests per second of one wrk run against $host_port; sets cpu_line to
# the CPU microseconds per turn of the host and of redis-server.
measure() {
  local h0 r0 h1 r1 n
  h0=$(cpu_ticks "$host_pid"); r0=$(cpu_ticks "$redis_pid")
  wrk -t1 -c"$conns" -d"${secs}s" -s "$work/visit.lua" \
    "http://127.0.0.1:$host_port/" >"$work/wrk.out"
  if grep -q "Non-2xx" "$work/wrk.out"; then
    echo "store_throughput: failed requests: $(grep Non-2xx "$work/wrk.out")" >&2
  fi
  h1=$(cpu_ticks "$host_pid"); r1=$(cpu_ticks "$redis_pid")
  n=$(awk '/requests in/ {print $1}' "$work/wrk.out")
  cpu_line=$(python3 -c "t = 1e6 / $(getconf CLK_TCK) / max($n, 1); print('cpu per turn: host %.0f us, redis-server %.0f us' % (($h1 - $h0) * t, ($r1 - $r0) * t))")
  awk '/Requests\/sec/ {print $2}' "$work/wrk.out"
}

declare -A best
modes=(memory sqlite redis)
for round in $(seq "$rounds"); do
  for mode in "${modes[@]}"; do
    case "$mode" in
      memory) start_host ;;
      sqlite) rm -f "$work"/db/*; start_host --store "sqlite:$work/db/c.db" ;;
      redis) start_host --store "redis://127.0.0.1:$redis_port" ;;
    esac
    make_visitors
    measure >"$work/rps"
    rps=$(cat "$work/rps")
    echo "round $round $mode: $rps turns/s; $cpu_line" >&2
    if [ -z "${best[$mode]:-}" ] || python3 -c "import sys; sys.exit(0 if $rps > ${best[$mode]} else 1)"; then
      best[$mode]=$rps
    fi
    kill "$host_pid"; wait "$host_pid" 2>/dev/null || true
  done
done

printf '%-8s %12s %8s\n' store turns/s ratio
for mode in "${modes[@]}"; do
  ratio=$(python3 -c "print('%.2f' % (${best[$mode]} / ${best[memory]}))")
  printf '%-8s %12s %8s\n' "$mode" "${best[$mode]}" "$ratio"
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"

if [ "$churn" -gt 0 ]; then
  start_host --store "sqlite:$work/churn/c.db" --max-sessions 1000
  python3 - "$host_port" "$host_pid" "$churn" <<'EOF'
import http.client, json, os, re, sys
port, pid, n = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
def say(conn, text, cookie=None):
    headers = {"Content-Type": "application/json"}
    if cookie: headers["Cookie"] = "corvane_session=" + cookie
    conn.request("POST", "/api/reply", json.dumps({"input": text}), headers)
    r = conn.getresponse()
    body = json.loads(r.read())
    m = re.search(r"corvane_session=([0-9a-f]{32})", r.getheader("Set-Cookie") or "")
    return body.get("reply"), (m.group(1) if m else cookie)
conn = http.client.HTTPConnection("127.0.0.1", port)
_, me = say(conn, "my name is Rita")
fds = lambda: len(os.listdir("/proc/%d/fd" % pid))
before = fds()
for i in range(n):
    say(conn, "hello")
    if i % 10000 == 0:
        reply, _ = say(conn, "what is my name", me)
        assert "Rita" in reply, reply
reply, _ = say(conn, "what is my name", me)
assert "Rita" in reply, reply
print("churn: %d cookie-less turns; open descriptors %d before, %d after; "
      "the visitor still Rita" % (n, before, fds()))
EOF
fi
