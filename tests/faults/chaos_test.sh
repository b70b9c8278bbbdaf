#!/usr/bin/env bash
# The chaos run: from one seed, random operator edits through quyctl
# (containers, profiles, images, the sub-agent and its flash data root)
# mixed with kill -9 of quayd and of dockerd, Redis restarts and power cuts;
# after each round, everything settles and must be what the configuration
# asks for (tests/faults/chaos.py). CHAOS_SEED=N replays a run,
# CHAOS_SEED=random draws one (default 1); CHAOS_SECONDS sets its length
# (default 300).
# Usage: chaos_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/../integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
# The driver's box holds every process; the pid files it leaves name pids of
# the box's namespace, which mean nothing to the cleanup out here.
# The figures stay the last line: the driver says what it kept.
trap 'rc=$?; trap - ERR; rm -f /run/quayd/docker/supervisor.pid /run/docker.pid; (exit $rc); cleanup >/dev/null' EXIT
work=$work sock=$sock quayd=$quayd quyctl=$quyctl /usr/bin/python3 "$(dirname "$0")/chaos.py" || exit 1
