#!/usr/bin/env bash
# Installs the test's npm packages (exactly the locked versions) when missing,
# then runs the browser-mode tests against the launcher named by $1, with the
# stand-in game named by $2: the test files named after them, else the
# browser-mode, port hand-over and first-evening tests.
set -euo pipefail
cd "$(dirname "$0")"
if [[ ! -d node_modules/playwright-core ]] || [[ package-lock.json -nt node_modules/.package-lock.json ]]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
launcher="$1" fakegame="$2"
shift 2
files=("$@")
((${#files[@]})) || files=(browser_mode.test.js browser_abuse.test.js port_handover.test.js player_journey.test.js)
LAUNCHER="$launcher" FAKEGAME="$fakegame" exec node --test --test-concurrency=1 "${files[@]}"
