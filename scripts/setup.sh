#!/usr/bin/env bash
# Installs everything the launcher needs to build, run and be tested, from
# Debian's packages only. Safe to run again: it only calls apt-get when a
# package is missing, and then runs 'apt-get update' once.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache
  libfmt-dev nlohmann-json3-dev libcurl4-openssl-dev libssl-dev
  libcpp-httplib-dev zlib1g-dev googletest libgtest-dev libgmock-dev
  libglib2.0-dev libwebkit2gtk-4.1-dev
  nginx curl python3 gunicorn
  # the transport's TLS tests make their own certificate with it
  openssl
  # signing the update feed (tools/release)
  python3-cryptography
  # the reference server's PostgreSQL database (its tests start their own)
  postgresql python3-psycopg2
  # the window under a virtual display, page tests in a real browser, and the
  # file systems some tests mount (vfat for case-insensitive names)
  xvfb xauth imagemagick chromium chromium-driver dosfstools
  # the desktop tests: a window manager (minimise, activation), pointer and
  # keyboard input, and window properties
  openbox xdotool x11-utils
  # peers the benchmarks measure against
  aria2 casync rsync time
  # the Windows build: mingw-w64 GCC with the posix thread model, zlib for
  # the target (GoogleTest comes from the googletest source package above,
  # fmt, nlohmann-json and cpp-httplib as headers), wine to run its tests and
  # NSIS for its installer
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 nsis
  # the fuzz targets (libFuzzer and the sanitizers' runtimes)
  clang libclang-rt-14-dev
  # the package: its desktop entry and AppStream metainfo checked, its man
  # pages read, its dependencies worked out (dpkg-shlibdeps), lintian
  desktop-file-utils appstream man-db groff-base dpkg-dev lintian
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

# The page's fonts and tests come from npm. A Node.js of another origin (with
# its own npm) is fine; only a machine without one gets Debian's.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  missing+=(nodejs npm)
fi

if ((${#missing[@]})); then
  # On standard error: scripts/run.sh keeps this script's standard output
  # quiet, and on a new machine this step takes many minutes.
  echo "setup: installing ${#missing[@]} Debian packages (many minutes on a new machine): ${missing[*]}" >&2
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi

# Playwright (the page's and the launcher's browser tests) needs Node.js 20 or
# newer; Debian 12's own is 18. The launcher and its fonts build without it.
if ! node -e 'process.exit(Number(process.versions.node.split(".")[0]) >= 20 ? 0 : 1)'; then
  echo "setup: Node.js $(node --version) is older than 20: the browser tests (Playwright) will refuse to run" >&2
fi

# The Windows build needs cpp-httplib whole: Debian's -dev package splits it
# into declarations and a Linux library. Its source package (the same version,
# with Debian's patches) has the one-header form, unpacked here once.
httplib_version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev)
httplib_dir=/usr/local/src/cpp-httplib-$httplib_version
if [[ ! -f $httplib_dir/httplib.h ]]; then
  echo "setup: fetching the source of cpp-httplib $httplib_version for the Windows build"
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  if ! apt-cache showsrc cpp-httplib 2>/dev/null | grep -q "^Version: $httplib_version\$"; then
    "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/vantor-debian-src.sources >/dev/null <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    "${sudo_cmd[@]}" apt-get update -q
  fi
  work=$(mktemp -d)
  (cd "$work" && apt-get source -q --download-only "cpp-httplib=$httplib_version" >/dev/null &&
    dpkg-source -x ./*.dsc unpacked >/dev/null 2>&1)  # apt checked its hashes against the signed index
  "${sudo_cmd[@]}" mkdir -p "$httplib_dir"
  "${sudo_cmd[@]}" cp "$work/unpacked/httplib.h" "$work/unpacked/LICENSE" "$httplib_dir/"
  rm -rf "$work"
fi
