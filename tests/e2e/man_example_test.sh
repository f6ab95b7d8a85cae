#!/usr/bin/env bash
# The man page's jq example, run as a reader would run it: its filter, taken from the page's
# source, over a real --json stream of quillon-cli flash against quillon-devsim.
# Usage: man_example_test.sh QUILLON_CLI_H2M QUILLON_CLI QUILLON_DEVSIM EXAMPLES_DIR
set -euo pipefail
h2m=$1 cli=$2 devsim=$3 examples=$4
command -v jq >/dev/null || { echo "FAIL: jq is not installed (scripts/setup installs it)" >&2; exit 1; }
line=$(grep -m1 -- '| jq ' "$h2m" | sed 's/\\-/-/g')
filter=${line#*jq -c \'}
filter=${filter%\'}
work=$(mktemp -d)
trap 'kill "$device" 2>/dev/null || true; rm -rf "$work"' EXIT
"$devsim" --link "$work/dev" >"$work/device.out" 2>&1 &
device=$!
for _ in $(seq 200); do [ -e "$work/dev" ] && break; sleep 0.05; done
"$cli" flash --yes --json --ini "$work/q.ini" --log "$work/q.sts" --boot "$examples/nivaload.sub" \
  --port "$work/dev" "$examples/update.mot" >"$work/stream.jsonl"
selected=$(jq -c "$filter" <"$work/stream.jsonl")
count=$(grep -c . <<<"$selected" || true)
if [ "$count" != 1 ] || ! jq -e '.event == "result" and .ok == true' <<<"$selected" >/dev/null; then
  echo "FAIL: the man page's filter '$filter' selects from a one-port run: ${selected:-nothing}" >&2
  exit 1
fi
