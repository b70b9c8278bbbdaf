# Shared by the fault tests that kill the agent: seeded random moments, the
# containers they configure, and what must hold once the agent caught up.
# Source it instead of tests/integration/lib.sh, after quayd=... quyctl=...
. "$(dirname "${BASH_SOURCE[0]}")/../integration/lib.sh"

# seed_kills: seeds $RANDOM from KILL_SEED, or from the clock, and says which.
seed_kills() {
  seed=${KILL_SEED:-$(date +%s)}
  RANDOM=$seed
  echo "seed $seed (KILL_SEED=$seed replays it)"
}
# sleep_random MS: sleeps a random time below MS milliseconds, kept in $delay.
sleep_random() {
  delay=$((RANDOM % $1))
  sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
}

declare -A gen=()  # configured container -> generation, carried in its environment
configure() {  # NAME GEN [OPTIONS]
  q container "$1" --image bb:1 --command "${SLEEPER_CMD:-$SLEEPER}" --network none \
    --options "--env GEN=$2 --label quayd-fault=1${3:+ $3}" >/dev/null
  gen[$1]=$2
}
# What the daemon and the status must show once the agent has caught up:
# each configured container once, running its configured generation.
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
  if declare -F diagnose_more >/dev/null; then diagnose_more; fi
}
