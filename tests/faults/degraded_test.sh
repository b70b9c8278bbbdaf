#!/usr/bin/env bash
# Things that go wrong around the agent, each with a clear status and, where
# the agent has one, a syslog message, while the rest keeps working: a
# registry that refuses connections, a tarball deleted while it loads, and
# a full flash under the daemon's data root.
# Usage: degraded_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/../integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=120
state_is() { status_is cell/0/quayd/status state "$1"; }
has_image() { docker image inspect "$1" >/dev/null 2>&1; }

bring_up
# An image with a layer of 96 MiB that does not compress.
big=$work/bigroot
mkdir -p "$big"
head -c 96M /dev/urandom >"$big/blob"
tar -C "$big" -c . | docker import - big:1 >/dev/null
docker save -o "$work/big.tar" big:1
docker rmi big:1 >/dev/null
cp "$work/big.tar" /mnt/flash/big.tar
make_image small:1 "$work/small.tar"

# (a) A registry that refuses connections: the login fails and is marked
# so; a container whose image lives there fails to start, with the reason;
# a container from a local image runs.
q registry gone --server 127.0.0.1:5999 --username ops --password s3cret
wait_for "login marked failed" sh -c \
  "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/registry/status|gone' state)\" = loginFailed ]"
q container remote --image 127.0.0.1:5999/bb:1 --command "$SLEEPER" --network none
q container local --image bb:1 --command "$SLEEPER" --network none
wait_for "remote fails to start" sh -c "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/container/status|remote' state)\" = containerStartFailed_ ]"
field 'cell/0/quayd/container/status|remote' lastError | grep -qi "connection refused\|connect" ||
  fail "remote's error does not say why: $(field 'cell/0/quayd/container/status|remote' lastError)"
wait_for "QUAYD_CONTAINER_START_FAILED for remote" sh -c \
  "grep QUAYD_CONTAINER_START_FAILED $work/quayd.log | grep -q remote"
wait_for "local running" running local
echo "(a) refused registry: login loginFailed, remote containerStartFailed_, local running"

# (b) A tarball deleted while it loads: either the daemon got the whole
# image (the file was open) and the status says so, or the load failed and
# is reported; the next tarball loads either way.
q image load "$work/big.tar"
wait_for "the load under way" sh -c \
  "[ \"\$(redis-cli -s $sock hget cell/0/quayd/image/status state)\" = starting_ ] || docker image inspect big:1 >/dev/null 2>&1"
rm -f "$work/big.tar"
q image load "$work/small.tar"
wait_for "small:1 loaded" has_image small:1
wait_for "images settled" sh -c "[ \"\$(redis-cli -s $sock hget cell/0/quayd/image/status state)\" = started_ ]"
if has_image big:1; then
  field "cell/0/quayd/image/status|$work/big.tar" tag | grep -q big:1 || fail "big:1 loaded but not in status"
  echo "(b) deleted tarball: the open file loaded whole; status has big:1"
else
  grep QUAYD_IMAGE_LOAD_FAILED "$work/quayd.log" | grep -q big.tar || fail "the failed load was not reported"
  echo "(b) deleted tarball: load failed and reported"
fi
kill -0 "$quayd_pid" || fail "quayd died"

# (c) A full flash: the data root on a 64 MiB flash file system; the big
# image does not fit, is reported with the daemon's reason, and the daemon
# goes on running containers from images that fit.
q container remote --delete
q container local --delete
q daemon disable
wait_for "runtime stopped" state_is stopped_
q image load "$work/big.tar" --delete
q image load "$work/small.tar" --delete
q daemon enable --on-flash --flash-limit 64M
wait_for "runtime started on flash" state_is started_
q image load /mnt/flash/big.tar
wait_for "the full flash reported" sh -c "grep QUAYD_IMAGE_LOAD_FAILED $work/quayd.log | grep -q /mnt/flash/big.tar"
grep QUAYD_IMAGE_LOAD_FAILED "$work/quayd.log" | grep /mnt/flash/big.tar | grep -qi "no space" ||
  fail "the message does not say the flash is full: $(grep QUAYD_IMAGE_LOAD_FAILED "$work/quayd.log" | tail -1)"
rm -f /mnt/flash/big.tar
make_image fits:1
q container fits --image fits:1 --command "$SLEEPER" --network none
wait_for "a container runs on the full flash's daemon" running fits
kill -0 "$quayd_pid" || fail "quayd died"
echo "(c) full flash: load failed with 'no space', fits running"
no_password_leaks || fail "a password leaked"
echo PASS
