#!/usr/bin/env bash
# Builds Release in build-bench and runs every benchmark: the cost per message on the path
# (Google Benchmark and callgrind), one curve drag step; latency (plain, UI busy, UI
# blocked) against a bare RtMidi pass-through, a burst and long SysEx through a private
# JACK server; start-up and memory on a private Xvfb; how soon a stop signal ends what
# sounds; how even the calibration makes simulated keyboards; a measuring run over the real
# FluidSynth (time, repeatability, unevenness). Ends with a summary table.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# fluidsynth, fluid-soundfont-gm: the real synth the listening benchmark measures.
install_missing "${RUN_PACKAGES[@]}" libbenchmark-dev libgtest-dev jackd2 xvfb valgrind \
  libxcb-damage0-dev dbus-daemon fluidsynth fluid-soundfont-gm

build="$VELOMIRE_ROOT/build-bench"
targets=(velomire velomire_path_bench velomire_curve_drag_bench velomire_bare_passthrough
  velomire_minimal_window velomire_jack_bench velomire_startup_bench velomire_stop_bench
  velomire_calibration_bench velomire_listen_bench velomire_voicing_bench)
cmake -S "$VELOMIRE_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELOMIRE_TESTS=OFF \
  -DVELOMIRE_BENCH=ON >/dev/null
cmake --build "$build" -j"$(jobs)" --target "${targets[@]}"

out="$(mktemp -d /tmp/velomire-bench-out-XXXXXX)"
trap 'rm -rf "$out"' EXIT
bin="$build/bench"

section() { printf '\n=== %s ===\n' "$1"; }
# Shows a benchmark's output as it runs and keeps it; summary rows are kept for the end.
run() {
  local name=$1
  shift
  : >"$out/$name.txt" # there before tail looks for it
  "$@" >"$out/$name.txt" 2>&1 &
  local pid=$!
  tail -n +1 -s 0.2 --pid="$pid" -f "$out/$name.txt" | grep -v '^SUMMARY|' || true
  wait "$pid" || echo "($name ended with status $?)"
}
row() { printf 'SUMMARY|%s|%s|%s|%s\n' "$@" >>"$out/rows.txt"; }

started=$SECONDS

section "Cost per message on the path (Google Benchmark)"
run path "$bin/velomire_path_bench" --benchmark_min_time=0.2
# BM_InputAndPump/64: CPU time of one batch of 64 messages, and the allocation counter.
read -r ns allocs < <(awk '$1 == "BM_InputAndPump/64" {
    t = $4; if ($5 == "us") t *= 1000; if ($5 == "ms") t *= 1e6
    a = "?"; for (i = 6; i <= NF; i++) if ($i ~ /^allocs_per_msg=/) { split($i, p, "="); a = p[2] }
    printf "%.1f %s\n", t / 64, a }' "$out/path.txt")

section "Instructions per message (callgrind, BM_InputAndPump/64)"
# Only the benchmark function is collected. The path is what it calls per message on the
# MIDI side: RealtimeEngine::Input (split into the inbox) and RealtimeEngine::Pump (map and
# send, once per batch); each call's inclusive count follows its calls= line, and only
# Input's calls count messages.
valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" --compress-strings=no \
  --compress-pos=no --toggle-collect='*BM_InputAndPump*' \
  "$bin/velomire_path_bench" --benchmark_filter='BM_InputAndPump/64$' \
  --benchmark_min_time=0.05 >"$out/callgrind.txt" 2>&1
read -r messages pathIr totalIr < <(awk '
  /^fn=/ { inBench = ($0 ~ /BM_InputAndPump/); target = ""; next }
  /^cfn=/ { target = ""
            if (inBench && $0 ~ /RealtimeEngine::Input\(/) target = "enqueue"
            else if (inBench && $0 ~ /RealtimeEngine::Pump\(/) target = "drain"
            next }
  /^calls=/ { if (target != "") { split($1, c, "="); if (target == "enqueue") msgs += c[2]; pending = 1 }
              next }
  pending { ir += $2; pending = 0; target = ""; next }
  /^(summary|totals):/ { total = $2 }
  END { printf "%d %d %d\n", msgs, ir, total }' "$out/callgrind.out")
if [ "${messages:-0}" -gt 0 ]; then
  irPerMsg=$(awk -v a="$pathIr" -v m="$messages" 'BEGIN { printf "%.0f", a / m }')
  loopPerMsg=$(awk -v a="$totalIr" -v m="$messages" 'BEGIN { printf "%.0f", a / m }')
  echo "$messages messages; path (input + pump: split, map, send): $irPerMsg instructions/message;"
  echo "whole benchmark function including its loop and set-up: $loopPerMsg instructions/message"
  row "Cost per message (InputAndPump/64)" \
    "$ns ns, $allocs allocations, $irPerMsg instructions (callgrind)" "" ""
else
  echo "callgrind gave no figures; its output:"
  cat "$out/callgrind.txt"
  row "Cost per message (InputAndPump/64)" "$ns ns, $allocs allocations" "" ""
fi

section "Curve drag step (Google Benchmark, offscreen)"
run drag env QT_QPA_PLATFORM=offscreen "$bin/velomire_curve_drag_bench" --benchmark_min_time=0.2

section "Calibration on simulated keyboards"
run calibration "$bin/velomire_calibration_bench"

section "1-6 Latency, spread, UI busy and blocked, burst, SysEx through a private JACK server"
run jack "$bin/velomire_jack_bench"

section "7 Start-up and memory on a private Xvfb"
run startup "$bin/velomire_startup_bench"

section "8 A stop signal to silence: window on a frozen X server, window idle, stage box"
run stop "$bin/velomire_stop_bench"

section "9 Listening to FluidSynth: 88 keys x 4 velocities, twice (about 15 minutes)"
run listen "$bin/velomire_listen_bench"

section "10 Voicing FluidSynth made uneven: 88 keys, four runs (about 25 minutes)"
run voicing "$bin/velomire_voicing_bench"

section "Summary ($((SECONDS - started)) s)"
# In the order the benchmarks print them: the numbered goals first, then what explains them.
cat "$out/jack.txt" "$out/startup.txt" "$out/stop.txt" "$out/calibration.txt" "$out/listen.txt" \
  "$out/voicing.txt" "$out/rows.txt" |
  grep '^SUMMARY|' | awk -F'|' '
  { n++; for (i = 2; i <= 5; i++) { cell[n, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
  END {
    head[2] = "What"; head[3] = "Figure"; head[4] = "Goal"; head[5] = "Result"
    for (i = 2; i <= 5; i++) if (length(head[i]) > w[i]) w[i] = length(head[i])
    fmt = "%-" w[2] "s  %-" w[3] "s  %-" w[4] "s  %s\n"
    printf fmt, head[2], head[3], head[4], head[5]
    for (r = 1; r <= n; r++) printf fmt, cell[r, 2], cell[r, 3], cell[r, 4], cell[r, 5]
  }'
missed=$(cat "$out/jack.txt" "$out/startup.txt" "$out/stop.txt" "$out/calibration.txt" \
  "$out/listen.txt" "$out/voicing.txt" |
  grep '^SUMMARY|' |
  grep -c -E '\|(MISSED|FAILED)' || true)
echo
echo "Latency in JACK frames at 48 kHz: 64 frames = one period = 1.33 ms."
[ "$missed" -eq 0 ] && echo "All goals met." || echo "Goals missed or failed: $missed (see above)."
