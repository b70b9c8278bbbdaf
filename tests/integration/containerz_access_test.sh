#!/usr/bin/env bash
# Who reaches the gNOI Containerz service and what they may start, on the
# real daemon in a VRF namespace: without TLS only root and the group quayd
# through the unix socket; TLS without a client CA refused by quyctl and by
# the agent; over TCP only clients whose certificate the CA verifies, each
# call judged by the authorization policy file (edited live), certificates
# rotated without a restart; binds, devices, capabilities judged by the
# privilege policy. The service is found on PATH, as the mount tool is.
# Usage: containerz_access_test.sh QUAYD QUYCTL QUYLBMOUNT QUAYD_CONTAINERZ PROTO_DIR
set -euo pipefail
quayd=$1 quyctl=$2 server_bin=$4 proto_dir=$5
. "$(dirname "$0")/lib.sh"
enter_sandbox "$0" "$@"
export PATH="$(dirname "$3"):$(dirname "$server_bin"):$PATH"
unset QUAYD_CONTAINERZ_SERVER
export WAIT_S=90
csock=/run/quayd/containerz.sock
svc=/gnoi.containerz.Containerz
diagnose() {
  echo "--- serverStatus"; redis-cli -s "$sock" hgetall mgmt/gnoi/containerz/serverStatus
  echo "--- server.log"; tail -n 20 /run/quayd/containerz/server.log
}
server_field() { field mgmt/gnoi/containerz/serverStatus "$1"; }
containerz_client "$proto_dir"
has() { grep "$@" >/dev/null; }
expect_error() {
  local code=$1 out; shift
  out=$("$@" 2>&1) && fail "$* was not refused: $out"
  grep -q "error $code:" <<<"$out" || fail "$* refused otherwise than $code: $out"
}
# The group quayd, in this mount namespace only.
cp /etc/group "$work/group" && echo "quayd:x:4242:" >>"$work/group"
mount --bind "$work/group" /etc/group
# /run/quayd as the package makes it.
install -d -m 1775 -o root -g quayd /run/quayd
chmod 755 "$work"
client=$(dirname "$0")/containerz_client.py
as() { # as UID GID CLIENT-ARGS...
  local u=$1 g=$2; shift 2
  setpriv --reuid "$u" --regid "$g" --clear-groups env CONTAINERZ_PY="$CONTAINERZ_PY" \
    /usr/bin/python3 "$client" "$@"
}

start_containerz
wait_for "the server running" sh -c "[ \"\$(redis-cli -s $sock hget mgmt/gnoi/containerz/serverStatus state)\" = running ]"
[ "$(server_field address)" = "unix:$csock" ] || fail "address $(server_field address)"

# Without TLS: the unix socket only, root's and the group's.
wait_for "the socket answering" cz list-images
[ "$(stat -c '%a %U %G' "$csock")" = "660 root quayd" ] || fail "socket $(stat -c '%a %U %G' "$csock")"
ip netns exec ns-red ss -Hltn | has . && fail "TCP listened on: $(ip netns exec ns-red ss -Hltn)"
as 65534 4242 list-images >/dev/null || fail "the group quayd was refused"
expect_error UNAVAILABLE as 65534 65534 list-images

# TLS without a client CA: refused by quyctl (nothing written) and by the agent.
pki=$work/pki
mkdir -p "$pki"
was=$(field "mgmt/gnoi/config|containerz" grpcConfig)
out=$(q containerz --tls-cert "$pki/server.crt" --tls-key "$pki/server.key" 2>&1) && rc=0 || rc=$?
[ "$rc" = 2 ] || fail "quyctl answered $rc: $out"
has "client CA" <<<"$out" || fail "no reason given: $out"
[ "$(field "mgmt/gnoi/config|containerz" grpcConfig)" = "$was" ] || fail "quyctl wrote"
redis-cli -s "$sock" hset "mgmt/gnoi/config|containerz" grpcConfig \
  "{\"port\":9340,\"tlsCert\":\"$pki/server.crt\",\"tlsKey\":\"$pki/server.key\"}" >/dev/null
not_serving() { [ "$(server_field state)" = stopped ] && server_field lastError | has "client CA"; }
wait_for "the half-secured server refused" not_serving
[ -e /run/quayd/containerz/supervisor.pid ] && fail "a server runs half-secured"

# Mutual TLS: certificates of a CA, of another CA, and a rotation's.
for ca in ca rogue-ca next-ca; do make_ca "$pki" $ca; done
make_cert "$pki" server ca "DNS:localhost,IP:127.0.0.1"
make_cert "$pki" reader ca "URI:spiffe://lab/reader,DNS:reader.lab"
make_cert "$pki" admin ca "URI:spiffe://lab/admin"
make_cert "$pki" rogue rogue-ca "URI:spiffe://lab/admin"
make_cert "$pki" next-server next-ca "DNS:localhost,IP:127.0.0.1"
make_cert "$pki" next-admin next-ca "URI:spiffe://lab/admin"
mkdir -p "$work/srv"
cp "$pki/server.crt" "$pki/server.key" "$pki/ca.crt" "$work/srv/"
policy=$work/authz.json
readers='"paths": ["'$svc'/List*", "'$svc'/Log"]'
write_policy() { # write_policy READER-REQUEST: replaced whole, as an editor does
  cat >"$policy.new" <<JSON
// The lab's identities.
{"name": "lab",
 "allow_rules": [
   {"name": "readers", "source": {"principals": ["spiffe://lab/reader"]}, "request": {$1}},
   {"name": "admins", "source": {"principals": ["spiffe://lab/admin"]}}]}
JSON
  mv "$policy.new" "$policy"
}
write_policy "$readers"
q containerz --grpc-port 9340 --grpc-address 127.0.0.1 --tls-cert "$work/srv/server.crt" \
  --tls-key "$work/srv/server.key" --tls-ca "$work/srv/ca.crt" --authz-policy "$policy" \
  --privilege-policy "$work/privileges.json"
tcp=(--target 127.0.0.1:9340 --ca "$pki/ca.crt")
reader=(cz "${tcp[@]}" --cert "$pki/reader.crt" --key "$pki/reader.key")
admin=(cz "${tcp[@]}" --cert "$pki/admin.crt" --key "$pki/admin.key")
wait_for "a client of the CA served" "${admin[@]}" list-images
[ -e "$csock" ] && fail "the unix socket stayed with TLS"
expect_error UNAVAILABLE cz "${tcp[@]}" list-images
expect_error UNAVAILABLE cz "${tcp[@]}" --cert "$pki/rogue.crt" --key "$pki/rogue.key" list-images
expect_error UNAVAILABLE cz --target 127.0.0.1:9340 list-images

# Authorization: the reader lists and is refused a start, until the policy says otherwise.
DOCKER_HOST=unix://$sockred make_image bb:1 "$work/bb1.tar"
"${admin[@]}" deploy app v1 "$work/bb1.tar" >/dev/null
"${reader[@]}" list-images | has "^app:v1 " || fail "the reader cannot list"
expect_error PERMISSION_DENIED "${reader[@]}" start r1 app v1 --cmd true
"${reader[@]}" list-containers --all | has r1 && fail "the refused start ran"
write_policy ""
[ "$("${reader[@]}" start r1 app v1 --cmd true)" = r1 ] || fail "the edited policy was not read"
echo '{"name": ' >"$policy.new" && mv "$policy.new" "$policy"
"${reader[@]}" list-containers --all | has "^r1 " || fail "the last good policy went with a bad file"
grep -q "authorization policy $policy refused" /run/quayd/containerz/server.log ||
  fail "the bad policy went unreported"

# Privileges: refused by default, with field and value; listed, allowed.
vols=/mnt/flash/.containerz/volumes
mkdir -p /mnt/flash/apps/x
ln -s /etc "$vols/etc-link"
ln -s /mnt/flash/apps "$vols/apps-link"
for v in /:/h /etc:/h "$vols/etc-link/ssh:/h" "$vols/../../../etc:/h" "$vols/apps-link/x:/h"; do
  expect_error PERMISSION_DENIED "${admin[@]}" start p1 app v1 --cmd true --volume "$v"
done
out=$("${admin[@]}" start p1 app v1 --cmd true --volume "$vols/etc-link:/h" 2>&1) || true
has "volumes\[0\].name $vols/etc-link: resolves to /etc" <<<"$out" || fail "no field named: $out"
expect_error PERMISSION_DENIED "${admin[@]}" start p1 app v1 --cmd true --device /dev/null
expect_error PERMISSION_DENIED "${admin[@]}" start p1 app v1 --cmd true --cap CAP_SYS_ADMIN
expect_error PERMISSION_DENIED "${admin[@]}" start p1 app v1 --cmd true --cap ALL
expect_error PERMISSION_DENIED "${admin[@]}" create-volume v1 --mountpoint /etc
[ "$("${admin[@]}" start p0 app v1 --cmd true --volume "$vols/mine:/h")" = p0 ] ||
  fail "the volumes directory was refused"
cat >"$work/privileges.json" <<JSON
{"bindPrefixes": ["/mnt/flash/apps", "/etc"], "devices": ["/dev/null"],
 "capabilities": ["SYS_ADMIN", "ALL"]}
JSON
i=0
for args in "--volume $vols/apps-link/x:/h" "--device /dev/null" "--cap CAP_SYS_ADMIN" "--cap ALL"; do
  i=$((i + 1))
  # shellcheck disable=SC2086
  out=$("${admin[@]}" start "p$i" app v1 --cmd true $args 2>&1) || true
  # A test's own namespaces may hold fewer capabilities than ALL: then the
  # runtime, not the policy, says no.
  case $out in
  "p$i") ;;
  *"unable to apply caps"*) [ "$args" = "--cap ALL" ] || fail "$args not started: $out" ;;
  *) fail "$args still refused: $out" ;;
  esac
done
expect_error PERMISSION_DENIED "${admin[@]}" start p9 app v1 --cmd true --volume /etc:/h

# Rotation: new files under the same names are used by the next connection.
cp "$pki/next-server.crt" "$work/srv/server.crt.new" && cp "$pki/next-server.key" "$work/srv/server.key.new"
cp "$pki/next-ca.crt" "$work/srv/ca.crt.new"
for f in server.key server.crt ca.crt; do mv "$work/srv/$f.new" "$work/srv/$f"; done
next=(cz --target 127.0.0.1:9340 --ca "$pki/next-ca.crt" --cert "$pki/next-admin.crt" --key "$pki/next-admin.key")
WAIT_S=30 wait_for "the rotated certificates served" "${next[@]}" list-images
expect_error UNAVAILABLE "${admin[@]}" list-images
[ "$(server_field restarts)" = 0 ] || [ -z "$(server_field restarts)" ] || fail "restarted to rotate"

q containerz --delete
kill -0 "$quayd_pid" || fail "quayd died"
echo "containerz_access: 1 passed, 0 failed"
