#!/usr/bin/env bash
# The data root on flash outlives a mount that fails, as it does when no
# loop device is free (a stand-in `mount`, first on the PATH of the box
# only, refuses loop mounts while $work/no-loop exists): over an image with
# a container on it, the start fails with the reason in the runtime
# manager's status and the image is kept as it was (same inode, same
# checksum of a file on it), after a power cut (the hard stop of the run an
# earlier agent left) and after a restart with nothing claiming the image
# (the start-up sweep); once mount works again, the next retry brings the
# container back. A flash limit changed up and down keeps the data too.
# Usage: flash_data_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/../integration/lib.sh"
enter_sandbox "$0" "$@"
. "$(dirname "$0")/box.sh"
export WAIT_S=90
trap 'rc=$?; power_off; (exit $rc); cleanup' EXIT

mkdir -p "$work/bin"
cat >"$work/bin/mount" <<EOF
#!/bin/sh
case "\$*" in
*"-o loop"*)
  if [ -e "$work/no-loop" ]; then
    echo "mount: /mnt/flash/.quy/data-root: failed to setup loop device: No such device" >&2
    exit 32
  fi ;;
esac
exec $(command -v mount) "\$@"
EOF
chmod +x "$work/bin/mount"
export PATH="$work/bin:$(dirname "$3"):$PATH"

img=/mnt/flash/.quy/data-root.img
marker=quayd-test.marker
on_flash() { [ "$(field cell/0/quayd/status runningOnFlash)" = true ]; }
cc_runs() { on_flash && running cc && [ "$(field 'cell/0/quayd/container/status|cc' state)" = containerRunning_ ]; }
# The marker as read from the file system in the image, mounted or not.
marker_sum() {
  if in_box mountpoint -q /mnt/flash/.quy/data-root 2>/dev/null; then
    in_box cat "/mnt/flash/.quy/data-root/$marker" | sha256sum
  else
    debugfs -R "cat /$marker" "$img" 2>/dev/null | sha256sum
  fi
}
# refused WHEN: the start failed with the mount's reason and the image is
# the one it was, with its content.
refused() {
  wait_for "$1: the start refused with the reason" sh -c \
    "redis-cli -s $sock hget cell/0/quayd/status mountError | grep -q 'failed to setup loop device'"
  [ "$(field cell/0/quayd/status state)" = stopped_ ] || fail "$1: not stopped"
  [ -f "$img" ] || fail "$1: the image is gone"
  [ "$(stat -c %i "$img")" = "$inode" ] || fail "$1: the image was made anew"
  [ "$(marker_sum)" = "$sum" ] || fail "$1: the file on the image changed"
  echo "$1: refused ($(field cell/0/quayd/status mountError | head -n 1)), image kept"
}
diagnose() {
  redis-cli -s "$sock" hgetall cell/0/quayd/status
  ls -li /mnt/flash/.quy || true
}

start_box
q daemon enable --on-flash --flash-limit 256M
wait_for "on flash" on_flash
make_image bb:1
q container cc --image bb:1 --command "$SLEEPER" --network none
wait_for "cc runs" cc_runs
head -c 4096 /dev/urandom | in_box dd of="/mnt/flash/.quy/data-root/$marker" status=none
in_box sync
inode=$(stat -c %i "$img") sum=$(marker_sum)

# A power cut, and no loop device when the box comes back: the agent finds
# the run of the earlier one and cannot take it over.
cut_power
touch "$work/no-loop"
start_box
refused "hard stop"
# Restarted again, the image is claimed by no status.
power_off
start_box
refused "sweep"
# Loop devices again: the next retry (once a minute) brings cc back, with
# its image bb:1, which only the image on flash holds.
rm "$work/no-loop"
wait_for "cc runs again" cc_runs
[ "$(marker_sum)" = "$sum" ] || fail "the file on the image changed"
[ "$(stat -c %i "$img")" = "$inode" ] || fail "the image was made anew"
echo "mounted again at the retry: cc runs, the image is the same"

# A new limit, up then down: the file system is resized in place.
for limit in 320 256; do
  q daemon enable --on-flash --flash-limit ${limit}M
  wait_for "${limit}M: resized" sh -c "[ \$(stat -c %s $img) = $((limit << 20)) ]"
  wait_for "${limit}M: cc runs" cc_runs
  [ "$(marker_sum)" = "$sum" ] || fail "${limit}M: the file on the image changed"
  echo "flash limit ${limit}M: cc runs, the file on the image is the same"
done
echo PASS
