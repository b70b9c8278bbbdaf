#!/usr/bin/env bash
# Operator's view of containers on the real dockerd: three containers run
# with their parameters, a name that begins another's ID names only its own
# container, a change restarts only its container, disable and
# delete, startup conditions and their time-out, a container removed behind
# the agent's back, an image pulled from a password-protected registry, a
# killed agent that recovers without restarting anything, and disable taking
# every container down before dockerd.
# Usage: containers_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=90 TRACE='QuaydSm/0'
export QUY_TEST_STARTUP_CONDITION_TIMEOUT=2
state_is() { status_is cell/0/quayd/status state "$1"; }
cstate() { field "cell/0/quayd/container/status|$1" state; }
running() { [ "$(cstate "$1")" = containerRunning_ ] && [ -n "$(container_id "$1")" ]; }

start_redis
start_quayd
q daemon enable
wait_for "runtime started" state_is started_
make_image bb:1
mkdir -p "$work/data"

# (a) three containers with their parameters.
q container ca --image bb:1 --command "sleep 1000" --memory 64m --restart unless-stopped \
  --volume "$work/data:/data:ro" --network none
q container cb --image bb:1 --command "sleep 1000" --network none
q container cc --image bb:1 --command "sh -c 'echo cc up; sleep 1000'" --network none
for n in ca cb cc; do wait_for "$n running" running $n; done
[ "$(inspect ca '{{json .Config.Cmd}}')" = '["sleep","1000"]' ] || fail "a's command"
[ "$(inspect cc '{{json .Config.Cmd}}')" = '["sh","-c","echo cc up; sleep 1000"]' ] ||
  fail "c's quoted command"
# quyctl runs the runtime's client for what a container printed.
[ "$(q logs cc --tail 1)" = "cc up" ] || fail "quyctl logs: $(q logs cc --tail 1 2>&1)"
[ "$(inspect ca '{{.HostConfig.Memory}}')" = 67108864 ] || fail "a's memory limit"
[ "$(inspect ca '{{.HostConfig.RestartPolicy.Name}}')" = unless-stopped ] || fail "a's restart policy"
inspect ca '{{json .HostConfig.Binds}}' | grep -q "$work/data:/data:ro" || fail "a's bind mount"
docker ps --format '{{.Names}}' | sort | tr '\n' ' ' | grep -q "^ca cb cc $" || fail "docker ps"
logged "Container ca started" || fail "no QUAYD_CONTAINER_STARTED"

# (b) a parameter change restarts only that container.
ida=$(container_id ca) idb=$(container_id cb) idc=$(container_id cc)
# A container named as the start of another's ID is a container of its own:
# running and deleting it leaves the other alone.
prefix=${ida:0:4}
q container "$prefix" --image bb:1 --command "sleep 1000" --network none
wait_for "$prefix running" running "$prefix"
q container "$prefix" --delete
wait_for "$prefix removed" gone "$prefix"
running ca && [ "$(container_id ca)" = "$ida" ] || fail "a container named $prefix touched ca"
q container cb --memory 32m
wait_for "cb restarted" memory_is cb 33554432
wait_for "cb running" running cb
[ "$(container_id ca)" = "$ida" ] && [ "$(container_id cc)" = "$idc" ] || fail "a or c was restarted"
[ "$(container_id cb)" != "$idb" ] || fail "b was not replaced"

# (c) disable removes from the daemon; delete removes the status.
q container cc --disable
wait_for "cc removed" gone cc
[ "$(cstate cc)" = containerStopped_ ] || fail "c not containerStopped_"
q container cc --delete
wait_for "c's status gone" sh -c "! redis-cli -s $sock exists 'cell/0/quayd/container/status|cc' | grep -q 1"

# (d) a startup condition that fails twice, then succeeds; one that overruns.
q container cd --image bb:1 --command "sleep 1000" --network none --poll-interval 1 \
  --startup-condition "n=\$(cat $work/tries 2>/dev/null || echo 0); echo \$((n+1)) >$work/tries; [ \$n -ge 2 ]"
wait_for "cd waits" sh -c "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/container/status|cd' state)\" = containerWaiting_ ]"
wait_for "cd running" running cd
[ "$(cat "$work/tries")" = 3 ] || fail "the condition ran $(cat "$work/tries") times"
q container ce --image bb:1 --command "sleep 1000" --network none --startup-condition "sleep 30"
wait_for "time-out reported" logged "Startup condition bash commands for Container ce timed out after 2 seconds"
[ "$(cstate ce)" = containerWaiting_ ] || fail "e started despite its condition"
q container ce --delete

# (e) removed behind the agent's back: run again at once, with no edit.
docker rm -f "$(container_id ca)" >/dev/null
wait_for "ca running again" sh -c "id=\$(docker ps -q --no-trunc --filter name=^ca\$); [ -n \"\$id\" ] && [ \"\$id\" != $ida ]"
running ca || fail "ca is not running again"

# (f) an image missing locally comes from the password-protected registry.
start_registry
mkdir -p "$work/client"
echo s3cret | DOCKER_CONFIG=$work/client docker login -u ops --password-stdin 127.0.0.1:5000 >/dev/null
docker tag bb:1 127.0.0.1:5000/bb:1
DOCKER_CONFIG=$work/client docker push -q 127.0.0.1:5000/bb:1 >/dev/null
docker rmi 127.0.0.1:5000/bb:1 >/dev/null
q registry lab --server 127.0.0.1:5000 --username ops --password s3cret
wait_for "lab logged in" sh -c "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/registry/status|lab' state)\" = loggedIn ]"
q container cf --image 127.0.0.1:5000/bb:1 --command "sleep 1000" --network none
wait_for "cf running from the registry image" running cf

# (g) the agent is killed and restarted: the same containers, no restart, no message.
declare -A ids
for n in ca cb cd cf; do ids[$n]=$(container_id $n); done
kill_quayd KILL
messages=$(grep -c QUAYD_ "$work/quayd.log" || true)
start_quayd
wait_for "recovered" grep -q "Quayd is recovered after crash" "$work/quayd.out"
wait_for "containers started_" status_is cell/0/quayd/container/status state started_
for n in ca cb cd cf; do
  [ "$(container_id $n)" = "${ids[$n]}" ] || fail "$n was restarted after the agent's restart"
  running $n || fail "$n not running after recovery"
done
[ "$(grep -c QUAYD_ "$work/quayd.log")" = "$messages" ] || fail "a syslog message after recovery"

# (h) disable takes every container down before dockerd stops.
q daemon disable
wait_for "runtime stopped" state_is stopped_
for n in ca cb cd cf; do
  grep -q "Container $n stopped and removed" "$work/quayd.log" || fail "$n not removed"
done
# Unconfigured while disabled, so that nothing starts them again: whatever
# the daemon still has was left behind by the disable.
for n in ca cb cd cf; do q container $n --delete; done
q daemon enable
wait_for "runtime started again" state_is started_
wait_for "containers started_ again" sh -c "[ \"\$(redis-cli -s $sock hget cell/0/quayd/container/status state)\" = started_ ]"
[ -z "$(docker ps -aq --filter label=quayd.agent)" ] || fail "containers left in the daemon"

no_password_leaks || fail "a password leaked"
echo "containers: 1 passed, 0 failed"
