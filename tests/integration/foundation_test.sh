#!/usr/bin/env bash
# Operator's view of the foundation: a real redis-server, quayd and quyctl.
# Enabling the daemon resolves subAgentQuy; a restart of redis-server in
# between loses nothing; configuring Containerz resolves subAgentContainerz.
# Usage: foundation_test.sh QUAYD QUYCTL
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
# What the operator sees: quyctl get prints "field  value" lines.
candidate_is() { q get quayd/agent/subAgentCandidate | grep -q "^$1 .*\"$2\""; }
running_is() { candidate_is subAgentRunning "$1"; }
configured_is() { candidate_is subAgentConfigured "$1"; }

start_redis
start_quayd

q daemon enable
wait_for "configured subAgentQuy" configured_is subAgentQuy
wait_for "pending subAgentQuy" running_is subAgentQuy

q show | grep -q "Sub-agents" || fail "quyctl show prints no sub-agents"

# Redis goes away and comes back from its append-only file; Containerz is
# configured before the agent has reconnected, and must not be missed.
stop_redis
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
