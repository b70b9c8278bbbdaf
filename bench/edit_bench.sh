#!/usr/bin/env bash
# One container edited on an idle agent, two builds of quayd side by side in
# one run: each edit (a new CPU share through quyctl) is timed from the
# command until the status holds the new parameters and says
# containerRunning_. The builds take turns in rounds on the same dockerd and
# Redis (the agent that stops leaves the daemon and the container to the
# next). RESULTS gets a line per edit, then per build the count, median,
# p90, p99 and maximum in ms, which are also printed.
# Usage: bench/edit_bench.sh QUAYD_A QUAYD_B QUYCTL QUYLBMOUNT RESULTS [EDITS] [ROUNDS]
set -euo pipefail
quayd_a=$1 quayd_b=$2 quyctl=$3 quylbmount=$4 results=$5
edits=${6:-50} rounds=${7:-5}
quayd=$quayd_a
. "$(dirname "$0")/../tests/integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$quylbmount"):$PATH" WAIT_S=120
ms() { echo $(( $(date +%s%N) / 1000000 )); }
status=cell/0/quayd/container/status\|web
config=quayd/container/config\|web

# Whether the status holds the configured parameters and says running: the
# status takes the new parameters only once the old container is gone.
applied() {
  [ "$(redis-cli -s "$sock" eval "
    local s = redis.call('HMGET', KEYS[1], 'state', 'params')
    return (s[1] == 'containerRunning_' and s[2] == redis.call('HGET', KEYS[2], 'params'))
      and 1 or 0" 2 "$status" "$config")" = 1 ]
}
# A poll every few ms: the edits take a few hundred.
await_applied() {
  local end=$((SECONDS + WAIT_S))
  until applied; do
    [ $SECONDS -lt $end ] || fail "edit not applied in $WAIT_S s"
    sleep 0.005
  done
}

start_redis
start_quayd
q daemon enable
wait_for "runtime started" status_is cell/0/quayd/status state started_
make_image bb:1
q container web --image bb:1 --command "$SLEEPER" --network none --cpu-shares 100
await_applied
kill_quayd

shares=100
per_round=$(( (edits + rounds - 1) / rounds ))
: >"$results"
for r in $(seq "$rounds"); do
  order=(a b)
  [ $((r % 2)) -eq 0 ] && order=(b a)
  for which in "${order[@]}"; do
    if [ "$which" = a ]; then quayd=$quayd_a; else quayd=$quayd_b; fi
    start_quayd
    wait_for "$which: runtime started" status_is cell/0/quayd/status state started_
    await_applied
    for _ in $(seq "$per_round"); do
      shares=$((shares + 1))
      t=$(ms)
      q container web --cpu-shares "$shares" >/dev/null
      await_applied
      echo "$which $(( $(ms) - t ))" >>"$results"
    done
    kill_quayd
  done
done

{
echo "# build  edits  median  p90  p99  max  (ms)"
for which in a b; do
  awk -v w="$which" '$1 == w { print $2 }' "$results" | sort -n | awk -v w="$which" '
    { v[NR] = $1 }
    function at(p) { i = int(p * NR + 0.999999); return v[i < 1 ? 1 : i] }
    END { printf "# %-6s %5d %7d %4d %4d %4d\n", w, NR, at(0.5), at(0.9), at(0.99), v[NR] }'
done
} | tee -a "$results"
