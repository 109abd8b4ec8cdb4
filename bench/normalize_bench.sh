#!/bin/sh
# Throughput and peak memory of `veldra normalize` over the bundled corpus
# repeated to LINES lines (default 1,000,000), on one thread and on every
# core. Output goes to /dev/null; the figures are wall-clock lines/s and MB/s
# of input, CPU seconds and peak resident memory.
#
#   bench/normalize_bench.sh [VELDRA] [LINES]
#   STREAM=1 bench/normalize_bench.sh     # feed standard input through a pipe
#                                         # instead of a file (no file is written)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
veldra=${1:-$here/build/veldra}
lines=${2:-1000000}
rulebase=$here/examples/linux-syslog.rb
[ -x "$veldra" ] || { echo "normalize_bench: no veldra at $veldra (build first)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "normalize_bench: /usr/bin/time is needed for peak memory" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM
# One copy of the corpus with a line feed after every line, then repeated.
for f in "$here"/examples/corpus/OpenSSH_2k.log "$here"/examples/corpus/Linux_2k.log; do
  cat "$f"; [ -n "$(tail -c1 "$f")" ] && echo
done > "$tmp/unit"
unit_lines=$(wc -l < "$tmp/unit")
copies=$(( (lines + unit_lines - 1) / unit_lines ))

feed() { i=0; while [ $i -lt $copies ]; do cat "$tmp/unit"; i=$((i + 1)); done | head -n "$lines"; }
bytes=$(( $(wc -c < "$tmp/unit") * copies ))  # close enough for MB/s; exact below for files
if [ "${STREAM:-0}" = 1 ]; then
  input="-"
else
  feed > "$tmp/in.log"
  bytes=$(wc -c < "$tmp/in.log")
  input=$tmp/in.log
fi

echo "veldra normalize: $lines lines, $(( bytes / 1000000 )) MB of input, rulebase $(basename "$rulebase")"
echo "(the machine may be shared: multi-thread speed-ups measured under load are pessimistic)"
for jobs in 1 $(nproc); do
  if [ "$input" = "-" ]; then
    feed | /usr/bin/time -f '%e %U %S %M' -o "$tmp/t" "$veldra" normalize -r "$rulebase" -s - -o /dev/null --jobs "$jobs"
  else
    /usr/bin/time -f '%e %U %S %M' -o "$tmp/t" "$veldra" normalize -r "$rulebase" -s "$input" -o /dev/null --jobs "$jobs"
  fi
  read -r wall user sys rss < "$tmp/t"
  awk -v j="$jobs" -v w="$wall" -v u="$user" -v s="$sys" -v r="$rss" -v n="$lines" -v b="$bytes" 'BEGIN {
    if (w <= 0) w = 0.01
    printf "  --jobs %-3d %10.0f lines/s %8.1f MB/s   %6.2f s wall %6.2f s CPU   peak %6.1f MB\n",
           j, n / w, b / w / 1e6, w, u + s, r / 1024 }'
  [ "$(nproc)" = 1 ] && break
done
