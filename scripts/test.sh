#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and runs every
# test: unit, GUI (offscreen) and end-to-end through a private JACK server, and checks the
# naming convention with clang-tidy. Then runs the
# whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer, most of it under
# ThreadSanitizer, and each libFuzzer
# target for VELOMIRE_FUZZ_SECONDS (default 60). Any sanitizer report or fuzzer crash fails.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing "${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

build="$VELOMIRE_ROOT/build-test"
cmake -S "$VELOMIRE_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELOMIRE_WERROR=ON
cmake --build "$build" -j"$(jobs)"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure --timeout 300 -j"$(jobs)"

# One naming convention (.clang-tidy), on the program's own files; any finding fails.
run-clang-tidy-14 -p "$build" -quiet -j"$(jobs)" "$VELOMIRE_ROOT/src/" >"$build/clang-tidy.log" 2>&1 ||
  { grep -E 'error:|warning:' "$build/clang-tidy.log" | sort -u; exit 1; }
echo "clang-tidy: the naming convention holds in src/"

# The Debian package builds, installs and removes cleanly.
if [ -f "$VELOMIRE_ROOT/scripts/package-test.sh" ]; then
  bash "$VELOMIRE_ROOT/scripts/package-test.sh" "$build"
fi

# The same tests under ASan + UBSan. Debug: it builds faster than an optimised build saves
# at run time. Every report aborts the test that made it; leaks count as reports.
asan="$VELOMIRE_ROOT/build-asan"
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
cmake -S "$VELOMIRE_ROOT" -B "$asan" -DCMAKE_BUILD_TYPE=Debug -DVELOMIRE_WERROR=ON \
  -DVELOMIRE_SANITIZE=address,undefined -DVELOMIRE_BENCH=OFF
cmake --build "$asan" -j"$(jobs)"
ctest --test-dir "$asan" --output-on-failure --timeout 600 -j"$(jobs)"

# The unit and GUI tests, and the end-to-end tests that run the program as a process of its
# own, again under ThreadSanitizer. Left out: the tests that run JACK clients of Velomire's
# inside the test process or restart the JACK server under it, whose timing libjack (not
# built with TSan) cannot keep up with at TSan's speed; the engine's threads are checked in
# the unit tests with real threads, and the program's in the end-to-end tests run here.
tsan="$VELOMIRE_ROOT/build-tsan"
cmake -S "$VELOMIRE_ROOT" -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELOMIRE_WERROR=ON \
  -DVELOMIRE_SANITIZE=thread -DVELOMIRE_BENCH=OFF
cmake --build "$tsan" -j"$(jobs)"
# Thread leaks: the program ends on purpose without joining the threads that wait on a JACK
# server or a signal.
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:report_thread_leaks=0:suppressions=$VELOMIRE_ROOT/tests/tsan.supp" \
  ctest --test-dir "$tsan" --output-on-failure --timeout 600 -j"$(jobs)" \
  -E '^(JackRoundTrip|JackBurst|Calibration|ListeningRun|ListenWindowRun|pipewire)\.|RecoversFromAJackServer|WhileReachingAFrozenServer'

# The fuzzers (clang + libFuzzer), side by side, each on a copy of its seeds so the tree
# stays as it is. A crash leaves its input in build-fuzz/artifacts for reproduction.
fuzz="$VELOMIRE_ROOT/build-fuzz"
CC=clang CXX=clang++ cmake -S "$VELOMIRE_ROOT" -B "$fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELOMIRE_WERROR=ON -DVELOMIRE_FUZZ=ON -DVELOMIRE_TESTS=OFF -DVELOMIRE_BENCH=OFF
cmake --build "$fuzz" -j"$(jobs)" --target velomire_settings_fuzz velomire_path_fuzz
mkdir -p "$fuzz/artifacts"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
targets=(settings path)
pids=()
for name in "${targets[@]}"; do
  cp -r "$VELOMIRE_ROOT/tests/fuzz/corpus/$name" "$work/$name"
  # A small quarantine keeps freed memory hot: several times the executions per second.
  ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1:detect_leaks=1:quarantine_size_mb=16 \
    "$fuzz/tests/fuzz/velomire_${name}_fuzz" -max_total_time="${VELOMIRE_FUZZ_SECONDS:-60}" \
    -timeout=10 -print_final_stats=1 -artifact_prefix="$fuzz/artifacts/$name-" \
    "$work/$name" >"$work/$name.log" 2>&1 &
  pids+=($!)
done
failed=()
for i in "${!targets[@]}"; do
  name="${targets[$i]}"
  if wait "${pids[$i]}"; then
    echo "fuzz $name: no crash; $(grep -m1 'stat::number_of_executed_units' "$work/$name.log")"
  else
    failed+=("$name")
    grep -v -E '^#[0-9]+ +(NEW|REDUCE|pulse)' "$work/$name.log" | tail -n 60
    echo "fuzz $name: FAILED; reproduce with $fuzz/tests/fuzz/velomire_${name}_fuzz <input>"
  fi
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "Fuzzers that failed: ${failed[*]}" >&2
  exit 1
fi
