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
export WAIT_S=90 TRACE='ContainerzSm/0,UrlReachability/0,Probe/5'
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

# A malformed syslog server: traced, the daemon stays down, the agent lives.
q containerz --vrf red --log-driver syslog --syslog-server not-a-url
wait_for "down with a malformed server" sh -c "! docker -H unix://$sockred info >/dev/null 2>&1"
wait_for "the bad URL traced" grep -q "Failed to parse scheme in URL not-a-url" "$work/quayd.out"
kill -0 "$quayd_pid" || fail "quayd died on a malformed URL"

# A UDP syslog server inside the VRF that answers only later: the daemon
# waits for it, then starts within one probe interval with the syslog driver,
# and a container's output reaches the server.
q containerz --vrf red --log-driver syslog --syslog-server udp://127.0.0.1:5514
wait_for "the first probe failed" grep -q "Probe urlProbe failed" "$work/quayd.out"
answers && fail "dockerd up before the server answers"
ip netns exec ns-red ncat -u -lk 127.0.0.1 5514 --sh-exec "cat >>$work/syslog.out" \
  >/dev/null 2>&1 &
server=$!
t0=$SECONDS
WAIT_S=45 wait_for "dockerd up once the server answers" answers
[ $((SECONDS - t0)) -le 35 ] || fail "took $((SECONDS - t0)) s, more than a probe interval"
[ "$(dred info --format '{{.LoggingDriver}}')" = syslog ] || fail "not the syslog log driver"
DOCKER_HOST=unix://$sockred make_image bb:1
dred run --rm --network none bb:1 echo hello-from-containerz >/dev/null
wait_for "container output at the server" grep -q hello-from-containerz "$work/syslog.out"
kill -- "$server" 2>/dev/null || true

# To the quy sub-agent and back: one daemon goes, the other comes.
q daemon enable
q containerz --delete
wait_for "the normal dockerd" status_is cell/0/quayd/status state started_
answers && fail "the namespace dockerd still runs"
docker info >/dev/null || fail "the normal dockerd does not answer"
q containerz --vrf red
wait_for "Containerz again" crt_enabled
wait_for "the namespace dockerd again" answers
status_is cell/0/quayd/status state stopped_ || fail "the quy runtime still runs"
q daemon disable

# Back to the quy sub-agent: Containerz goes, its runtime with it.
q containerz --delete
wait_for "Containerz stopped" sh -c "[ \"\$(redis-cli -s $sock hget mgmt/gnoi/containerz/crtStatus enabled)\" = false ]"
answers && fail "the Containerz dockerd still runs"
[ -d /mnt/flash/.containerz/data-root ] || fail "the data root was removed"
kill -0 "$quayd_pid" || fail "quayd died"
echo "containerz: 1 passed, 0 failed"
