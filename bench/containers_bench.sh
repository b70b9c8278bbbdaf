#!/usr/bin/env bash
# N containers brought up five ways on one dockerd, in one run, the order of
# the five alternating from one N to the next, in rounds:
#   agent    N configurations written at once; until all are containerRunning_
#   cli      `docker run -d` one after another (/usr/bin/docker)
#   api      create + start one after another, curl on the daemon's socket
#   compose  `docker-compose up -d` of N services
#   floor    create + start with K containers in flight (bench/EngineFloor.cpp),
#            the best of K = 2, 4, 8: what the daemon can do at most
# For each it records the wall time, the daemon's StartedAt of each
# container (the per-container time of the first and the last 20), and for
# the agent its own CPU time and resident memory and the CPU of redis-server
# and dockerd meanwhile. Runs in the integration tests' sandbox.
# bench/containers_ratios.py RESULTS prints the ratio table.
# Usage: bench/containers_bench.sh QUAYD QUYCTL QUYLBMOUNT RESULTS [N...]
set -euo pipefail
quayd=$1 quyctl=$2 quylbmount=$3 results=$4
shift 4
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(20 100 200)
. "$(dirname "$0")/../tests/integration/lib.sh"
. "$(dirname "$0")/cpu.sh"
enter_sandbox "$0" "$quayd" "$quyctl" "$quylbmount" "$results" "${sizes[@]}"
export PATH="$(dirname "$quylbmount"):$PATH" WAIT_S=1200
client=/usr/bin/docker
floor=${ENGINE_FLOOR:-$(dirname "$quayd")/../../bench/engine_floor}
sock_api=/run/docker.sock
cmd='trap exit TERM; sleep 100000 & wait'
ms() { echo $(( $(date +%s%N) / 1000000 )); }

runtime_up() {
  q daemon enable
  wait_for "runtime started" status_is cell/0/quayd/status state started_
  dockerd_pid=$(cat /run/docker.pid)
}
runtime_down() {
  q daemon disable
  wait_for "runtime stopped" status_is cell/0/quayd/status state stopped_
}
start_redis
start_quayd
runtime_up
make_image bb:1

# Until $1 statuses say containerRunning_. One redis-cli polls over one
# connection: a process started a poll took about 18 ms of CPU, which on
# 2 cores the daemon misses (the floor has nobody polling).
wait_running() {
  { timeout "$WAIT_S" redis-cli -s "$sock" -r -1 -i 0.02 eval "local n = 0
      for _, k in ipairs(redis.call('KEYS', ARGV[1])) do
        if redis.call('HGET', k, 'state') == 'containerRunning_' then n = n + 1 end
      end
      return n" 0 'cell/0/quayd/container/status|*' || true; } |
    { while read -r count; do [ "$count" != "$1" ] || exit 0; done; exit 1; } ||
    fail "timed out waiting for $1 containers running"
}
no_status() { [ -z "$(redis-cli -s "$sock" --scan --pattern 'cell/0/quayd/container/status|*')" ]; }
# Removes every container, then waits for the machine to go quiet: the
# shims and containerd's clean-up go on for seconds after the daemon
# answered, and would slow whichever method runs next. A removal the daemon
# does not answer (seen once, after compose's 100) restarts the runtime.
clear_daemon() {
  local ids
  ids=$(docker ps -aq)
  if [ -n "$ids" ] && ! timeout 180 docker rm -f $ids >/dev/null; then
    echo "# docker rm -f did not end in 180 s; the runtime restarted" | tee -a "$results"
    runtime_down
    runtime_up
  fi
  wait_quiet
}
# first20 last20: per-container ms of the first and the last 20 starts,
# from the daemon's StartedAt, counted from $1 (ms since the epoch).
start_spread() {
  docker inspect --format '{{.State.StartedAt}}' $(docker ps -q) |
    while read -r t; do date -d "$t" +%s%3N; done | sort -n |
    awk -v t0="$1" '{ s[NR] = $1 } END {
      k = NR < 20 ? NR : 20
      first = (s[k] - t0) / k
      last = (s[NR] - (NR > k ? s[NR - k] : t0)) / k
      printf "%.1f %.1f", first, last }'
}
record() {  # METHOD N MS FIRST LAST [CPU_MS RSS_KB REDIS_MS DOCKERD_MS]
  echo "$*" >>"$results"
  echo "$*"
}

run_agent() {
  local n=$1 t a0 r0 d0 spread
  local params="{\"image\":\"bb:1\",\"command\":\"sh -c '$cmd'\",\"networking\":\"none\"}"
  local quoted=\"${params//\"/\\\"}\"
  a0=$(ticks "$quayd_pid") r0=$(ticks "$redis_pid") d0=$(ticks "$dockerd_pid")
  t=$(ms)
  for i in $(seq "$n"); do
    echo "HSET quayd/container/config|c$i params $quoted enabled true"
  done | redis-cli -s "$sock" >/dev/null
  wait_running "$n"
  local took=$(( $(ms) - t ))
  local cpu=$(( ($(ticks "$quayd_pid") - a0) * tick_ms ))
  local redis=$(( ($(ticks "$redis_pid") - r0) * tick_ms ))
  local daemon=$(( ($(ticks "$dockerd_pid") - d0) * tick_ms ))
  local rss
  rss=$(awk '/VmRSS/ { print $2 }' "/proc/$quayd_pid/status")
  spread=$(start_spread "$t")
  record agent "$n" "$took" $spread "$cpu" "$rss" "$redis" "$daemon"
  for i in $(seq "$n"); do echo "DEL quayd/container/config|c$i"; done |
    redis-cli -s "$sock" >/dev/null
  wait_for "containers taken down" no_status
  clear_daemon
}

run_cli() {
  local n=$1 t
  t=$(ms)
  for i in $(seq "$n"); do
    "$client" run -d --name "d$i" --network none bb:1 sh -c "$cmd" >/dev/null
  done
  record cli "$n" $(( $(ms) - t )) $(start_spread "$t")
  clear_daemon
}

run_api() {
  local n=$1 t body id
  body=$(printf '{"Image":"bb:1","Cmd":["sh","-c","%s"],"HostConfig":{"NetworkMode":"none"}}' "$cmd")
  t=$(ms)
  for i in $(seq "$n"); do
    id=$(curl -sf --unix-socket "$sock_api" -H 'Content-Type: application/json' -d "$body" \
           "http://localhost/v1.41/containers/create?name=a$i" | sed 's/.*"Id":"\([0-9a-f]*\)".*/\1/')
    curl -sf --unix-socket "$sock_api" -X POST "http://localhost/v1.41/containers/$id/start"
  done
  record api "$n" $(( $(ms) - t )) $(start_spread "$t")
  clear_daemon
}

run_floor() {
  local n=$1 k t took best="" best_ms=""
  for k in 2 4 8; do
    t=$(ms)
    "$floor" "$sock_api" "$n" "$k" bb:1 f "$cmd" >/dev/null || fail "engine_floor $n $k failed"
    took=$(( $(ms) - t ))
    if [ -z "$best_ms" ] || [ "$took" -lt "$best_ms" ]; then
      best_ms=$took best="floor $n $took $(start_spread "$t") $k"
    fi
    clear_daemon
  done
  record $best
}

run_compose() {
  local n=$1 t dir=$work/compose
  mkdir -p "$dir"
  {
    echo "version: '2.4'"
    echo "services:"
    for i in $(seq "$n"); do
      printf '  s%d:\n    image: bb:1\n    network_mode: none\n    command: ["sh", "-c", "%s"]\n' "$i" "$cmd"
    done
  } >"$dir/docker-compose.yml"
  t=$(ms)
  # docker-compose 1.29 shares one limit of parallel calls between the
  # services and the containers of each service: with no more slots than
  # services, every slot waits for a container call that never gets one
  # (seen here with a limit of 2 at 3 services, and of 8 at 20). So the limit
  # is above the number of services. With that many calls at once, the daemon
  # answers some after more than compose's 60 s (seen at 200), so it waits
  # longer. A run that hangs anyway is recorded as
  # stalled, with how many containers it started, and its log's last lines
  # are printed ($COMPOSE_VERBOSE=1 makes that log say more).
  local status=0
  COMPOSE_PARALLEL_LIMIT=${COMPOSE_PARALLEL_LIMIT:-$((2 * n + 8))} COMPOSE_HTTP_TIMEOUT=600 \
    DOCKER_HOST=unix://$sock_api \
    timeout $((120 + 3 * n)) docker-compose ${COMPOSE_VERBOSE:+--verbose} \
      -f "$dir/docker-compose.yml" -p bench up -d >"$work/compose.log" 2>&1 || status=$?
  if [ "$status" = 0 ]; then
    record compose "$n" $(( $(ms) - t )) $(start_spread "$t")
  else
    record compose "$n" "$([ "$status" = 124 ] && echo stalled || echo failed)" \
      "$(docker ps -q | wc -l)"
    grep -v "feed_queue: Pending" "$work/compose.log" | tail -n 8
  fi
  clear_daemon
}

# A few containers first, unrecorded: the daemon's first runs are slower,
# whichever way comes first.
for i in $(seq 5); do "$client" run -d --network none bb:1 sh -c "$cmd" >/dev/null; done
clear_daemon

# $BENCH_METHODS picks some of the five, for example "agent floor";
# $BENCH_ROUNDS rounds of every N (3 unless told), the order reversed from
# one run of the methods to the next.
read -r -a methods <<<"${BENCH_METHODS:-agent cli api compose floor}"
turn=0
for _ in $(seq "${BENCH_ROUNDS:-3}"); do
  for n in "${sizes[@]}"; do
    order=("${methods[@]}")
    if [ $((turn % 2)) -eq 1 ]; then
      for ((i = 0; i < ${#methods[@]}; i++)); do order[i]=${methods[${#methods[@]} - 1 - i]}; done
    fi
    for m in "${order[@]}"; do "run_$m" "$n"; done
    turn=$((turn + 1))
  done
done
runtime_down
