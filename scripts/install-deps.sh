#!/usr/bin/env bash
# Installs every Debian package Tarvex needs, from the lists in scripts/packages/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
pkgs=$(cat "$here"/packages/*.txt | sed -e 's/#.*//' | tr -s ' \t' '\n' | grep -v '^$' | sort -u)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing
fi
