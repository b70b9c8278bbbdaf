#!/usr/bin/env bash
# Fails when a lower layer reaches a higher one: platform/'s root (the
# interfaces and pure code), platform/testing/, model/ and agent/ include
# nothing of the implementations (platform/posix/, docker/, redis/) and their
# libraries link none of them. Only the programs and the tests of a real host
# (system tests) bring the implementations in.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
impl='platform/(posix|docker|redis)/'
bad=$(grep -nE "#include \"$impl" platform/*.h platform/*.cpp platform/testing/* model/* agent/*.h \
  $(ls agent/*.cpp | grep -v '_test\.cpp$') || true)
# The libraries these folders build, and what each links: a
# target_link_libraries block runs to its closing parenthesis.
links=$(for f in platform/CMakeLists.txt model/CMakeLists.txt agent/CMakeLists.txt; do
  awk -v f="$f" '
    /^target_link_libraries\(/ { block = ""; open = 1 }
    open { block = block " " $0 }
    open && /\)/ { open = 0; print f ": " block }' "$f"
done | grep -E 'quayd_(posix|docker|redis)\b' || true)
if [ -n "$bad$links" ]; then
  echo "check-layers: an interface layer reaches an implementation:" >&2
  printf '%s\n%s\n' "$bad" "$links" | grep -v '^$' >&2
  exit 1
fi
echo "check-layers: platform/'s root, testing/, model/ and agent/ reach no implementation"
