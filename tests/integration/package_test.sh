#!/usr/bin/env bash
# The Debian package as built by cpack: its dependencies, its files, the
# systemd unit's promises, and the installed programs at work. Where systemd
# does not run, a restart is done the way the unit's KillMode=process does
# it (SIGTERM to the agent alone, then a new agent): every container keeps
# running with the same ID, and dockerd keeps its pid.
# Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
quayd=$build/tools/quayd/quayd quyctl=$build/tools/quyctl/quyctl
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export WAIT_S=90

(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/pkg/quayd_*.deb)
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian"; }
depends=$(dpkg-deb -f "$deb" Depends)
for d in redis-server docker.io ncat e2fsprogs adduser; do
  echo "$depends" | grep -q "\b$d\b" || fail "Depends lacks $d: $depends"
done
contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for f in ./usr/sbin/quayd ./usr/sbin/quylbmount ./usr/sbin/quayd-supervisor ./usr/bin/quyctl \
         ./usr/lib/systemd/system/quayd.service ./usr/lib/systemd/system/quayd-redis.service \
         ./etc/default/quayd ./usr/share/doc/quayd/copyright ./usr/share/doc/quayd/changelog.gz \
         ./usr/share/doc/quayd/security.md ./usr/share/doc/quayd/quyctl.md \
         ./usr/share/man/man1/quyctl.1.gz ./usr/share/man/man8/quayd.8.gz \
         ./usr/share/man/man8/quylbmount.8.gz ./usr/share/man/man8/quayd-containerz.8.gz \
         ./usr/share/man/man8/quayd-supervisor.8.gz \
         ./usr/share/bash-completion/completions/quyctl; do
  echo "$contents" | grep -qx "$f" || fail "the package lacks $f"
done
root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$root/DEBIAN"
unit=$root/usr/lib/systemd/system/quayd.service
grep -q '^After=.*quayd-redis.service' "$unit" || fail "the unit does not start after its database"
grep -q '^Wants=.*quayd-redis.service' "$unit" || fail "the unit does not want its database"
grep -q '^Type=notify' "$unit" && grep -q '^WatchdogSec=' "$unit" || fail "the unit is not notify with a watchdog"
db=$root/usr/lib/systemd/system/quayd-redis.service
grep -q -- '--port 0 ' "$db" && grep -q -- '--unixsocketperm 660' "$db" ||
  fail "the database is not a socket of root and the group alone"
grep -q '^Restart=on-failure' "$unit" || fail "the unit does not restart the agent on failure"
grep -q '^KillMode=process' "$unit" || fail "the unit would stop dockerd and the containers with the agent"
grep -q '^ExecStart=/usr/sbin/quayd' "$unit" || fail "ExecStart"
grep -q '^/etc/default/quayd$' "$root/DEBIAN/conffiles" || fail "the defaults file is not a conffile"
for s in postinst prerm postrm; do [ -x "$root/DEBIAN/$s" ] || fail "$s"; done

# The installed programs, as the unit runs them (its environment file, the
# programs found on PATH), against this test's Redis.
export PATH="$root/usr/sbin:$root/usr/bin:$PATH"
set -a; . "$root/etc/default/quayd"; set +a
export QUAYD_REDIS=$sock
quayd=$root/usr/sbin/quayd quyctl=$root/usr/bin/quyctl
q() { "$quyctl" "$@"; }
bring_up
for n in pa pb; do q container $n --image bb:1 --command "$SLEEPER" --network none; done
for n in pa pb; do wait_for "$n running" running $n; done
ids=$(docker ps -q --no-trunc | sort)
dockerd=$(cat /var/run/docker.pid)

kill_quayd TERM
start_quayd
q container pc --image bb:1 --command "$SLEEPER" --network none
wait_for "the restarted agent at work" running pc
[ "$(docker ps -q --no-trunc --filter name=^p[ab]$ | sort)" = "$ids" ] ||
  fail "a container was replaced by the restart"
[ "$(cat /var/run/docker.pid)" = "$dockerd" ] || fail "dockerd was restarted"
grep -q "QUAYD_CONTAINER_STARTED: Container pa" "$work/quayd.log" || fail "no log"
[ "$(grep -c 'QUAYD_CONTAINER_STARTED: Container pa' "$work/quayd.log")" = 1 ] ||
  fail "pa was started again"
echo PASS
