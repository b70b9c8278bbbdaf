#!/usr/bin/env bash
# Bring-back after a power cut, two ways in one run, in rounds, the order
# alternating:
#   agent    N containers configured in the agent (no restart policy of the
#            daemon's): from quayd's start to the last container's StartedAt
#   dockerd  the same N made with `docker run --restart always` and nothing
#            configured: from quayd's start (which starts dockerd) to the
#            last StartedAt of the daemon's own restart
# The power cut is the fault tests' (tests/faults/box.sh): Redis, quayd,
# dockerd and every container die at once, their mounts go, /run is fresh.
# Usage: bench/recovery_bench.sh QUAYD QUYCTL QUYLBMOUNT RESULTS [N] [ROUNDS]
set -euo pipefail
quayd=$1 quyctl=$2 quylbmount=$3 results=$4
n=${5:-20} rounds=${6:-3}
. "$(dirname "$0")/../tests/integration/lib.sh"
enter_sandbox "$0" "$@"
# Both ways are timed by the daemon's StartedAt, not by the polls: polled
# seldom, so that the polls take little CPU from the bring-back.
export PATH="$(dirname "$quylbmount"):$PATH" WAIT_S=600 POLL_S=0.5
. "$(dirname "$0")/../tests/faults/box.sh"
trap 'rc=$?; power_off; (exit $rc); cleanup' EXIT
cmd='trap exit TERM; sleep 100000 & wait'

agent_running() {
  [ "$(redis-cli -s "$sock" eval "local n = 0
    for _, k in ipairs(redis.call('KEYS', ARGV[1])) do
      if redis.call('HGET', k, 'state') == 'containerRunning_' then n = n + 1 end
    end
    return n" 0 'cell/0/quayd/container/status|*')" = "$n" ]
}
daemon_running() { [ "$(docker ps -q | wc -l)" = "$n" ]; }
# The status outlives the cut in Redis: the daemon must agree.
agent_ready() { daemon_running && agent_running; }
no_status() { [ -z "$(redis-cli -s "$sock" --scan --pattern 'cell/0/quayd/container/status|*')" ]; }
clear_daemon() {
  local ids
  ids=$(docker ps -aq)
  [ -z "$ids" ] || docker rm -f $ids >/dev/null
}
# ms from $1 (seconds since the epoch) to the last container's StartedAt.
to_last_start() {
  docker inspect --format '{{.State.StartedAt}}' $(docker ps -q) |
    while read -r t; do date -d "$t" +%s.%N; done | sort -n | tail -n 1 |
    awk -v t0="$1" '{ printf "%d", ($1 - t0) * 1000 }'
}
restarted() {  # WAY READY
  wait_for "$1: all running" "$2"
  cut_power
  start_box
  wait_for "$1: runtime started again" status_is cell/0/quayd/status state started_
  wait_for "$1: all running again" "$2"
  local took
  took=$(to_last_start "$(cat "$work/quayd.start")")
  echo "$1 $n $took" | tee -a "$results"
}

run_agent() {
  local params="{\"image\":\"bb:1\",\"command\":\"sh -c '$cmd'\",\"networking\":\"none\"}"
  local quoted=\"${params//\"/\\\"}\"
  for i in $(seq "$n"); do
    echo "HSET quayd/container/config|c$i params $quoted enabled true"
  done | redis-cli -s "$sock" >/dev/null
  restarted agent agent_ready
  for i in $(seq "$n"); do echo "DEL quayd/container/config|c$i"; done |
    redis-cli -s "$sock" >/dev/null
  wait_for "containers taken down" no_status
  clear_daemon
}

run_dockerd() {
  for i in $(seq "$n"); do
    docker run -d --name "r$i" --restart always --network none bb:1 sh -c "$cmd" >/dev/null
  done
  restarted dockerd daemon_running
  clear_daemon
}

start_box
q daemon enable
wait_for "runtime started" status_is cell/0/quayd/status state started_
make_image bb:1
: >"$results"
for r in $(seq "$rounds"); do
  if [ $((r % 2)) -eq 1 ]; then run_agent; run_dockerd; else run_dockerd; run_agent; fi
done
for way in agent dockerd; do
  awk -v w="$way" '$1 == w { print $3 }' "$results" | sort -n |
    awk -v w="$way" -v n="$n" '{ v[NR] = $1 }
      END { printf "# %s N=%d median %d ms of %d rounds\n", w, n, v[int((NR + 1) / 2)], NR }'
done | tee -a "$results"
