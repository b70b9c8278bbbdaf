#!/bin/sh
# The help of each quyctl command as a help2man include section.
# Usage: commands.sh QUYCTL > FILE
set -eu
echo "[COMMANDS]"
for c in daemon "daemon enable" "daemon disable" containerz vrf image "image load" \
         "image persistent-path" registry container profile get set delete show \
         "show containers" "show container" logs wait; do
  echo ".SS \"quyctl $c\""
  echo ".nf"
  # shellcheck disable=SC2086
  "$1" $c --help | sed -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/"
  echo ".fi"
done
