#!/usr/bin/env bash
# Hostile values in the state database: 10,000 distinct garbage keys of
# 10 KiB each, read one by one, and a batch that holds a 10 KiB VRF key and
# garbage beside a new container. The rest of the batch is applied, the
# agent keeps working, and its resident memory never passes 64 MiB: what it
# remembers of garbage is bounded, and a resynchronisation (Redis drops a
# subscriber that falls behind) reads the keys a page at a time. Last, a
# mount tool that prints 100 MiB before it fails: the agent reads all of it,
# keeps its first and last KiB, and stays under the same 64 MiB.
# Usage: hostile_values_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/../integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=90
# The mount tool's stand-in, first on the agent's PATH: 100 MiB on the
# descriptor the agent collects, then a note that all of it was written.
mkdir "$work/standin"
cat >"$work/standin/quylbmount" <<'EOS'
#!/bin/sh
head -c 104857600 /dev/zero | tr '\0' y >&2
touch "$0.done"
exit 1
EOS
chmod +x "$work/standin/quylbmount"
export PATH="$work/standin:$PATH"
cfg='quayd/container/config|ga'
# The most the agent's resident memory ever was.
peak_kib() { awk '/^VmHWM/ { print $2 }' "/proc/$quayd_pid/status"; }

bring_up
q container ga --image bb:1 --command "$SLEEPER" --network none
wait_for "ga running" running ga

# RESP of the commands given one per line, words separated by tabs.
resp() {
  python3 -c '
import sys
for line in sys.stdin.buffer.read().split(b"\n"):
    if line:
        args = line.split(b"\t")
        sys.stdout.buffer.write(b"*%d\r\n" % len(args))
        for a in args:
            sys.stdout.buffer.write(b"$%d\r\n%s\r\n" % (len(a), a))'
}
pad=$(head -c 10234 /dev/zero | tr '\0' x)
# Each its own key, so the agent reads each one: an element of the container
# configuration that is not a hash, its 10 KiB name the garbage. The last one
# is read once all before it are.
for i in $(seq 10000); do printf 'SET\t%s%05d%s\tx\n' "$cfg" "$i" "$pad"; done |
  resp | redis-cli -s "$sock" --pipe >/dev/null
redis-cli -s "$sock" set "$cfg-last" x >/dev/null
wait_for "the last value read" grep -q "$cfg-last" "$work/quayd.log"

# One transaction: a VRF key past any VRF name's length, garbage, and a new
# container; the container is applied.
vrf=$(head -c 10240 /dev/zero | tr '\0' v)
params=$(redis-cli -s "$sock" hget "$cfg" params)
{
  printf 'MULTI\n'
  printf 'HSET\tcell/0/ip/vrf/status/local|%s\tvrfState\t1\tvrfReady\ttrue\n' "$vrf"
  printf 'HSET\t%s\tenabled\tmaybe\n' "$cfg"
  printf 'HSET\tquayd/container/config|gc\tenabled\ttrue\tparams\t%s\n' "$params"
  printf 'EXEC\n'
} | resp | redis-cli -s "$sock" --pipe >/dev/null
wait_for "gc, of the same batch, running" running gc
running ga || fail "ga stopped"
kill -0 "$quayd_pid" || fail "quayd died"

# The data root moved to flash: the stand-in's output is read to its end
# before the agent gives up the start.
q daemon enable --on-flash --flash-limit 512M
read_to_end() {
  [ -e "$work/standin/quylbmount.done" ] &&
    "$quayd" --dump-trace "$work"/*.rlog 2>/dev/null | grep -q "Cannot start quy on flash"
}
wait_for "the mount tool's output read" read_to_end
kill -0 "$quayd_pid" || fail "quayd died"
peak=$(peak_kib)
echo "the agent's resident memory peaked at ${peak} KiB"
[ "$peak" -lt 65536 ] || fail "the agent held ${peak} KiB"
echo PASS
