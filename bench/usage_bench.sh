#!/usr/bin/env bash
# The agent's CPU per container per sampling round: N containers running
# (default 100), the agent's utime + stime (/proc/PID/stat) over a window of
# W seconds with sampling off, then over the same window sampling every
# second; the difference divided by the rounds and the containers. The rounds
# are counted from the sampler's trace line of each round. Also the
# daemon's CPU meanwhile (its one-shot stats calls). Runs in the integration
# tests' sandbox; appends one line to RESULTS.
# Usage: bench/usage_bench.sh QUAYD QUYCTL QUYLBMOUNT RESULTS [N] [W]
set -euo pipefail
quayd=$1 quyctl=$2 quylbmount=$3 results=$4 n=${5:-100} window=${6:-60}
. "$(dirname "$0")/../tests/integration/lib.sh"
. "$(dirname "$0")/cpu.sh"
enter_sandbox "$0" "$quayd" "$quyctl" "$quylbmount" "$results" "$n" "$window"
export PATH="$(dirname "$quylbmount"):$PATH" WAIT_S=1200 TRACE='UsageSampler/8'

bring_up
q sampling --interval 0
for i in $(seq "$n"); do
  q container "c$i" --image bb:1 --network none --command "$SLEEPER"
done
all_running() {
  [ "$(redis-cli -s "$sock" eval "local n = 0
    for _, k in ipairs(redis.call('KEYS', ARGV[1])) do
      if redis.call('HGET', k, 'state') == 'containerRunning_' then n = n + 1 end
    end
    return n" 0 'cell/0/quayd/container/status|*')" = "$n" ]
}
wait_for "$n containers running" all_running
dockerd_pid=$(cat /run/docker.pid)

# The peer: one `docker stats --no-stream` of the same containers, its
# client's CPU (user + system) and its wall time.
peer=$( { /usr/bin/time -f '%U %S %e' docker stats --no-stream >/dev/null; } 2>&1 | tail -n 1)
read -r peer_user peer_sys peer_wall <<<"$peer"
rounds() { grep -c 'UsageSampler/8 sampling' "$work/quayd.out" || true; }
# measure: agent and daemon ticks, and the rounds begun, over the window.
measure() {
  local a0 d0 r0
  a0=$(ticks "$quayd_pid") d0=$(ticks "$dockerd_pid") r0=$(rounds)
  sleep "$window"
  echo $(( $(ticks "$quayd_pid") - a0 )) $(( $(ticks "$dockerd_pid") - d0 )) $(( $(rounds) - r0 ))
}
read -r off_agent off_daemon _ < <(measure)
q sampling --interval 1
read -r on_agent on_daemon rounds < <(measure)
[ "$rounds" -gt 0 ] || { echo "no sampling round in the window" >&2; exit 1; }
sampled=$(redis-cli -s "$sock" --scan --pattern 'cell/0/quayd/container/status|*' |
  while read -r k; do redis-cli -s "$sock" hget "$k" usage; done | grep -vc '^null$' || true)
line=$(awk -v n="$n" -v w="$window" -v t="$tick_ms" -v a0="$off_agent" -v a1="$on_agent" \
  -v d0="$off_daemon" -v d1="$on_daemon" -v s="$sampled" -v r="$rounds" \
  -v pu="$peer_user" -v ps="$peer_sys" -v pw="$peer_wall" 'BEGIN {
    printf "usage n=%d window=%ds rounds=%d sampled=%d agent_off_ms=%d agent_on_ms=%d daemon_off_ms=%d daemon_on_ms=%d agent_ms_per_container_round=%.3f daemon_ms_per_container_round=%.3f docker_stats_client_ms_per_container=%.3f docker_stats_wall_s=%.2f\n",
      n, w, r, s, a0 * t, a1 * t, d0 * t, d1 * t, (a1 - a0) * t / (r * n), (d1 - d0) * t / (r * n), (pu + ps) * 1000 / n, pw }')
echo "$line" | tee -a "$results"
