#!/usr/bin/env bash
# The project's test command: installs what it needs, then runs every check in
# scripts/ci.d in order (build and unit tests, sanitizers, and the rest).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
cd "$root"
bash scripts/install-deps.sh
for step in scripts/ci.d/*.sh; do
  echo "==> $step"
  bash "$step"
done
echo "==> all checks passed"
