#!/usr/bin/env bash
# `corvane chat` throughput: a knowledge base of N keyword patterns (four
# lines each, as the writer lays them out, with a catch-all first) and L
# input lines, half of whose words hit a pattern. Prints the time of the
# load alone (empty input), of the load and all turns, the replies per
# second after the load, and the peak memory of each run.
#   bench/chat_throughput.sh [CORVANE] [PATTERNS] [LINES]
# CORVANE defaults to build/corvane, PATTERNS to 100000, LINES to 20000.
set -euo pipefail
corvane=${1:-build/corvane}
patterns=${2:-100000}
lines=${3:-20000}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

awk -v n="$patterns" 'BEGIN {
  printf "For-Mode\r\n  Response {Pardon?},Just Text,{},{}\r\n\r\n";
  for (i = 0; i < n; i++)
    printf "For-Mode\r\n  Fragment CUSTOM,10,0, {kw%d}, {}, {}\r\n  Response {Answer number %d, with a comma.},Just Text,{},{}\r\n\r\n", i, i;
}' > "$dir/kb.clf"
awk -v n="$patterns" -v l="$lines" 'BEGIN {
  srand(1);
  for (i = 0; i < l; i++)
    printf "hello kw%d is filler%d kw%d here\n", int(rand() * n), i, int(rand() * n);
}' > "$dir/input.txt"

# Seconds of user plus system time and the peak resident kilobytes.
run() {
  /usr/bin/time -f "%U %S %M" -o "$dir/time" "$corvane" chat --seed 1 "$dir/kb.clf" \
    < "$1" > "$dir/out" 2> /dev/null
  read -r user sys kb < "$dir/time"
  echo "$(echo "$user + $sys" | bc) $kb"
}

read -r load load_kb < <(run /dev/null)
read -r total total_kb < <(run "$dir/input.txt")
replies=$(wc -l < "$dir/out")
echo "patterns=$patterns lines=$lines replies=$replies"
echo "load only:        ${load} s CPU, peak ${load_kb} KiB"
echo "load and turns:   ${total} s CPU, peak ${total_kb} KiB"
turns=$(echo "$total - $load" | bc)
if [ "$(echo "$turns > 0" | bc)" = 1 ]; then
  echo "replies per second after the load: $(echo "$replies / $turns" | bc)"
fi
