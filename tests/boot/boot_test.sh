#!/usr/bin/env bash
# The Debian package on a booted Debian 12 with systemd as PID 1: installed
# with apt as the README says, the agent and its daemon under systemd
# through restarts, deaths, a wedge, a reboot, upgrades (of the quy
# sub-agent and of Containerz) and a removal.
# Usage: boot_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
. "$(dirname "$0")/lib.sh"
boot_enter "$0" "$@"
readme=$(cd "$(dirname "$0")/../.." && pwd)/README.md

(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
make_root
cp "$work"/pkg/quayd_*.deb "$root/root/"
check_done "root made, package built"
boot
check_done "booted"

# The commands of the README's package section, run where it says.
readme_commands() {
  awk '/^## Debian package/ { s = 1 } s && /with the package in the current directory/ { b = 1; next }
       b && /^    / { sub(/^    /, ""); print; c = 1; next } c { exit }' "$readme"
}
[ -n "$(readme_commands)" ] || fail "no commands in the README's package section"
while read -r line; do
  echo "+ $line"
  inside_net sh -c "$line" >>"$work/readme.log" 2>&1 || { tail -n 30 "$work/readme.log"; fail "README: $line"; }
done < <(readme_commands)
inside systemctl is-active quayd >/dev/null || fail "quayd is not active after install"
inside systemctl is-active quayd-redis >/dev/null || fail "the state database is not active"
[ "$(inside systemctl is-enabled docker.service 2>&1 || true)" = masked ] || fail "docker.service is not masked"
wait_for "quayd-dockerd active" inside systemctl is-active quayd-dockerd
wait_for "dockerd answers" inside docker info
inside systemctl show -p StatusText --value quayd | grep -q "^Running on the state database" ||
  fail "the agent's status: $(inside systemctl show -p StatusText --value quayd)"
check_done "installed as the README says; quayd, its database and dockerd active under systemd"

q() { inside quyctl "$@"; }
running() { [ "$(inside docker inspect -f '{{.State.Running}}' "$1" 2>/dev/null)" = true ]; }
cid() { inside docker inspect -f '{{.Id}}' "$1"; }
dockerd_pid() { inside systemctl show -p MainPID --value quayd-dockerd; }
quayd_pid() { inside systemctl show -p MainPID --value quayd; }
# An image tarball made inside from Debian's busybox-static; $2 MiB of
# incompressible data make its load take a while.
make_tarball() {
  inside sh -c "set -e; d=/root/img-$1; rm -rf \$d; mkdir -p \$d/bin
    cp /bin/busybox \$d/bin/; for c in sh sleep; do ln -s busybox \$d/bin/\$c; done
    [ $2 = 0 ] || head -c $2M /dev/urandom >\$d/blob
    tar -C \$d -c . | docker import - $1 >/dev/null
    docker save -o /root/$1.tar $1; docker rmi $1 >/dev/null; rm -rf \$d"
}
make_tarball bb 0
q image load /root/bb.tar
q container c1 --image bb:latest --command "sleep 100000" --network none --restart always
wait_for "c1 running" running c1
pid=$(inside docker inspect -f '{{.State.Pid}}' c1)
inside grep -q ":memory:$cgroup_parent/" "/proc/$pid/cgroup" ||
  fail "c1 is not in the cgroup $cgroup_parent: $(inside cat "/proc/$pid/cgroup")"
inside journalctl -u quayd QUAYD_EVENT=QUAYD_CONTAINER_STARTED -o cat | grep -q "Container c1" ||
  fail "the journal has no QUAYD_CONTAINER_STARTED field for c1"
check_done "a container from a tarball runs; its start is in the journal as QUAYD_EVENT"

id=$(cid c1) daemon=$(dockerd_pid)
inside systemctl restart quayd
inside systemctl is-active quayd >/dev/null || fail "quayd not active after restart"
[ "$(cid c1)" = "$id" ] && running c1 || fail "c1 was replaced by the agent's restart"
[ "$(dockerd_pid)" = "$daemon" ] || fail "dockerd was restarted with the agent"
inside systemctl stop quayd
running c1 && [ "$(dockerd_pid)" = "$daemon" ] || fail "stopping the agent stopped dockerd or c1"
inside systemctl start quayd
check_done "restart and stop of quayd keep the container's ID and dockerd's PID"

inside sh -c "kill -9 $daemon"
wait_for "dockerd started again by systemd" sh -c \
  "[ \"\$(nsenter -t $leader -a systemctl show -p MainPID --value quayd-dockerd)\" != $daemon ] &&
   [ \"\$(nsenter -t $leader -a systemctl show -p MainPID --value quayd-dockerd)\" != 0 ]"
wait_for "c1 running again" running c1
check_done "kill -9 of dockerd: systemd starts it again, the --restart always container runs"

# The state database is root's and the group quayd's alone.
inside useradd -m -G quayd ops
inside useradd -m outsider
inside runuser -u ops -- quyctl show >/dev/null || fail "a member of quayd cannot use quyctl"
! inside runuser -u outsider -- quyctl show >/dev/null 2>&1 || fail "an outsider can use quyctl"
! inside runuser -u outsider -- redis-cli -s /run/quayd/redis.sock set x 1 2>/dev/null | grep -q OK ||
  fail "an outsider can write the state database"
! inside runuser -u outsider -- redis-cli -s /run/quayd/redis.sock keys '*' 2>/dev/null | grep -q . ||
  fail "an outsider can read the state database"
inside runuser -u ops -- quyctl container c2 --image bb:latest --command "sleep 100000" --network none
wait_for "c2 configured by an operator running" running c2
check_done "the group quayd may use quyctl, others can neither read nor write the database"

# The watchdog, shortened: a stopped agent is killed and started again; a
# load longer than the period is not.
inside mkdir -p /etc/systemd/system/quayd.service.d
inside sh -c 'printf "[Service]\nWatchdogSec=4\n" >/etc/systemd/system/quayd.service.d/watchdog.conf'
inside systemctl daemon-reload
inside systemctl restart quayd
make_tarball big 800
restarts=$(inside systemctl show -p NRestarts --value quayd) agent=$(quayd_pid)
start=$SECONDS
q image load /root/big.tar
q container c3 --image big:latest --command "sleep 100000" --network none
WAIT_S=240 wait_for "c3 from the big image running" running c3
echo "big image loaded and started in $((SECONDS - start)) s"
[ "$(inside systemctl show -p NRestarts --value quayd)" = "$restarts" ] && [ "$(quayd_pid)" = "$agent" ] ||
  fail "the agent was restarted during a long image load"
inside sh -c "kill -STOP $agent"
WAIT_S=90 wait_for "the watchdog restarts the agent" sh -c \
  "p=\$(nsenter -t $leader -a systemctl show -p MainPID --value quayd); [ \"\$p\" != $agent ] && [ \"\$p\" != 0 ]"
wait_for "quayd active after the watchdog" inside systemctl is-active quayd
inside systemctl show -p Result --value quayd >"$work/result" || true
inside rm /etc/systemd/system/quayd.service.d/watchdog.conf
inside systemctl daemon-reload
check_done "a wedged agent is restarted by the watchdog; a long load is not"

ids=$(for c in c1 c2 c3; do cid $c; done)
poweroff
boot
wait_for "quayd active after reboot" inside systemctl is-active quayd
for c in c1 c2 c3; do WAIT_S=120 wait_for "$c running after reboot" running $c; done
check_done "after a reboot every enabled container runs"

ids=$(for c in c1 c2 c3; do cid $c; done)
(cd "$build" && cpack -G DEB -B "$work/pkg2" -D CPACK_PACKAGE_VERSION=0.1.0+boot2 \
  -D CPACK_DEBIAN_FILE_NAME=quayd_0.1.0+boot2_amd64.deb >"$work/cpack2.log" 2>&1) ||
  { cat "$work/cpack2.log"; fail "cpack of the newer build"; }
cp "$work"/pkg2/quayd_*.deb "$root/root/"
inside_net apt-get install -y -q ./quayd_0.1.0+boot2_amd64.deb >>"$work/apt.log" 2>&1 ||
  { tail -n 30 "$work/apt.log"; fail "upgrade"; }
[ "$(inside dpkg-query -W -f '${Version}' quayd)" = 0.1.0+boot2 ] || fail "not upgraded"
wait_for "quayd active after the upgrade" inside systemctl is-active quayd
[ "$(for c in c1 c2 c3; do cid $c; done)" = "$ids" ] || fail "a container was replaced by the upgrade"
for c in c1 c2 c3; do running $c || fail "$c stopped by the upgrade"; done
check_done "an upgrade keeps every container running with its ID"

# Containerz in the default VRF: the upgrade's new agent adopts its daemon,
# the container a gNOI client would have started there, and the service.
q containerz --vrf default
containerz_up() {
  [ "$(inside docker info --format '{{.DockerRootDir}}' 2>/dev/null)" = /mnt/flash/.containerz/data-root ]
}
WAIT_S=120 wait_for "the Containerz daemon" containerz_up
make_tarball z 0
inside docker load -i /root/z.tar >/dev/null
inside docker run -d --name z1 --network none z:latest sleep 100000 >/dev/null
server() { inside redis-cli -s /run/quayd/redis.sock hget mgmt/gnoi/containerz/serverStatus "$1"; }
serving() { [ "$(server state)" = running ]; }
wait_for "the gNOI service running" serving
runtime_kept() { echo "$(dockerd_pid) $(inside docker inspect -f '{{.Id}} {{.State.StartedAt}}' z1)"; }
kept() { echo "$(runtime_kept) $(server pid)"; }
before=$(kept)
(cd "$build" && cpack -G DEB -B "$work/pkg3" -D CPACK_PACKAGE_VERSION=0.1.0+boot3 \
  -D CPACK_DEBIAN_FILE_NAME=quayd_0.1.0+boot3_amd64.deb >"$work/cpack3.log" 2>&1) ||
  { cat "$work/cpack3.log"; fail "cpack of the third build"; }
cp "$work"/pkg3/quayd_*.deb "$root/root/"
inside_net apt-get install -y -q ./quayd_0.1.0+boot3_amd64.deb >>"$work/apt.log" 2>&1 ||
  { tail -n 30 "$work/apt.log"; fail "upgrade with Containerz"; }
wait_for "quayd active after the Containerz upgrade" inside systemctl is-active quayd
mounted() { inside systemctl show -p StatusText --value quayd | grep -q "^Running on the state database"; }
wait_for "the new agent on its database" mounted
wait_for "the gNOI service running after the upgrade" serving
[ "$(kept)" = "$before" ] || fail "the upgrade restarted Containerz: $before, now $(kept)"
running z1 || fail "z1 stopped by the upgrade"
check_done "an upgrade keeps the Containerz daemon, its container and the gNOI service"

inside_net apt-get remove -y -q quayd >>"$work/apt.log" 2>&1 || { tail -n 30 "$work/apt.log"; fail "remove"; }
! inside systemctl is-active quayd >/dev/null || fail "quayd still active after remove"
[ "$(runtime_kept)" = "${before% *}" ] || fail "remove touched dockerd or z1: $before, now $(runtime_kept)"
running z1 || fail "z1 stopped by remove"
inside test -e /var/lib/quayd/redis || fail "remove took the state database"
check_done "apt remove stops the agent, leaves dockerd and the containers"

inside touch /mnt/flash/operator-file
inside_net apt-get purge -y -q quayd >>"$work/apt.log" 2>&1 || { tail -n 30 "$work/apt.log"; fail "purge"; }
! inside test -e /var/lib/quayd || fail "purge left /var/lib/quayd"
! inside test -e /etc/default/quayd || fail "purge left /etc/default/quayd"
inside test -e /mnt/flash/operator-file || fail "purge touched the flash"
inside test -d /var/lib/docker || fail "purge took /var/lib/docker"
[ "$(inside systemctl is-enabled docker.service 2>&1 || true)" != masked ] || fail "docker.service still masked"
check_done "apt purge removes the agent's state and settings, nothing on flash"

print_times
echo "boot: 11 passed, 0 failed"
