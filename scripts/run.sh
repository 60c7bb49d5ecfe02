#!/usr/bin/env bash
# Sets up the machine, builds the launcher and the stand-in game, and starts
# the demo with the given arguments (--ui=gtk|browser|auto, --port N).
#
# The demo runs on the update server as it is deployed, on loopback: nginx
# and the reference server (scripts/demo_servers.py), stopped again when the
# launcher ends. Its feed in build/demo/feed is published once
# (scripts/demo_feed.py): the stand-in game with a few hundred megabytes of
# content, a second release on the beta channel, two add-ons and a newer
# launcher build. The launcher runs from an installed copy in
# build/demo/launcher, so its own update replaces that copy and never the
# build tree; its data (accounts' sessions, game, saves) stays in
# build/demo/data. The feed is signed with a key made on the first run
# (build/demo/feed-key.pem, never committed), signed again on every run so
# that it never expires, and the launcher trusts that key
# (VANTOR_FEED_KEYS). Remove build/demo to start over. With a display the
# window opens; without one, browser mode prints the address to open.
#
# With VANTOR_UPDATE_FEED set, the build tree's launcher runs on that feed
# instead, in the player's own data folder, as before.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh >/dev/null
./scripts/page_fonts.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "run: building the launcher and the stand-in game (a first build takes minutes; log in build/run-build.log)"
if ! nice ninja -C build/release vantor-launcher fakegame >build/run-build.log 2>&1; then
  cat build/run-build.log
  exit 1
fi
exe="$PWD/build/release/launcher/vantor-launcher"

if [[ -n "${VANTOR_UPDATE_FEED:-}" ]]; then
  exec "$exe" "$@"
fi

demo="$PWD/build/demo"
mkdir -p "$demo/server" "$demo/launcher" "$demo/data"
key="$demo/feed-key.pem"
public="$demo/feed-key.pub"
if [[ ! -f "$key" || ! -s "$public" ]]; then
  echo "run: making the demo feed's signing key $key"
  rm -f "$key" "$public"
  python3 tools/release/make_key.py "$key" >"$public.tmp"
  mv "$public.tmp" "$public"
fi
python3 scripts/demo_feed.py "$demo/feed" --fakegame "$PWD/build/release/tools/fakegame/bin/Vantor" \
  --launcher "$exe" --size-mb "${VANTOR_DEMO_SIZE_MB:-256}"
# A new serial and expiry, signed again: covers what demo_feed.py just
# changed (the offered launcher build) and keeps a feed kept for weeks valid.
python3 tools/release/refresh_feed.py "$demo/feed" --signing-key "$key" >/dev/null

# The servers end when this script does (they also watch for it).
address="$demo/server/address"
rm -f "$address"
python3 scripts/demo_servers.py --feed "$demo/feed" --work "$demo/server" --name "Vantor Demo Server" \
  >"$address" &
servers=$!
trap 'kill "$servers" 2>/dev/null || true; wait "$servers" 2>/dev/null || true' EXIT
echo "run: starting nginx and the reference server on loopback"
until [[ -s "$address" ]]; do
  if ! kill -0 "$servers" 2>/dev/null; then
    echo "run: the demo servers did not start; see $demo/server/logs" >&2
    exit 1
  fi
  sleep 0.2
done
base="$(head -n 1 "$address")"
echo "run: feed and account server at $base"

# The installed copy: the build tree's launcher, copied again whenever it was
# rebuilt (a copy that updated itself from the feed is otherwise kept).
copy="$demo/launcher"
built="$(sha256sum "$exe" | cut -d ' ' -f 1)"
first_run=()
if [[ ! -x "$copy/vantor-launcher" || "$(cat "$demo/launcher-source.sha256" 2>/dev/null)" != "$built" ]]; then
  cp "$exe" "$copy/vantor-launcher.tmp"
  mv -f "$copy/vantor-launcher.tmp" "$copy/vantor-launcher"
  echo "$built" >"$demo/launcher-source.sha256"
fi
printf '{"feed": "%s"}\n' "$base" >"$copy/update.json"
if [[ ! -f "$copy/install.json" ]]; then
  printf '{"ref": "demo"}\n' >"$copy/install.json"
  first_run=(--first-run)
fi

export XDG_DATA_HOME="$demo/data"
export VANTOR_UPDATE_FEED="$base"
VANTOR_FEED_KEYS="$(cat "$public")"
export VANTOR_FEED_KEYS
# The stand-in game has no window: it stays up 20 s so PLAY shows it running.
export VANTOR_FAKEGAME_HOLD_MS="${VANTOR_FAKEGAME_HOLD_MS:-20000}"

# A launcher that updated itself starts its successor and ends; the successor
# keeps its standard output. Reading that output to its end waits for every
# launcher of the demo, not only the first (Ctrl-C reaches the launcher; the
# reader ignores it and ends with the output).
#
# The launcher runs in the background so that a SIGTERM sent to this script
# (kill, timeout, a service manager) is passed on to it and ends it the way
# closing its window does; a foreground launcher would hold the signal's trap
# back until it ended by itself, and the script would die leaving it running
# on a feed whose servers had stopped. Its exit status comes back in a file.
pid_file="$demo/launcher.pid"
status_file="$demo/launcher.status"
rm -f "$pid_file" "$status_file"
{
  # A job in the background would read /dev/null; the launcher keeps ours.
  "$copy/vantor-launcher" "${first_run[@]}" "$@" <&3 3<&- &
  echo "$!" >"$pid_file"
  code=0
  wait "$!" || code=$?
  rm -f "$pid_file"  # its number may go to another process now
  echo "$code" >"$status_file"
} 3<&0 | { trap '' INT; cat; } &
reader=$!
# shellcheck disable=SC2317  # called by the trap below
pass_term() {
  local pid
  pid="$(cat "$pid_file" 2>/dev/null || true)"
  if [[ -n "$pid" ]]; then kill -TERM "$pid" 2>/dev/null || true; fi
}
trap pass_term TERM
# Ctrl-C reaches the launcher from the terminal itself: passing it on too
# would be a second signal, which ends a launcher at once mid-shutdown.
trap ':' INT
while kill -0 "$reader" 2>/dev/null; do
  wait "$reader" || true
done
exit "$(cat "$status_file" 2>/dev/null || echo 1)"
