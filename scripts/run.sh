#!/usr/bin/env bash
# Sets up the machine, builds the launcher and the stand-in game, and starts
# the launcher with the given arguments (--ui=gtk|browser|auto, --port N).
#
# Unless VANTOR_UPDATE_FEED names a feed, the launcher runs on a demo feed in
# build/demo-feed: the stand-in game published once with make_release.py and
# reused after (remove the folder to publish again). The feed is signed with
# a key made on the first run (build/demo-feed-key.pem, never committed),
# renewed on every run so that it never expires, and the launcher trusts
# that key (VANTOR_FEED_KEYS). With a display the window opens; without one,
# browser mode prints the address to open.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh >/dev/null
./scripts/page_fonts.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! nice ninja -C build/release vantor-launcher fakegame >build/run-build.log 2>&1; then
  cat build/run-build.log
  exit 1
fi

if [[ -z "${VANTOR_UPDATE_FEED:-}" ]]; then
  feed="$PWD/build/demo-feed"
  key="$PWD/build/demo-feed-key.pem"
  public="$PWD/build/demo-feed-key.pub"
  if [[ ! -f "$key" || ! -s "$public" ]]; then
    echo "run: making the demo feed's signing key $key"
    rm -f "$key" "$public"
    python3 tools/release/make_key.py "$key" >"$public.tmp"
    mv "$public.tmp" "$public"
    # Whatever feed there was is signed by another key, or not at all.
    rm -rf "$feed"
  fi
  if [[ ! -f "$feed/stable/latest.json.sig" ]]; then
    echo "run: publishing the stand-in game into $feed"
    staging="$(mktemp -d "$PWD/build/demo-feed.XXXXXX")"
    trap 'rm -rf "$staging"' EXIT
    mkdir -p "$staging/game"
    cp build/release/tools/fakegame/bin/Vantor "$staging/game/Vantor"
    printf 'Astrane: Vantor demo build, published by scripts/run.sh\n' >"$staging/game/README.txt"
    python3 tools/release/make_release.py "$staging/game" "$staging/feed" \
      --version 1.0.0 --build 1 --notes "Demo release of the stand-in game" \
      --signing-key "$key" >/dev/null
    # Appears whole or not at all: an interrupted publish is redone next time.
    rm -rf "$feed"
    mv "$staging/feed" "$feed"
    rm -rf "$staging"
    trap - EXIT
  else
    # A new serial and expiry, signed again: a feed kept for weeks stays valid.
    python3 tools/release/refresh_feed.py "$feed" --signing-key "$key" >/dev/null
  fi
  export VANTOR_UPDATE_FEED="$feed"
  VANTOR_FEED_KEYS="$(cat "$public")"
  export VANTOR_FEED_KEYS
  # The stand-in game has no window: it stays up 20 s so PLAY shows it running.
  export VANTOR_FAKEGAME_HOLD_MS="${VANTOR_FAKEGAME_HOLD_MS:-20000}"
fi

exec ./build/release/launcher/vantor-launcher "$@"
