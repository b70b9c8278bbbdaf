#!/usr/bin/env bash
# No child of the agent holds one of the agent's open files: the mount tool,
# dockerd (through its supervisor), a startup-condition probe and the docker
# client each record the files they hold beyond 0, 1 and 2 (device:inode,
# from /proc/<pid>/fd), which are compared with the agent's own.
# Stand-ins record and then run the real program: QUAYD_DOCKERD and
# QUAYD_DOCKER_CLI name them, PATH finds the mount tool's.
# Usage: child_fds_test.sh QUAYD QUYCTL QUYLBMOUNT
set -euo pipefail
quayd=$1 quyctl=$2
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export WAIT_S=90

# record KIND: a line "fd device:inode" per descriptor of the calling shell.
bin=$work/bin
mkdir -p "$bin"
stand_in() { # NAME KIND REAL
  cat >"$bin/$1" <<EOS
#!/bin/sh
stat -L -c '%n %d:%i' /proc/\$\$/fd/* >>"$work/fds.$2" 2>/dev/null
${3:-exit 0}
EOS
  chmod +x "$bin/$1"
}
# The mount tool succeeds without mounting: the data root is a directory of
# the sandbox's flash.
stand_in quylbmount mount 'mkdir -p /mnt/flash/.quy/data-root; exit 0'
stand_in dockerd dockerd 'exec /usr/sbin/dockerd "$@"'
# Not named docker: the test's own docker commands are not the agent's children.
stand_in agent-docker client 'exec /usr/local/bin/docker "$@"'
export PATH="$bin:$PATH" QUAYD_DOCKERD=$bin/dockerd QUAYD_DOCKER_CLI=$bin/agent-docker

start_redis
start_quayd
q daemon enable --on-flash --flash-limit 64M
wait_for "runtime started" status_is cell/0/quayd/status state started_
make_image bb:1
q container probed --image bb:1 --command "$SLEEPER" --network none \
  --startup-condition "stat -L -c '%n %d:%i' /proc/\$\$/fd/* >>$work/fds.probe 2>/dev/null; true"
# --label-file is not in the option table: the docker client runs it.
q container viaclient --image bb:1 --command "$SLEEPER" --network none --options "--label-file /dev/null"
for n in probed viaclient; do wait_for "$n running" running "$n"; done

# What the agent holds, and what each child held beyond 0, 1 and 2.
# A descriptor may close between the glob and stat (a request's connection): stat
# then fails for that one, and the rest still count.
agent_files() { { stat -L -c '%d:%i' /proc/"$quayd_pid"/fd/* 2>/dev/null || true; } | sort -u; }
child_files() { awk '{ n = $1; sub(".*/", "", n); if (n + 0 > 2) print $2 }' "$work/fds.$1" | sort -u; }
agent_files >"$work/agent.files"
[ -s "$work/agent.files" ] || fail "no files of the agent found"
for kind in mount dockerd probe client; do
  [ -s "$work/fds.$kind" ] || fail "the $kind stand-in recorded nothing"
  shared=$(comm -12 "$work/agent.files" <(child_files "$kind"))
  [ -z "$shared" ] || fail "the $kind child holds files of the agent: $shared ($(cat "$work/fds.$kind"))"
  echo "$kind: $(child_files "$kind" | wc -l) own files beyond 0-2, none of the agent's"
done
echo "PASS"
