#!/usr/bin/env bash
# Installs the Debian packages the project needs (listed in scripts/deps.d/*.txt),
# running apt-get update once first. Skips the work when all are present.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
packages=$(cat "$here"/deps.d/*.txt | sed 's/#.*//' | tr -s ' \n' '\n' | grep -v '^$' | sort -u)
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
