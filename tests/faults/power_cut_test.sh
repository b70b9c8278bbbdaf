#!/usr/bin/env bash
# A power cut, plain and with the data root on flash: redis-server, quayd,
# dockerd, containerd, the shims and the containers all die at once (one
# SIGKILL to the init of the PID namespace they run in), every mount they
# made goes, and /run is a fresh tmpfs; flash, /var/lib/docker and Redis's
# append-only file are kept. Started again, every enabled container runs
# with its configured parameters, the status agrees with the daemon, and
# no image is loaded twice. Prints the time from quayd's start to the last
# container running, and the time dockerd took to restart the
# `--restart always` container on its own.
# Usage: power_cut_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/../integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=90

. "$(dirname "$0")/box.sh"
trap 'rc=$?; power_off; (exit $rc); cleanup' EXIT

# The containers: restart policies always, unless-stopped and none, one
# without a policy behind a startup condition, one disabled. Only the agent
# brings back the two without a policy (the second once its condition holds);
# the daemon restarts the others itself.
enabled=(always unless none cond)
configure() {
  make_image bb:1 "$work/bb.tar"
  q image load "$work/bb.tar"
  q container always --image bb:1 --command "$SLEEPER" --network none --restart always \
    --memory 64m
  q container unless --image bb:1 --command "$SLEEPER" --network none \
    --restart unless-stopped --cpu-shares 512
  q container none --image bb:1 --command "$SLEEPER" --network none --options "--env GEN=1"
  q container cond --image bb:1 --command "$SLEEPER" --network none \
    --poll-interval 1 --startup-condition "test -d /var/lib/quayd"
  q container off --image bb:1 --command "$SLEEPER" --network none --disable
}
state_of() { field "cell/0/quayd/container/status|$1" state; }
all_running() {
  local n
  for n in "${enabled[@]}"; do
    running "$n" && [ "$(state_of "$n")" = containerRunning_ ] || return 1
  done
}
image_loads() { image_load_ids | wc -l; }
started_at() { date -d "$(inspect "$1" '{{.State.StartedAt}}')" +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

diagnose() {
  local n
  for n in "${enabled[@]}" off; do
    echo "$n: daemon $(inspect "$n" '{{.State.Status}}' 2>/dev/null || echo none)," \
      "status $(state_of "$n")"
  done
}

# phase NAME: brings the containers up, cuts the power, starts again and
# checks what came back.
phase() {
  local name=$1 id_always loads t0 last n dockerd_start
  wait_for "$name: runtime started" status_is cell/0/quayd/status state started_
  wait_for "$name: containers running" all_running
  [ "$(image_loads)" = 1 ] || fail "$name: $(image_loads) image loads before the cut, not 1"
  id_always=$(container_id always)

  cut_power
  start_box
  t0=$(cat "$work/quayd.start")
  wait_for "$name: every enabled container runs again" all_running
  last=0
  for n in "${enabled[@]}"; do
    last=$(awk -v a="$last" -v b="$(started_at "$n")" 'BEGIN { print (b > a ? b : a) }')
  done
  dockerd_start=$(date -r /run/docker.pid +%s.%N)
  echo "$name: quayd start to the last container running: $(seconds "$t0" "$last") s"
  echo "$name: dockerd start to its own restart of 'always': $(seconds "$dockerd_start" \
    "$(started_at always)") s ($(seconds "$t0" "$(started_at always)") s after quayd's start)"

  # Configured parameters, and the status agrees with the daemon.
  memory_is always 67108864 || fail "$name: always lost its memory limit"
  [ "$(inspect always '{{.HostConfig.RestartPolicy.Name}}')" = always ] ||
    fail "$name: always lost its restart policy"
  [ "$(inspect unless '{{.HostConfig.CpuShares}}')" = 512 ] || fail "$name: unless lost its cpu shares"
  inspect none '{{range .Config.Env}}{{println .}}{{end}}' | grep -q '^GEN=1$' ||
    fail "$name: none lost its environment"
  running off && fail "$name: the disabled container runs"
  [ "$(state_of off)" = containerRunning_ ] && fail "$name: the disabled container's status says running"
  # The image is kept with the data root: loaded once, before the cut.
  [ "$(image_loads)" = 0 ] || fail "$name: the image was loaded again after the cut"
  [ "$(container_id always)" = "$id_always" ] || fail "$name: 'always' is a new container"
  kill -0 "$box" || fail "$name: the box died"
}

start_box
q daemon enable
wait_for "runtime started" status_is cell/0/quayd/status state started_
configure
phase plain

q daemon enable --on-flash --flash-limit 512M
wait_for "on flash" sh -c "[ \"\$(redis-cli -s $sock hget cell/0/quayd/status runningOnFlash)\" = true ]"
[ "$(docker info --format '{{.DockerRootDir}}')" = /mnt/flash/.quy/data-root ] ||
  fail "data root $(docker info --format '{{.DockerRootDir}}')"
phase flash
[ "$(docker info --format '{{.DockerRootDir}}')" = /mnt/flash/.quy/data-root ] ||
  fail "flash: data root $(docker info --format '{{.DockerRootDir}}') after the cut"
grep -q "could not be repaired" "$work/quayd.out" && fail "flash: the image was made anew"
echo PASS
