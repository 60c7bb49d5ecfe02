#!/usr/bin/env bash
# Sets up the machine, builds the launcher and runs it with the given arguments.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh >/dev/null
./scripts/page_fonts.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build/release vantor-launcher >/dev/null
exec ./build/release/launcher/vantor-launcher "$@"
