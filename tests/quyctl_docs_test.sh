#!/usr/bin/env bash
# Every quyctl line of the given documents parses: edits run with --dry-run
# and succeed, the others run against an empty private redis-server and are
# not refused as bad usage (status 2).
# Usage: quyctl_docs_test.sh QUYCTL DOC...
set -euo pipefail
quyctl=$1; shift
work=$(mktemp -d)
redis-server --port 0 --unixsocket "$work/redis.sock" --dir "$work" --save '' --appendonly no \
  --daemonize no >"$work/redis.log" 2>&1 &
redis_pid=$!
trap 'kill $redis_pid 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
end=$((SECONDS + 20))
until redis-cli -s "$work/redis.sock" ping >/dev/null 2>&1; do
  [ $SECONDS -lt $end ] || { echo "FAIL: redis-server did not answer"; exit 1; }
  sleep 0.1
done

passed=0 failed=0
# The indented command lines; the synopsis (COMMAND, [OPTIONS]) is no example.
lines=$(grep -hE '^ {4}(build/tools/quyctl/)?quyctl ' "$@" | sed -E 's/^ +(build\/tools\/quyctl\/)?//' |
  grep -v COMMAND || true)
[ -n "$lines" ] || { echo "FAIL: no quyctl line in $*"; exit 1; }
while IFS= read -r line; do
  eval "set -- ${line#quyctl }"
  case $1 in
    show|get|help|logs|wait|top) want=not-2; args=("$@") ;;
    *) want=0; args=("$@" --dry-run) ;;
  esac
  status=0
  "$quyctl" --redis "$work/redis.sock" "${args[@]}" </dev/null >"$work/out" 2>&1 || status=$?
  if { [ "$want" = 0 ] && [ $status = 0 ]; } || { [ "$want" = not-2 ] && [ $status != 2 ]; }; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL ($status): $line"; cat "$work/out"
  fi
done <<<"$lines"
echo "quyctl doc lines: $passed passed, $failed failed"
[ $failed = 0 ]
