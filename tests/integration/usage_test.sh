#!/usr/bin/env bash
# Resource sampling on the real dockerd: a container held to half a core,
# busy, holding 40 MiB and 24 MiB of file cache shows the CPU and memory
# `docker stats` shows (usage less the inactive file cache), in
# `quyctl top --no-stream` and `show containers --json`; one that fills memory
# past its ceiling is restarted (the same container, stopped and started) with
# the memory message; editing the ceiling or the interval recreates nothing.
# Usage: usage_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=60
MiB=1048576

# "40.5MiB", "1.2GiB", "512KiB", "80B" (docker's and quyctl's sizes) in bytes.
bytes() {
  awk -v s="$1" 'BEGIN { n = s + 0; u = s; sub(/^[0-9.]+/, "", u)
    m["B"] = 1; m["KiB"] = 1024; m["MiB"] = 1048576; m["GiB"] = 1073741824
    m["kB"] = 1000; m["MB"] = 1e6; m["GB"] = 1e9; printf "%d\n", n * m[u] }'
}
# within A B: A is within 10 % of B.
within() { awk -v a="$1" -v b="$2" 'BEGIN { d = a - b; if (d < 0) d = -d; exit !(d <= 0.1 * b) }'; }
usage() { q show containers --json | jq -r ".containers[] | select(.name == \"$1\") | .usage.$2"; }
sampled() { [ "$(usage "$1" memoryUsage)" != null ] && [ -n "$(usage "$1" memoryUsage)" ]; }

bring_up
q sampling --interval 1 --ceiling-rounds 2

# (a) Half a core, 40 MiB in the container's /dev/shm (memory a tmpfs pins),
# and 24 MiB written to a file on a disk, which stays as cache the kernel
# may drop. The sandbox's own paths are tmpfs, so the file goes to the
# test's directory.
mkdir "$work/cache"
q container burn --image bb:1 --network none --options "--cpus 0.5" --volume "$work/cache:/cache" \
  --command "sh -c 'busybox dd if=/dev/zero of=/dev/shm/hold bs=1M count=40; busybox dd if=/dev/zero of=/cache/file bs=1M count=24; while :; do :; done'"
wait_for "burn running" running burn
wait_for "burn sampled with CPU" sh -c "[ \"\$($quyctl --redis $sock show containers --json | jq '.containers[] | select(.name == \"burn\") | .usage.cpuPercent > 0')\" = true ]"
burn=$(container_id burn)

# Each comparison reads both sides close together; under load the share the
# container gets may move, so a pair that disagrees is read again.
agree() {
  local ds ours_cpu ours_mem top_cpu top_mem
  ds=$(docker stats --no-stream --format '{{.CPUPerc}} {{.MemUsage}}' "$burn")
  ours_cpu=$(usage burn cpuPercent) ours_mem=$(usage burn memoryUsage)
  read -r top_cpu top_mem _ < <(q top --no-stream | awk '$1 == "burn" { print $2, $3 }')
  local d_cpu=${ds%%\%*} d_mem
  d_mem=$(bytes "$(echo "$ds" | awk '{ print $2 }')")
  echo "docker: cpu $d_cpu mem $d_mem; show: cpu $ours_cpu mem $ours_mem; top: cpu $top_cpu mem $(bytes "$top_mem")" >"$work/agree"
  within "$ours_cpu" "$d_cpu" && within "$top_cpu" "$d_cpu" &&
    within "$ours_mem" "$d_mem" && within "$(bytes "$top_mem")" "$d_mem" &&
    [ "$d_mem" -ge $((36 * MiB)) ]
}
diagnose() { cat "$work/agree" 2>/dev/null; }
wait_for "quyctl and docker stats agree on CPU and memory" agree
cat "$work/agree"

# (b) Over its ceiling: restarted, not recreated, with the memory message.
q container hog --image bb:1 --network none --memory 96m --memory-ceiling 32m \
  --command "sh -c 'busybox dd if=/dev/zero of=/dev/shm/fill bs=1M count=48; sleep 100000'"
wait_for "hog running" running hog
hog=$(container_id hog)
wait_for "the memory message" logged "QUAYD_CONTAINER_MEMORY_RESTART: Container hog restarted: memory in use 4[0-9.]*MiB above its ceiling 32MiB"
wait_for "the restart counted" sh -c "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/container/status|hog' memoryRestarts)\" -ge 1 ]"
[ "$(container_id hog)" = "$hog" ] || fail "hog was recreated, not restarted"
wait_for "hog running again" running hog

# (c) Editing the ceiling and the interval recreates nothing.
started=$(inspect burn '{{.State.StartedAt}}')
q container burn --memory-ceiling 1g
q sampling --interval 2
q container hog --memory-ceiling ""
# Two rounds after the edits: each gives burn a new sample.
sample=$(usage burn cpuPercent)
newer() { local s; s=$(usage burn cpuPercent); [ "$s" != "$sample" ] && sample=$s; }
wait_for "a round after the edits" newer
wait_for "a second round after the edits" newer
n=$(field 'cell/0/quayd/container/status|hog' memoryRestarts)
wait_for "hog running after the edit" running hog
[ "$(container_id burn)" = "$burn" ] && [ "$(inspect burn '{{.State.StartedAt}}')" = "$started" ] ||
  fail "an edit of the ceiling or the interval restarted burn"
[ "$(container_id hog)" = "$hog" ] || fail "clearing the ceiling recreated hog"

# (d) Interval 0: no sampling, no usage.
q sampling --interval 0
wait_for "usage removed" sh -c "[ \"\$($quyctl --redis $sock show containers --json | jq '[.containers[].usage] | all(. == null)')\" = true ]"
[ "$(field 'cell/0/quayd/container/status|hog' memoryRestarts)" = "$n" ] || fail "hog restarted without a ceiling"
echo PASS
