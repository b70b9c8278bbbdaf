#!/usr/bin/env bash
# The gNOI Containerz service that the Containerz sub-agent runs beside its
# daemon in the VRF's namespace, driven by a client generated from the
# project's .proto files: an image deployed in chunks, a container started
# from it, its logs read and followed, updated to a second image, stopped,
# removed, the image removed; a deploy that does not fit refused before any
# byte, one whose message is no DeployRequest refused as such; a stopped
# container removed after the grace period. The server comes back after a
# kill -9, of itself or of its supervisor too; with TLS configured, a client
# without a certificate of the CA is refused; it goes with the sub-agent.
# Usage: containerz_grpc_test.sh QUAYD QUYCTL QUYLBMOUNT QUAYD_CONTAINERZ PROTO_DIR
set -euo pipefail
quayd=$1 quyctl=$2 server_bin=$4 proto_dir=$5
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=90
staging=/mnt/flash/.containerz/staging
export QUAYD_CONTAINERZ_SERVER=$server_bin
sweeper=
trap 'kill "$sweeper" 2>/dev/null || true; cleanup' EXIT
diagnose() {
  echo "--- serverStatus"; redis-cli -s "$sock" hgetall mgmt/gnoi/containerz/serverStatus
  echo "--- server.log"; tail -n 20 /run/quayd/containerz/server.log
}
server_field() { field mgmt/gnoi/containerz/serverStatus "$1"; }
# A field at its default value may be absent.
server_is() {
  local r; r=$(server_field restarts)
  [ "$(server_field state)" = "$1" ] && [ "${r:-0}" = "$2" ]
}

# The client's stubs, generated here from the project's definition.
containerz_client "$proto_dir"
# A grep that reads all of its input, so that the writer never meets a closed pipe.
has() { grep "$@" >/dev/null; }
# expect_error CODE CMD...: the call is refused with CODE.
expect_error() {
  local code=$1 out; shift
  out=$("$@" 2>&1) && fail "$* was not refused: $out"
  grep -q "error $code:" <<<"$out" || fail "$* refused otherwise than $code: $out"
}

start_containerz
wait_for "the server running" server_is running 0
[ "$(server_field address)" = unix:/run/quayd/containerz.sock ] || fail "address $(server_field address)"
in_red() { [ "$(stat -L -c %i "/proc/$(server_field pid)/ns/net")" = "$(stat -L -c %i /run/netns/ns-red)" ]; }
wait_for "the server in ns-red" in_red
DOCKER_HOST=unix://$sockred make_image bb:1 "$work/bb1.tar"
DOCKER_HOST=unix://$sockred make_image bb:2 "$work/bb2.tar"
wait_for "the server answering" cz list-images

# Deploy in chunks: ready, progress, success; listed under its new name.
cz deploy app v1 "$work/bb1.tar" >"$work/deploy1.out" || fail "deploy: $(cat "$work/deploy1.out")"
grep -q "^ready [0-9]" "$work/deploy1.out" || fail "no ready: $(cat "$work/deploy1.out")"
grep -q "^progress $(stat -c %s "$work/bb1.tar")$" "$work/deploy1.out" || fail "no progress"
grep -q "^success app v1 " "$work/deploy1.out" || fail "no success"
cz deploy app v2 "$work/bb2.tar" >/dev/null
cz list-images | has "^app:v1 sha256:" || fail "app:v1 not listed: $(cz list-images)"
[ -z "$(ls -A "$staging")" ] || fail "staged files left: $(ls "$staging")"

# A container with a port and an environment variable; its logs, followed.
ticker="sh -c 'trap exit TERM; echo hello \$GREETING; i=0; while true; do i=\$((i+1)); echo tick \$i; sleep 1; done'"
[ "$(cz start web app v1 --port 80:8080 --env GREETING=operator --cmd "$ticker")" = web ] ||
  fail "web not started"
[ "$(dred inspect web --format '{{(index (index .HostConfig.PortBindings "80/tcp") 0).HostPort}}')" = 8080 ] ||
  fail "port 8080 not published"
greeted() { cz logs web | has "^hello operator$"; }
wait_for "the greeting in the log" greeted
cz logs web --until 'tick {n}' >/dev/null || fail "the followed log brought no new line"
cz list-containers | has "^web app:v1 RUNNING$" || fail "web not running: $(cz list-containers)"
expect_error ALREADY_EXISTS cz start web app v1 --cmd true
expect_error NOT_FOUND cz start other app v9 --cmd true
expect_error FAILED_PRECONDITION cz remove-image app v1

# Update to the second image: the new one runs under the name, the old
# container is gone and so is the image it replaced.
cz update web app v2 --port 80:8080 --env GREETING=again --cmd "$ticker" >/dev/null
cz list-containers | has "^web app:v2 RUNNING$" || fail "web not on v2: $(cz list-containers)"
[ "$(dred ps -aq | wc -l)" = 1 ] || fail "the old container stayed: $(dred ps -a)"
cz list-images | has "^app:v1 " && fail "the replaced image stayed"
# An update that cannot start brings the old container back.
expect_error NOT_FOUND cz update web app v9 --cmd true
expect_error UNAVAILABLE cz update web app v2 --port 80:8080 --port 81:8080 --cmd "$ticker"
cz list-containers | has "^web app:v2 RUNNING$" || fail "web not back: $(cz list-containers)"
# An asynchronous update answers at once; the new container follows.
[ "$(cz update web app v2 --async --port 80:8080 --env GREETING=later --cmd "$ticker")" = "web async" ] ||
  fail "no asynchronous answer"
greeted_later() { cz logs web | has "^hello later$"; }
wait_for "the asynchronously updated container" greeted_later

# Stop, remove, remove the image.
cz stop web
cz list-containers | has web && fail "web still listed as running"
cz list-containers --all | has "^web app:v2 STOPPED$" || fail "web not stopped"
expect_error FAILED_PRECONDITION cz stop web
cz remove-container web
expect_error NOT_FOUND cz remove-container web
cz remove-image app v2
cz list-images | has "^app:" && fail "images left: $(cz list-images)"
expect_error NOT_FOUND cz remove-image app v2

# Volumes; plugins are not served.
cz create-volume data >/dev/null
cz list-volumes | has "^data local [1-9]" || fail "volume not listed: $(cz list-volumes)"
expect_error ALREADY_EXISTS cz create-volume data
cz remove-volume data
cz list-volumes | has "^data " && fail "volume left"
expect_error UNIMPLEMENTED cz list-plugins

# Housekeeping: a stopped container goes after the grace period (here 4 s,
# by a second server), a running one stays.
grace=4
ip netns exec ns-red "$server_bin" --docker-socket "$sockred" --staging-dir "$staging" \
  --socket "$work/sweeper.sock" --stopped-grace $grace >"$work/sweeper.out" 2>&1 &
sweeper=$!
cz deploy app v3 "$work/bb1.tar" >/dev/null
started=$(date +%s)
cz start brief app v3 --cmd true >/dev/null
# Gone is wrong only while the grace period cannot have passed yet.
if ! dred ps -a --format '{{.Names}}' | has -x brief && (( $(date +%s) - started < grace )); then
  fail "brief was removed within its grace period"
fi
cz start long app v3 --cmd "$ticker" >/dev/null
brief_gone() { ! dred ps -a --format '{{.Names}}' | has -x brief; }
WAIT_S=15 wait_for "the stopped container removed" brief_gone
dred ps --format '{{.Names}}' | has -x long || fail "the running container went"
kill "$sweeper"
wait "$sweeper" || fail "the sweeper did not end cleanly"
cz stop long
cz remove-container long
# An image larger than half the free flash is refused before any byte.
free=$(df -B1 --output=avail /mnt/flash | tail -1)
cz deploy big v1 "$work/bb1.tar" --announce $((free / 2 + 4096)) >"$work/deploy-big.out" || true
grep -q "^transfer-error RESOURCE_EXHAUSTED" "$work/deploy-big.out" ||
  fail "not refused: $(cat "$work/deploy-big.out")"
grep -q "^ready" "$work/deploy-big.out" && fail "the server took bytes it had no room for"
# Bytes that are no DeployRequest are refused as such.
cz deploy bad v1 "$work/bb1.tar" --broken >"$work/deploy-bad.out" 2>&1 || true
grep -q "^transfer-error INVALID_ARGUMENT .*not a DeployRequest" "$work/deploy-bad.out" ||
  fail "a broken message: $(cat "$work/deploy-bad.out")"
[ -z "$(ls -A "$staging")" ] || fail "staged files left: $(ls "$staging")"

# Killed, the server is restarted by its supervisor; killed with its
# supervisor, by the agent.
pid=$(server_field pid)
kill -9 "$pid"
wait_for "the server restarted" server_is running 1
[ "$(server_field pid)" != "$pid" ] || fail "the same pid $pid"
wait_for "the restarted server answering" cz list-images
kill -9 "$(cat /run/quayd/containerz/supervisor.pid)" "$(server_field pid)"
wait_for "the server started anew" server_is running 2
wait_for "the new server answering" cz list-images

# TLS with client certificates: a CA, the server's and a client's
# certificates, and a client certificate of another CA.
pki=$work/pki
for ca in ca rogue-ca; do make_ca "$pki" $ca; done
make_cert "$pki" server ca "DNS:localhost,IP:127.0.0.1"
make_cert "$pki" client ca "DNS:client"
make_cert "$pki" rogue rogue-ca "DNS:client"
redis-cli -s "$sock" hset "mgmt/gnoi/config|containerz" grpcConfig \
  "{\"port\":9340,\"address\":\"127.0.0.1\",\"tlsCert\":\"$pki/server.crt\",\"tlsKey\":\"$pki/server.key\",\"tlsCa\":\"$pki/ca.crt\"}" >/dev/null
wait_for "the server on 9340" sh -c "[ \"\$(redis-cli -s $sock hget mgmt/gnoi/containerz/serverStatus address)\" = 127.0.0.1:9340 ]"
tls=(--target 127.0.0.1:9340 --ca "$pki/ca.crt")
with_cert() { cz "${tls[@]}" --cert "$pki/client.crt" --key "$pki/client.key" list-volumes; }
wait_for "a client of the CA served" with_cert
expect_error UNAVAILABLE cz "${tls[@]}" list-volumes
expect_error UNAVAILABLE cz "${tls[@]}" --cert "$pki/rogue.crt" --key "$pki/rogue.key" list-volumes
expect_error UNAVAILABLE cz --target 127.0.0.1:9340 list-volumes
# Plaintext is for the unix socket only.
"$server_bin" --docker-socket "$sockred" --staging-dir "$staging" --address 0.0.0.0 \
  >"$work/open.out" 2>&1 && fail "plaintext on every address accepted"
grep -q "unix socket only" "$work/open.out" || fail "no reason given: $(cat "$work/open.out")"

# Back to the quy sub-agent: the service goes before the daemon.
q containerz --delete
wait_for "the server stopped" sh -c "[ \"\$(redis-cli -s $sock hget mgmt/gnoi/containerz/serverStatus state)\" = stopped ]"
[ -e /run/quayd/containerz/supervisor.pid ] && fail "the supervisor stayed"
# Only this test's: other tests run servers of their own beside it.
servers_in_red() {
  local p red; red=$(stat -L -c %i /run/netns/ns-red)
  for p in $(pgrep -f "^$server_bin"); do
    [ "$(stat -L -c %i "/proc/$p/ns/net" 2>/dev/null)" = "$red" ] && echo "$p"
  done
  return 0
}
[ -z "$(servers_in_red)" ] || fail "a server stayed: $(servers_in_red)"
kill -0 "$quayd_pid" || fail "quayd died"
echo "containerz_grpc: 1 passed, 0 failed"
