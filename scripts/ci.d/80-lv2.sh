#!/usr/bin/env bash
# The LV2 bundle in real LV2 hosts. lilv's tools find and describe it from the
# build folder (units, presets, the enabled switch), lv2_validate checks its data
# against the LV2 schemas, GStreamer wraps it as an element, and lv2apply (one
# frame per run), lv2file, gst-launch-1.0 and ffmpeg's lv2 filter render a file
# through it, controls set in their units, that must equal
# `korvax render --raw` with the same steps bit for bit; ffmpeg with the latency
# recipe must equal the aligned render. Then the bundle is installed into a
# scratch prefix and rendered from there.
# (The unit-test build, unless KORVAX_LV2_BUILD names another folder.)
set -euo pipefail
build=${KORVAX_LV2_BUILD:-build}
uri=urn:orlems:korvax2
element=urn-orlems-korvax2
latency=16383

cmake -S . -B "$build" -DKORVAX_BUILD_LV2=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target korvax_lv2_bundle korvax lv2_audio_check
bundle="$build/lib/lv2/korvax.lv2"
korvax="$build/tools/korvax"
check="$build/tests/lv2/lv2_audio_check"
for file in "$bundle/manifest.ttl" "$bundle/korvax.ttl" "$bundle/presets.ttl" "$bundle/korvax_lv2.so" \
            "$bundle/libkorvax2.so" "$korvax" "$check"; do
  [ -e "$file" ] || { echo "missing $file (configure $build with lv2 in KORVAX_TEST_DIRS and the tools on)" >&2; exit 1; }
done

scratch=$(mktemp -d /tmp/korvax-lv2.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "$*" >&2; exit 1; }

echo "--- exports of korvax_lv2.so"
exports=$(nm -D --defined-only "$bundle/korvax_lv2.so" | awk '{print $3}')
echo "$exports"
[ "$exports" = "lv2_descriptor" ] || fail "korvax_lv2.so must export lv2_descriptor alone"

echo "--- lv2ls, lv2info"
export LV2_PATH="$(cd "$build" && pwd)/lib/lv2"
listed=$(lv2ls)
echo "$listed"
[ "$listed" = "$uri" ] || fail "lv2ls does not list $uri alone"
lv2info "$uri" > "$scratch/info.txt"
awk '/^\tPresets:/ { exit } { print }' "$scratch/info.txt"
grep -q "Has latency: *yes, reported by port 22" "$scratch/info.txt"
[ "$(grep -c '^	Port [0-9]*:' "$scratch/info.txt")" -eq 36 ] || fail "lv2info does not show 36 ports"
# The presets: the start values, and one for each preset file.
awk '/^\tPresets:/ { shown = 1 } shown && /^$/ { exit } shown' "$scratch/info.txt" | tee "$scratch/presets.txt"
grep -q 'Start values$' "$scratch/presets.txt" || fail "lv2info shows no 'Start values' preset"
shipped=$(find presets -name '*.preset' 2>/dev/null | wc -l)
[ "$(($(wc -l < "$scratch/presets.txt") - 1))" -eq "$((shipped + 1))" ] ||
  fail "lv2info shows $(($(wc -l < "$scratch/presets.txt") - 1)) presets, not the start values and $shipped preset files"
# The enabled switch: port 23, designated, on by default.
port() { awk -v n="$1" '$1 == "Port" { shown = ($2 == n ":") } shown' "$scratch/info.txt"; }
port 23 | tee "$scratch/enabled.txt"
grep -q 'Designation: http://lv2plug.in/ns/lv2core#enabled' "$scratch/enabled.txt" || fail "port 23 is not the enabled port"
grep -q 'Default: *1.000000' "$scratch/enabled.txt" || fail "the enabled port is not on by default"
# Units: lv2info's Turtle description of the plug-in names one per unit-valued control.
lv2info -p "$scratch/description.ttl" "$uri" >/dev/null
for unit in db hz ms pc; do
  grep -q "<http://lv2plug.in/ns/extensions/units#unit> <http://lv2plug.in/ns/extensions/units#$unit>" \
    "$scratch/description.ttl" || fail "lv2info shows no control in units:$unit"
done
grep -q "<http://lv2plug.in/ns/extensions/units#unit> <$uri#ratio>" "$scratch/description.ttl" ||
  fail "lv2info shows no control as a ratio"
port 6   # Comp: Thr.low, in dB

echo "--- lv2_validate"
lv2_validate "$bundle"/*.ttl 2>&1 | grep -v '^Skipping file' | tee "$scratch/validate.txt"
grep -q '^Found 0 errors' "$scratch/validate.txt"

echo "--- gst-inspect-1.0"
# A registry of its own, so that GStreamer scans LV2_PATH afresh.
export GST_REGISTRY="$scratch/gst-registry.bin"
gst-inspect-1.0 lv2 | grep "$element" || fail "GStreamer's lv2 plug-in does not list $element"
gst-inspect-1.0 "$element" > "$scratch/gst-inspect.txt"
grep -E 'GstAudioFilter|comp-thr-low|Start values' "$scratch/gst-inspect.txt"
grep -q 'Default: 1, "on"' "$scratch/gst-inspect.txt" || fail "GStreamer does not start the element enabled"

# render NAME [SYMBOL=VALUE[@STEP] ...]: the input through every host with
# those controls (the rest left to their defaults) and through korvax with
# every parameter named by its step: the declared defaults from `korvax params`
# (korvax's own start values differ from them) or the STEP given, which is the
# step the VALUE in units must select. A setting without a step (the enabled
# switch) goes to the plug-in only; `expected` names korvax's render or a file
# to compare with instead.
in="$scratch/in.wav"
"$check" signal "$in" 1.5 44100
"$korvax" params | awk '{ for (i = 2; i < NF; ++i) if ($i ~ /^[0-9]+\.\.[0-9]+$/) print $(i - 1), $(i + 1) }' \
  > "$scratch/defaults.txt"
[ "$(wc -l < "$scratch/defaults.txt")" -eq 18 ] || fail "expected 18 defaults from korvax params"
render() {
  local name=$1 expected=$2; shift 2
  local apply_args=() file_args=() gst_args=() korvax_args=() ff_controls="" slug step setting
  local symbol value gst_value
  while read -r slug step; do
    for setting in "$@"; do
      [[ "$setting" == *@* && "${setting%%=*}" == "${slug//-/_}" ]] && step=${setting##*@}
    done
    korvax_args+=(--set "$slug=$step")
  done < "$scratch/defaults.txt"
  for setting in "$@"; do
    symbol=${setting%%=*}
    value=${setting#*=}
    value=${value%@*}
    apply_args+=(-c "$symbol" "$value")
    file_args+=(-p "$symbol:$value")
    ff_controls+="${ff_controls:+|}$symbol=$value"
    gst_value=$value
    [ "$symbol" = stereo_link ] && { [ "$value" = 1 ] && gst_value=true || gst_value=false; }
    gst_args+=("${symbol//_/-}=$gst_value")
  done
  "$korvax" render "$in" "$scratch/$name-korvax.wav" --raw --quiet "${korvax_args[@]}"
  "$korvax" render "$in" "$scratch/$name-aligned.wav" --quiet "${korvax_args[@]}"
  lv2apply -i "$in" -o "$scratch/$name-lv2apply.wav" "${apply_args[@]}" "$uri"
  lv2file -i "$in" -o "$scratch/$name-lv2file.wav" "${file_args[@]}" "$uri" >/dev/null
  lv2file -i "$in" -o "$scratch/$name-lv2file-b4097.wav" -b 4097 "${file_args[@]}" "$uri" >/dev/null
  gst-launch-1.0 -q filesrc location="$in" ! wavparse ! "$element" "${gst_args[@]}" ! wavenc \
    ! filesink location="$scratch/$name-gstreamer.wav"
  local ff_filter="lv2=p=${uri//:/\\\\:}${ff_controls:+:c=$ff_controls}"
  ffmpeg -nostdin -hide_banner -loglevel error -y -i "$in" -af "$ff_filter" -c:a pcm_f32le "$scratch/$name-ffmpeg.wav"
  # The latency recipe: pad the end, drop the start.
  ffmpeg -nostdin -hide_banner -loglevel error -y -i "$in" \
    -af "apad=pad_len=$latency,$ff_filter,atrim=start_sample=$latency" -c:a pcm_f32le "$scratch/$name-ffmpeg-aligned.wav"

  local reference="$scratch/$name-korvax.wav" signal_from=$latency tool
  [ "$expected" = korvax ] || { reference=$expected; signal_from=0; }
  for tool in lv2apply lv2file lv2file-b4097 gstreamer ffmpeg; do
    "$check" compare "$reference" "$scratch/$name-$tool.wav" --signal-from "$signal_from"
  done
  [ "$expected" = korvax ] && "$check" compare "$scratch/$name-aligned.wav" "$scratch/$name-ffmpeg-aligned.wav" --signal-from 0
  return 0
}

echo "--- renders: lv2apply, lv2file, GStreamer and ffmpeg against korvax render --raw"
# Values in units as a person types them, each beside the step it must select:
# an 8.2:1 ratio is step 64 (8.22:1), -15 dB step 40 (-15.15 dB), 97 Hz step 30
# (97.2 Hz), 1.8 ms step 12 (1.82 ms), -2 dB step 20.
busy=(comp_ratio=8.2@64 comp_thr_low=-15@40 lowsplit=97@30 comp_attack=1.8@12 limit_thresh=-2@20)
render defaults korvax
render settings korvax "${busy[@]}" stereo_link=1@1
render unlinked korvax "${busy[@]}" stereo_link=0@0
render solo-bypass "$in" solo_mode=4@4
"$check" delay "$in" "$scratch/delayed.wav" "$latency"
render disabled "$scratch/delayed.wav" "${busy[@]}" stereo_link=1@1 enabled=0
# Each setting must have reached the machine: the renders differ where they should.
for pair in defaults:settings settings:unlinked; do
  if "$check" compare "$scratch/${pair%%:*}-korvax.wav" "$scratch/${pair#*:}-korvax.wav" 2>/dev/null; then
    fail "${pair%%:*} and ${pair#*:} render the same: a setting did not reach the machine"
  fi
done

echo "--- install"
cmake --install "$build" --component lv2 --prefix "$scratch/prefix"
ls -l "$scratch/prefix/lib/lv2/korvax.lv2"
LV2_PATH="$scratch/prefix/lib/lv2" lv2apply -i "$in" -o "$scratch/installed.wav" \
  -c comp_ratio 8.2 -c comp_thr_low -15 -c lowsplit 97 -c comp_attack 1.8 -c limit_thresh -2 -c stereo_link 1 "$uri"
"$check" compare "$scratch/settings-korvax.wav" "$scratch/installed.wav" --signal-from "$latency"
echo "LV2 bundle: valid, and bit-identical to korvax render in lv2apply, lv2file, GStreamer and ffmpeg"
