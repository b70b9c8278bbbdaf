#!/usr/bin/env bash
# redis-server stopped and started again in the middle of a bring-up pass of
# 10 containers: the agent keeps starting containers while the database is
# away, nothing configured before the stop is lost, a change made after the
# restart is seen, and in the end the status in Redis agrees with the daemon.
# Usage: redis_restart_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/../integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=120

bring_up

running_in_daemon() { docker ps --filter label=quayd-fault=1 -q | wc -l; }
state_of() { field "cell/0/quayd/container/status|$1" state; }
# All ten wait behind one condition, so the agent holds every configuration
# before the database goes: what it has not read yet, it cannot start.
for i in $(seq 10); do
  q container "r$i" --image bb:1 --command "$SLEEPER" --network none \
    --options "--label quayd-fault=1" --poll-interval 1 --startup-condition "test -e $work/go"
done
all_waiting() {
  local n
  for n in $(seq 10); do [ "$(state_of "r$n")" = containerWaiting_ ] || return 1; done
}
wait_for "every container waiting for its condition" all_waiting
touch "$work/go"
more_running_than() { [ "$(running_in_daemon)" -gt "$1" ]; }
wait_for "the pass under way" more_running_than 1
stop_redis
before=$(running_in_daemon)
echo "redis stopped with $before of 10 running"
[ "$before" -lt 10 ] || echo "note: the pass ended before the stop"
[ "$before" = 10 ] || wait_for "the agent goes on without the database" more_running_than "$before"
kill -0 "$quayd_pid" || fail "quayd stopped with the database"
start_redis
wait_for "resynchronised" logged QUAYD_STATE_DB_BACK
q container r11 --image bb:1 --command "$SLEEPER" --network none \
  --options "--label quayd-fault=1"

agrees() {
  local n
  for n in $(seq 11); do
    [ "$(state_of "r$n")" = containerRunning_ ] || return 1
    [ "$(docker inspect --format '{{.State.Running}}' "r$n" 2>/dev/null)" = true ] || return 1
  done
  [ "$(running_in_daemon)" = 11 ]
}
diagnose() {
  docker ps -a --format '{{.Names}} {{.Status}}'
  for n in $(seq 11); do echo "r$n $(state_of "r$n")"; done
}
wait_for "every container running and the status agreeing" agrees
logged QUAYD_STATE_DB_LOST || fail "the loss was not logged"
kill -0 "$quayd_pid" || fail "quayd died"
echo PASS
