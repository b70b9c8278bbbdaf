#!/usr/bin/env bash
# The Containerz sub-agent survives the agent: with its daemon in ns-red
# logging to a syslog server, a container on it and the gNOI service
# serving, a kill -9 of quayd and a new start, then a SIGTERM and a new
# start, keep the daemon, the container (its ID and StartedAt) and the
# service's process, and the status says running. A log driver changed
# while the agent was down starts the daemon anew with it.
# Usage: containerz_restart_test.sh QUAYD QUYCTL QUYLBMOUNT QUAYD_CONTAINERZ PROTO_DIR
set -euo pipefail
quayd=$1 quyctl=$2 server_bin=$4 proto_dir=$5
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=90 TRACE='ContainerzSm/0'
export QUAYD_CONTAINERZ_SERVER=$server_bin
server_field() { field mgmt/gnoi/containerz/serverStatus "$1"; }
dockerd_pid() { cat /run/quayd/docker/ns-red.pid; }
# What a restart of the agent must not change.
kept() {
  echo "dockerd $(dockerd_pid) app $(dred inspect app --format '{{.Id}} {{.State.StartedAt}}')" \
    "server $(server_field pid)"
}
diagnose() {
  echo "--- before: $before"; echo "--- now: $(kept 2>&1)"
  echo "--- crtStatus"; redis-cli -s "$sock" hgetall mgmt/gnoi/containerz/crtStatus
  echo "--- serverStatus"; redis-cli -s "$sock" hgetall mgmt/gnoi/containerz/serverStatus
  tail -n 20 "$work/quayd.out"
}
running_as_before() {
  [ "$(field mgmt/gnoi/containerz/crtStatus enabled)" = true ] &&
    [ -z "$(field mgmt/gnoi/containerz/crtStatus lastError)" ] &&
    [ "$(server_field state)" = running ] && [ "$(kept)" = "$before" ]
}
adoptions() { grep -c "Adopting the container runtime" "$work/quayd.out" || true; }

containerz_client "$proto_dir"
ip netns add ns-red
ip -n ns-red link set lo up
ip netns exec ns-red ncat -u -lk 127.0.0.1 5514 --sh-exec "cat >/dev/null" >/dev/null 2>&1 &
# The syslog server goes first: cleanup waits for every child.
syslogd=$!
trap 'kill "$syslogd" 2>/dev/null || true; cleanup' EXIT
start_redis
start_quayd
q containerz --vrf red --log-driver syslog --syslog-server udp://127.0.0.1:5514
q vrf red --active
wait_for "dockerd in ns-red" answers
wait_for "the service serving" cz list-images
DOCKER_HOST=unix://$sockred make_image bb:1
dred run -d --name app --network none bb:1 sh -c 'trap exit TERM; sleep 100000 & wait' >/dev/null
serving() { [ "$(server_field state)" = running ]; }
wait_for "the service running" serving
before=$(kept)

for sig in KILL TERM; do
  n=$(adoptions)
  kill_quayd $sig
  start_quayd
  adopted() { [ "$(adoptions)" = $((n + 1)) ]; }
  WAIT_S=30 wait_for "the runtime adopted after SIG$sig" adopted
  wait_for "the service serving after SIG$sig" cz list-images
  wait_for "the status rebuilt after SIG$sig" running_as_before
done

# The log driver changed while the agent was down: the daemon starts anew.
kill_quayd KILL
old=$(dockerd_pid)
q containerz --vrf red --log-driver none
start_quayd
restarted() { answers && [ "$(dockerd_pid)" != "$old" ] &&
  [ "$(dred info --format '{{.LoggingDriver}}')" = json-file ]; }
wait_for "dockerd started anew without the syslog driver" restarted
wait_for "the service back" cz list-images
[ "$(field mgmt/gnoi/containerz/crtStatus enabled)" = true ] || fail "crtStatus not enabled"
[ "$(adoptions)" = 2 ] || fail "a changed configuration was adopted"
kill -0 "$quayd_pid" || fail "quayd died"
echo "containerz_restart: 1 passed, 0 failed"
