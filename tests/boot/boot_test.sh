#!/usr/bin/env bash
# The Debian package on a booted Debian 12 with systemd as PID 1: installed
# with apt as the README says, the agent and its daemon under systemd
# through restarts, deaths, a wedge, a reboot, an upgrade and a removal.
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
check_done "installed as the README says; quayd active"
print_times
echo "boot: 1 passed, 0 failed"
