#!/usr/bin/env bash
# End-to-end costs of the agent on the real dockerd, each against the same
# work done directly in the same run:
#   images      N tarballs loaded through the agent (from the configuration
#               write to the last status entry) vs POST /images/load per tarball
#   containers  N containers brought up through the agent (from the
#               configuration write to all containerRunning_) vs `docker run`
#               one after another
#   memory      the agent's resident memory with M containers configured
# Runs in the integration tests' sandbox, so nothing on the host is touched.
# Usage: bench/agent_bench.sh QUAYD QUYCTL QUYLBMOUNT [N_IMAGES] [N_CONTAINERS] [M]
set -euo pipefail
quayd=$1 quyctl=$2
images=${4:-20} containers=${5:-50} memory_containers=${6:-100}
. "$(dirname "$0")/../tests/integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH" WAIT_S=600
ms() { echo $(( $(date +%s%N) / 1000000 )); }
state_is() { status_is cell/0/quayd/status state "$1"; }
# One process per poll, so that polling does not compete with the agent.
all_running() {
  [ "$(redis-cli -s "$sock" eval "local n = 0
    for _, k in ipairs(redis.call('KEYS', ARGV[1])) do
      if redis.call('HGET', k, 'state') == 'containerRunning_' then n = n + 1 end
    end
    return n" 0 'cell/0/quayd/container/status|*')" = "$1" ]
}
loaded() {
  [ "$(redis-cli -s "$sock" --scan --pattern 'cell/0/quayd/image/status|*' | wc -l)" = "$1" ]
}
report() { awk -v w="$1" -v a="$2" -v d="$3" \
  'BEGIN { printf "%-11s agent %6d ms   direct %6d ms   ratio %.2f\n", w, a, d, a / d }'; }

start_redis
start_quayd
q daemon enable
wait_for "runtime started" state_is started_

# Images.
for i in $(seq "$images"); do make_image "img$i:1" "$work/img$i.tar"; done
t=$(ms)
for i in $(seq "$images"); do
  curl -sf --unix-socket /run/docker.sock -X POST -H 'Content-Type: application/x-tar' \
    --data-binary "@$work/img$i.tar" 'http://localhost/images/load?quiet=1' >/dev/null
done
direct=$(ms); direct=$((direct - t))
for i in $(seq "$images"); do docker rmi "img$i:1" >/dev/null; done
list=$(for i in $(seq "$images"); do printf '"%s",' "$work/img$i.tar"; done)
t=$(ms)
redis-cli -s "$sock" hset quayd/image/config tarball "[${list%,}]" >/dev/null
wait_for "images loaded" loaded "$images"
agent=$(( $(ms) - t ))
report images "$agent" "$direct"

# Containers. The direct runs come before and after the agent's, and the
# agent is compared with their mean: the daemon gets slower as it runs.
make_image bb:1
# Ends on SIGTERM, so that taking the containers down takes no grace period.
cmd='trap exit TERM; sleep 1000 & wait'
# The client the agent runs: clients differ by tens of milliseconds a run.
client=${QUAYD_DOCKER_CLI:-/usr/bin/docker}
direct_runs() {
  local t i
  t=$(ms)
  for i in $(seq "$containers"); do
    "$client" run -d --name "direct$i" --network none bb:1 sh -c "$cmd" >/dev/null
  done
  echo $(( $(ms) - t ))
  docker rm -f $(docker ps -aq --filter name=direct) >/dev/null
}
before=$(direct_runs)
params="{\"image\":\"bb:1\",\"command\":\"sh -c '$cmd'\",\"networking\":\"none\"}"
quoted=\"${params//\"/\\\"}\"  # as redis-cli reads it
t=$(ms)
for i in $(seq "$containers"); do
  echo "HSET quayd/container/config|c$i params $quoted enabled true"
done | redis-cli -s "$sock" >/dev/null
wait_for "containers running" all_running "$containers"
agent=$(( $(ms) - t ))
after=$(direct_runs)
echo "containers direct before ${before} ms, after ${after} ms"
report containers "$agent" $(( (before + after) / 2 ))

# Memory with M containers configured (and running).
for i in $(seq $((containers + 1)) "$memory_containers"); do
  echo "HSET quayd/container/config|c$i params $quoted enabled true"
done | redis-cli -s "$sock" >/dev/null
wait_for "containers running" all_running "$memory_containers"
echo "memory     $(grep VmRSS /proc/$quayd_pid/status | awk '{print $2}') KiB resident with $memory_containers containers"
q daemon disable
wait_for "runtime stopped" state_is stopped_
