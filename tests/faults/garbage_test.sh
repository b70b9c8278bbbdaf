#!/usr/bin/env bash
# Garbage written into the state database by someone else while containers
# run: a value of the wrong type, an unknown field, a truncated JSON value,
# a key of another type, and an enumerator name that does not exist (read
# when the agent starts again). Each is reported once, at trace level 0 and
# in the agent's log, naming the path and the field; the containers keep
# running untouched and the agent keeps working.
# Usage: garbage_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/../integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=90
rc() { redis-cli -s "$sock" "$@" >/dev/null; }
reports() { grep QUAYD_STATE_DB_GARBAGE "$work/quayd.log" | grep -c -- "$1" || true; }
traced() {
  "$quayd" --dump-trace "$work"/*.rlog 2>/dev/null | grep " StateDb 0 " | grep -c -- "$1" || true
}
# reported_once WHAT: exactly one log line and one level-0 trace name WHAT.
reported_once() {
  wait_for "garbage reported: $1" sh -c "grep QUAYD_STATE_DB_GARBAGE $work/quayd.log | grep -q -- '$1'"
  [ "$(reports "$1")" = 1 ] || fail "'$1' reported $(reports "$1") times in the log"
  [ "$(traced "$1")" = 1 ] || fail "'$1' traced $(traced "$1") times at level 0"
}

bring_up
for n in ga gb; do
  q container $n --image bb:1 --command "$SLEEPER" --network none
done
for n in ga gb; do wait_for "$n running" running $n; done
ida=$(container_id ga) idb=$(container_id gb)
cfg='quayd/container/config|ga'

# Each kind twice: the second write of the same garbage is not told again.
for _ in 1 2; do
  rc hset "$cfg" enabled maybe
  rc hset "$cfg" colour red
  rc hset "$cfg" params '{"image":"bb:1","command":"sleep 1'
  rc set 'quayd/container/config|gb' 'not a hash'
done
reported_once "$cfg field enabled"
reported_once "$cfg field colour"
reported_once "$cfg field params"
reported_once "quayd/container/config|gb:"
grep QUAYD_STATE_DB_GARBAGE "$work/quayd.log" | grep -q "field enabled: not a valid value" ||
  fail "the report does not say what is wrong"
[ "$(container_id ga)" = "$ida" ] && [ "$(container_id gb)" = "$idb" ] || fail "garbage restarted a container"
running ga && running gb || fail "garbage stopped a container"
field 'cell/0/quayd/container/status|ga' params | grep -q 'sleep 100000 & wait' ||
  fail "ga's status lost its last good parameters"
kill -0 "$quayd_pid" || fail "quayd died"

# quyctl will not build an edit on a field it cannot read; writing the
# field outright repairs it, and the agent follows good writes again.
rc hset "$cfg" enabled true
q container ga --memory 32m 2>"$work/edit.err" && fail "quyctl edited over garbage"
grep -q "field params" "$work/edit.err" || fail "quyctl's refusal: $(cat "$work/edit.err")"
q set "$cfg" "params=$(printf '{"image":"bb:1","command":"%s","networking":"none","memory":"32m"}' "$SLEEPER")"
wait_for "ga restarted with its new memory" memory_is ga 33554432
q container gb --delete
wait_for "gb removed once its key is gone" gone gb

# An enumerator that does not exist, read when the agent starts: reported,
# and the entry goes on from the default (the container is run again).
kill_quayd KILL
rc hset 'cell/0/quayd/container/status|ga' state containerSideways_
start_quayd
reported_once "cell/0/quayd/container/status|ga field state"
wait_for "ga running under the restarted agent" sh -c \
  "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/container/status|ga' state)\" = containerRunning_ ]"
running ga || fail "ga not running"
[ "$(docker ps -aq | wc -l)" = 1 ] || fail "left-over containers: $(docker ps -a --format '{{.Names}}')"
kill -0 "$quayd_pid" || fail "quayd died"
echo PASS
