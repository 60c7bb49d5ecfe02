#!/usr/bin/env bash
# Copies the page's three web fonts from their npm packages into
# launcher/page/fonts/ (git-ignored), where the build embeds them. The page
# never loads a font from the network. Run by scripts/run.sh and
# scripts/test.sh before the build; safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

deps=launcher/page_tests
out=launcher/page/fonts
declare -A fonts=(
  [manrope.woff2]=@fontsource-variable/manrope/files/manrope-latin-wght-normal.woff2
  [orbitron.woff2]=@fontsource-variable/orbitron/files/orbitron-latin-wght-normal.woff2
  [syncopate.woff2]=@fontsource/syncopate/files/syncopate-latin-700-normal.woff2
)

missing=0
for name in "${!fonts[@]}"; do
  [[ -f "$deps/node_modules/${fonts[$name]}" ]] || missing=1
done
if ((missing)); then
  command -v npm >/dev/null || { echo "page_fonts: npm is missing: run scripts/setup.sh" >&2; exit 1; }
  (cd "$deps" && npm ci --no-audit --no-fund --omit=dev >/dev/null)
fi

mkdir -p "$out"
for name in "${!fonts[@]}"; do
  src="$deps/node_modules/${fonts[$name]}"
  if ! cmp -s "$src" "$out/$name"; then
    cp "$src" "$out/$name.tmp"
    mv "$out/$name.tmp" "$out/$name"
  fi
done
