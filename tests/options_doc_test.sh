#!/usr/bin/env bash
# docs/container-options.md holds the option table as `quayd-options
# --markdown` prints it, between its two table markers.
# Usage: options_doc_test.sh QUAYD_OPTIONS DOC
set -euo pipefail
printer=$1 doc=$2
documented=$(sed -n '/^<!-- table: quayd-options --markdown -->$/,/^<!-- end of table -->$/p' "$doc" | sed '1d;$d')
[ -n "$documented" ] || { echo "FAIL: no table between the markers of $doc"; exit 1; }
if ! diff -u <(echo "$documented") <("$printer" --markdown); then
  echo "FAIL: $doc is not the option table; print it with: $printer --markdown"
  exit 1
fi
echo "options doc: 1 passed, 0 failed"
