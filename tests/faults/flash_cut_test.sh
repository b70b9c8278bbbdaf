#!/usr/bin/env bash
# A power cut (the PID namespace of Redis, quayd and what they start killed
# at once) while quylbmount makes the flash image and while it checks it:
# stand-ins for mkfs.ext4 and e2fsck, first on the PATH, say they run and
# hold while $work/hold exists, so the cut lands inside them. Started
# again, the image is made anew (mkfs) or checked and mounted with its
# data (e2fsck). Then, with the mount tool's limit at 5 s, a time-out while
# e2fsck holds leaves no e2fsck running, and the next attempt mounts the
# image with its data.
# Usage: flash_cut_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/../integration/lib.sh"
enter_sandbox "$0" "$@"
. "$(dirname "$0")/box.sh"
export WAIT_S=90
trap 'rc=$?; rm -f "$work/hold"; power_off; (exit $rc); cleanup' EXIT

mkdir -p "$work/bin"
for tool in mkfs.ext4 e2fsck; do
  cat >"$work/bin/$tool" <<EOF
#!/bin/sh
if [ -e "$work/hold" ]; then
  touch "$work/in-$tool"
  while [ -e "$work/hold" ]; do sleep 0.1; done
fi
exec $(command -v $tool) "\$@"
EOF
  chmod +x "$work/bin/$tool"
done
export PATH="$work/bin:$(dirname "$3"):$PATH"

img=/mnt/flash/.quy/data-root.img
marker=quayd-test.marker
on_flash() { [ "$(field cell/0/quayd/status runningOnFlash)" = true ]; }
cc_runs() { on_flash && running cc && [ "$(field 'cell/0/quayd/container/status|cc' state)" = containerRunning_ ]; }
marker_sum() { in_box cat "/mnt/flash/.quy/data-root/$marker" | sha256sum; }
# held TOOL [CMD...]: the next start (and CMD after it) holds in TOOL; the
# power is cut there.
held() {
  local tool=$1; shift
  rm -f "$work/in-$tool"
  touch "$work/hold"
  start_box
  "$@"
  wait_for "quylbmount in $tool" test -e "$work/in-$tool"
  cut_power
  rm "$work/hold"
}
diagnose() {
  redis-cli -s "$sock" hgetall cell/0/quayd/status
  ls -la /mnt/flash/.quy || true
}

# mkfs: nothing but the half-made file is left; the next start makes it anew.
held mkfs.ext4 q daemon enable --on-flash --flash-limit 128M
start_box
wait_for "on flash after the cut in mkfs" on_flash
[ -e "$img.new" ] && fail "the half-made image is left beside the new one"
echo "cut in mkfs: the image is made anew and mounted"

make_image bb:1
q container cc --image bb:1 --command "$SLEEPER" --network none
wait_for "cc runs" cc_runs
head -c 4096 /dev/urandom | in_box dd of="/mnt/flash/.quy/data-root/$marker" status=none
in_box sync
sum=$(marker_sum) inode=$(stat -c %i "$img")

# e2fsck: the image is not clean (and its free block count wrong) after the
# cut; checked again after the second one, it is repaired and mounted.
cut_power
tune2fs -E force_fsck "$img" >/dev/null
debugfs -w -R "ssv free_blocks_count 1" "$img" >/dev/null 2>&1
held e2fsck
start_box
wait_for "cc runs after the cut in e2fsck" cc_runs
[ "$(stat -c %i "$img")" = "$inode" ] || fail "e2fsck cut: the image was made anew"
[ "$(marker_sum)" = "$sum" ] || fail "e2fsck cut: the file on the image changed"
echo "cut in e2fsck: checked again, mounted with its data"

# A time-out in e2fsck: its whole process group goes.
cut_power
tune2fs -E force_fsck "$img" >/dev/null
rm -f "$work/in-e2fsck"
touch "$work/hold"
quayd_args="--mount-tool-limit 5"
start_box
wait_for "quylbmount in e2fsck" test -e "$work/in-e2fsck"
wait_for "the start failed at the time-out" sh -c \
  "[ -n \"\$(redis-cli -s $sock hget cell/0/quayd/status mountError)\" ]"
no_e2fsck() { ! pgrep -f "$work/bin/e2fsck" >/dev/null; }
wait_for "no e2fsck left" no_e2fsck
rm "$work/hold"
echo "time-out in e2fsck: $(field cell/0/quayd/status mountError | head -n 1); no e2fsck left"
wait_for "cc runs after the retry" cc_runs
[ "$(stat -c %i "$img")" = "$inode" ] || fail "time-out: the image was made anew"
[ "$(marker_sum)" = "$sum" ] || fail "time-out: the file on the image changed"
echo "the next attempt mounted the image with its data"
echo PASS
