#!/usr/bin/env bash
# Sets up the machine, builds the launcher twice (warnings as errors; then
# AddressSanitizer with UndefinedBehaviorSanitizer) and runs every test in both,
# then builds the unit tests once more with ThreadSanitizer and runs those
# where threads meet, and last cross-builds the Windows launcher and runs its
# tests under wine. Benchmarks are built but not run; see bench/.
set -euo pipefail
cd "$(dirname "$0")/.."

# Where the time goes, printed last (also when a step fails), so the tail of
# a CI log says which step to make cheaper.
script_start=$(date +%s)
phase_names=()
phase_starts=()
phase() {
  phase_names+=("$1")
  phase_starts+=("$(date +%s)")
  echo "== $1"
}
phase_table() {
  local code=$? now i next
  now=$(date +%s)
  echo "== time by step (s)"
  for i in "${!phase_names[@]}"; do
    next=${phase_starts[$((i + 1))]:-$now}
    printf '%6d  %s\n' "$((next - phase_starts[i]))" "${phase_names[i]}"
  done
  printf '%6d  in all (exit %d)\n' "$((now - script_start))" "$code"
}
trap phase_table EXIT
# One cache for every clone: CI and work trees build the same files at
# different paths.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1

phase "set-up"

./scripts/setup.sh
# The page's fonts and browser tests come from npm (launcher/page_tests).
(cd launcher/page_tests && npm ci --no-audit --no-fund)
./scripts/page_fonts.sh

# The unit tests that ThreadSanitizer runs: every test where threads meet
# (chunk transfer workers, the sync's helper threads, per-thread HTTP
# handles, the test server's threads). A GoogleTest filter: add a suite here
# ("Suite.*") when its code starts or shares threads.
tsan_tests='ChunkTransferTest.*:ConnectionGateTest.*:FolderSyncTest.*:Http.*:HttpRefused.*:HttpClearText.*:HttpConnections.*:FileLock.*:CoreThreads*:GlueThreads*:UiQueueTest.*:BrowserShellTest.*:BrowserShellPortTest.*:HttpServerTest.*:EventStreamTest.*'
# The integration tests whose launcher (built with ThreadSanitizer too) runs its
# UI thread, worker, update check, game watcher, account thread and instance
# hand-over for real. A ctest regex.
tsan_process_tests='^(CoreThreads|GlueThreads|LauncherProcessTest|LauncherInstallProcessTest)'

run_config() {
  local name=$1; shift
  phase "build: $name"
  cmake -S . -B "build/$name" -G Ninja -DVANTOR_WERROR=ON "$@" >/dev/null
  ninja -C "build/$name"
  phase "test: $name"
  (cd "build/$name" && ctest --output-on-failure --timeout 600 -j2)
}

run_config release -DCMAKE_BUILD_TYPE=RelWithDebInfo
phase "test: page (Chromium; screenshots in build/page-screenshots)"
(cd launcher/page_tests && npm test)
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_config sanitize -DCMAKE_BUILD_TYPE=Debug -DVANTOR_SANITIZE=address,undefined

# Only what the two lists above need: the unit tests, and the launcher with the
# process tests that drive it.
phase "build: tsan"
cmake -S . -B build/tsan -G Ninja -DVANTOR_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTOR_SANITIZE=thread >/dev/null
ninja -C build/tsan launcher_tests launcher_integration_tests vantor-launcher fakegame
phase "test: tsan"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/launcher/tsan.supp"
build/tsan/launcher/launcher_tests --gtest_filter="$tsan_tests" --gtest_brief=1
(cd build/tsan && ctest --output-on-failure --timeout 600 -j2 -R "$tsan_process_tests" -L integration)

# The Windows build: cross-built with mingw-w64 and tested under wine (its
# unit tests, its sync against nginx, its installer). Only the targets the
# tests need; scripts/wine_tests.sh prints the counts by test binary.
phase "build: windows"
windows_start=$(date +%s)
cmake -S . -B build/windows -G Ninja -DVANTOR_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
windows_targets=(launcher_tests fakegame vantor-launcher)
ninja -C build/windows -t targets all | grep -q '^shell_tests:' && windows_targets+=(shell_tests)
ninja -C build/windows -t targets all | grep -q '^installer:' && windows_targets+=(installer portable)
ninja -C build/windows "${windows_targets[@]}"
windows_built=$(date +%s)
phase "test: windows (wine)"
windows_binaries=(launcher_tests)
[[ -f build/windows/launcher/shell_tests.exe ]] && windows_binaries+=(shell_tests)
scripts/wine_tests.sh build/windows "${windows_binaries[@]}"
echo "windows leg: build $((windows_built - windows_start)) s, tests $(($(date +%s) - windows_built)) s"

# Every reader of outside input under libFuzzer, briefly (clang, build/fuzz);
# fuzz/run TARGET SECONDS runs one for longer.
phase "fuzz: every target for 8 s"
./fuzz/run all 8
