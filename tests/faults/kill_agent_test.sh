#!/usr/bin/env bash
# The agent killed at random moments: 30 rounds, each of which changes the
# configuration of 10 containers (bring-up, then reconfiguration, then
# tear-down), kills quayd with SIGKILL after a random delay, starts it
# again, and waits until the daemon holds exactly the configured containers,
# each once, running with its configured parameters, and the status in
# Redis agrees. FAULT_SEED fixes the random moments.
# Usage: kill_agent_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/../integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=120
seed=${FAULT_SEED:-$(date +%s)}
RANDOM=$seed
echo "seed $seed"

bring_up

declare -A gen=()  # configured container -> generation, carried in its environment
configure() {  # NAME GEN
  q container "$1" --image bb:1 --command "$SLEEPER" --network none \
    --options "--env GEN=$2 --label quayd-fault=1" >/dev/null
  gen[$1]=$2
}
# One round's changes: the first ten bring containers up, the next ten
# change them, the last ten take them down, with a little of the others.
change() {
  local round=$1 n
  if [ "$round" -le 10 ]; then
    configure "f$round" 1
  elif [ "$round" -le 20 ]; then
    for _ in 1 2; do
      n=f$((RANDOM % 10 + 1))
      [ -n "${gen[$n]:-}" ] && configure "$n" $((gen[$n] + 1))
    done
  else
    n=f$((round - 20))
    q container "$n" --delete >/dev/null
    unset "gen[$n]"
    if [ $((RANDOM % 3)) = 0 ] && [ "$round" -lt 30 ]; then
      n=f$((RANDOM % (30 - round) + round - 19))
      [ -n "${gen[$n]:-}" ] && configure "$n" $((gen[$n] + 1))
    fi
  fi
  return 0
}

# What the daemon and the status must show once the agent has caught up.
expected() { for n in "${!gen[@]}"; do echo "$n GEN=${gen[$n]}"; done | sort; }
in_daemon() {
  docker ps -a --filter label=quayd-fault=1 --format '{{.Names}}' | sort | while read -r n; do
    [ "$(docker inspect --format '{{.State.Running}}' "$n")" = true ] || echo "$n not-running"
    echo "$n $(docker inspect --format '{{range .Config.Env}}{{println .}}{{end}}' "$n" | grep '^GEN=')"
  done
}
in_status() {
  local key n
  for key in $(redis-cli -s "$sock" --scan --pattern 'cell/0/quayd/container/status|*'); do
    n=${key#*|}
    [ "$(field "$key" state)" = containerRunning_ ] || echo "$n $(field "$key" state)"
    echo "$n $(field "$key" params | grep -o 'GEN=[0-9]*')"
  done | sort
}
converged() {
  local want
  want=$(expected)
  [ "$(in_daemon)" = "$want" ] && [ "$(in_status)" = "$want" ]
}

diagnose() {
  echo "--- expected"; expected
  echo "--- daemon"; in_daemon
  echo "--- status"; in_status
  echo "--- trace"; "$quayd" --dump-trace "$work"/*.rlog 2>/dev/null | tail -n 40
}

for round in $(seq 30); do
  change "$round"
  # A random moment: at once, during the agent's work, or after it.
  delay=$((RANDOM % 1500))
  sleep "$(printf '0.%03d' "$delay")"
  kill_quayd KILL
  start_quayd
  wait_for "round $round converged" converged
  ids=$(docker ps -aq --filter label=quayd-fault=1 | wc -l)
  echo "round $round: killed after ${delay} ms; ${#gen[@]} configured, $ids in the daemon"
done
[ ${#gen[@]} = 0 ] || fail "containers left configured"
kill -0 "$quayd_pid" || fail "quayd died"
echo PASS
