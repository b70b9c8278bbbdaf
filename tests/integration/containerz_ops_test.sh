#!/usr/bin/env bash
# The Containerz service where things go wrong, on the daemon the sub-agent
# runs in ns-red, reached through a stand-in socket that can hold a request
# unanswered: an update whose new container cannot start, whose daemon stops
# answering, whose service is killed, each leaves the old container running
# under its name with its ID; an asynchronous update's failure is a label; a
# 1 s deadline on a hung daemon ends the daemon's request too; deploys check
# the name before a byte, share the free space and one name:tag at a time,
# leave the tags of other images alone, go to the daemon's load as they
# arrive, and a cancelled or killed one loads nothing; a log of invalid UTF-8 and of an 8 MiB line reads to its end.
# Usage: containerz_ops_test.sh QUAYD QUYCTL QUYLBMOUNT QUAYD_CONTAINERZ PROTO_DIR
set -euo pipefail
quayd=$1 quyctl=$2 server_bin=$4 proto_dir=$5
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=90
export QUAYD_CONTAINERZ_SERVER=$server_bin
standin=$work/standin.sock hold=$work/hold
staging=/mnt/flash/ops-staging
server= standin_pid= deploys=()
trap 'kill "$server" "$standin_pid" 2>/dev/null || true; for p in "${deploys[@]}"; do stop_client "$p"; done; cleanup' EXIT
diagnose() {
  echo "--- server"; tail -n 20 "$work/server.out"
  echo "--- stand-in"; tail -n 20 "$work/standin.out"
  dred ps -a
}
# The service under test, on the stand-in socket.
serve() {
  ip netns exec ns-red "$server_bin" --docker-socket "$standin" --staging-dir "$staging" \
    --socket "$work/ops.sock" >>"$work/server.out" 2>&1 &
  server=$!
  wait_for "the service answering" c list-images
}
c() { cz --target "unix:$work/ops.sock" "$@"; }
has() { grep "$@" >/dev/null; }
expect_error() {
  local code=$1 out; shift
  out=$("$@" 2>&1) && fail "$* was not refused: $out"
  grep -q "error $code:" <<<"$out" || fail "$* refused otherwise than $code: $out"
}
id_of() { dred inspect --format '{{.Id}}' "$1" 2>/dev/null; }
# runs_as NAME ID: the container NAME runs, and is the one of ID.
runs_as() {
  [ "$(dred inspect --format '{{.Id}} {{.State.Running}}' "$1" 2>/dev/null)" = "$2 true" ]
}
held() { grep -q "^held .*$1" "$work/standin.out"; }
back() { WAIT_S=10 wait_for "web back $1" runs_as web "$web"; }
# A background client and what it runs.
stop_client() { pkill -P "$1" || true; kill "$1" 2>/dev/null || true; }
dropped() { grep -q "^dropped .*$1" "$work/standin.out"; }

containerz_client "$proto_dir"
start_containerz
ip netns exec ns-red /usr/bin/python3 "$(dirname "$0")/daemon_standin.py" "$standin" "$sockred" \
  "$hold" >"$work/standin.out" 2>&1 &
standin_pid=$!
serve
DOCKER_HOST=unix://$sockred make_image bb:1 "$work/bb1.tar"
# An image whose command prints invalid UTF-8, then a line of 8 MiB.
cat >"$work/rootfs/bin/noisy" <<'SCRIPT'
#!/bin/sh
busybox printf 'caf\351 \377\376\n'
busybox head -c 8388608 /dev/zero | busybox tr '\0' x
echo
echo end
SCRIPT
chmod +x "$work/rootfs/bin/noisy"
DOCKER_HOST=unix://$sockred make_image noisy:1 "$work/noisy.tar"
c deploy app v1 "$work/bb1.tar" >/dev/null
c deploy app v2 "$work/bb1.tar" >/dev/null
c start web app v1 --cmd "$SLEEPER" >/dev/null
web=$(id_of web)

# A new container that cannot start: the daemon's refusal, the old one back.
expect_error INVALID_ARGUMENT c update web app v2 --cmd /no/such/command
back "after a bad command"
# The daemon stops answering mid-update, after the old one stopped: the
# call's deadline ends it, the old one comes back.
echo "POST .*/containers/create" >"$hold"
expect_error DEADLINE_EXCEEDED c --timeout 3 update web app v2 --cmd "$SLEEPER"
back "after a silent daemon"
# Asynchronous: one update of a container at a time; a failure is a label.
c update web app v2 --async --cmd "$SLEEPER" >/dev/null
wait_for "the asynchronous update at its create" held "containers/create"
expect_error UNAVAILABLE c update web app v2 --cmd "$SLEEPER"
rm "$hold"
labelled() { c list-containers --labels | has "^  quayd.update-error=.*web"; }
WAIT_S=30 wait_for "the failure labelled" labelled
back "after a failed asynchronous update"
# Killed mid-update: the next start brings the old one back before serving.
echo "POST .*/containers/create" >"$hold"
c update web app v2 --cmd "$SLEEPER" >/dev/null 2>&1 &
deploys+=($!)
wait_for "the update at its create" sh -c "[ \$(grep -c '^held .*containers/create' $work/standin.out) -ge 3 ]"
kill -9 "$server"
wait "$server" 2>/dev/null || true
rm "$hold"
dred inspect web >/dev/null 2>&1 && fail "web was not aside when the service was killed"
serve
runs_as web "$web" || fail "web not back after a kill: $(dred ps -a)"

# A hung daemon: the call ends at its 1 s deadline, and so does its request
# to the daemon, long before that request's own limit.
echo "POST .*/stop" >"$hold"
start=$(date +%s%N)
expect_error DEADLINE_EXCEEDED c --timeout 1 stop web
(( ($(date +%s%N) - start) / 1000000 < 2500 )) || fail "the call took $(( ($(date +%s%N) - start) / 1000000 )) ms"
WAIT_S=3 wait_for "the daemon's request given up with the call" dropped "/stop"
rm "$hold"

# A tarball's own name that tags another image still tags it after a deploy.
DOCKER_HOST=unix://$sockred make_image bb:1
other=$(id_of bb:1)
c deploy app v3 "$work/bb1.tar" >/dev/null
[ "$(id_of bb:1)" = "$other" ] || fail "bb:1 taken from its image: $(dred images)"
[ "$(id_of app:v3)" != "$other" ] || fail "app:v3 not the deployed image"

# Deploys: a bad name refused before a byte; while one holds its space (its
# content comes from a FIFO), a second of its name:tag is refused
# while it runs and one whose space would not fit is refused before writing.
out=$(c deploy App v1 "$work/bb1.tar" || true)
grep -q "^transfer-error INVALID_ARGUMENT" <<<"$out" && ! grep -q "^ready" <<<"$out" ||
  fail "a bad name taken: $out"
mkfifo "$work/fifo"
free=$(df -B1 --output=avail /mnt/flash | tail -1)
third=$((free * 3 / 10))
echo "POST .*/images/load" >"$hold"
c deploy big v1 "$work/fifo" --announce "$third" >"$work/big.out" 2>&1 &
deploys+=($!)
exec 3<>"$work/fifo"
wait_for "the first deploy ready" grep -q "^ready" "$work/big.out"
out=$(c deploy big v1 "$work/bb1.tar" || true)
grep -q "^transfer-error UNAVAILABLE .*in progress" <<<"$out" || fail "a second big:v1 taken: $out"
out=$(c deploy other v1 "$work/bb1.tar" --announce "$third" || true)
grep -q "^transfer-error RESOURCE_EXHAUSTED" <<<"$out" && ! grep -q "^ready" <<<"$out" ||
  fail "a deploy beyond the free space taken: $out"
# The content goes to the daemon's load as it arrives, nothing to flash;
# the client goes mid-stream: the daemon's load is given up, the space is
# free again.
head -c 4194304 /dev/zero >&3
loads_are() { [ "$(grep -c "^$1 POST /v1.41/images/load" "$work/standin.out")" = "$2" ]; }
wait_for "the content sent on to the daemon" loads_are held 1
stop_client "${deploys[-1]}"
exec 3>&-
wait_for "the daemon's load given up" loads_are dropped 1
[ -z "$(ls -A "$staging")" ] || fail "written to the staging directory: $(ls "$staging")"
c deploy other v1 "$work/fifo" --announce "$third" >"$work/other.out" 2>&1 &
deploys+=($!)
exec 3<>"$work/fifo"
wait_for "the space free again" grep -q "^ready" "$work/other.out"
# Killed mid-stream: the daemon's load is given up too.
head -c 4194304 /dev/zero >&3
wait_for "the second load sent on" loads_are held 2
kill -9 "$server"
wait "$server" 2>/dev/null || true
exec 3>&-
wait_for "the second load given up" loads_are dropped 2
rm "$hold"
serve
dred image inspect big:v1 >/dev/null 2>&1 && fail "a cut deploy was loaded"
dred image inspect other:v1 >/dev/null 2>&1 && fail "a cut deploy was loaded"

# A log of invalid UTF-8 and of an 8 MiB line reads to its end.
c deploy noisy v1 "$work/noisy.tar" >/dev/null
c start noisy noisy v1 --cmd /bin/noisy >/dev/null
ended() { [ "$(dred inspect --format '{{.State.Running}}' noisy)" = false ]; }
wait_for "noisy done" ended
c logs noisy >"$work/noisy.out" 2>&1 || fail "the log not read: $(tail -c 300 "$work/noisy.out")"
[ "$(tail -n 1 "$work/noisy.out")" = end ] || fail "the log's end missing"
[ "$(head -n 1 "$work/noisy.out")" = "$(printf 'caf\357\277\275 \357\277\275\357\277\275')" ] || fail "invalid bytes not replaced: $(head -n 1 "$work/noisy.out")"
[ "$(tr -cd x <"$work/noisy.out" | wc -c)" = 8388608 ] || fail "the long line lost bytes"
[ "$(grep -c '^x' "$work/noisy.out")" = 128 ] || fail "the long line not in 64 KiB pieces"

# The daemon down: UNAVAILABLE.
kill "$standin_pid"
wait "$standin_pid" 2>/dev/null || true
rm -f "$standin"
expect_error UNAVAILABLE c list-images
echo "containerz_ops: 1 passed, 0 failed"
