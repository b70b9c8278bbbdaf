#!/usr/bin/env bash
# Concurrent quyctl edits against a real redis-server lose nothing: 20 runs
# that add to the same tarball list at once all land, and registries written
# with passwords while others are deleted (and the credential sweep runs)
# keep their password files. Each race runs 20 times.
# Usage: quyctl_race_test.sh QUYCTL
set -euo pipefail
quyctl=$1
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
start_redis
creds=/var/lib/quayd/credentials
rounds=${RACE_ROUNDS:-20} runs=20

# Starts "q ARGS..." in the background for each argument line on stdin and
# fails unless every run exits 0.
race() {
  local pids=() line
  while IFS= read -r line; do
    eval "q $line" >>"$work/race.out" 2>&1 &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p" || fail "a concurrent quyctl failed: $(tail -n 3 "$work/race.out")"; done
}

for round in $(seq "$rounds"); do
  redis-cli -s "$sock" del quayd/image/config >/dev/null
  for i in $(seq "$runs"); do echo "image load /mnt/flash/r$round-$i.tar"; done | race
  got=$(field quayd/image/config tarball | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))')
  [ "$got" = "$runs" ] || fail "round $round: $got of $runs tarballs in the list"
done
echo "tarball list: $runs concurrent edits landed in each of $rounds rounds"

# The credential each registry names, and what its file holds: "NAME SECRET".
named_secrets() {
  redis-cli -s "$sock" --scan --pattern 'quayd/registry/config|*' | while read -r key; do
    name=$(field "$key" params | python3 -c 'import json,sys; print(json.load(sys.stdin)["credential"])')
    echo "${key#*|} $(cat "$creds/$name" 2>/dev/null)"
  done | sort
}
for round in $(seq "$rounds"); do
  for i in $(seq $((runs / 2))); do
    echo "registry old$i --server r:5000 --username u --password old-$round-$i"
  done | race
  {
    for i in $(seq $((runs / 2))); do
      echo "registry new$i --server r:5000 --username u --password new-$round-$i"
      echo "registry old$i --delete"
    done
  } | race
  want=$(for i in $(seq $((runs / 2))); do echo "new$i new-$round-$i"; done | sort)
  got=$(named_secrets)
  [ "$got" = "$want" ] || fail "round $round: registries and their passwords: $got"
  for i in $(seq $((runs / 2))); do redis-cli -s "$sock" del "quayd/registry/config|new$i" >/dev/null; done
  q registry new1 --delete
  left=$(find "$creds" -type f ! -name .lock | wc -l)
  [ "$left" = 0 ] || fail "round $round: $left password files left after every registry went"
done
echo "registries: passwords written beside concurrent deletes all kept, in $rounds rounds"

# A state database that closes the connection after its first answer (as a
# Redis shutting down does): the edit fails with a reason and exit status 1,
# which a caller may retry, instead of quyctl dying of SIGPIPE.
/usr/bin/python3 - "$work/closing.sock" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.bind(sys.argv[1])
s.listen(8)
while True:
    c, _ = s.accept()
    c.recv(65536)
    c.sendall(b"+OK\r\n")
    c.close()
PY
closing_pid=$!
wait_for "the closing server listens" test -S "$work/closing.sock"
status=0
"$quyctl" --redis "$work/closing.sock" profile p1 --cpu-shares 512 >"$work/closing.out" 2>&1 ||
  status=$?
kill "$closing_pid"
[ "$status" = 1 ] && grep -q '^quyctl: ' "$work/closing.out" ||
  fail "quyctl against a closing state database: status $status, $(cat "$work/closing.out")"
echo "a state database that closes mid-edit: quyctl says $(head -n 1 "$work/closing.out")"
