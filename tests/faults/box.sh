# The box of the power-cut tests: a PID namespace (with its own mount
# namespace, so the mounts of what runs in it go with it) holding Redis and
# quayd and whatever they start. Its init is a shell that only waits.
# Source it after tests/integration/lib.sh's enter_sandbox; $quayd_args are
# given to quayd.
box=
quayd_args=
start_box() {
  rm -f "$work/quayd.start"
  unshare --pid --fork --mount-proc -- bash -c '
    redis-server --port 0 --unixsocket "$1" --dir "$2" --appendonly yes \
      --appendfsync always --save "" >>"$2/redis.log" 2>&1 &
    end=$((SECONDS + 30))
    until redis-cli -s "$1" ping >/dev/null 2>&1 || [ $SECONDS -ge $end ]; do sleep 0.1; done
    date +%s.%N >"$2/quayd.start"
    RINGLOGDIR=$2 "$3" --redis "$1" --log-file "$2/quayd.log" $4 >>"$2/quayd.out" 2>&1 &
    wait' _ "$sock" "$work" "$quayd" "$quayd_args" &
  box=$!
  wait_for "quayd started" test -s "$work/quayd.start"
}
# The init of the box, as this namespace sees it.
box_init() { local p; p=$(cat "/proc/$box/task/$box/children" 2>/dev/null) && echo $p; }
# in_box CMD...: runs CMD in the box's mount namespace, where its mounts are.
in_box() { nsenter -t "$(box_init)" -m -- "$@"; }
# The box's pids mean nothing out here: nothing of it is killed by pid file.
power_off() {
  if [ -n "$box" ]; then
    local init
    init=$(box_init) || true
    [ -n "$init" ] && kill -9 $init 2>/dev/null
    wait "$box" 2>/dev/null || true
    box=
  fi
  rm -f /run/quayd/docker/supervisor.pid /run/docker.pid
}
# Whatever the daemon still has mounted under a data root, and the loop
# device of the flash image, are gone with the box's mount namespace. Loop
# devices are the machine's: one is matched by the image's inode, which
# only a file that exists has (otherwise losetup matches any by its name).
mounts_gone() {
  local img=/mnt/flash/.quy/data-root.img
  ! awk '{print $5}' /proc/self/mountinfo | grep -q '^/var/lib/docker/\|^/mnt/flash/.quy/' &&
    { [ ! -e "$img" ] || [ -z "$(losetup -j "$img" 2>/dev/null)" ]; }
}
cut_power() {
  power_off
  wait_for "every mount of the box gone" mounts_gone
  umount -l /run
  mount -t tmpfs -o mode=0755 tmpfs /run
  mkdir -p /run/netns
}
