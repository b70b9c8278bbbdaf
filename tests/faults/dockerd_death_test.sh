#!/usr/bin/env bash
# dockerd killed behind the agent's back while started: the runtime layer's
# supervisor starts it again, the container with restart policy "always"
# runs again, the agent keeps running, and `quyctl show containers` shows
# the daemon's side of each container beside the agent's status.
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
# The daemon's column of one container in the table.
daemon_says() { q show containers | awk -v n="$1" '$1 == n { print $3 }'; }
[ "$(daemon_says keeper)" = running ] || fail "show containers: keeper is '$(daemon_says keeper)'"

dockerd_pid() { pgrep -P "$(cat /run/quayd/docker/supervisor.pid)" -x dockerd; }
old=$(dockerd_pid)
kill -9 "$old"
wait_for "dockerd back under a new pid" sh -c \
  "p=\$(pgrep -P \$(cat /run/quayd/docker/supervisor.pid) -x dockerd) && [ \"\$p\" != $old ] && docker info >/dev/null"
wait_for "keeper running again" running keeper
kill -0 "$quayd_pid" || fail "quayd died with dockerd"
grep -q "dockerd exited unexpectedly; restarting" /run/quayd/docker/dockerd.log ||
  fail "the supervisor did not say it restarted dockerd"

# The agent's status still says both run; the daemon says what it has.
[ "$(field 'cell/0/quayd/container/status|loner' state)" = containerRunning_ ] ||
  fail "loner's status changed"
loner=$(docker inspect --format '{{.State.Status}}' loner)
[ "$loner" != running ] || fail "loner runs without a restart policy"
wait_for "show containers agrees with the daemon" sh -c \
  "[ \"\$($quyctl --redis $sock show containers | awk '\$1 == \"loner\" { print \$3 }')\" = $loner ]"
[ "$(daemon_says keeper)" = running ] || fail "show containers: keeper is '$(daemon_says keeper)'"
q show containers --json | grep -q "\"daemon\": \"$loner\"" || fail "show --json has no daemon state"
echo "after the kill: keeper running, loner $loner"

# The agent still works: a change of loner's parameters brings it back.
q container loner --memory 32m
wait_for "loner running again" running loner
echo PASS
