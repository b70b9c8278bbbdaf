#!/usr/bin/env bash
# Fails when a lower layer reaches a higher one: platform/'s root (the
# interfaces and pure code), platform/testing/, model/ and agent/ include
# nothing of the implementations (platform/posix/, docker/, redis/) and their
# libraries link none of them. Only the programs and the tests of a real host
# (system tests) bring the implementations in. platform/'s root opens no
# file of the host either.
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
# Nor does platform/'s root touch the host's files itself: they are read
# through the FileSystem it is handed.
io=$(ls platform/*.h platform/*.cpp | grep -v '_test\.cpp$' | xargs grep -nE \
  '(^|[^A-Za-z0-9_.>])(::)?(open|fopen|freopen|opendir)[[:space:]]*\(|fstream|<filesystem>|std::filesystem' \
  || true)
if [ -n "$bad$links$io" ]; then
  echo "check-layers: an interface layer reaches an implementation or the host:" >&2
  printf '%s\n%s\n%s\n' "$bad" "$links" "$io" | grep -v '^$' >&2
  exit 1
fi
echo "check-layers: platform/'s root, testing/, model/ and agent/ reach no implementation," \
  "and platform/'s root no file of the host"
