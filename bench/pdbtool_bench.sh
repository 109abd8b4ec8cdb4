#!/bin/sh
# Peer benchmark: `veldra normalize` on one thread against syslog-ng's
# `pdbtool match` (a different system with its own pattern format; Debian
# package syslog-ng-core) on the same OpenSSH lines, both writing every
# result as JSON to /dev/null. pdbtool uses bench/pdbtool_openssh.xml, written
# to extract what the sshd rules of examples/linux-syslog.rb extract.
#
#   bench/pdbtool_bench.sh [VELDRA] [LINES]      (default: build/veldra, 1000000)
#
# Prints lines per second by wall clock and by CPU time (user + system; the
# fairer figure on a shared machine) and the ratio veldra / pdbtool.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
veldra=${1:-$here/build/veldra}
lines=${2:-1000000}
if ! command -v pdbtool > /dev/null 2>&1; then
  echo "pdbtool_bench: pdbtool is not installed (Debian: apt-get install syslog-ng-core); skipped"
  exit 0
fi
[ -x "$veldra" ] || { echo "pdbtool_bench: no veldra at $veldra (build first)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "pdbtool_bench: /usr/bin/time is needed" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM
# The corpus with plain line feeds (pdbtool would keep a carriage return in
# the message), repeated to the line count.
tr -d '\r' < "$here/examples/corpus/OpenSSH_2k.log" > "$tmp/unit"
[ -n "$(tail -c1 "$tmp/unit")" ] && echo >> "$tmp/unit"
unit=$(wc -l < "$tmp/unit")
i=0
while [ $((i * unit)) -lt "$lines" ]; do cat "$tmp/unit"; i=$((i + 1)); done | head -n "$lines" > "$tmp/in.log"
bytes=$(wc -c < "$tmp/in.log")

# How many lines each tool matched, on one copy of the corpus.
v_unparsed=$("$veldra" normalize -r "$here/examples/linux-syslog.rb" -s "$tmp/unit" --jobs 1 | grep -c '"unparsed-data"' || true)
p_matched=$(pdbtool match -p "$here/bench/pdbtool_openssh.xml" -f "$tmp/unit" -T '${.classifier.rule_id}\n' | grep -c . || true)
echo "corpus: $unit lines; veldra matched $((unit - v_unparsed)), pdbtool matched $p_matched"
echo "input: $lines lines, $((bytes / 1000000)) MB; one thread each, JSON to /dev/null"
echo "(on a shared machine wall-clock figures vary; CPU-time figures are steadier)"

measure() { # NAME COMMAND...
  name=$1; shift
  /usr/bin/time -f '%e %U %S %M' -o "$tmp/t" "$@" > /dev/null
  read -r wall user sys rss < "$tmp/t"
  awk -v n="$name" -v w="$wall" -v u="$user" -v s="$sys" -v r="$rss" -v l="$lines" -v b="$bytes" 'BEGIN {
    c = u + s; if (c <= 0) c = 0.01; if (w <= 0) w = 0.01
    printf "  %-8s %10.0f lines/s wall %10.0f lines/s CPU %7.1f MB/s CPU  peak %6.1f MB\n", n, l / w, l / c, b / c / 1e6, r / 1024
    print c > "/dev/stderr" }' 2>> "$tmp/cpu"
}
measure veldra "$veldra" normalize -r "$here/examples/linux-syslog.rb" -s "$tmp/in.log" -o /dev/null --jobs 1
measure pdbtool pdbtool match --module=json-plugin -p "$here/bench/pdbtool_openssh.xml" -f "$tmp/in.log" -T '$(format-json --scope nv-pairs)\n'
awk 'NR == 1 { v = $1 } NR == 2 { p = $1 } END { printf "veldra is %.2f times as fast as pdbtool (CPU time)\n", p / v }' "$tmp/cpu"
