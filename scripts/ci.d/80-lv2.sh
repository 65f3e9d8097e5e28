#!/usr/bin/env bash
# The LV2 bundle in real LV2 hosts. lilv's tools find and describe it from the
# build folder, lv2_validate checks its data against the LV2 schemas,
# and lv2apply (one frame per run) and lv2file render a file through it that
# must equal `korvax render --raw` with the same settings bit for bit. Then the
# bundle is installed into a scratch prefix and rendered from there.
# (The unit-test build, unless KORVAX_LV2_BUILD names another folder.)
set -euo pipefail
build=${KORVAX_LV2_BUILD:-build}
uri=urn:orlems:korvax2

cmake -S . -B "$build" -DKORVAX_BUILD_LV2=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target korvax_lv2_bundle korvax lv2_audio_check
bundle="$build/lib/lv2/korvax.lv2"
korvax="$build/tools/korvax"
check="$build/tests/lv2/lv2_audio_check"
for file in "$bundle/manifest.ttl" "$bundle/korvax.ttl" "$bundle/korvax_lv2.so" "$bundle/libkorvax2.so" "$korvax" "$check"; do
  [ -e "$file" ] || { echo "missing $file (configure $build with lv2 in KORVAX_TEST_DIRS and the tools on)" >&2; exit 1; }
done

scratch=$(mktemp -d /tmp/korvax-lv2.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

echo "--- exports of korvax_lv2.so"
exports=$(nm -D --defined-only "$bundle/korvax_lv2.so" | awk '{print $3}')
echo "$exports"
[ "$exports" = "lv2_descriptor" ] || { echo "korvax_lv2.so must export lv2_descriptor alone" >&2; exit 1; }

echo "--- lv2ls, lv2info"
export LV2_PATH="$(cd "$build" && pwd)/lib/lv2"
listed=$(lv2ls)
echo "$listed"
[ "$listed" = "$uri" ] || { echo "lv2ls does not list $uri alone" >&2; exit 1; }
lv2info "$uri" > "$scratch/info.txt"
sed -n '1,12p' "$scratch/info.txt"
grep -q "Has latency: *yes, reported by port 22" "$scratch/info.txt"
[ "$(grep -c '^	Port [0-9]*:' "$scratch/info.txt")" -eq 23 ] || { echo "lv2info does not show 23 ports" >&2; exit 1; }

echo "--- lv2_validate"
lv2_validate "$bundle/manifest.ttl" "$bundle/korvax.ttl" 2>&1 | grep -v '^Skipping file' | tee "$scratch/validate.txt"
grep -q '^Found 0 errors' "$scratch/validate.txt"

# Every control port's declared default, as lilv reads it: "symbol value" lines.
lv2info "$uri" | awk '/Symbol:/ { symbol = $2 } /Default:/ { printf "%s %d\n", symbol, $2 }' > "$scratch/defaults.txt"
[ "$(wc -l < "$scratch/defaults.txt")" -eq 18 ] || { echo "expected 18 control defaults from lv2info" >&2; exit 1; }

# render NAME [SYMBOL=VALUE ...]: the input through lv2apply and lv2file with
# those controls (the rest left to their defaults), and through korvax with
# every control named (korvax's own start values differ from the defaults).
in="$scratch/in.wav"
"$check" signal "$in" 1.5 44100
render() {
  local name=$1; shift
  local apply_args=() file_args=() korvax_args=() symbol value setting
  while read -r symbol value; do
    for setting in "$@"; do
      [ "${setting%%=*}" = "$symbol" ] && value=${setting#*=}
    done
    korvax_args+=(--set "${symbol//_/-}=$value")
  done < "$scratch/defaults.txt"
  for setting in "$@"; do
    apply_args+=(-c "${setting%%=*}" "${setting#*=}")
    file_args+=(-p "${setting%%=*}:${setting#*=}")
  done
  "$korvax" render "$in" "$scratch/$name-korvax.wav" --raw --quiet "${korvax_args[@]}"
  lv2apply -i "$in" -o "$scratch/$name-lv2apply.wav" "${apply_args[@]}" "$uri"
  lv2file -i "$in" -o "$scratch/$name-lv2file.wav" "${file_args[@]}" "$uri" >/dev/null
  lv2file -i "$in" -o "$scratch/$name-lv2file-b4097.wav" -b 4097 "${file_args[@]}" "$uri" >/dev/null
  local signal_from=16383
  [ "$name" = bypass ] && signal_from=0
  for tool in lv2apply lv2file lv2file-b4097; do
    "$check" compare "$scratch/$name-korvax.wav" "$scratch/$name-$tool.wav" --signal-from "$signal_from"
  done
}

echo "--- renders: lv2apply and lv2file against korvax render --raw"
render defaults
render settings comp_ratio=64 comp_thr_low=40 lowsplit=30 comp_attack=12 limit_thresh=20 stereo_link=1
render unlinked comp_ratio=64 comp_thr_low=40 lowsplit=30 comp_attack=12 limit_thresh=20 stereo_link=0
render bypass solo_mode=4
# Each setting must have reached the machine: the renders differ where they should.
for pair in defaults:settings settings:unlinked; do
  if "$check" compare "$scratch/${pair%%:*}-korvax.wav" "$scratch/${pair#*:}-korvax.wav" 2>/dev/null; then
    echo "${pair%%:*} and ${pair#*:} render the same: a setting did not reach the machine" >&2
    exit 1
  fi
done
"$check" compare "$in" "$scratch/bypass-lv2apply.wav"   # bypass: the input, undelayed and unchanged

echo "--- install"
cmake --install "$build" --component lv2 --prefix "$scratch/prefix"
ls -l "$scratch/prefix/lib/lv2/korvax.lv2"
LV2_PATH="$scratch/prefix/lib/lv2" lv2apply -i "$in" -o "$scratch/installed.wav" \
  -c comp_ratio 64 -c comp_thr_low 40 -c lowsplit 30 -c comp_attack 12 -c limit_thresh 20 -c stereo_link 1 "$uri"
"$check" compare "$scratch/settings-korvax.wav" "$scratch/installed.wav" --signal-from 16383
echo "LV2 bundle: valid, and bit-identical to korvax render in lv2apply and lv2file"
