#!/usr/bin/env bash
# Sets up the machine, builds the launcher twice (warnings as errors; then
# AddressSanitizer with UndefinedBehaviorSanitizer) and runs every test in both.
# Benchmarks are built but not run; see bench/.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
# The page's fonts and browser tests come from npm (launcher/page_tests).
(cd launcher/page_tests && npm ci --no-audit --no-fund)
./scripts/page_fonts.sh

run_config() {
  local name=$1; shift
  echo "== build: $name"
  cmake -S . -B "build/$name" -G Ninja -DVANTOR_WERROR=ON "$@" >/dev/null
  ninja -C "build/$name"
  echo "== test: $name"
  (cd "build/$name" && ctest --output-on-failure --timeout 600 -j2)
}

run_config release -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== test: page (Chromium; screenshots in build/page-screenshots)"
(cd launcher/page_tests && npm test)
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_config sanitize -DCMAKE_BUILD_TYPE=Debug -DVANTOR_SANITIZE=address,undefined
