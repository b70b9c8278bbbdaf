#!/usr/bin/env bash
# The agent killed with SIGKILL 10 times inside one phase of its work, each
# time at a random moment after the phase began and before it ended:
#   image        loading a 160 MiB tarball
#   flash        the mount tool mounting the data root on flash (a stand-in
#                first on PATH waits 2 s before it runs the real one)
#   credentials  logging in 8 registries, the credential file written after
#                each login
#   login        logging in to a registry that answers each request in 0.6 s
# (the registries' servers are changed while the agent is down, so that it
# logs in anew when it starts)
#   hardstop     the hard stop of a runtime the configuration disabled while
#                the agent was down, dockerd taking its containers' 2 s
# After each kill the agent starts again and catches up: every configured
# container runs, every status says so (runtime started_, each tarball
# loaded without error, each registry logged in) and the credential file is
# whole JSON with no temporary beside it. KILL_SEED fixes the random moments.
# Usage: kill_phase_test.sh QUAYD QUYCTL QUYLBMOUNT PHASE
set -euo pipefail
quayd=$1 quyctl=$2 phase=$4
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
mount_tool=$(cd "$(dirname "$3")" && pwd)/quylbmount
export PATH="$work/tools:$(dirname "$3"):$PATH"
export WAIT_S=60 QUAYD_DOCKER_CONFIG=$work/docker-config
seed_kills

# ------------------------------------------------------------ stand-ins
# A registry (user ops, password s3cret) on port 5000 of every loopback
# address that takes DELAY seconds over each request; it notes when a
# request begins ($reg.busy) and when the last one ended ($reg.last).
reg=$work/registry
start_slow_registry() {  # DELAY
  python3 - "$1" "$reg" >"$reg.out" 2>&1 <<'EOP' &
import base64, http.server, os, sys, time
delay, base = float(sys.argv[1]), sys.argv[2]
good = "Basic " + base64.b64encode(b"ops:s3cret").decode()
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        open(base + ".busy", "w").close()
        with open(base + ".log", "a") as f:
            f.write(self.path + "\n")
        time.sleep(delay)
        ok = self.headers.get("Authorization") == good
        self.send_response(200 if ok else 401)
        self.send_header("Docker-Distribution-API-Version", "registry/2.0")
        if not ok:
            self.send_header("WWW-Authenticate", 'Basic realm="quayd-test"')
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"{}")
        with open(base + ".last", "w") as f:
            f.write("%.3f\n" % time.time())
        try:
            os.unlink(base + ".busy")
        except FileNotFoundError:
            pass
    def log_message(self, *args):
        pass
http.server.ThreadingHTTPServer(("0.0.0.0", 5000), Handler).serve_forever()
EOP
  registry_pid=$!
  wait_for "the registry stand-in answers" sh -c \
    '[ "$(curl -s -o /dev/null -w %{http_code} http://127.0.0.1:5000/v2/)" = 401 ]'
}
requests() { cat "$reg.log" 2>/dev/null | wc -l; }
# registries_on 0|1: lab1..labN on 127.0.0.1..N or 127.0.1.1..N, all the
# stand-in's; a server changed while the agent is down is logged in anew.
registries_on() {
  local i
  for i in $(seq "$([ "$phase" = login ] && echo 1 || echo 8)"); do
    q registry "lab$i" --server "127.0.$1.$i:5000" --username ops --password s3cret >/dev/null
  done
}
# A request in flight, or one that ended less than 300 ms ago.
registry_busy() {
  [ -e "$reg.busy" ] ||
    python3 -c 'import sys, time; sys.exit(time.time() - float(open(sys.argv[1]).read()) > 0.3)' \
      "$reg.last" 2>/dev/null
}
slow_mount_tool() {
  mkdir -p "$work/tools"
  printf '#!/bin/sh\necho "$*" >>%s\nsleep 2\nexec %s "$@"\n' "$work/mounts" "$mount_tool" \
    >"$work/tools/quylbmount"
  chmod +x "$work/tools/quylbmount"
}
mounts() { cat "$work/mounts" 2>/dev/null | wc -l; }
tool_runs() { pgrep -f "$work/tools/quylbmount" >/dev/null; }
tarball_open() { ls -l "/proc/$quayd_pid/fd" 2>/dev/null | grep -q "$work/big.tar"; }

# ---------------------------------------------------------- what must hold
# Each configured tarball's status names its images, which the daemon has,
# and no error.
tarballs_loaded() {
  local t tags
  for t in $(q get quayd/image/config | sed -n 's/^tarball \+//p' | tr -d '[]"' | tr , ' '); do
    tags=$(field "cell/0/quayd/image/status|$t" tag | tr -d '[]"' | tr , ' ')
    [ -n "$tags" ] && [ -z "$(field "cell/0/quayd/image/status|$t" error)" ] || return 1
    docker image inspect $tags >/dev/null 2>&1 || return 1
  done
}
registries_logged_in() {
  local key
  for key in $(redis-cli -s "$sock" --scan --pattern 'quayd/registry/config|*'); do
    [ "$(field "cell/0/quayd/registry/status|${key#*|}" state)" = loggedIn ] || return 1
  done
}
credentials_whole() {
  local f=$QUAYD_DOCKER_CONFIG/config.json
  [ -z "$(find "$QUAYD_DOCKER_CONFIG" -name '*.tmp*' 2>/dev/null)" ] || return 1
  [ -e "$f" ] || return 0
  python3 -c 'import json, sys; json.load(open(sys.argv[1]))' "$f"
}
all_well() {
  status_is cell/0/quayd/status state started_ && converged && tarballs_loaded &&
    registries_logged_in && credentials_whole && { [ "$phase" != flash ] ||
    [ "$(field cell/0/quayd/status runningOnFlash)" = true ]; }
}
diagnose_more() {
  echo "--- status"; q show 2>&1 | head -n 40
  echo "--- credentials"; ls -la "$QUAYD_DOCKER_CONFIG" 2>&1; cat "$QUAYD_DOCKER_CONFIG/config.json" 2>&1
}

# ---------------------------------------------------------------- set-up
case $phase in
  flash) slow_mount_tool ;;
  login) start_slow_registry 0.6 ;;
  credentials) start_slow_registry 0.1 ;;
  image | hardstop) ;;
  *) fail "no phase $phase" ;;
esac
start_redis
start_quayd
case $phase in
  flash) q daemon enable --on-flash --flash-limit 512M ;;
  *) q daemon enable ;;
esac
wait_for "runtime started" status_is cell/0/quayd/status state started_
# The image the containers run comes from a tarball: the hard stop wipes
# the data root, and on flash it is another one.
make_image bb:1 "$work/bb.tar"
q image load "$work/bb.tar"
configure k1 1
[ "$phase" = hardstop ] || configure k2 1
case $phase in
  image)
    head -c $((160 << 20)) /dev/urandom >"$work/rootfs/data/big"
    make_image big:1 "$work/big.tar"
    rm "$work/rootfs/data/big"
    q image load "$work/big.tar"
    ;;
  login | credentials) registries_on 0 ;;
  hardstop)
    SLEEPER_CMD="sh -c 'trap \"\" TERM; sleep 100000 & wait'" configure k3 1 "--stop-timeout 2"
    ;;
esac
wait_for "all well before the kills" all_well

# ------------------------------------------------------------------ kills
# begin: what makes the agent enter the phase again once it starts (it is
# down then); began: the phase has begun; inside: it has not ended yet.
case $phase in
  image)
    begin() { docker rmi big:1 >/dev/null; }
    began() { tarball_open; }
    inside() { tarball_open; }
    window=1200
    ;;
  flash)
    begin() { before=$(mounts); }
    began() { [ "$(mounts)" -gt "$before" ]; }
    inside() { tool_runs; }
    window=1800
    ;;
  login | credentials)
    side=0
    begin() { before=$(requests) side=$((1 - side)); registries_on "$side"; }
    began() { [ "$(requests)" -gt "$before" ]; }
    inside() { registry_busy; }
    window=$([ "$phase" = login ] && echo 900 || echo 2000)
    ;;
  hardstop)
    # Begun once dockerd is told to stop; inside while it has not ended.
    terms() { grep -c "Processing signal 'terminated'" /run/quayd/docker/dockerd.log || true; }
    begin() { before=$(terms) dockerd=$(cat /var/run/docker.pid); q daemon disable; }
    began() { [ "$(terms)" -gt "$before" ]; }
    inside() { alive "$dockerd"; }
    window=1800
    ;;
esac

hits=0 round=0
while [ "$hits" -lt 10 ]; do
  round=$((round + 1))
  [ "$round" -le 25 ] || fail "only $hits of $((round - 1)) kills fell inside the phase"
  kill_quayd KILL
  begin
  start_quayd
  WAIT_S=20 wait_for "the $phase phase" began
  sleep_random "$window"
  if inside; then hit=1; else hit=0; fi
  kill_quayd KILL
  hits=$((hits + hit))
  start_quayd
  [ "$phase" != hardstop ] || {
    wait_for "the hard stop done" status_is cell/0/quayd/status state stopped_
    q daemon enable
  }
  wait_for "round $round: all well" all_well
  echo "round $round: killed ${delay} ms into the phase, $([ $hit = 1 ] && echo inside || echo after) it"
done
kill -0 "$quayd_pid" || fail "quayd died"
echo PASS
