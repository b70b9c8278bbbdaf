#!/usr/bin/env bash
# The agent killed at random moments: 30 rounds, each of which changes the
# configuration of 10 containers (bring-up, then reconfiguration, then
# tear-down), kills quayd with SIGKILL after a random delay, starts it
# again, and waits until the daemon holds exactly the configured containers,
# each once, running with its configured parameters, and the status in
# Redis agrees. KILL_SEED fixes the random moments.
# Usage: kill_agent_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=120
seed_kills

bring_up

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

for round in $(seq 30); do
  change "$round"
  # A random moment: at once, during the agent's work, or after it.
  sleep_random 1500
  kill_quayd KILL
  start_quayd
  wait_for "round $round converged" converged
  ids=$(docker ps -aq --filter label=quayd-fault=1 | wc -l)
  echo "round $round: killed after ${delay} ms; ${#gen[@]} configured, $ids in the daemon"
done
[ ${#gen[@]} = 0 ] || fail "containers left configured"
kill -0 "$quayd_pid" || fail "quayd died"
echo PASS
