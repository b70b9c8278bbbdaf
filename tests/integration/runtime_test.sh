#!/usr/bin/env bash
# Operator's view of the runtime manager on the real dockerd: enable and
# disable, the data root on flash in a loop-mounted file system, a flash limit
# larger than the flash, recovery of a running daemon after the agent was
# killed, and a missing dockerd.
# Usage: runtime_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export TRACE='QuaydSm/0'
export WAIT_S=90

state_is() { status_is cell/0/quayd/status state "$1"; }
docker_answers() { docker info >/dev/null 2>&1; }
data_root() { docker info --format '{{.DockerRootDir}}'; }

start_redis
start_quayd

# Enable, then disable: dockerd comes up and goes down again.
t0=$(date +%s%N)
q daemon enable
wait_for "runtime started" state_is started_
echo "enable to started_: $(( ($(date +%s%N) - t0) / 1000000 )) ms"
docker_answers || fail "dockerd does not answer once started_"
[ "$(data_root)" = /var/lib/docker ] || fail "data root $(data_root)"
q daemon disable
wait_for "runtime stopped" state_is stopped_
docker_answers && fail "dockerd still answers after disable"

# On flash with a limit: the data root is a loop-mounted ext4 file system.
t0=$(date +%s%N)
q daemon enable --on-flash --flash-limit 256M
wait_for "runtime started on flash" state_is started_
echo "enable on flash to started_: $(( ($(date +%s%N) - t0) / 1000000 )) ms"
[ "$(data_root)" = /mnt/flash/.quy/data-root ] || fail "data root on flash is $(data_root)"
findmnt -n -o FSTYPE /mnt/flash/.quy/data-root | grep -q ext4 || fail "no loop mount"
status_is cell/0/quayd/status runningOnFlash true || fail "runningOnFlash not set"
# `quyctl show` tells the size of the file system in the image file, about the limit.
size_mb=$(q show --json | /usr/bin/python3 -c 'import json, sys
d = json.load(sys.stdin)["runtime"]["dataRoot"]
assert d["path"] == "/mnt/flash/.quy/data-root" and 0 < d["usedBytes"] < d["sizeBytes"], d
print(d["sizeBytes"] >> 20)') || fail "show has no data root use"
(( size_mb > 200 && size_mb <= 256 )) || fail "show says the data root holds $size_mb MiB"
q show | grep -q "^Data root       /mnt/flash/.quy/data-root, [0-9]* of $size_mb MiB used$" ||
  fail "show's data root line: $(q show)"

# The agent is killed while the runtime runs: the next agent recovers the
# same dockerd instead of restarting it.
dockerd_pid=$(cat /run/docker.pid)
[ -e "/proc/$dockerd_pid" ] || fail "no dockerd pid"
kill_quayd KILL
start_quayd
wait_for "recovery traced" grep -q "Quayd is recovered after crash" "$work/quayd.out"
state_is started_ || fail "not started_ after recovery"
[ "$(cat /run/docker.pid)" = "$dockerd_pid" ] && [ -e "/proc/$dockerd_pid" ] ||
  fail "dockerd was restarted"

# A flash limit beyond the free space refuses to start.
q daemon enable --on-flash --flash-limit 100G
wait_for "start refused" logged QUAYD_CONTAINER_SERVICE_START_FAILED
wait_for "stopped after refusal" state_is stopped_
findmnt /mnt/flash/.quy/data-root >/dev/null && fail "loop mount left behind"
q daemon disable

# Without dockerd the agent reports it, and starts once it is installed.
kill_quayd
QUAYD_DOCKERD=$work/no-dockerd start_quayd
q daemon enable
wait_for "not installed reported" logged QUAYD_DOCKER_NOT_INSTALLED
state_is stopped_ || fail "started without dockerd"
kill -0 "$quayd_pid" || fail "quayd died"
echo "runtime: 1 passed, 0 failed"
