#!/usr/bin/env bash
# The guard of "options mean what they mean to `docker run`": for every row
# of the option table, one container run by the docker client
# (/usr/bin/docker, the client docker.io ships) and one run by the agent
# through the Engine API with the same option; what each changes in `docker
# inspect` Config and HostConfig against a container without options must be
# the same. A row whose `needs` this machine lacks is skipped, with the
# reason. Then one option the table does not take: that container goes
# through the client, traced and counted in its status.
# Usage: options_diff_test.sh QUAYD QUYCTL QUYLBMOUNT QUAYD_OPTIONS
set -euo pipefail
quayd=$1 quyctl=$2 options=$4
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH" WAIT_S=180 TRACE='DockerRuntime/5'
here=$(cd "$(dirname "$0")" && pwd)
client=/usr/bin/docker
cmd="sh -c 'trap exit TERM; sleep 100000 & wait'"
t0=$SECONDS

start_redis
start_quayd
q daemon enable
wait_for "runtime started" status_is cell/0/quayd/status state started_
make_image bb:1
# What the rows' test values name.
printf 'A=1\n# a comment\n\nB=two words\n' >/run/options-test.env
printf 'from=file\n' >/run/options-test.labels

# Whether this machine has what a row needs: a path, or every capability
# in the bounding set.
has() {
  case $1 in
    "") ;;
    all-capabilities)
      local last bnd
      last=$(cat /proc/sys/kernel/cap_last_cap)
      bnd=$(awk '/^CapBnd/ { print $2 }' /proc/self/status)
      [ $((16#$bnd)) -eq $(((1 << (last + 1)) - 1)) ] ;;
    *) [ -e "$1" ] ;;
  esac
}
"$options" --rows >"$work/rows"
skipped=() names=(opt-base)
while IFS='|' read -r flag takes field kind value needs; do
  if ! has "$needs"; then
    echo "SKIP --$flag: needs $needs, which this machine lacks"
    skipped+=("$flag")
    continue
  fi
  names+=("opt-$flag")
done <"$work/rows"

# The client's containers, run and recorded, then removed so that the
# agent's (same ports, same names) never meet them.
run_client() {  # NAME [OPTION...]
  local n=$1; shift
  eval "$client run -d --name $n --label quayd.agent=quayd \"\$@\" bb:1 $cmd" >/dev/null
}
run_client opt-base
while IFS='|' read -r flag takes field kind value needs; do
  [[ " ${skipped[*]} " == *" $flag "* ]] && continue
  if [ "$takes" = 1 ]; then
    run_client "opt-$flag" "--$flag" "$value"
  else
    run_client "opt-$flag" "--$flag"
  fi || fail "the client refused --$flag $value"
done <"$work/rows"
docker inspect $(for n in "${names[@]}"; do container_id "$n"; done) >"$work/cli.json"
docker rm -f $(docker ps -aq) >/dev/null
echo "client: ${#names[@]} containers in $((SECONDS - t0)) s"

# The agent's containers, configured at once.
t1=$SECONDS
python3 "$here/options_diff.py" config "$work/rows" "$cmd" "${skipped[@]}" |
  redis-cli -s "$sock" >/dev/null
all_running() {
  local n
  for n in "${names[@]}"; do
    [ "$(field "cell/0/quayd/container/status|$n" state)" = containerRunning_ ] || return 1
  done
}
diagnose() {
  local n
  for n in "${names[@]}"; do
    echo "$n: $(field "cell/0/quayd/container/status|$n" state) $(field "cell/0/quayd/container/status|$n" lastError)"
  done
}
wait_for "the agent's containers running" all_running
echo "agent: ${#names[@]} containers in $((SECONDS - t1)) s"
for n in "${names[@]}"; do
  [ "$(field "cell/0/quayd/container/status|$n" clientRuns)" = 0 ] ||
    fail "$n went through the docker client"
done
docker inspect $(for n in "${names[@]}"; do container_id "$n"; done) >"$work/api.json"
python3 "$here/options_diff.py" compare "$work/rows" "$work/cli.json" "$work/api.json" ||
  fail "a row differs between the client and the agent"

# An option the table does not take: that container alone goes through the
# client, traced at level 5 with the flag and counted in its status.
q container opt-fallback --image bb:1 --command "$cmd" --options "--label-file /run/options-test.labels"
wait_for "opt-fallback running" sh -c \
  "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/container/status|opt-fallback' state)\" = containerRunning_ ]"
[ "$(field 'cell/0/quayd/container/status|opt-fallback' clientRuns)" = 1 ] ||
  fail "the fallback is not counted"
[ "$(inspect opt-fallback '{{index .Config.Labels "from"}}')" = file ] || fail "the label file was not read"
grep -q "container opt-fallback: option --label-file is not in the option table" "$work/quayd.out" ||
  fail "the fallback is not traced"
[ "$(field 'cell/0/quayd/container/status|opt-base' clientRuns)" = 0 ] || fail "base counted"

echo "options differential: $((${#names[@]} - 1)) rows compared, ${#skipped[@]} skipped, $((SECONDS - t0)) s"
echo "options differential: 1 passed, 0 failed"
