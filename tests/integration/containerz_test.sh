#!/usr/bin/env bash
# Operator's view of the Containerz sub-agent: dockerd comes up inside the
# VRF's network namespace with its data root on flash once the VRF is active,
# goes down when the VRF does, and with a syslog server configured waits for
# that server to answer from the VRF before it starts with the syslog log
# driver. Switching back to the quy sub-agent takes it down.
# Usage: containerz_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=90 TRACE='ContainerzSm/0'
sockred=/run/quayd/docker/ns-red.sock
dred() { docker -H "unix://$sockred" "$@"; }
answers() { dred info >/dev/null 2>&1; }
crt_enabled() { [ "$(field mgmt/gnoi/containerz/crtStatus enabled)" = true ]; }
netns_of() { stat -L -c %i "/proc/$1/ns/net"; }

ip netns add ns-red
ip -n ns-red link set lo up
start_redis
start_quayd

# The VRF is not active yet: the sub-agent runs, the runtime does not.
q containerz --vrf red
wait_for "Containerz running" crt_enabled
answers && fail "dockerd up before its VRF is active"
q vrf red --active
wait_for "dockerd in ns-red" answers
[ "$(netns_of "$(cat /run/quayd/docker/ns-red.pid)")" = "$(stat -L -c %i /run/netns/ns-red)" ] ||
  fail "dockerd is not in the VRF's namespace"
[ "$(dred info --format '{{.DockerRootDir}}')" = /mnt/flash/.containerz/data-root ] ||
  fail "data root $(dred info --format '{{.DockerRootDir}}')"
q vrf red --inactive
wait_for "dockerd down with the VRF" sh -c "! docker -H unix://$sockred info >/dev/null 2>&1"
q vrf red --active
wait_for "dockerd back with the VRF" answers

# A syslog server that answers only later, inside the VRF.
q containerz --vrf red --log-driver syslog --syslog-server tcp://127.0.0.1:6514
wait_for "down while the server is silent" sh -c "! docker -H unix://$sockred info >/dev/null 2>&1"
ip netns exec ns-red ncat -lk 127.0.0.1 6514 >/dev/null 2>&1 &
server=$!
wait_for "dockerd up once the server answers" answers
kill "$server"
[ "$(dred info --format '{{.LoggingDriver}}')" = syslog ] || fail "not the syslog log driver"

# Back to the quy sub-agent: Containerz goes, its runtime with it.
q containerz --delete
wait_for "Containerz stopped" sh -c "[ \"\$(redis-cli -s $sock hget mgmt/gnoi/containerz/crtStatus enabled)\" = false ]"
answers && fail "the Containerz dockerd still runs"
[ -d /mnt/flash/.containerz/data-root ] || fail "the data root was removed"
kill -0 "$quayd_pid" || fail "quayd died"
echo "containerz: 1 passed, 0 failed"
