#!/usr/bin/env bash
# Runs every shell command the README and docs/ show, so that none of them can
# rot. Each ```sh block must follow a line that says how to run it:
#
#   <!-- ci: run in repo -->      at the repository's root
#   <!-- ci: run in scratch -->   in a fresh folder holding song.wav, song.flac,
#                                 in.wav and in.flac, beside a link ../korvax to
#                                 the repository, as a user's music folder
#   , limit N                     a command still running after N seconds has
#                                 started well and is stopped (for long runs)
#   , each                        each command of the block on its own (with the
#                                 limit, each gets N seconds)
#   <!-- ci: skip: REASON -->     not run here, for the reason given
#
# korvax and the LV2 bundle come from the build folder (PATH and LV2_PATH), and
# HOME is a scratch folder, so that ~/.local and ~/.lv2 are too. The commands
# must leave every tracked file as it was.
# Usage: check-docs.sh [FILE.md...]   (default: README.md and docs/*.md)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
cd "$root"
[ $# -gt 0 ] || set -- README.md docs/*.md

tracked_before=$(git diff | sha256sum)
scratch=$(mktemp -d /tmp/korvax-docs.XXXXXX)
cleanup() {
  # What the commands may leave at the root, and the one cache entry a command
  # in docs/lv2.md changes.
  rm -rf "$root/demo-in.wav" "$root/demo-out.wav" "$root/fuzz-work"
  if [ -f "$root/build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$root/build" -DKORVAX_LV2_INSTALL_DIR=lib/lv2 >/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

export HOME="$scratch/home"
mkdir -p "$HOME"
export PATH="$root/build/tools:$PATH"
export LV2_PATH="$root/build/lib/lv2"
ln -s "$root" "$scratch/korvax"

# The files a user's folder holds: the demo's programme as WAV and FLAC.
samples="$scratch/samples"
mkdir -p "$samples"
korvax demo "$samples/" --quiet
mv "$samples/demo-in.wav" "$samples/song.wav"
rm "$samples/demo-out.wav"
korvax render "$samples/song.wav" "$samples/song.flac" --set solo-mode=bypass --quiet
cp "$samples/song.wav" "$samples/in.wav"
cp "$samples/song.flac" "$samples/in.flac"

blocks=0
failed=0
# run DIR LIMIT SCRIPT: 0 when the script succeeded, or was still running at
# the limit (0: none).
run() {
  local dir=$1 limit=$2 script=$3 status=0
  if [ "$limit" -gt 0 ]; then
    (cd "$dir" && timeout --kill-after=10 "$limit" bash -euo pipefail -c "$script" </dev/null) >"$scratch/log" 2>&1 ||
      status=$?
    [ "$status" -eq 124 ] && { echo "    (still running after ${limit} s: stopped)"; status=0; }
  else
    (cd "$dir" && bash -euo pipefail -c "$script" </dev/null) >"$scratch/log" 2>&1 || status=$?
  fi
  return "$status"
}

for file in "$@"; do
  mapfile -t lines < "$file"
  for ((i = 0; i < ${#lines[@]}; i++)); do
    [[ "${lines[i]}" == '```sh' ]] || continue
    start=$((i + 1))
    block=""
    for ((i = i + 1; i < ${#lines[@]}; i++)); do
      [[ "${lines[i]}" == '```' ]] && break
      block+="${lines[i]}"$'\n'
    done
    note=""
    ((start >= 2)) && note=${lines[start - 2]}
    if [[ ! "$note" =~ ^'<!-- ci: '(.*)' -->'$ ]]; then
      echo "FAIL $file:$start: a sh block without a line saying how CI runs it (<!-- ci: ... -->)"
      failed=$((failed + 1))
      continue
    fi
    how=${BASH_REMATCH[1]}
    blocks=$((blocks + 1))
    if [[ "$how" == skip:* ]]; then
      echo "skip $file:$start (${how#skip: })"
      continue
    fi
    limit=0
    [[ "$how" =~ limit\ ([0-9]+) ]] && limit=${BASH_REMATCH[1]}
    if [[ "$how" == *"in repo"* ]]; then
      dir=$root
    elif [[ "$how" == *"in scratch"* ]]; then
      dir="$scratch/music-$blocks"
      cp -r "$samples" "$dir"
    else
      echo "FAIL $file:$start: '$how' says neither 'in repo' nor 'in scratch'"
      failed=$((failed + 1))
      continue
    fi
    # The commands: the whole block, or each logical line of it.
    commands=()
    if [[ "$how" == *each* ]]; then
      command=""
      while IFS= read -r line; do
        command+="$line"$'\n'
        [[ "$line" == *\\ ]] && continue
        [[ -n "${command//[[:space:]]/}" ]] && commands+=("$command")
        command=""
      done <<<"$block"
    else
      commands=("$block")
    fi
    for command in "${commands[@]}"; do
      begin=$SECONDS
      if run "$dir" "$limit" "$command"; then
        echo "ok   $file:$start ($((SECONDS - begin)) s): $(head -1 <<<"$command" | cut -c1-90)"
      else
        echo "FAIL $file:$start: $(head -1 <<<"$command")"
        tail -25 "$scratch/log" | sed 's/^/    /'
        failed=$((failed + 1))
      fi
    done
  done
done

if [ "$(git diff | sha256sum)" != "$tracked_before" ]; then
  echo "FAIL the commands changed tracked files:"
  git diff --stat
  failed=$((failed + 1))
fi
echo "docs: $blocks blocks, $failed failures"
[ "$failed" -eq 0 ]
