# Shared by the integration tests: a private sandbox, a real redis-server,
# quayd and quyctl, and waiting for conditions with a deadline.
# Source it after setting quayd=... quyctl=...

# enter_sandbox "$0" "$@": re-executes the test in private mount and network
# namespaces with tmpfs over every system path the agent or dockerd writes,
# so nothing on the host is touched and the fixed paths stay fixed.
enter_sandbox() {
  if [ -z "${QUAYD_SANDBOXED:-}" ]; then
    QUAYD_SANDBOXED=1 exec unshare --mount --net --propagation private -- "$@"
  fi
  local d
  for d in /run /var/lib/docker /var/lib/quayd /var/log/quayd /mnt; do
    mkdir -p "$d" && mount -t tmpfs -o mode=0755 tmpfs "$d"
  done
  mkdir -p /mnt/flash && mount -t tmpfs -o size=${FLASH_SIZE:-2g} tmpfs /mnt/flash
  mkdir -p /run/netns
  ip link set lo up
  # The agent finds the daemons' supervisor on PATH: the one of this build.
  if [ -x "$(dirname "${quayd:-.}")/../quayd-supervisor/quayd-supervisor" ]; then
    export PATH="$(cd "$(dirname "$quayd")/../quayd-supervisor" && pwd):$PATH"
  fi
  work=$(mktemp -d)
  sock=$work/redis.sock
  redis_pid= quayd_pid=
  trap cleanup EXIT
  # A command that stops the test under set -e says which, with the diagnostics.
  trap 'fail "line $LINENO: $BASH_COMMAND"' ERR
}

cleanup() {
  [ $? -eq 0 ] || keep_work=1
  [ -n "$quayd_pid" ] && kill -9 "$quayd_pid" 2>/dev/null || true
  # The agent leaves dockerd and the Containerz service running by design;
  # the test takes them down, the service first.
  local sup
  sup=$(cat /run/quayd/containerz/supervisor.pid 2>/dev/null) || true
  if [ -n "$sup" ]; then
    kill "$sup" 2>/dev/null || true
    for _ in $(seq 300); do [ -e "/proc/$sup" ] || break; sleep 0.1; done
  fi
  sup=$(cat /run/quayd/docker/supervisor.pid 2>/dev/null) || true
  if [ -n "$sup" ]; then
    kill "$sup" 2>/dev/null || true
    for _ in $(seq 300); do [ -e "/proc/$sup" ] || break; sleep 0.1; done
  fi
  [ -n "$redis_pid" ] && kill "$redis_pid" 2>/dev/null || true
  [ -n "${registry_pid:-}" ] && kill "$registry_pid" 2>/dev/null || true
  # A daemon started by systemd's stand-in has no supervisor to stop it.
  local d
  d=$(cat /var/run/docker.pid 2>/dev/null) || true
  if [ -n "$d" ] && [ "$(cat "/proc/$d/comm" 2>/dev/null)" = dockerd ] && kill "$d"; then
    for _ in $(seq 300); do alive "$d" || break; sleep 0.1; done
  fi
  wait 2>/dev/null || true
  if [ -n "${keep_work:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
# Whether process $1 runs; a zombie nobody reaps does not.
alive() { [ -e "/proc/$1" ] && ! grep -q '^State:[[:space:]]*[ZX]' "/proc/$1/status"; }
# A test may define diagnose() to print what it compares.
fail() {
  echo "FAIL: $*"
  keep_work=1
  if declare -F diagnose >/dev/null; then diagnose || true; fi
  echo "--- quayd output"; tail -n 60 "$work/quayd.out" 2>/dev/null || true
  echo "--- daemon"
  timeout 10 docker ps -a 2>&1 || true
  timeout 10 docker events --since 0 --until 0s \
    --format '{{.Time}} {{.Type}} {{.Action}} {{.Actor.Attributes.name}}' 2>&1 | tail -n 60 || true
  echo "--- trace"
  "$quayd" --dump-trace "$work"/*.rlog 2>/dev/null | tail -n 60 || true
  echo "--- quyctl show"; q show 2>/dev/null || true
  # A hung agent shows where it waits.
  if [ -n "${quayd_pid:-}" ] && kill -0 "$quayd_pid" 2>/dev/null && command -v gdb >/dev/null; then
    echo "--- quayd threads"
    timeout 30 gdb -batch -p "$quayd_pid" -ex "thread apply all bt" 2>/dev/null | grep -E '^(#|Thread)' || true
  fi
  exit 1
}
# wait_for WHAT CMD...: polls CMD until it succeeds, for at most ${WAIT_S:-30} s.
wait_for() {
  local what=$1; shift
  local end=$((SECONDS + ${WAIT_S:-30}))
  while [ $SECONDS -lt $end ]; do "$@" >/dev/null 2>&1 && return 0; sleep "${POLL_S:-0.1}"; done
  fail "timed out waiting for: $what"
}
start_redis() {
  redis-server --port 0 --unixsocket "$sock" --dir "$work" --appendonly yes --appendfsync always \
    --save '' --daemonize no >"$work/redis.log" 2>&1 &
  redis_pid=$!
  wait_for "redis answers" redis-cli -s "$sock" ping
}
stop_redis() { kill "$redis_pid"; wait "$redis_pid" 2>/dev/null || true; redis_pid=; }
start_quayd() {
  RINGLOGDIR=$work "$quayd" --redis "$sock" --log-file "$work/quayd.log" >>"$work/quayd.out" 2>&1 &
  quayd_pid=$!
}
kill_quayd() {
  kill "-${1:-TERM}" "$quayd_pid"
  wait "$quayd_pid" 2>/dev/null || true
  quayd_pid=
}
field() { redis-cli -s "$sock" hget "$1" "$2"; }
q() { "$quyctl" --redis "$sock" "$@"; }
# The agent's status as the operator sees it: quyctl get prints "field  value".
status_is() { q get "$1" | grep -q "^$2 \+$3\$"; }
logged() { grep -q "$1" "$work/quayd.log"; }
# The agent on a fresh database, with the runtime enabled and the image bb:1.
bring_up() {
  start_redis
  start_quayd
  q daemon enable
  wait_for "runtime started" status_is cell/0/quayd/status state started_
  make_image bb:1
}
# The ID of the container named exactly $1, empty when there is none: the
# daemon takes a bare reference such as "cb" as the start of an ID as well.
container_id() { docker ps -aq --no-trunc --filter "name=^$1\$"; }
# inspect NAME [FORMAT]: docker inspect of the container named exactly NAME.
inspect() { local id; id=$(container_id "$1"); [ -n "$id" ] && docker inspect ${2:+--format "$2"} "$id"; }
running() { [ "$(inspect "$1" '{{.State.Running}}' 2>/dev/null)" = true ]; }
gone() { [ -z "$(container_id "$1")" ]; }
# IDs of the images the daemon loaded since it started, one a line. "0s" is
# now to the sub-second: a whole-second bound misses this second's loads.
image_load_ids() {
  docker events --since 0 --until 0s --filter type=image --filter event=load --format '{{.Actor.ID}}'
}
memory_is() { [ "$(inspect "$1" '{{.HostConfig.Memory}}' 2>/dev/null)" = "$2" ]; }
# A container command that runs until stopped. PID 1 of a container ignores
# SIGTERM unless it handles it; this one does, so a stop needs no grace period.
SLEEPER="sh -c 'trap exit TERM; sleep 100000 & wait'"
# make_image REF [TARBALL]: a one-binary image from Debian's busybox-static,
# imported into the running dockerd; with TARBALL it is saved there and
# removed from the daemon again.
make_image() {
  local root=$work/rootfs
  if [ ! -d "$root" ]; then
    mkdir -p "$root/bin" "$root/data"
    cp /bin/busybox "$root/bin/"
    for c in sh sleep cat echo test true false ls; do ln -s busybox "$root/bin/$c"; done
  fi
  tar -C "$root" -c . | docker import - "$1" >/dev/null
  if [ -n "${2:-}" ]; then
    mkdir -p "$(dirname "$2")"
    docker save -o "$2" "$1"
    docker rmi "$1" >/dev/null
  fi
}
# start_registry: a password-protected registry (user ops, password s3cret)
# on 127.0.0.1:5000, which dockerd reaches over plain HTTP as it does any
# loopback registry.
registry_pid=
start_registry() {
  htpasswd -Bbn ops s3cret >"$work/htpasswd"
  cat >"$work/registry.yml" <<EOR
version: 0.1
storage:
  filesystem:
    rootdirectory: $work/registry
http:
  addr: 127.0.0.1:5000
auth:
  htpasswd:
    realm: quayd-test
    path: $work/htpasswd
EOR
  docker-registry serve "$work/registry.yml" >"$work/registry.log" 2>&1 &
  registry_pid=$!
  wait_for "registry answers" sh -c \
    '[ "$(curl -s -o /dev/null -w %{http_code} http://127.0.0.1:5000/v2/)" = 401 ]'
}
# Every key of the state database with every field, one per line.
redis_dump() {
  local key
  redis-cli -s "$sock" --scan | while read -r key; do
    echo "== $key"
    redis-cli -s "$sock" hgetall "$key" 2>/dev/null || redis-cli -s "$sock" get "$key"
  done
}
# No password of the tests may be in anything the agent wrote, nor in the
# database (its dump and its append-only file).
no_password_leaks() {
  "$quayd" --dump-trace "$work"/*.rlog >"$work/trace.txt" 2>/dev/null || true
  redis_dump >"$work/redis-dump.txt"
  ! grep -rl "s3cret\|wrongpw" "$work/quayd.log" "$work/quayd.out" "$work/trace.txt" \
      "$work/redis-dump.txt" "$work"/appendonly* <(q show; q show --json) 2>/dev/null
}

# containerz_client PROTO_DIR: generates the gRPC client's stubs from the
# project's definition; cz then calls the service in ns-red.
containerz_client() {
  export CONTAINERZ_PY=$work/py
  mkdir -p "$CONTAINERZ_PY"
  (cd "$1" && protoc -I . --python_out="$CONTAINERZ_PY" --grpc_out="$CONTAINERZ_PY" \
    --plugin=protoc-gen-grpc="$(command -v grpc_python_plugin)" $(find . -name '*.proto'))
}
# The VRF red's daemon, which the Containerz sub-agent runs in ns-red.
sockred=/run/quayd/docker/ns-red.sock
dred() { docker -H "unix://$sockred" "$@"; }
answers() { dred info >/dev/null 2>&1; }
# start_containerz: the agent and its database up, Containerz configured in
# the VRF red, and the VRF's daemon answering.
start_containerz() {
  ip netns add ns-red
  ip -n ns-red link set lo up
  start_redis
  start_quayd
  q containerz --vrf red
  q vrf red --active
  wait_for "dockerd in ns-red" answers
}
# make_ca DIR NAME: a CA of its own, DIR/NAME.crt and DIR/NAME.key.
make_ca() {
  mkdir -p "$1"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1/$2.key" -out "$1/$2.crt" \
    -days 2 -subj "/CN=$2" 2>/dev/null
}
# make_cert DIR NAME CA SUBJECT-ALT-NAME: NAME's certificate, signed by CA.
make_cert() {
  openssl req -new -newkey rsa:2048 -nodes -keyout "$1/$2.key" -subj "/CN=$2" \
    -out "$1/$2.csr" 2>/dev/null
  openssl x509 -req -in "$1/$2.csr" -CA "$1/$3.crt" -CAkey "$1/$3.key" -CAcreateserial \
    -days 2 -extfile <(echo "subjectAltName=$4") -out "$1/$2.crt" 2>/dev/null
}
cz() { ip netns exec ns-red /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/containerz_client.py" "$@"; }
