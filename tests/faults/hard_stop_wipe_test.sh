#!/usr/bin/env bash
# The hard stop erases /var/lib/docker only once the daemon is gone, and
# never what is mounted below it: with dockerd SIGSTOP'd and a local volume
# of type none bound to a directory elsewhere, in use by a container, a new
# agent that finds quy no longer configured stops what the old one left,
# skips the wipe, says so, and every file of the bound directory is there
# afterwards.
# Usage: hard_stop_wipe_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/../integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=90

bring_up
host=/mnt/bound
mkdir -p "$host/sub"
for i in 1 2 3; do head -c 1024 /dev/urandom >"$host/sub/f$i"; done
sums() { (cd "$host" && find . -type f | sort | xargs sha256sum); }
before=$(sums)
docker volume create --driver local --opt type=none --opt o=bind --opt device="$host" kept >/dev/null
q container user --image bb:1 --command "$SLEEPER" --network none --options "-v kept:/data"
wait_for "user runs" running user
awk '{print $5}' /proc/self/mountinfo | grep -qx /var/lib/docker/volumes/kept/_data ||
  fail "the volume is not mounted under /var/lib/docker"

daemon=$(cat /run/docker.pid)
resume() { kill -CONT "$daemon" 2>/dev/null || true; }
trap 'resume; cleanup' EXIT
kill_quayd KILL
kill -STOP "$daemon"
q daemon disable
start_quayd
wait_for "the hard stop done" status_is cell/0/quayd/status state stopped_
[ "$(sums)" = "$before" ] || fail "the bound directory lost files: $(sums)"
skipped() {
  "$quayd" --dump-trace "$work"/*.rlog 2>/dev/null |
    grep -q "The runtime did not stop; /var/lib/docker is erased at the next stop"
}
wait_for "the wipe skipped and traced" skipped
[ -d /var/lib/docker/volumes/kept ] || fail "/var/lib/docker was erased under a live daemon"
echo "hard stop with dockerd stopped: wipe skipped, the bound directory intact"
echo PASS
