#!/usr/bin/env bash
# bench/http_vs_nginx.sh [SECONDS] [ROUNDS]: corvane-httpd serving the demo
# against nginx serving the same page as a static file, on loopback.
#
# Each server is pinned to core 0 and wrk to core 1. For GET and for POST
# T1=hello, at 1, 8, 32 and 64 keep-alive connections, the two servers run
# one after the other (alternating, ROUNDS times, default 2; each run
# SECONDS long, default 5), and the best run of each counts. Prints a
# Markdown table of requests per second, the 99th percentile latency and
# the ratio corvane-httpd / nginx, and requests per second of the server's
# own CPU time (all its threads) with their ratio: on a machine where other
# work shares core 0, requests per second depend on how the scheduler
# shares the core (a server with more runnable threads gets more of it),
# while requests per CPU second do not.
#
# Installs nginx and wrk from Debian when they are missing (as root).
# Builds corvane-httpd and the extension in build/. Not run by scripts/test.
# Both servers log every request to a file, as a deployed server would.
# Set CORVANE_STRACE=1 to also count corvane-httpd's system calls per
# request (strace -c -f) in one extra keep-alive POST run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
rounds=${2:-2}

missing=""
command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || missing="$missing nginx"
command -v wrk >/dev/null 2>&1 || missing="$missing wrk"
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

if [ ! -x build/corvane-httpd ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
fi
cmake --build build -j2 --target corvane-httpd corvane-isapi >&2

work=$(mktemp -d)
# nginx's worker runs as an unprivileged user and must read the page.
chmod 755 "$work"
httpd_pid=""
nginx_pid=""
cleanup() {
  [ -n "$httpd_pid" ] && kill "$httpd_pid" 2>/dev/null && wait "$httpd_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cp -R demo/wwwroot "$work/root"

# corvane-httpd: one event-loop thread, as nginx has one worker.
taskset -c 0 build/corvane-httpd --listen 127.0.0.1 --port 0 \
  --root "$work/root" --threads 1 2>"$work/httpd.log" &
httpd_pid=$!
for _ in $(seq 100); do
  grep -q listening "$work/httpd.log" 2>/dev/null && break
  sleep 0.05
done
httpd_port=$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/httpd.log" | head -n 1)
[ -n "$httpd_port" ] || { cat "$work/httpd.log" >&2; exit 1; }

# The static copy: the page corvane-httpd serves for GET.
mkdir -p "$work/static"
curl_page() {
  exec 3<>"/dev/tcp/127.0.0.1/$httpd_port"
  printf 'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' >&3
  cat <&3 | sed '1,/^\r$/d'
  exec 3<&-
}
curl_page >"$work/static/index.html"
nginx_port=$(( (httpd_port % 20000) + 30000 ))
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
  }
}
EOF
taskset -c 0 "$nginx_bin" -c "$work/nginx.conf" &
nginx_pid=$!
sleep 0.5

cat >"$work/post.lua" <<'EOF'
wrk.method = "POST"
wrk.body = "T1=hello"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
EOF

# CPU time (clock ticks) of the processes given and all their threads.
ticks() {
  local t=0 p f
  for p in "$@"; do
    for f in /proc/"$p"/task/*/stat; do
      [ -r "$f" ] && t=$((t + $(awk '{print $14 + $15}' "$f" 2>/dev/null || echo 0)))
    done
  done
  echo "$t"
}
server_pids() {  # URL -> the server's processes
  case "$1" in
    *":$httpd_port/") echo "$httpd_pid" ;;
    *) echo "$nginx_pid" $(pgrep -P "$nginx_pid" || true) ;;
  esac
}
hz=$(getconf CLK_TCK)

# run URL CONNECTIONS METHOD -> "requests_per_second p99_ms
# requests_per_cpu_second"
run() {
  local url=$1 conns=$2 method=$3
  local script=()
  [ "$method" = POST ] && script=(-s "$work/post.lua")
  local out t0 t1
  t0=$(ticks $(server_pids "$url"))
  out=$(taskset -c 1 wrk -t1 -c"$conns" -d"${seconds}s" --latency "${script[@]}" "$url" 2>&1)
  t1=$(ticks $(server_pids "$url"))
  if grep -q "Non-2xx" <<<"$out"; then
    echo "http_vs_nginx: non-2xx answers from $url:" >&2
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

best() {  # "rps p99" lines -> the line with the most requests per second
  sort -k1,1 -g | tail -n 1
}

echo "| method | connections | corvane-httpd req/s | p99 ms | nginx req/s | p99 ms | ratio | corvane-httpd req/CPU s | nginx req/CPU s | CPU ratio |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for method in GET POST; do
  for conns in 1 8 32 64; do
    h_runs="" n_runs=""
    for _ in $(seq "$rounds"); do
      h_runs+="$(run "http://127.0.0.1:$httpd_port/" "$conns" "$method")"$'\n'
      n_runs+="$(run "http://127.0.0.1:$nginx_port/" "$conns" "$method")"$'\n'
    done
    read -r h_rps h_p99 h_cpu < <(printf '%s' "$h_runs" | best)
    read -r n_rps n_p99 n_cpu < <(printf '%s' "$n_runs" | best)
    ratio=$(awk -v a="$h_rps" -v b="$n_rps" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    cpu_ratio=$(awk -v a="$h_cpu" -v b="$n_cpu" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    printf '| %s | %s | %.0f | %s | %.0f | %s | %s | %s | %s | %s |\n' \
      "$method" "$conns" "$h_rps" "$h_p99" "$n_rps" "$n_p99" "$ratio" \
      "$h_cpu" "$n_cpu" "$cpu_ratio"
  done
done

if [ "${CORVANE_STRACE:-0}" = 1 ] && command -v strace >/dev/null 2>&1; then
  before=$(grep -c ' 200 ' "$work/httpd.log" || true)
  strace -c -f -p "$httpd_pid" -o "$work/strace.txt" &
  strace_pid=$!
  sleep 1
  taskset -c 1 wrk -t1 -c8 -d3s -s "$work/post.lua" "http://127.0.0.1:$httpd_port/" >/dev/null
  sleep 0.5
  kill -INT "$strace_pid"
  wait "$strace_pid" 2>/dev/null || true
  after=$(grep -c ' 200 ' "$work/httpd.log" || true)
  requests=$((after - before))
  calls=$(awk '$NF == "total" {print $(NF-2)}' "$work/strace.txt")
  echo
  echo "strace -c -f: $calls system calls for $requests keep-alive POST requests" \
       "($(awk -v c="$calls" -v r="$requests" 'BEGIN { printf "%.1f", (r > 0 ? c / r : 0) }') per request)"
  head -n 20 "$work/strace.txt"
fi
