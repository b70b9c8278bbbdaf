#!/usr/bin/env bash
# What docs/security.md claims, checked: registry passwords only in the
# root-only credentials directory (0700, files 0600), never in the state
# database, its append-only file, the log, the trace ring or quyctl's
# output; the password read from standard input; the state database only on
# this machine.
# Usage: security_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/../integration/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$PATH"
export WAIT_S=90
creds=/var/lib/quayd/credentials
mode_owner() { stat -c '%a %U' "$1"; }

start_redis
start_quayd
q daemon enable
wait_for "runtime started" status_is cell/0/quayd/status state started_
start_registry
echo s3cret | q registry lab --server 127.0.0.1:5000 --username ops --password-stdin
wait_for "lab logged in" sh -c \
  "[ \"\$(redis-cli -s $sock hget 'cell/0/quayd/registry/status|lab' state)\" = loggedIn ]"

# The directory and every file in it: root's alone.
[ "$(mode_owner $creds)" = "700 root" ] || fail "$creds is $(mode_owner $creds)"
files=$(find $creds -type f)
[ -n "$files" ] || fail "no credential kept"
for f in $files; do
  [ "$(mode_owner "$f")" = "600 root" ] || fail "$f is $(mode_owner "$f")"
done
for d in $(find $creds -type d); do
  [ "$(mode_owner "$d")" = "700 root" ] || fail "$d is $(mode_owner "$d")"
done
grep -rlq s3cret $creds || fail "the password is not in the credentials directory"
[ -f $creds/docker/config.json ] || fail "the runtime's login is not kept with the credentials"

# What the database holds is the credential's name.
name=$(field 'quayd/registry/config|lab' params | sed -n 's/.*"credential":"\([0-9a-f]*\)".*/\1/p')
[ -n "$name" ] && [ -f "$creds/$name" ] || fail "the configuration does not name its credential"
field 'cell/0/quayd/registry/status|lab' params | grep -q "\"credential\":\"$name\"" ||
  fail "the status does not name the same credential"

# A restart of the agent reads it back without logging in again.
kill_quayd KILL
start_quayd
q registry anon --server 127.0.0.1:5000
wait_for "the new agent at work" sh -c \
  "redis-cli -s $sock exists 'cell/0/quayd/registry/status|anon' | grep -q 1"
[ "$(field 'cell/0/quayd/registry/status|lab' state)" = loggedIn ] || fail "lab not logged in after restart"

no_password_leaks || fail "a password leaked"
grep -q "$name" "$work/redis-dump.txt" || fail "the dump does not show the credential name"

# The state database only on this machine, for both programs.
for addr in 10.0.0.1:6379 redis.example:6379 0.0.0.0:6379; do
  out=$("$quayd" --redis "$addr" 2>&1) && fail "quayd took $addr"
  echo "$out" | grep -q "not on this machine" || fail "quayd on $addr: $out"
  out=$("$quyctl" --redis "$addr" show 2>&1) && fail "quyctl took $addr"
  echo "$out" | grep -q "not on this machine" || fail "quyctl on $addr: $out"
done
echo PASS
