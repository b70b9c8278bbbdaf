#!/usr/bin/env bash
# Operator's view of the foundation: a real redis-server, quayd and quyctl.
# Enabling the daemon resolves subAgentQuy; a restart of redis-server in
# between loses nothing; configuring Containerz resolves subAgentContainerz.
# Usage: foundation_test.sh QUAYD QUYCTL
set -euo pipefail
quayd=$1 quyctl=$2
work=$(mktemp -d)
sock=$work/redis.sock
redis_pid= quayd_pid=
cleanup() {
  [ -n "$quayd_pid" ] && kill "$quayd_pid" 2>/dev/null || true
  [ -n "$redis_pid" ] && kill "$redis_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- quayd log"; tail -n 40 "$work/quayd.log" || true; exit 1; }

start_redis() {
  redis-server --port 0 --unixsocket "$sock" --dir "$work" --appendonly yes \
    --save '' --daemonize no >"$work/redis.log" 2>&1 &
  redis_pid=$!
  wait_for "redis answers" redis-cli -s "$sock" ping
}
# wait_for WHAT CMD...: polls CMD until it succeeds, for at most 20 s.
wait_for() {
  local what=$1; shift
  for _ in $(seq 200); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  fail "timed out waiting for: $what"
}
field() { redis-cli -s "$sock" hget "$1" "$2"; }
q() { "$quyctl" --redis "$sock" "$@"; }
# What the operator sees: quyctl get prints "field  value" lines.
candidate_is() { q get quayd/agent/subAgentCandidate | grep -q "^$1 .*\"$2\""; }
running_is() { candidate_is subAgentRunning "$1"; }
configured_is() { candidate_is subAgentConfigured "$1"; }

start_redis
RINGLOGDIR=$work "$quayd" --redis "$sock" >"$work/quayd.log" 2>&1 &
quayd_pid=$!

q daemon enable
wait_for "configured subAgentQuy" configured_is subAgentQuy
wait_for "pending subAgentQuy" running_is subAgentQuy

q show | grep -q "Sub-agents" || fail "quyctl show prints no sub-agents"

# Redis goes away and comes back from its append-only file; Containerz is
# configured before the agent has reconnected, and must not be missed.
kill "$redis_pid"; wait "$redis_pid" 2>/dev/null || true
start_redis
q containerz --vrf default
[ "$(field quayd/config enabled)" = true ] || fail "configuration lost across the restart"
kill -0 "$quayd_pid" || fail "quayd died while redis-server was down"
wait_for "configured subAgentContainerz" configured_is subAgentContainerz
wait_for "pending subAgentContainerz" running_is subAgentContainerz

q containerz --delete
wait_for "back to subAgentQuy" configured_is subAgentQuy

# SIGTERM ends the agent promptly and leaves its status in Redis.
kill -TERM "$quayd_pid"
for _ in $(seq 100); do kill -0 "$quayd_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$quayd_pid" 2>/dev/null && fail "quayd ignored SIGTERM"
quayd_pid=
configured_is subAgentQuy || fail "status lost at exit"
echo "foundation: 1 passed, 0 failed"
