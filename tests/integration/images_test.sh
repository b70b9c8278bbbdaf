#!/usr/bin/env bash
# Operator's view of images and registries on the real dockerd: configured
# and persistent tarballs load at enable and go at disable, a bad tarball (or
# a FIFO, a directory, a device) is reported without stopping the others, logins against a password-protected
# local registry, and the daemon's insecure-registry list follows the
# configuration without a restart. A tarball rebuilt in place under the same
# tag is loaded again when the agent starts again, and its container is run
# again from the new image; an unchanged one is not loaded again. No
# password leaks anywhere.
# Usage: images_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=90 TRACE='RegistrySm/0-2,ImageLoadSm/0-5'
state_is() { status_is cell/0/quayd/status state "$1"; }
has_image() { docker image inspect "$1" >/dev/null 2>&1; }
registry_is() { [ "$(field "cell/0/quayd/registry/status|$1" state)" = "$2" ]; }

start_redis
start_quayd
q daemon enable
wait_for "runtime started" state_is started_
make_image app:1 "$work/app.tar"
make_image flash:1 /mnt/flash/.quayd/flash.tar
echo "not an image" >"$work/junk.tar"
q daemon disable
wait_for "runtime stopped" state_is stopped_

# (a) configured and persistent tarballs load when the daemon is enabled.
q image load "$work/junk.tar"
q image load "$work/app.tar"
q image persistent-path /mnt/flash/
q daemon enable
wait_for "app:1 loaded" has_image app:1
wait_for "flash:1 loaded" has_image flash:1
wait_for "image status" sh -c "redis-cli -s $sock hget 'cell/0/quayd/image/status|$work/app.tar' tag | grep -q app:1"
field cell/0/quayd/image/persistentPathStatus image | grep -q flash:1 || fail "persistent image not in status"
# (b) the bad tarball is reported and did not stop the others.
wait_for "QUAYD_IMAGE_LOAD_FAILED" logged QUAYD_IMAGE_LOAD_FAILED
grep QUAYD_IMAGE_LOAD_FAILED "$work/quayd.log" | grep -q junk.tar || fail "message does not name the tarball"
# A FIFO, a directory and a device are refused within seconds with the
# reason, never read, and the reason is in each one's status, as it is for
# the junk tarball: the agent goes on, and a container edited next runs.
mkfifo "$work/fifo.tar"
mkdir "$work/dir.tar"
load_error() {  # TARBALL: the reason `quyctl show images` gives for it
  q show images --json | python3 -c 'import json, sys
e = json.load(sys.stdin)["cell/0/quayd/image/status"].get("elements", {})
print(e.get(sys.argv[1], {}).get("error", ""))' "$1"
}
for t in "$work/fifo.tar" "$work/dir.tar" /dev/zero; do
  q image load "$t"
  WAIT_S=10 wait_for "$t refused" sh -c \
    "grep QUAYD_IMAGE_LOAD_FAILED $work/quayd.log | grep -q '$t is not a regular file'"
  [ "$(load_error "$t")" = "$t is not a regular file" ] || fail "$t: status says '$(load_error "$t")'"
done
[ -n "$(load_error "$work/junk.tar")" ] || fail "the junk tarball's status has no reason"
[ -z "$(load_error "$work/app.tar")" ] || fail "app.tar loaded but its status has a reason"
q container c1 --image app:1 --command "$SLEEPER" --network none
wait_for "c1 running" running c1
q container c1 --memory 64m
c1_edited() { running c1 && memory_is c1 67108864; }
wait_for "c1 edited and running" c1_edited
q container c1 --delete
for t in "$work/fifo.tar" "$work/dir.tar" /dev/zero; do q image load "$t" --delete; done
q image load "$work/app.tar" --delete
wait_for "app:1 unloaded" sh -c "! docker image inspect app:1 >/dev/null 2>&1"

# (c) logins against the password-protected registry.
start_registry
q registry lab --server 127.0.0.1:5000 --username ops --password s3cret
wait_for "lab logged in" registry_is lab loggedIn
echo wrongpw | q registry bad --server 127.0.0.1:5000 --username ops --password-stdin
wait_for "bad login failed" registry_is bad loginFailed
failures() { grep -c "Failed to login to registry" "$work/quayd.out" || true; }
before=$(failures)
t0=$SECONDS
wait_for "the failed login is retried" sh -c "[ \$(grep -c 'Failed to login to registry' $work/quayd.out) -gt $before ]"
[ $((SECONDS - t0)) -ge 25 ] || fail "retried after $((SECONDS - t0)) s, not 30"
echo s3cret | q registry bad --server 127.0.0.1:5000 --username ops --password-stdin
wait_for "fixed password logs in" registry_is bad loggedIn

# (d) an insecure registry reaches the running daemon without a restart.
dockerd_pid=$(cat /run/docker.pid)
q registry mirror --server 10.9.8.7:5000 --insecure
wait_for "insecure registry in docker info" sh -c \
  "docker info --format '{{json .RegistryConfig.IndexConfigs}}' | grep -q 10.9.8.7:5000"
[ "$(cat /run/docker.pid)" = "$dockerd_pid" ] || fail "dockerd was restarted"
q registry mirror --delete
wait_for "insecure registry gone" sh -c \
  "! docker info --format '{{json .RegistryConfig.IndexConfigs}}' | grep -q 10.9.8.7:5000"

# (e) A tarball rebuilt in place under the same tag, then the agent restarted.
# Both builds are made first: the daemon must not know the second one.
build() { echo "$1" >"$work/rootfs/gen"; make_image re:1 "$2"; }
build two "$work/re-two.tar"
build one "$work/re.tar"
image_id() { docker image inspect --format '{{.Id}}' "$1" 2>/dev/null; }
loads_of() { image_load_ids | grep -c "^$1\$" || true; }  # loads of image ID $1
kept() { "$quayd" --dump-trace "$work"/*.rlog 2>/dev/null | grep -c "Image of $work/re.tar is in the runtime already" || true; }
kept_more_than() { [ "$(kept)" -gt "$1" ]; }
q image load "$work/re.tar"
q container re --image re:1 --command "$SLEEPER" --network none
wait_for "re running" running re
one=$(image_id re:1) seen=$(kept)
# The daemon's event list may lag behind the container it already runs.
load_seen() { [ "$(loads_of "$1")" -ge 1 ]; }
wait_for "re.tar's load among the daemon's events" load_seen "$one"
[ "$(loads_of "$one")" = 1 ] || fail "re.tar loaded $(loads_of "$one") times"
kill_quayd
start_quayd
wait_for "the unchanged tarball seen" kept_more_than "$seen"
[ "$(loads_of "$one")" = 1 ] || fail "the unchanged tarball was loaded again"
cp "$work/re-two.tar" "$work/re.tar.new" && mv "$work/re.tar.new" "$work/re.tar"
kill_quayd
start_quayd
runs_new() {
  local id
  id=$(image_id re:1) && [ "$id" != "$one" ] && running re && [ "$(inspect re '{{.Image}}')" = "$id" ]
}
wait_for "re runs the rebuilt image" runs_new
wait_for "the rebuilt tarball's load among the daemon's events" load_seen "$(image_id re:1)"
[ "$(loads_of "$(image_id re:1)")" = 1 ] ||
  fail "$(loads_of "$(image_id re:1)") loads of the rebuilt tarball"
wait_for "the status gives the new image ID" \
  status_is "cell/0/quayd/container/status|re" imageId "$(image_id re:1)"
q container re --delete
q image load "$work/re.tar" --delete

# Disabling removes every loaded image and the dangling ones.
tar -C "$work/rootfs" -c . | docker import - >/dev/null  # a dangling image
q daemon disable
wait_for "runtime stopped" state_is stopped_
rm /mnt/flash/.quayd/flash.tar
q daemon enable
wait_for "runtime started again" state_is started_
wait_for "lab logged in again: the chain is up" registry_is lab loggedIn
[ -z "$(docker images -q)" ] || { docker images; fail "images left after disable"; }

no_password_leaks || fail "a password leaked"
echo "images: 1 passed, 0 failed"
