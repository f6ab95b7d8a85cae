#!/usr/bin/env bash
# quillon-cli.exe station under Wine, against quillon-devsim fixtures behind COM3 and COM4
# (scripts/test-windows maps them): the run records (SQLite's Windows locking, two processes on
# one database), the serial numbers on each board's flash, a faulty board, a killed station,
# Ctrl-C, history, and the live page asked from the Linux side with curl. The records are read
# back by Debian's sqlite3, the flash by od.
# Usage: tests/wine/station.sh ROOT   (WINEPREFIX set, the mingw and dev builds made)
set -euo pipefail
root=$1
cli_exe="$root/build/mingw/src/cli/quillon-cli.exe"
devsim="$root/build/dev/src/devsim/quillon-devsim"
linux_cli="$root/build/dev/src/cli/quillon-cli"
work=$(mktemp -d)
win_work="Z:${work//\//\\}"
fixtures=()
cleanup() {
  kill "${fixtures[@]}" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "quillon-cli.exe station: $*" >&2; exit 1; }

cp "$root/examples/update.mot" "$root/examples/nivaload.sub" "$work/"
"$linux_cli" image "$work/update.mot" --output "$work/image.bin" >/dev/null
# A small update (256 bytes of block 0) for the runs whose point is not the image.
head -c 256 /dev/urandom >"$work/small.bin"
objcopy -I binary -O srec --srec-len=32 "$work/small.bin" "$work/small.mot"
db="$work/runs.db"
sql() { sqlite3 "$db" "$1"; }

# fixture COM NAME ARGS...: a simulated fixture behind COM (3 or 4); its boards' flash in NAME.bin.N.
fixture() {
  local com=$1 name=$2
  shift 2
  rm -f "$root/build/mingw/com$com" "$work/$name".bin*
  "$devsim" --link "$root/build/mingw/com$com" --flash-out "$work/$name.bin" "$@" >/dev/null 2>&1 &
  fixtures+=($!)
  for _ in $(seq 100); do [ -L "$root/build/mingw/com$com" ] && break; sleep 0.05; done
}
# station OUT ARGS...: quillon-cli.exe station in the work folder, its events in OUT.json.
station() {
  local out=$1
  shift
  (cd "$work" && "$root/scripts/wine-run" "$cli_exe" station --boot nivaload.sub --baud 115200 \
    --ini "$win_work\\none.ini" --log "$win_work\\q.sts" --record "$win_work\\runs.db" --json "$@" \
    </dev/null >"$work/$out.json" 2>"$work/$out.err")
}
# The big-endian number at 0x3FF00 of a board's flash.
stamp_at() { od -An -tu1 -j $((0x3FF00)) -N4 "$1" | awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 }'; }
finish_fixtures() {
  local status=0
  for pid in "${fixtures[@]}"; do wait "$pid" || status=$?; done
  fixtures=()
  return $status
}
stop_fixtures() {
  kill "${fixtures[@]}" 2>/dev/null || true
  wait "${fixtures[@]}" 2>/dev/null || true
  fixtures=()
}

echo "   two fixtures, six boards: six rows, 1000-1005 each on exactly one board's flash"
fixture 3 fa --boards 3
fixture 4 fb --boards 3
set +e
image_sha256=$("$linux_cli" info "$work/update.mot" --json | jq -r .image_sha256)
station six --port COM3 --port COM4 --units 6 --serial-number 0x3FF00:be32 --first-serial 1000 --operator Aiko \
  --expect-sha256 "$image_sha256" \
  --on-result 'echo %QUILLON_RESULT% %QUILLON_OK% %QUILLON_PORT% %QUILLON_SERIAL%> hook-%QUILLON_UNIT%.txt' update.mot
status=$?
set -e
[ $status -eq 0 ] || fail "exit $status: $(cat "$work/six.err")"
finish_fixtures || fail "a fixture did not complete its boards"
[ "$(sql "SELECT count(*), sum(ok), min(serial_number), max(serial_number), count(DISTINCT serial_number),
          min(result), max(result), count(DISTINCT port) FROM units")" = "6|6|1000|1005|6|205|205|2" ] ||
  fail "the rows are not six passed units numbered 1000-1005 on two ports: $(sql 'SELECT * FROM units')"
[ "$(sql "SELECT DISTINCT operator FROM units")" = Aiko ] || fail "the operator is not in every row"
stamps=()
for name in fa fb; do
  for board in 1 2 3; do
    flash="$work/$name.bin.$board"
    [ "$(stat -c %s "$flash" 2>/dev/null)" = $((0x40000)) ] || fail "$name board $board has no whole flash"
    stamps+=("$(stamp_at "$flash")")
    # Apart from its number, every board holds the update file's image.
    cp "$flash" "$work/unstamped.bin"
    printf '\xff\xff\xff\xff' | dd of="$work/unstamped.bin" bs=1 seek=$((0x3FF00)) conv=notrunc status=none
    cmp -s "$work/unstamped.bin" "$work/image.bin" || fail "$name board $board holds something else than the image"
  done
done
[ "$(printf '%s\n' "${stamps[@]}" | sort -n | tr '\n' ' ')" = "1000 1001 1002 1003 1004 1005 " ] ||
  fail "the boards hold the numbers ${stamps[*]}"
[ "$(grep -c '"event":"board"' "$work/six.json")" = 6 ] && [ "$(grep -c '"event":"result"' "$work/six.json")" = 6 ] ||
  fail "the events do not count six boards and six results"
tail -1 "$work/six.json" | grep -q '"event":"summary","passed":6' || fail "the last event is not a summary of six passed"
# --on-result ran through cmd.exe once per unit, with the unit's facts.
for unit in 1 2 3 4 5 6; do
  expected="205 1 $(sql "SELECT port, serial_number FROM units WHERE id = $unit" | tr '|' ' ')"
  [ "$(tr -d '\r' <"$work/hook-$unit.txt" 2>/dev/null | sed 's/ *$//')" = "$expected" ] ||
    fail "--on-result for unit $unit wrote '$(cat "$work/hook-$unit.txt" 2>/dev/null)', not '$expected'"
done

[ "$(sql "SELECT DISTINCT image_sha256 FROM units")" = "$image_sha256" ] || fail "the rows do not hold the pinned image's hash"
echo "   --expect-sha256 of another image: exit 19, nothing sent"
fixture 3 fa --report "$work/report.txt"
set +e
station pinned --port COM3 --units 1 --expect-sha256 "$(printf '%064d' 0)" update.mot
status=$?
set -e
stop_fixtures
[ $status -eq 19 ] || fail "a wrong --expect-sha256 gave exit $status, not 19: $(cat "$work/pinned.err")"
grep -q "$image_sha256" "$work/pinned.err" "$work/pinned.json" || fail "the refusal does not name the file's image hash"
! grep -q "^seen:" "$work/report.txt" 2>/dev/null || fail "the device saw something: $(cat "$work/report.txt")"
[ "$(sql "SELECT count(*) FROM units")" = 6 ] || fail "a refused station wrote a row"

echo "   history --csv: the columns in their order, read back by sqlite3's own CSV reader"
(cd "$work" && "$root/scripts/wine-run" "$cli_exe" history --record "$win_work\\runs.db" --csv </dev/null) \
  | tr -d '\r' >"$work/h.csv"
sqlite3 "$work/back.db" ".import --csv $work/h.csv h"
[ "$(sqlite3 "$work/back.db" "SELECT group_concat(name, ',') FROM pragma_table_info('h'); \
     SELECT count(*), min(serial_number), group_concat(DISTINCT serial_counter) FROM h")" = \
  "id,station,port,adapter,operator,started_utc,ended_utc,seconds,update_file,image_sha256,boot_sha256,serial_number,bytes_sent,result,ok,stop_phase,stop_block,stop_chunk,records,quillon_version,serial_counter,serial_reused_by
6|1000|default" ] || fail "history --csv read back: $(head -3 "$work/h.csv")"
[ "$("$linux_cli" history --record "$db" --csv | tail -n +2 | cut -d, -f1,3,12,14)" = \
  "$(tail -n +2 "$work/h.csv" | cut -d, -f1,3,12,14)" ] || fail "history --csv differs from the Linux build's on the same file"

echo "   two processes on one database; a faulty board fails its row, the next board passes"
rm -f "$db"
fixture 3 fa --boards 2 --silent-after-chunk 3 --fault-board 1
fixture 4 fb --boards 2
set +e
station one --port COM3 --units 2 --serial-number 0x3FF00:be32 small.mot &
first=$!
station two --port COM4 --units 2 --serial-number 0x3FF00:be32 small.mot &
second=$!
wait $first
first_status=$?
wait $second
second_status=$?
set -e
stop_fixtures
[ $first_status -eq 17 ] && [ $second_status -eq 0 ] ||
  fail "the faulty fixture's station gave exit $first_status (not 17), the other $second_status: $(cat "$work/one.err" "$work/two.err")"
[ "$(sql "SELECT count(*), count(DISTINCT serial_number), min(serial_number), max(serial_number) FROM units")" = "4|4|1|4" ] ||
  fail "two processes did not take four distinct numbers: $(sql 'SELECT id, port, serial_number FROM units')"
[ "$(sql "SELECT result, ok, stop_phase, stop_chunk, records <> '' FROM units WHERE port = 'COM3' ORDER BY id")" = \
  "503|0|transfer|1|1
205|1|||0" ] || fail "COM3's rows: $(sql "SELECT * FROM units WHERE port = 'COM3'")"
[ "$(stamp_at "$work/fa.bin.2")" = "$(sql "SELECT serial_number FROM units WHERE port = 'COM3' AND ok = 1")" ] ||
  fail "the second board on COM3 does not hold its row's number"

echo "   a station killed with taskkill /F: an INCOMPLETE row in a whole database"
rm -f "$db"
fixture 3 fa --boards 1 --latency-ms 20
station killed --port COM3 update.mot &
killed=$!
for _ in $(seq 400); do grep -q '"event":"progress"' "$work/killed.json" 2>/dev/null && break; sleep 0.05; done
grep -q '"event":"progress"' "$work/killed.json" || fail "the station never began the unit: $(cat "$work/killed.err")"
"$root/scripts/wine-run" taskkill /F /IM quillon-cli.exe >/dev/null 2>&1 || fail "taskkill /F did not end the station"
set +e; wait $killed; set -e
stop_fixtures
[ "$(sql 'PRAGMA integrity_check')" = ok ] || fail "the database is damaged"
[ "$(sql 'SELECT count(*), count(result) FROM units')" = "1|0" ] || fail "the killed unit's row: $(sql 'SELECT * FROM units')"
(cd "$work" && "$root/scripts/wine-run" "$cli_exe" history --record "$win_work\\runs.db" --json </dev/null) |
  grep -q '"result": *"INCOMPLETE"' || fail "history does not call the killed unit INCOMPLETE"

echo "   --http: /healthz, /api/state, 405 and 421 from the Linux side; Ctrl-C ends the unit as INTERRUPTED"
rm -f "$db"
fixture 3 fa --boards 1 --latency-ms 40
port=$(( 20000 + RANDOM % 20000 ))
station paged --port COM3 --http "127.0.0.1:$port" update.mot &
paged=$!
for _ in $(seq 400); do grep -q '"event":"progress"' "$work/paged.json" 2>/dev/null && break; sleep 0.05; done
grep -q '"event":"progress"' "$work/paged.json" || fail "the station with --http never began the unit: $(cat "$work/paged.err")"
page="http://127.0.0.1:$port"
[ "$(curl -s -o /dev/null -w '%{http_code}' "$page/healthz")" = 200 ] || fail "/healthz did not answer 200"
curl -s "$page/api/state" | jq -e '.ports[0].port == "COM3"' >/dev/null || fail "/api/state: $(curl -s "$page/api/state")"
[ "$(curl -s -o /dev/null -w '%{http_code}' -X POST "$page/api/state")" = 405 ] || fail "a POST was not answered 405"
[ "$(curl -s -o /dev/null -w '%{http_code}' -H 'Host: evil.example' "$page/api/state")" = 421 ] ||
  fail "a request for another host was not answered 421"
wine_station=$(pgrep -f 'quillon-cli.exe station' | head -1)
[ -n "$wine_station" ] || fail "the station with --http was not running"
kill -INT "$wine_station"
set +e; wait $paged; status=$?; set -e
stop_fixtures
[ $status -eq 130 ] || fail "Ctrl-C gave exit $status, not 130: $(cat "$work/paged.err")"
[ "$(sql 'SELECT count(*), result FROM units')" = "1|130" ] || fail "the interrupted unit's row: $(sql 'SELECT * FROM units')"
grep -q INTERRUPTED "$work/q.sts" || fail "the log has no INTERRUPTED record"
