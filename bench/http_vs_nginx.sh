#!/usr/bin/env bash
# bench/http_vs_nginx.sh [SECONDS] [ROUNDS]: corvane-httpd serving the demo
# against nginx serving the same answers as static files, on loopback.
#
# Rows: GET, then POST T1=hello as a form and {"input":"hello"} to the JSON
# API, each from the shared pool and with sessions (--sessions; wrk sends
# one of 256 session cookies per request, round robin, so 256 visitors
# talk at once). Each server is pinned to core 0 and wrk (one thread) to
# core 1. At 1, 8, 32 and 64 keep-alive connections (CORVANE_CONNS) the
# servers run one after the other, alternating, ROUNDS times (default 2;
# each run SECONDS long, default 5), after a warm-up, and the best run of
# each counts. Prints a Markdown table: requests per second, the 99th
# percentile latency and the ratio corvane-httpd / nginx, then requests per
# second of each server's own CPU time (all its threads, from /proc) and
# their ratio. Where other work shares core 0, requests per second depend
# on how the scheduler shares the core, while requests per CPU second do
# not: the CPU ratio is the figure to compare.
#
# CORVANE_BUILD=DIR measures the programs of DIR (default build/, built
# when missing). CORVANE_BASELINE=DIR measures a second build in the same
# rounds (for before and after figures side by side); its CPU ratio is the
# last column. CORVANE_ROWS="form-pool json-sessions ..." picks rows (get,
# form-pool, json-pool, form-sessions, json-sessions).
# CORVANE_STRACE=1 then counts the system calls per request of one
# sequential keep-alive client for each row (strace -c -f), and
# CORVANE_PERF=1 records each row at 64 connections with
# `perf record -e cpu-clock` and prints the hottest symbols.
#
# Installs nginx and wrk from Debian when they are missing (as root). Not
# run by scripts/test. Both servers log every request to a file, as a
# deployed server would.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
rounds=${2:-2}
conns_list=${CORVANE_CONNS:-"1 8 32 64"}
rows=${CORVANE_ROWS:-"get form-pool json-pool form-sessions json-sessions"}
build=${CORVANE_BUILD:-build}
baseline=${CORVANE_BASELINE:-}

missing=""
command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || missing="$missing nginx"
command -v wrk >/dev/null 2>&1 || missing="$missing wrk"
if [ "${CORVANE_STRACE:-0}" = 1 ]; then
  command -v strace >/dev/null 2>&1 || missing="$missing strace"
fi
if [ "${CORVANE_PERF:-0}" = 1 ]; then
  command -v perf >/dev/null 2>&1 || missing="$missing linux-perf"
fi
if [ -n "$missing" ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "http_vs_nginx: please install$missing" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $missing >&2 ||
    { apt-get update -q >&2 && apt-get install -y -q --no-install-recommends $missing >&2; }
fi
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

if [ -z "${CORVANE_BUILD:-}" ]; then
  if [ ! -f build/build.ninja ]; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
  fi
  cmake --build build -j2 --target corvane-httpd corvane-isapi >&2
fi
for dir in "$build" $baseline; do
  [ -x "$dir/corvane-httpd" ] && [ -f "$dir/corvane-isapi.so" ] ||
    { echo "http_vs_nginx: no corvane-httpd and corvane-isapi.so in $dir" >&2; exit 1; }
done

work=$(mktemp -d)
# nginx's worker runs as an unprivileged user and must read the pages.
chmod 755 "$work"
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do
    kill "$p" 2>/dev/null && wait "$p" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# start_host NAME DIR [OPTIONS...]: a host of the build in DIR on its own
# copy of the demo; sets port_NAME and pid_NAME.
start_host() {
  local name=$1 dir=$2
  shift 2
  cp -R demo/wwwroot "$work/root-$name"
  taskset -c 0 "$dir/corvane-httpd" --listen 127.0.0.1 --port 0 \
    --root "$work/root-$name" --threads 1 "$@" 2>"$work/$name.log" &
  local pid=$!
  pids+=("$pid")
  local port=""
  for _ in $(seq 200); do
    port=$(sed -n 's/.*listening on http:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' \
      "$work/$name.log" 2>/dev/null | head -n 1)
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { cat "$work/$name.log" >&2; exit 1; }
  printf -v "port_$name" '%s' "$port"
  printf -v "pid_$name" '%s' "$pid"
}

start_host pool "$build"
start_host sessions "$build" --sessions
hosts="pool sessions"
if [ -n "$baseline" ]; then
  start_host basepool "$baseline"
  start_host basesessions "$baseline" --sessions
  hosts="$hosts basepool basesessions"
fi

# fetch PORT METHOD PATH BODY CONTENT-TYPE: the body of one answer.
fetch() {
  exec 3<>"/dev/tcp/127.0.0.1/$1"
  printf '%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: %s\r\nContent-Length: %s\r\n\r\n%s' \
    "$2" "$3" "$5" "${#4}" "$4" >&3
  cat <&3 | sed '1,/^\r$/d'
  exec 3<&-
}

# The static copies: the page for GET and the form, and an answer of the
# API for JSON (which nginx serves for any method, as corvane-httpd does).
mkdir -p "$work/static/api"
fetch "$port_pool" GET / "" text/plain >"$work/static/index.html"
fetch "$port_pool" POST /api/reply '{"input":"hello"}' application/json \
  >"$work/static/api/reply"
nginx_port=$(( (port_pool % 20000) + 30000 ))
cat >"$work/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
  access_log $work/nginx-access.log;
  client_body_temp_path $work/body;
  proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi;
  uwsgi_temp_path $work/uwsgi;
  scgi_temp_path $work/scgi;
  default_type text/html;
  keepalive_requests 1000000;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/static;
    location / {
      index index.html;
      # A POST gets the same static page.
      error_page 405 =200 \$uri;
    }
    location /api/ {
      default_type "application/json; charset=utf-8";
      error_page 405 =200 \$uri;
    }
  }
}
EOF
taskset -c 0 "$nginx_bin" -c "$work/nginx.conf" &
nginx_pid=$!
pids+=("$nginx_pid")
sleep 0.5

# One wrk script per row: the request, and for sessions one of 256 cookies
# in turn.
write_script() {  # NAME PATH CONTENT-TYPE BODY SESSIONS(0|1)
  cat >"$work/$1.lua" <<EOF
local ids = {}
for i = 1, 256 do ids[i] = string.format("%032x", 4096 + i) end
local n = 0
local headers = { ["Content-Type"] = "$3" }
request = function()
  if $5 == 1 then
    n = n % #ids + 1
    headers["Cookie"] = "corvane_session=" .. ids[n]
  end
  return wrk.format("POST", "$2", headers, '$4')
end
EOF
}
write_script form-pool / application/x-www-form-urlencoded 'T1=hello' 0
write_script json-pool /api/reply application/json '{"input":"hello"}' 0
write_script form-sessions / application/x-www-form-urlencoded 'T1=hello' 1
write_script json-sessions /api/reply application/json '{"input":"hello"}' 1

# host_of ROW PREFIX -> the host that serves the row ("" or "base").
host_of() {
  case "$1" in
    *sessions) echo "${2}sessions" ;;
    *) echo "${2}pool" ;;
  esac
}
port_of() { local v="port_$1"; echo "${!v}"; }
pid_of() { local v="pid_$1"; echo "${!v}"; }

# CPU time (clock ticks) of the processes given: all their threads,
# including those that have ended (a thread the host adds for a slow call
# leaves again, and its time must still count).
ticks() {
  local t=0 p
  for p in "$@"; do
    [ -r /proc/"$p"/stat ] &&
      t=$((t + $(awk '{print $14 + $15}' /proc/"$p"/stat 2>/dev/null || echo 0)))
  done
  echo "$t"
}
hz=$(getconf CLK_TCK)

# run SERVER ROW CONNECTIONS SECONDS -> "requests_per_second p99_ms
# requests_per_cpu_second"; SERVER is a host name or "nginx".
run() {
  local server=$1 row=$2 conns=$3 secs=$4
  local port procs
  if [ "$server" = nginx ]; then
    port=$nginx_port
    procs="$nginx_pid $(pgrep -P "$nginx_pid" || true)"
  else
    port=$(port_of "$server")
    procs=$(pid_of "$server")
  fi
  local script=()
  [ "$row" != get ] && script=(-s "$work/$row.lua")
  local out t0 t1
  # shellcheck disable=SC2086
  t0=$(ticks $procs)
  out=$(taskset -c 1 wrk -t1 -c"$conns" -d"${secs}s" --latency "${script[@]}" \
    "http://127.0.0.1:$port/" 2>&1)
  # shellcheck disable=SC2086
  t1=$(ticks $procs)
  if grep -q "Non-2xx" <<<"$out"; then
    echo "http_vs_nginx: non-2xx answers from $server ($row):" >&2
    echo "$out" >&2
  fi
  local rps p99 count per_cpu
  rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
  count=$(awk '/requests in/ {print $1}' <<<"$out")
  per_cpu=$(awk -v n="$count" -v t=$((t1 - t0)) -v hz="$hz" \
    'BEGIN { printf "%.0f", (t > 0 ? n / (t / hz) : 0) }')
  p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
  # wrk prints latencies with their unit; turn them into milliseconds.
  p99=$(awk -v v="$p99" 'BEGIN {
    n = v + 0; u = v; sub(/^[0-9.]+/, "", u);
    if (u == "us") n /= 1000; else if (u == "s") n *= 1000;
    printf "%.2f", n }')
  echo "$rps $p99 $per_cpu"
}

best() {  # "rps p99 cpu" lines -> the line with the most requests per second
  sort -k1,1 -g | tail -n 1
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
header="| row | connections | corvane-httpd req/s | p99 ms | nginx req/s | p99 ms | ratio | corvane-httpd req/CPU s | nginx req/CPU s | CPU ratio |"
rule="|---|---|---|---|---|---|---|---|---|---|"
if [ -n "$baseline" ]; then
  header+=" baseline req/CPU s | baseline CPU ratio |"
  rule+="---|---|"
fi
echo "$header"
echo "$rule"
for row in $rows; do
  host=$(host_of "$row" "")
  # Warm-up: sessions are made, pages and caches are warm.
  run "$host" "$row" 64 1 >/dev/null
  run nginx "$row" 64 1 >/dev/null
  [ -n "$baseline" ] && run "$(host_of "$row" base)" "$row" 64 1 >/dev/null
  for conns in $conns_list; do
    h_runs="" n_runs="" b_runs=""
    for _ in $(seq "$rounds"); do
      h_runs+="$(run "$host" "$row" "$conns" "$seconds")"$'\n'
      n_runs+="$(run nginx "$row" "$conns" "$seconds")"$'\n'
      if [ -n "$baseline" ]; then
        b_runs+="$(run "$(host_of "$row" base)" "$row" "$conns" "$seconds")"$'\n'
      fi
    done
    read -r h_rps h_p99 h_cpu < <(printf '%s' "$h_runs" | best)
    read -r n_rps n_p99 n_cpu < <(printf '%s' "$n_runs" | best)
    line=$(printf '| %s | %s | %.0f | %s | %.0f | %s | %s | %s | %s | %s |' \
      "$row" "$conns" "$h_rps" "$h_p99" "$n_rps" "$n_p99" \
      "$(ratio "$h_rps" "$n_rps")" "$h_cpu" "$n_cpu" "$(ratio "$h_cpu" "$n_cpu")")
    if [ -n "$baseline" ]; then
      read -r _ _ b_cpu < <(printf '%s' "$b_runs" | best)
      line+=$(printf ' %s | %s |' "$b_cpu" "$(ratio "$b_cpu" "$n_cpu")")
    fi
    echo "$line"
  done
done
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

# requests SERVER -> answered requests so far, from its log.
requests() {
  grep -c ' 200 ' "$work/$1.log" || true
}

if [ "${CORVANE_STRACE:-0}" = 1 ]; then
  echo
  echo "System calls per request of one sequential keep-alive client (strace -c -f):"
  for row in $rows; do
    for server in $hosts; do
      case "$server" in
        *sessions) [[ "$row" == *sessions ]] || continue ;;
        *) [[ "$row" == *sessions ]] && continue ;;
      esac
      # The log is written at least every 100 ms; wait for it.
      sleep 0.3
      before=$(requests "$server")
      strace -c -f -p "$(pid_of "$server")" -o "$work/strace.txt" 2>/dev/null &
      strace_pid=$!
      sleep 1
      run "$server" "$row" 1 3 >/dev/null
      sleep 0.5
      kill -INT "$strace_pid"
      wait "$strace_pid" 2>/dev/null || true
      sleep 0.3
      after=$(requests "$server")
      count=$((after - before))
      calls=$(awk '$NF == "total" {print $4}' "$work/strace.txt")
      echo "- $row, $server: $calls calls for $count requests," \
        "$(awk -v c="$calls" -v r="$count" 'BEGIN { printf "%.1f", (r > 0 ? c / r : 0) }') per request:" \
        "$(awk -v r="$count" 'NR > 2 && $NF != "total" && $NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ {
            if ($4 / (r > 0 ? r : 1) >= 0.05) printf "%s %.1f, ", $NF, $4 / (r > 0 ? r : 1) }' "$work/strace.txt" 2>/dev/null |
            sed 's/, $//')"
    done
  done
fi

if [ "${CORVANE_PERF:-0}" = 1 ]; then
  for row in $rows; do
    host=$(host_of "$row" "")
    perf record -q -e cpu-clock -p "$(pid_of "$host")" -o "$work/perf.data" \
      -- sleep "$seconds" >/dev/null 2>&1 &
    perf_pid=$!
    sleep 0.2
    run "$host" "$row" 64 "$seconds" >/dev/null
    wait "$perf_pid" || true
    echo
    echo "perf, $row at 64 connections (self time):"
    perf report -q -i "$work/perf.data" --no-children --sort dso,symbol 2>/dev/null |
      grep -v '^$' | head -n 30 || true
  done
fi
