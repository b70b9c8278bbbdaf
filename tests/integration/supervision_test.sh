#!/usr/bin/env bash
# The agent's supervision on the real dockerd: a container whose health check
# starts failing after 5 s is restarted (the same container, stopped and
# started) once the daemon calls it unhealthy, and its history says so; one
# without --restart-unhealthy is left alone; a container whose executable is
# missing fails to start and backs off (30 s, then 60 s, in its status), and
# is back at once when its command is fixed.
# Usage: supervision_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=60 TRACE='ContainerHealth/0-3,ContainerSm/0-1'
status() { field "cell/0/quayd/container/status|$1" "$2"; }
status_has() { [ "$(status "$1" "$2")" = "$3" ]; }
traced() { "$quayd" --dump-trace "$work"/*.rlog 2>/dev/null | grep -q "$1"; }
# Seconds from now to the next start attempt the status announces.
backing_off_in() { echo $(( $(date -d "$(status "$1" backingOff)" +%s) - $(date +%s) )); }
diagnose() { for n in ch cf cx; do echo "$n: $(q show container $n --json 2>&1)"; done; }

bring_up

# A start that fails: the daemon creates the container, its start cannot
# exec the command. Started first, its 30 s run beside the health checks.
q container cx --image bb:1 --command /no/such/binary --network none
wait_for "cx failed once" status_has cx startAttempts 1
first=$(backing_off_in cx)
[ "$first" -ge 27 ] && [ "$first" -le 31 ] || fail "first retry in $first s, not 30"

# Healthy for 5 s, then its check fails, saying why.
sick_after_5s="sh -c 'echo >/tmp/ok; (sleep 5; busybox rm /tmp/ok) & trap exit TERM; sleep 100000 & wait'"
check="--health-cmd 'test -e /tmp/ok || { echo no /tmp/ok; exit 1; }' --health-interval 1s --health-retries 2"
q container ch --image bb:1 --command "$sick_after_5s" --options "$check" --network none \
  --restart-unhealthy
q container cf --image bb:1 --command "$sick_after_5s" --options "$check" --network none
wait_for "ch running" running ch
wait_for "cf running" running cf
idh=$(container_id ch) idf=$(container_id cf)
startf=$(inspect cf '{{.State.StartedAt}}') starth=$(inspect ch '{{.State.StartedAt}}')
wait_for "ch restarted" status_has ch unhealthyRestarts 1
wait_for "ch running again" sh -c "[ \"\$(docker inspect --format '{{.State.StartedAt}}' $idh)\" != '$starth' ]"
[ "$(container_id ch)" = "$idh" ] || fail "ch was recreated, not restarted"
logged 'Container ch restarted: its health check reported it unhealthy, last output "no /tmp/ok' \
  || fail "no QUAYD_CONTAINER_UNHEALTHY_RESTART with the check's output"
# Its history: started, then unhealthy, exited and started again.
reasons() { q show container "$1" --json | python3 -c 'import json,sys; print(" ".join(e["reason"] for e in json.load(sys.stdin)["history"]))'; }
history_has() { reasons "$1" | grep -q "$2"; }
wait_for "ch's history" history_has ch 'started unhealthy exited started'

q show container ch | grep -q "unhealthy: no /tmp/ok" || fail "show container has no history"

# The one without the flag: unhealthy, seen, and left alone.
wait_for "cf unhealthy" sh -c "[ \"\$(docker inspect --format '{{.State.Health.Status}}' $idf)\" = unhealthy ]"
wait_for "cf's event read" traced "Container cf is unhealthy; not configured to restart"
[ "$(inspect cf '{{.State.StartedAt}}')" = "$startf" ] || fail "cf was restarted"
[ "$(status cf unhealthyRestarts)" = 0 ] || fail "cf counted a restart"

# cx's second attempt, 30 s after the first, waits 60 s for the third.
wait_for "cx failed twice" status_has cx startAttempts 2
second=$(backing_off_in cx)
[ "$second" -ge 57 ] && [ "$second" -le 61 ] || fail "second retry in $second s, not 60"
q show container cx | grep -q "backingOff *20" || fail "show container has no backingOff"
# Fixed, it runs at once, well within the 60 s.
q container cx --command "$SLEEPER"
WAIT_S=20 wait_for "cx running" running cx
# The daemon says running before the agent has read its answer and written
# the status.
WAIT_S=20 wait_for "cx no longer backing off" status_has cx backingOff ""
echo PASS
