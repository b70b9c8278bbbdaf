#!/usr/bin/env bash
# Where systemd is the init system, dockerd runs as a unit of the agent's
# own: the agent writes quayd-dockerd.service, starts and stops it through
# systemctl, finds it again after a restart of its own, and never starts its
# supervisor. systemd does not run in the sandbox; fake-systemctl stands in
# for it and runs the unit's lines as written.
# Usage: systemd_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH" TRACE=QuaydSm/0
mkdir -p /run/systemd/system "$work/systemd"
QUAYD_SYSTEMCTL=$(cd "$(dirname "$0")" && pwd)/fake-systemctl
export QUAYD_SYSTEMCTL FAKE_SYSTEMCTL_DIR=$work/systemd
unit=/run/systemd/system/quayd-dockerd.service
jobs_run() { grep -v '^is-active' "$work/systemd/calls" 2>/dev/null || true; }
starts() { grep -c '^start quayd-dockerd.service$' "$work/systemd/calls" || true; }
diagnose() {
  echo "--- systemctl calls"; cat "$work/systemd/calls"
  echo "--- main pid $(cat "$work/systemd/quayd-dockerd.service.pid" 2>/dev/null), dockerd $(cat /var/run/docker.pid 2>/dev/null)"
  echo "--- unit"; cat "$unit"
}

bring_up
for line in 'ExecStart="/usr/sbin/dockerd" --config-file "/run/quayd/docker/daemon.json"' \
            'StandardOutput=append:/run/quayd/docker/dockerd.log' \
            'Restart=always' 'KillMode=process' 'Conflicts=docker.service docker.socket'; do
  grep -qxF "$line" "$unit" || fail "the unit lacks $line"
done
[ ! -e /run/quayd/docker/supervisor.pid ] || fail "the supervisor ran as well"
[ "$(jobs_run)" = $'daemon-reload\nstart quayd-dockerd.service' ] || fail "systemctl jobs"
grep -q "API listen on /var/run/docker.sock" /run/quayd/docker/dockerd.log ||
  fail "the daemon's output is not in its log"

q container sd1 --image bb:1 --command "$SLEEPER" --network none
wait_for "sd1 running" running sd1
id=$(container_id sd1) daemon=$(cat /var/run/docker.pid)

# The agent restarts: the unit is found active and left alone.
kill_quayd KILL
start_quayd
wait_for "recovered" grep -q "Quayd is recovered after crash" "$work/quayd.out"
[ "$(starts)" = 1 ] || fail "the unit was started again"
[ "$(container_id sd1)" = "$id" ] && running sd1 || fail "sd1 was restarted"
[ "$(cat /var/run/docker.pid)" = "$daemon" ] || fail "dockerd was restarted"

# Disabled: the unit is stopped through systemctl and removed.
q daemon disable
wait_for "runtime stopped" status_is cell/0/quayd/status state stopped_
jobs_run | grep -qx 'stop quayd-dockerd.service' || fail "not stopped through systemctl"
[ ! -e "$unit" ] || fail "the unit is left behind"
! alive "$daemon" || fail "dockerd still runs"
# Enabled again: the unit is written and started anew.
q daemon enable
wait_for "runtime started again" status_is cell/0/quayd/status state started_
[ "$(starts)" = 2 ] && [ -e "$unit" ] || fail "not started again through systemctl"
wait_for "sd1 running again" running sd1
echo "systemd: 1 passed, 0 failed"
