#!/usr/bin/env bash
# Deploy throughput of the gNOI Containerz service against `docker load` of
# the same tarball on the same daemon, in one run, over the unix socket and
# then over TCP with mutual TLS: an image of SIZE_MB
# (busybox and incompressible data), ROUNDS of each, alternating, the image
# removed after each. Deploy is timed in the client around the call alone
# (streamed in the server's chunks into the daemon's load, tagged).
# Runs in the integration tests' sandbox, the service started by the agent
# in a VRF's namespace.
# Usage: bench/containerz_deploy_bench.sh QUAYD QUYCTL QUYLBMOUNT QUAYD_CONTAINERZ PROTO_DIR
#          [SIZE_MB [ROUNDS]]
set -euo pipefail
quayd=$1 quyctl=$2 server_bin=$4 proto_dir=$5 size_mb=${6:-100} rounds=${7:-3}
. "$(dirname "$0")/../tests/integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH" WAIT_S=90 QUAYD_CONTAINERZ_SERVER=$server_bin
containerz_client "$proto_dir"
ms() { echo $(( $(date +%s%N) / 1000000 )); }

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

# rounds TARGET-ARGS...: docker load and Deploy alternating; sets
# total_load and total_deploy.
rounds() {
  total_load=0 total_deploy=0
  local i t0 t1 load out deploy
  for i in $(seq "$rounds"); do
    t0=$(ms); dred load -i "$work/big.tar" >/dev/null; t1=$(ms)
    dred rmi big:1 >/dev/null
    load=$((t1 - t0))
    out=$(cz "$@" deploy big "$i" "$work/big.tar" --timed)
    grep -q "^success " <<<"$out" || fail "deploy: $out"
    deploy=$(sed -n 's/^elapsed-ms //p' <<<"$out")
    dred rmi "big:$i" >/dev/null
    echo "round $i: docker load $load ms, Deploy $deploy ms"
    total_load=$((total_load + load)) total_deploy=$((total_deploy + deploy))
  done
}
mbs() { awk -v b="$bytes" -v n="$rounds" -v t="$1" 'BEGIN { printf "%.1f", b * n / 1048576 / (t / 1000) }'; }
summary() {
  echo "$1: docker load: $(mbs $total_load) MB/s   Deploy: $(mbs $total_deploy) MB/s   Deploy/load time ratio: $(awk -v d=$total_deploy -v l=$total_load 'BEGIN { printf "%.2f", d / l }')"
}

rounds
summary "unix socket"
# The same over TCP with mutual TLS, on loopback in the VRF's namespace.
pki=$work/pki
make_ca "$pki" ca
make_cert "$pki" server ca "DNS:localhost,IP:127.0.0.1"
make_cert "$pki" client ca "DNS:client"
redis-cli -s "$sock" hset "mgmt/gnoi/config|containerz" grpcConfig \
  "{\"port\":9340,\"address\":\"127.0.0.1\",\"tlsCert\":\"$pki/server.crt\",\"tlsKey\":\"$pki/server.key\",\"tlsCa\":\"$pki/ca.crt\"}" >/dev/null
tls=(--target 127.0.0.1:9340 --ca "$pki/ca.crt" --cert "$pki/client.crt" --key "$pki/client.key")
wait_for "the service over mTLS" cz "${tls[@]}" list-images
rounds "${tls[@]}"
summary "mTLS"
