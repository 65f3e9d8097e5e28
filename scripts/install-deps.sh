#!/usr/bin/env bash
# Installs the Debian packages the project needs, running apt-get update once
# first. With arguments, only the groups named (scripts/deps.d/GROUP.txt: "base
# render" is what the main job needs); without, every group. Skips the work
# when all are present.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -gt 0 ]; then
  lists=()
  for group in "$@"; do
    [ -f "$here/deps.d/$group.txt" ] || { echo "install-deps: no package group '$group'" >&2; exit 2; }
    lists+=("$here/deps.d/$group.txt")
  done
else
  lists=("$here"/deps.d/*.txt)
fi
packages=$(cat "${lists[@]}" | sed 's/#.*//' | tr -s ' \n' '\n' | grep -v '^$' | sort -u)
missing=()
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
