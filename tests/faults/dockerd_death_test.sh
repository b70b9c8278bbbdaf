#!/usr/bin/env bash
# A container without restart policy that exits stays exited, and its status
# says so at once. dockerd killed behind the agent's back while started: the
# runtime layer's supervisor starts it again, the container with restart
# policy "always" runs again, and the agent, following the daemon's events
# again, runs the one without restart policy again. The agent keeps running,
# and `quyctl show containers` shows the daemon's side of each container;
# `quyctl wait` and `quyctl logs` work on the real daemon's containers.
# Usage: dockerd_death_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/../integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=120

bring_up
q container keeper --image bb:1 --command "$SLEEPER" --network none --restart always
q container loner --image bb:1 --command "$SLEEPER" --network none
for n in keeper loner; do wait_for "$n running" running $n; done
# What a script does next: wait for the state, read the log.
q wait keeper --state containerRunning_ --timeout 60 || fail "quyctl wait: keeper not running"
rc=0; q wait keeper --state containerStopped_ --timeout 0.5 2>/dev/null || rc=$?
[ $rc = 1 ] || fail "quyctl wait past its timeout exited $rc"
q logs keeper --tail 5 >/dev/null || fail "quyctl logs keeper failed"
# The daemon's column of one container in the table.
daemon_says() { q show containers | awk -v n="$1" '$1 == n { print $4 }'; }
[ "$(daemon_says keeper)" = running ] || fail "show containers: keeper is '$(daemon_says keeper)'"

status() { field "cell/0/quayd/container/status|$1" "$2"; }
wait_for "keeper's status says it runs" sh -c \
  "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/container/status|keeper' daemonState)\" = running ]"

# loner ends on its own: the agent only reports it.
docker kill loner >/dev/null
wait_for "loner's status says it exited" sh -c \
  "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/container/status|loner' daemonState)\" = exited ]"
[ "$(status loner exitCode)" = 137 ] || fail "loner's exit code is '$(status loner exitCode)'"
[ "$(status loner state)" = containerRunning_ ] || fail "loner's status changed"
[ "$(daemon_says loner)" = "exited(137)" ] || fail "show containers: loner is '$(daemon_says loner)'"
loner_id=$(container_id loner)
docker start loner >/dev/null
wait_for "loner's status says it runs again" sh -c \
  "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/container/status|loner' daemonState)\" = running ]"
[ "$(container_id loner)" = "$loner_id" ] || fail "the agent replaced loner while it ran"
docker pause loner >/dev/null
wait_for "loner's status says it is paused" sh -c \
  "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/container/status|loner' daemonState)\" = paused ]"
docker unpause loner >/dev/null
wait_for "loner's status says it runs after the pause" sh -c \
  "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/container/status|loner' daemonState)\" = running ]"

dockerd_pid() { pgrep -P "$(cat /run/quayd/docker/supervisor.pid)" -x dockerd; }
old=$(dockerd_pid)
kill -9 "$old"
wait_for "dockerd back under a new pid" sh -c \
  "p=\$(pgrep -P \$(cat /run/quayd/docker/supervisor.pid) -x dockerd) && [ \"\$p\" != $old ] && docker info >/dev/null"
wait_for "keeper running again" running keeper
kill -0 "$quayd_pid" || fail "quayd died with dockerd"
grep -q "dockerd exited unexpectedly; restarting" /run/quayd/docker/dockerd.log ||
  fail "the supervisor did not say it restarted dockerd"

# The daemon did not start loner again; the agent did, once the daemon's
# events came back: a new container, logged as started.
wait_for "loner running again" running loner
[ "$(container_id loner)" != "$loner_id" ] || fail "loner is the old container"
[ "$(grep QUAYD_CONTAINER_STARTED "$work/quayd.log" | grep -c loner)" = 2 ] ||
  fail "loner's new start was not logged once"
[ "$(status loner state)" = containerRunning_ ] || fail "loner's status changed"
wait_for "loner's status says it runs" sh -c \
  "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/container/status|loner' daemonState)\" = running ]"
for n in keeper loner; do
  [ "$(daemon_says $n)" = running ] || fail "show containers: $n is '$(daemon_says $n)'"
done
q show containers --json | grep -q '"daemonState": "running"' || fail "show --json has no daemon state"
echo "after the kill: keeper and loner running"

# The agent still works: a change of loner's parameters brings in a new one.
q container loner --memory 32m
wait_for "loner runs with its new memory" memory_is loner 33554432
wait_for "loner running" running loner
echo PASS
