#!/usr/bin/env bash
# The agent started before what it needs, each coming later: Redis, the
# flash file system, a VRF's network namespace. It says in its log what it
# waits for, asks again every 10 s, and proceeds once it is there.
# Usage: boot_order_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/../integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=60
sockred=/run/quayd/docker/ns-red.sock
answers_in_red() { docker -H "unix://$sockred" info >/dev/null 2>&1; }
within() {  # SECONDS_MAX T0 WHAT
  [ $((SECONDS - $2)) -le "$1" ] || fail "$3 took $((SECONDS - $2)) s, more than $1 s"
}

# Flash not mounted yet: /mnt/flash is a plain directory.
umount /mnt/flash
start_quayd
wait_for "quayd says it waits for Redis" logged QUAYD_STATE_DB_WAIT
kill -0 "$quayd_pid" || fail "quayd gave up without Redis"
start_redis
t0=$SECONDS
wait_for "the state database mounted" grep -q "state database mounted" "$work/quayd.out"
within 12 $t0 "mounting once Redis answers"

q daemon enable --on-flash --flash-limit 64M
wait_for "quayd says it waits for flash" logged QUAYD_FLASH_WAIT
status_is cell/0/quayd/status state started_ && fail "started without flash"
[ -e /mnt/flash/.quy ] && fail "wrote to flash before it was mounted"
mount -t tmpfs -o size=512m tmpfs /mnt/flash
t0=$SECONDS
wait_for "started on flash" status_is cell/0/quayd/status state started_
within 40 $t0 "starting once flash is mounted"
[ "$(field cell/0/quayd/status runningOnFlash)" = true ] || fail "not on flash"
[ "$(docker info --format '{{.DockerRootDir}}')" = /mnt/flash/.quy/data-root ] ||
  fail "data root $(docker info --format '{{.DockerRootDir}}')"
q daemon disable
wait_for "quy stopped" status_is cell/0/quayd/status state stopped_

# The VRF is active before its network namespace exists.
q containerz --vrf red
q vrf red --active
wait_for "quayd says it waits for the namespace" logged QUAYD_VRF_NAMESPACE_WAIT
answers_in_red && fail "dockerd up without its namespace"
ip netns add ns-red
ip -n ns-red link set lo up
t0=$SECONDS
wait_for "dockerd in ns-red" answers_in_red
within 40 $t0 "starting once the namespace exists"
kill -0 "$quayd_pid" || fail "quayd died"
echo PASS
