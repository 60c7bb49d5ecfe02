#!/usr/bin/env bash
# Runs the Windows build's test binaries under wine: one wine prefix for the
# whole run (made with wineboot -i), one wineserver kept up between binaries
# (each wine start costs less then), one wine process per binary. Prints,
# per binary, the tests passed, failed and skipped, and why each skipped one
# does not apply; exits 1 when any test failed or a binary did not finish.
#
#   scripts/wine_tests.sh [BUILD_DIR] [BINARY ...]     (default build/windows, launcher_tests)
#
# A binary's extra arguments can follow it after a colon:
#   scripts/wine_tests.sh build/windows "launcher_tests:--gtest_filter=Http*"
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/windows}
shift || true
binaries=("$@")
((${#binaries[@]})) || binaries=(launcher_tests)

results=$(mktemp -d /tmp/vantor-wine-results.XXXXXX)
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/vantor-wine.XXXXXX)
export WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko: nothing here needs them, and there is no network to fetch
# them. No debugger on a crash: the binary ends at once, and its report is
# then missing or cut short, which counts as a failure (wine's exit status
# after a crash can be 0).
export WINEDLLOVERRIDES="mscoree=;mshtml=;winedbg.exe=d"
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

start=$(date +%s)
# The persistent server first: wineboot would start an ordinary one.
wineserver -p
wineboot -i >/dev/null 2>&1
echo "wine: prefix ready in $(( $(date +%s) - start )) s ($(wine --version))"

status=0
for entry in "${binaries[@]}"; do
  name=${entry%%:*}
  args=()
  [[ $entry == *:* ]] && read -r -a args <<<"${entry#*:}"
  exe=$(find "$build" -name "$name.exe" -print -quit)
  if [[ -z $exe ]]; then
    echo "$name: not built" >&2
    status=1
    continue
  fi
  t0=$(date +%s)
  set +e
  # GoogleTest takes "/tmp/..." for a relative path under wine: give it the drive's name.
  wine "$exe" --gtest_output="xml:$(winepath -w "$results/$name.xml")" "${args[@]}" >"$results/$name.log" 2>&1
  rc=$?
  set -e
  echo "== $name ($(( $(date +%s) - t0 )) s, exit $rc; output in $results/$name.log)"
  if ! python3 scripts/gtest_summary.py "$results/$name.xml"; then
    tail -30 "$results/$name.log"
    status=1
  fi
done
python3 scripts/gtest_summary.py --total "$results"/*.xml || status=1

# The launcher's sync against the Linux side's nginx, its browser mode
# driven by the Linux side's Chromium, and the installer's silent install and
# uninstall, in the same prefix.
launcher_exe=$(find "$build" -name vantor-launcher.exe -print -quit)
if [[ -n $launcher_exe && ${VANTOR_WINE_SYNC:-1} == 1 ]]; then
  echo "== sync under wine against nginx"
  python3 launcher/windows/wine_sync_test.py "$launcher_exe" || status=1
fi
game_exe=$(find "$build" -name Vantor.exe -print -quit)
if [[ -n $launcher_exe && -n $game_exe && ${VANTOR_WINE_JOURNEY:-1} == 1 ]]; then
  echo "== browser-mode journey under wine (install, play, quit)"
  log="$results/wine_journey.log"
  set +e
  launcher/src/shell/tests/browser/run-tests.sh "$(realpath "$launcher_exe")" "$(realpath "$game_exe")" \
    wine_journey.test.js >"$log" 2>&1
  rc=$?
  set -e
  passed=$(sed -n 's/^# pass \([0-9]*\)$/\1/p' "$log")
  failed=$(sed -n 's/^# fail \([0-9]*\)$/\1/p' "$log")
  # No counts (npm or node did not start) or a non-zero exit is a failure too.
  if [[ $rc != 0 || -z $passed || $passed == 0 || $failed != 0 ]]; then
    tail -40 "$log"
    status=1
  fi
  echo "wine journey: ${passed:-0} passed, ${failed:-1} failed (exit $rc; output in $log)"
fi
setup_exe=$(find "$build" -maxdepth 1 -name VantorSetup.exe -print -quit)
if [[ -n $setup_exe ]]; then
  echo "== installer under wine"
  python3 launcher/windows/installer_test.py "$setup_exe" || status=1
fi
exit $status
