# A Debian 12 system booted with systemd as PID 1 under systemd-nspawn, for
# the tests that need a real init. The root is made once with mmdebstrap from
# the mirror apt uses and kept in $BOOT_CACHE; each test unpacks it into a
# tmpfs of its own (dockerd's overlay2 works there), in a private mount
# namespace, so nothing of the host is touched. The test keeps the host's
# network: apt inside reaches the mirror through it, while the booted system
# itself has a private network.
# Source it, then call boot_enter "$0" "$@" first.

BOOT_CACHE=${BOOT_CACHE:-/var/cache/quayd-boot}
# The packages in the root; what the package under test depends on is only
# downloaded, so that apt installs it as on a fresh system.
BOOT_INCLUDE=systemd,systemd-sysv,dbus,busybox-static,ca-certificates,iproute2,passwd,procps
BOOT_DOWNLOAD="docker.io redis-server ncat e2fsprogs"

boot_enter() {
  if [ -z "${QUAYD_BOOT_NS:-}" ]; then
    QUAYD_BOOT_NS=1 exec unshare --mount --propagation private -- "$@"
  fi
  work=$(mktemp -d /tmp/quayd-boot.XXXXXX)
  root=$work/root
  mkdir -p "$root"
  mount -t tmpfs -o size=8g,mode=0755 tmpfs "$root"
  nspawn_pid= leader=
  trap boot_cleanup EXIT
  trap 'fail "line $LINENO: $BASH_COMMAND"' ERR
}

boot_cleanup() {
  [ $? -eq 0 ] || keep_work=1
  boot_kill
  umount -l "$root" 2>/dev/null || true
  if [ -n "${keep_work:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}

fail() {
  echo "FAIL: $*"
  keep_work=1
  if [ -n "$leader" ] && [ -e "/proc/$leader" ]; then
    echo "--- failed units"; inside systemctl --failed --no-pager 2>&1 || true
    echo "--- quayd"; inside systemctl status --no-pager -n 0 quayd quayd-redis quayd-dockerd 2>&1 || true
    echo "--- journal"; inside journalctl --no-pager -n 80 2>&1 || true
    echo "--- containers"; inside docker ps -a 2>&1 || true
  fi
  echo "--- console"; tail -n 30 "$work/console.log" 2>/dev/null || true
  exit 1
}

# wait_for WHAT CMD...: polls CMD until it succeeds, for at most ${WAIT_S:-60} s.
wait_for() {
  local what=$1; shift
  local end=$((SECONDS + ${WAIT_S:-60}))
  while [ $SECONDS -lt $end ]; do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
  fail "timed out waiting for: $what"
}

# Each check's time, for the report at the end.
check_start=$SECONDS
times=()
check_done() {
  times+=("$(printf '%4ds  %s' $((SECONDS - check_start)) "$1")")
  echo "ok $((SECONDS - check_start))s: $1"
  check_start=$SECONDS
}
print_times() { printf '%s\n' "${times[@]}"; }

# The cached root tarball, made when missing. Its name carries what it holds,
# so a change of the package lists makes a new one.
root_tarball() {
  local key tar
  key=$(echo "$BOOT_INCLUDE $BOOT_DOWNLOAD" | md5sum | cut -c1-12)
  tar=$BOOT_CACHE/root-$key.tar
  if [ ! -s "$tar" ]; then
    mkdir -p "$BOOT_CACHE"
    # The sources of the host's apt: the same mirror, its keys.
    local sources=/etc/apt/sources.list.d/debian.sources
    [ -e "$sources" ] || sources=/etc/apt/sources.list
    mmdebstrap --variant=apt --include="$BOOT_INCLUDE" --skip=cleanup/apt \
      --customize-hook="chroot \"\$1\" apt-get install --download-only -y -q $BOOT_DOWNLOAD" \
      bookworm "$tar.part.tar" "$sources" >"$work/mmdebstrap.log" 2>&1 ||
      { tail -n 30 "$work/mmdebstrap.log"; fail "mmdebstrap"; }
    mv "$tar.part.tar" "$tar"
    # Roots of other package lists are not used again.
    find "$BOOT_CACHE" -maxdepth 1 -name 'root-*.tar' ! -name "${tar##*/}" -delete
  fi
  echo "$tar"
}

# make_root: the cached root unpacked, with what booting it here needs.
make_root() {
  tar -C "$root" -xf "$(root_tarball)"
  echo quayd-boot >"$root/etc/hostname"
  # systemd in the container mounts the cgroup v1 controllers read-only;
  # dockerd needs them writable before it starts.
  cat >"$root/etc/systemd/system/cgroup-rw.service" <<'EOU'
[Unit]
Description=cgroup v1 controllers writable for dockerd
DefaultDependencies=no
Before=sysinit.target

[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=/bin/sh -c 'for d in /sys/fs/cgroup/*; do case $${d##*/} in systemd|unified) ;; *) mountpoint -q $$d && mount -o remount,bind,rw $$d $$d;; esac; done; true'

[Install]
WantedBy=sysinit.target
EOU
  ln -sf /etc/systemd/system/cgroup-rw.service \
    "$root/etc/systemd/system/sysinit.target.wants/cgroup-rw.service"
  # The switch's flash: a mount point that keeps its files across a reboot.
  mkdir -p "$root/flash" "$root/mnt/flash"
  cat >"$root/etc/systemd/system/mnt-flash.mount" <<'EOU'
[Unit]
Description=The switch's flash

[Mount]
What=/flash
Where=/mnt/flash
Type=none
Options=bind

[Install]
WantedBy=local-fs.target
EOU
  mkdir -p "$root/etc/systemd/system/local-fs.target.wants"
  ln -sf /etc/systemd/system/mnt-flash.mount "$root/etc/systemd/system/local-fs.target.wants/"
  # The inner dockerd's containers in a cgroup of their own, apart from
  # other daemons on this machine that see the same hierarchies.
  cgroup_parent=/quayd-boot-$$
  mkdir -p "$root/etc/systemd/system/quayd.service.d"
  printf '[Service]\nEnvironment=QUAYD_DOCKER_CGROUP_PARENT=%s\n' "$cgroup_parent" \
    >"$root/etc/systemd/system/quayd.service.d/cgroup.conf"
}

# boot: systemd as PID 1 of the root; returns once the system is up.
boot() {
  systemd-nspawn -D "$root" --boot --register=no --keep-unit --private-network \
    --capability=all --system-call-filter='add_key keyctl request_key' \
    --console=passive >>"$work/console.log" 2>&1 &
  nspawn_pid=$!
  local end=$((SECONDS + 60))
  leader=
  while [ -z "$leader" ] && [ $SECONDS -lt $end ]; do
    sleep 0.1
    leader=$(pgrep -P "$nspawn_pid" -x systemd || true)
  done
  [ -n "$leader" ] || fail "systemd did not start in the container"
  # systemctl answers once PID 1 has its private socket; then it waits for
  # the boot to end.
  local state=
  end=$((SECONDS + 120))
  while [ $SECONDS -lt $end ]; do
    state=$(timeout 120 nsenter -t "$leader" -a systemctl is-system-running --wait 2>&1) || true
    case $state in running | degraded | maintenance) break ;; esac
    sleep 0.2
  done
  [ "$state" = running ] || fail "the booted system is $state"
}

# inside CMD...: runs CMD in the booted system (all its namespaces).
inside() { nsenter -t "$leader" -a "$@"; }
# inside_net CMD...: the same with the host's network (for apt).
inside_net() {
  nsenter -t "$leader" -m -u -i -p -C -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive HOME=/root sh -c 'cd /root && "$@"' sh "$@"
}

# poweroff: the booted system shuts down; returns once nspawn has ended.
poweroff() {
  inside systemctl poweroff
  local end=$((SECONDS + 90))
  while [ -e "/proc/$nspawn_pid" ] && [ $SECONDS -lt $end ]; do sleep 0.2; done
  [ ! -e "/proc/$nspawn_pid" ] || fail "the system did not power off"
  wait "$nspawn_pid" 2>/dev/null || true
  nspawn_pid= leader=
}

boot_kill() {
  if [ -n "$nspawn_pid" ] && [ -e "/proc/$nspawn_pid" ]; then
    kill -TERM "$nspawn_pid" 2>/dev/null || true
    local end=$((SECONDS + 30))
    while [ -e "/proc/$nspawn_pid" ] && [ $SECONDS -lt $end ]; do sleep 0.2; done
    kill -KILL "$nspawn_pid" 2>/dev/null || true
  fi
}
