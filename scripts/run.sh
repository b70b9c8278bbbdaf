#!/usr/bin/env bash
# Builds the agent and runs it against the state database at $QUAYD_REDIS
# (default the socket /run/quayd/redis.sock), starting a persistent
# redis-server there first when none answers: TCP off, the socket readable
# and writable by root and the group quayd only (docs/security.md). The switch's configuration lives in that server, so it
# keeps an append-only file synced on every write (docs/state-db.md).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh"
addr=${QUAYD_REDIS:-/run/quayd/redis.sock}
if [[ $addr == /* ]]; then cli=(redis-cli -s "$addr"); else cli=(redis-cli -h "${addr%:*}" -p "${addr##*:}"); fi
if ! "${cli[@]}" ping >/dev/null 2>&1; then
  mkdir -p /var/lib/quayd/redis
  getent group quayd >/dev/null || groupadd --system quayd
  if [[ $addr == /* ]]; then
    mkdir -p "$(dirname "$addr")"
    listen=(--port 0 --unixsocket "$addr" --unixsocketperm 660)
  else listen=(--bind "${addr%:*}" --port "${addr##*:}"); fi
  redis-server "${listen[@]}" --dir /var/lib/quayd/redis --appendonly yes --appendfsync always --daemonize yes \
    --logfile /var/lib/quayd/redis/redis.log
  for _ in $(seq 50); do "${cli[@]}" ping >/dev/null 2>&1 && break; sleep 0.1; done
  if [[ $addr == /* ]]; then chgrp quayd "$addr"; fi
fi
export PATH="$top/build/tools/quyctl:$top/build/tools/quylbmount:$top/build/tools/quayd-containerz:$PATH"
exec "$top/build/tools/quayd/quayd" --redis "$addr" "$@"
