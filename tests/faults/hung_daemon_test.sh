#!/usr/bin/env bash
# A daemon that takes connections and never answers, standing on the
# daemon's socket: every call of the agent gives up after seconds, so the
# agent goes on applying quyctl edits (a new container gets its status, with
# the reason it could not start), says in the runtime manager's status that
# the runtime does not answer, and ends within a second of SIGTERM even
# while a call waits.
# Usage: hung_daemon_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/../integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=90

bring_up
container_field() { field "cell/0/quayd/container/status|$1" "$2"; }

# The real daemon keeps running; its socket is taken by a listener that
# reads and never writes (its standard input held open so it never ends).
mv /run/docker.sock /run/docker.sock.real
mkfifo "$work/hold"
ncat -lkU /run/docker.sock <"$work/hold" >/dev/null 2>&1 &
ncat_pid=$!
exec 8>"$work/hold"
wait_for "the silent socket listens" test -S /run/docker.sock
restore() {
  kill "$ncat_pid" 2>/dev/null || true
  rm -f /run/docker.sock
  mv /run/docker.sock.real /run/docker.sock 2>/dev/null || true
}
trap 'restore; cleanup' EXIT

# Two edits, the second while the first container's run waits on the daemon.
q container first --image bb:1 --command "$SLEEPER" --network none
q container second --image bb:1 --command "$SLEEPER" --network none
for n in first second; do
  wait_for "$n marked as not started" sh -c \
    "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/container/status|$n' state)\" = containerStartFailed_ ]"
  container_field "$n" lastError | grep -qi "timeout\|timed out" ||
    fail "$n's error does not say the daemon timed out: $(container_field "$n" lastError)"
done
echo "edits applied while the daemon hangs: first, second containerStartFailed_"
err=$(field cell/0/quayd/status runtimeError)
case "$err" in
  *docker.sock*) echo "runtime reported as not answering: $err" ;;
  *) fail "the runtime manager's status does not say the daemon does not answer: '$err'" ;;
esac
# The agent still answers the state database: an edit of a removed
# container is applied too.
q container second --delete
wait_for "second's status gone" sh -c \
  "[ -z \"\$(redis-cli -s $sock hget 'cell/0/quayd/container/status|second' state)\" ]"

# SIGTERM while a call waits on the silent socket: the listener holds one
# more descriptor per connection it took.
idle=$(ls "/proc/$ncat_pid/fd" | wc -l)
q container third --image bb:1 --command "$SLEEPER" --network none
wait_for "a call waits on the silent socket" sh -c "[ \$(ls /proc/$ncat_pid/fd | wc -l) -gt $idle ]"
start=$(date +%s%N)
kill -TERM "$quayd_pid"
wait "$quayd_pid" || true
ms=$(( ($(date +%s%N) - start) / 1000000 ))
quayd_pid=
[ "$ms" -lt 1000 ] || fail "quayd took $ms ms to end on SIGTERM"
echo "quayd ended $ms ms after SIGTERM with a call waiting"
echo "PASS"
