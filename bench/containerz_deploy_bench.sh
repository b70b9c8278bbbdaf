#!/usr/bin/env bash
# Deploy throughput of the gNOI Containerz service against `docker load` of
# the same tarball on the same daemon, in one run, over the unix socket and
# then over TCP with mutual TLS: an image of SIZE_MB (busybox and
# incompressible data), ROUNDS of each, the order alternating from round to
# round, each after the machine has gone quiet, the image removed after
# each. Both are timed around their client's whole run: `docker load` and
# bench/DeployClient.cpp (connection, transfer and the server's load).
# The daemon's own pace varies by a quarter from one load to the next on a
# shared machine, most of it with the time the hypervisor gives our cores to
# others (printed beside each round as stolen): take many rounds.
# Reports the medians of the rounds and each side's CPU: the two clients and
# the Containerz server.
# Runs in the integration tests' sandbox, the service started by the agent
# in a VRF's namespace.
# Usage: bench/containerz_deploy_bench.sh QUAYD QUYCTL QUYLBMOUNT QUAYD_CONTAINERZ PROTO_DIR
#          [SIZE_MB [ROUNDS]]
# The client is bench/deploy_client of the same build, or $DEPLOY_CLIENT.
set -euo pipefail
quayd=$1 quyctl=$2 server_bin=$4 proto_dir=$5 size_mb=${6:-100} rounds=${7:-5}
. "$(dirname "$0")/../tests/integration/lib.sh"
. "$(dirname "$0")/cpu.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH" WAIT_S=90 QUAYD_CONTAINERZ_SERVER=$server_bin
client=$(realpath "${DEPLOY_CLIENT:-$(dirname "$quayd")/../../bench/deploy_client}")
containerz_client "$proto_dir"
ms() { echo $(( $(date +%s%N) / 1000000 )); }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# user and system seconds, as /usr/bin/time prints them, in ms.
cpu_ms() { awk '{ printf "%d", ($1 + $2) * 1000 }' <<<"$1"; }

start_containerz
served() { cz list-images; }
wait_for "the service" served

root=$work/rootfs
mkdir -p "$root/bin" "$root/data"
cp /bin/busybox "$root/bin/"
head -c "$((size_mb << 20))" /dev/urandom >"$root/data/blob"
tar -C "$root" -c . | dred import - big:1 >/dev/null
dred save -o "$work/big.tar" big:1
dred rmi big:1 >/dev/null
bytes=$(stat -c %s "$work/big.tar")
echo "tarball $bytes bytes"

# load: one `docker load`, timed; sets load and load_cpu (client, ms).
load() {
  local t0 t1 out s0
  s0=$(steal_ticks) t0=$(ms)
  out=$( { /usr/bin/time -f "%U %S" docker -H "unix://$sockred" load -i "$work/big.tar" >/dev/null; } 2>&1)
  t1=$(ms)
  load_steal=$(( ($(steal_ticks) - s0) * tick_ms ))
  dred rmi big:1 >/dev/null
  load=$((t1 - t0)) load_cpu=$(cpu_ms "$out")
}
# deploy TLS-ARGS...: one Deploy, under the name the tarball gives its image
# (big:1), so that it leaves what `docker load` leaves; sets deploy,
# deploy_cpu (client, ms) and server_cpu (ms).
deploy() {
  local s0 t0 out st0
  # Over TCP the client is in the VRF's namespace; the unix socket, like
  # docker's, is reached from where the benchmark runs.
  local ns=()
  (( $# == 0 )) || ns=(ip netns exec ns-red)
  s0=$(ticks "$server_pid") st0=$(steal_ticks) t0=$(ms)
  out=$( { /usr/bin/time -f "cpu %U %S" "${ns[@]}" "$client" "$target" big 1 \
    "$work/big.tar" "$@"; } 2>&1) || fail "deploy: $out"
  deploy=$(( $(ms) - t0 ))
  deploy_steal=$(( ($(steal_ticks) - st0) * tick_ms ))
  server_cpu=$(( ($(ticks "$server_pid") - s0) * tick_ms ))
  deploy_cpu=$(cpu_ms "$(sed -n 's/^cpu //p' <<<"$out")")
  dred rmi big:1 >/dev/null
}
# rounds TLS-ARGS...: docker load and Deploy in turn, then the medians: of
# every round, and of the rounds in which neither lost over 5 % of its time
# to the hypervisor.
rounds() {
  local i loads=() deploys=() ratios=() calm=()
  for i in $(seq "$rounds"); do
    if (( i % 2 )); then
      wait_quiet; load; wait_quiet; deploy "$@"
    else
      wait_quiet; deploy "$@"; wait_quiet; load
    fi
    echo "round $i: docker load $load ms (client CPU $load_cpu ms, stolen $load_steal ms)," \
      "Deploy $deploy ms (client CPU $deploy_cpu ms, server CPU $server_cpu ms, stolen $deploy_steal ms)"
    loads+=("$load") deploys+=("$deploy")
    ratios+=("$(awk -v d="$deploy" -v l="$load" 'BEGIN { printf "%.3f", d / l }')")
    (( load_steal * 20 > load || deploy_steal * 20 > deploy )) || calm+=("${ratios[-1]}")
  done
  local l d
  l=$(printf '%s\n' "${loads[@]}" | median) d=$(printf '%s\n' "${deploys[@]}" | median)
  echo "$label: medians of $rounds: docker load $l ms ($(mbs "$l") MB/s)," \
    "Deploy $d ms ($(mbs "$d") MB/s), Deploy/load $(awk -v d="$d" -v l="$l" 'BEGIN { printf "%.2f", d / l }')," \
    "median of the rounds' Deploy/load $(printf '%s\n' "${ratios[@]}" | median)," \
    "of the ${#calm[@]} rounds with little stolen $( ((${#calm[@]})) && printf '%s\n' "${calm[@]}" | median || echo -)"
}
mbs() { awk -v b="$bytes" -v t="$1" 'BEGIN { printf "%.1f", b / 1048576 / (t / 1000) }'; }

server_pid=$(pgrep -x quayd-container | head -1)
label="unix socket" target=unix:/run/quayd/containerz.sock
rounds
# The same over TCP with mutual TLS, on loopback in the VRF's namespace.
pki=$work/pki
make_ca "$pki" ca
make_cert "$pki" server ca "DNS:localhost,IP:127.0.0.1"
make_cert "$pki" client ca "DNS:client"
redis-cli -s "$sock" hset "mgmt/gnoi/config|containerz" grpcConfig \
  "{\"port\":9340,\"address\":\"127.0.0.1\",\"tlsCert\":\"$pki/server.crt\",\"tlsKey\":\"$pki/server.key\",\"tlsCa\":\"$pki/ca.crt\"}" >/dev/null
tls=(--target 127.0.0.1:9340 --ca "$pki/ca.crt" --cert "$pki/client.crt" --key "$pki/client.key")
wait_for "the service over mTLS" cz "${tls[@]}" list-images
server_pid=$(pgrep -x quayd-container | head -1)
label=mTLS target=127.0.0.1:9340
rounds "$pki/ca.crt" "$pki/client.crt" "$pki/client.key"
