#!/usr/bin/env bash
# The agent's CPU per container per sampling round: N containers running
# (default 100), the agent's utime + stime (/proc/PID/stat) over a window of
# W seconds with sampling off, then over the same window sampling every
# second; the difference divided by the rounds and the containers. Also the
# daemon's CPU meanwhile (its one-shot stats calls). Runs in the integration
# tests' sandbox; appends one line to RESULTS.
# Usage: bench/usage_bench.sh QUAYD QUYCTL QUYLBMOUNT RESULTS [N] [W]
set -euo pipefail
quayd=$1 quyctl=$2 quylbmount=$3 results=$4 n=${5:-100} window=${6:-60}
. "$(dirname "$0")/../tests/integration/lib.sh"
enter_sandbox "$0" "$quayd" "$quyctl" "$quylbmount" "$results" "$n" "$window"
export PATH="$(dirname "$quylbmount"):$PATH" WAIT_S=1200
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
tick_ms=$(( 1000 / $(getconf CLK_TCK) ))

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

# measure: agent and daemon ticks over the window.
measure() {
  local a0 d0
  a0=$(ticks "$quayd_pid") d0=$(ticks "$dockerd_pid")
  sleep "$window"
  echo $(( $(ticks "$quayd_pid") - a0 )) $(( $(ticks "$dockerd_pid") - d0 ))
}
read -r off_agent off_daemon < <(measure)
q sampling --interval 1
read -r on_agent on_daemon < <(measure)
sampled=$(redis-cli -s "$sock" --scan --pattern 'cell/0/quayd/container/status|*' |
  while read -r k; do redis-cli -s "$sock" hget "$k" usage; done | grep -vc '^null$' || true)
line=$(awk -v n="$n" -v w="$window" -v t="$tick_ms" -v a0="$off_agent" -v a1="$on_agent" \
  -v d0="$off_daemon" -v d1="$on_daemon" -v s="$sampled" 'BEGIN {
    printf "usage n=%d window=%ds sampled=%d agent_off_ms=%d agent_on_ms=%d daemon_off_ms=%d daemon_on_ms=%d agent_ms_per_container_round=%.3f\n",
      n, w, s, a0 * t, a1 * t, d0 * t, d1 * t, (a1 - a0) * t / (w * n) }')
echo "$line" | tee -a "$results"
