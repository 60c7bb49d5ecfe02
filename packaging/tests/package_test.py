#!/usr/bin/env python3
"""The .deb end to end, on this machine: built with CPack from a build
folder, checked (files, desktop entry, AppStream metainfo, man pages),
checked by lintian, installed with dpkg into a root folder of its own (its
own dpkg database, the maintainer scripts run as on a machine), started by a
player (a temporary HOME), updated by itself, started again, and removed
again at the end, also when a check failed. The machine's own /usr and dpkg
database are never touched, so the test may run beside anything.

    package_test.py --build-dir DIR --fakegame EXE [--keep]

Needs dpkg, lintian and nginx. The player's side: the packaged launcher's
first start makes the player's own copy in ~/.local/share/Vantor/launcher
and runs it with --first-run; that copy installs the stand-in game from a
feed nginx serves, takes a newer launcher build the feed offers (written
over itself, never over the package's /usr/bin), and the restarted copy says "Launcher
updated to 1.0.0". The next start goes straight to the copy. Removing the
package leaves the copy, the game and the saves, and says how to remove them.
"""

import argparse
import contextlib
import hashlib
import json
import os
import queue
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
PACKAGE = "vantor-launcher"
APP_ID = "com.astrane.Vantor"
FAILURES = []
ROOT = ""  # the folder dpkg installs into, set by main()


def inst(path):
    """An absolute path of the package, where it lies in the test root."""
    return ROOT + path


def log(text):
    print(text, flush=True)


def check(ok, what):
    log(("ok   " if ok else "FAIL ") + what)
    if not ok:
        FAILURES.append(what)
    return ok


def run(cmd, **kw):
    kw.setdefault("capture_output", True)
    kw.setdefault("text", True)
    return subprocess.run(cmd, **kw)


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Nginx:
    """nginx serving one folder on 127.0.0.1, in a prefix of its own."""

    def __init__(self, root, work):
        self.port = free_port()
        self.prefix = os.path.join(work, "nginx")
        os.makedirs(os.path.join(self.prefix, "logs"), exist_ok=True)
        conf = os.path.join(self.prefix, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"""daemon off; worker_processes 1; error_log {self.prefix}/logs/error.log; pid {self.prefix}/nginx.pid;
events {{ worker_connections 64; }}
http {{ access_log off; types {{ application/json json; }} default_type application/octet-stream;
  client_body_temp_path {self.prefix}/tmp; proxy_temp_path {self.prefix}/tmp; fastcgi_temp_path {self.prefix}/tmp;
  uwsgi_temp_path {self.prefix}/tmp; scgi_temp_path {self.prefix}/tmp;
  server {{ listen 127.0.0.1:{self.port}; root {root}; }} }}
""")
        self.proc = subprocess.Popen(["/usr/sbin/nginx", "-p", self.prefix, "-c", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(500):
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", self.port), timeout=1):
                return
            time.sleep(0.01)
        raise RuntimeError("nginx did not start")

    def url(self, path=""):
        return f"http://127.0.0.1:{self.port}{path}"

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


class Launcher:
    """A launcher with its page on the standard streams: commands in, one JSON
    message a line out. A launcher it restarts inherits both."""

    def __init__(self, argv, env):
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=open(os.path.join(env["HOME"], f"launcher-{time.time_ns()}.err"), "w"),
                                     text=True, bufsize=1)
        self.lines = queue.Queue()
        self.messages = []
        threading.Thread(target=self._read, daemon=True).start()

    _ended = False

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line)
        self._ended = True
        self.lines.put(None)

    def send(self, cmd, **members):
        self.proc.stdin.write(json.dumps({"cmd": cmd, **members}) + "\n")
        self.proc.stdin.flush()

    def wait_for(self, match, timeout=60):
        for m in self.messages:
            if match(m):
                return m
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                line = self.lines.get(timeout=max(0.01, end - time.monotonic()))
            except queue.Empty:
                break
            if line is None:
                break
            with contextlib.suppress(ValueError):
                m = json.loads(line)
                self.messages.append(m)
                if match(m):
                    return m
        return None

    def exit_code(self, timeout=30):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def output_ended(self, timeout=30):
        """True once every process holding its standard output has ended."""
        return self.wait_for(lambda m: False, timeout) is None and self.lines.empty() and self._ended

    def close(self):
        with contextlib.suppress(OSError):
            self.proc.stdin.close()
        code = self.exit_code()
        if code is None:
            self.proc.kill()
        return code


def is_state(m):
    return m.get("type") == "state"


def toast(text):
    return lambda m: m.get("type") == "toast" and m.get("text") == text


def build_package(build_dir, out):
    r = run(["cmake", "--build", build_dir, "--target", "vantor-launcher", "vantorctl", "vantor_install_files"])
    if r.returncode != 0:
        sys.exit("build failed:\n" + r.stdout + r.stderr)
    r = run(["cpack", "-G", "DEB", "-B", out, "--config", os.path.join(build_dir, "CPackConfig.cmake")])
    if r.returncode != 0:
        sys.exit("cpack failed:\n" + r.stdout + r.stderr)
    debs = [os.path.join(out, f) for f in os.listdir(out) if f.endswith(".deb")]
    if len(debs) != 1:
        sys.exit(f"cpack made {debs}")
    return debs[0]


def check_contents(deb):
    listing = run(["dpkg-deb", "-c", deb]).stdout
    for path in ["./usr/bin/vantor-launcher", "./usr/bin/vantorctl",
                 f"./usr/share/applications/{APP_ID}.desktop", f"./usr/share/metainfo/{APP_ID}.metainfo.xml",
                 "./usr/share/man/man1/vantor-launcher.1.gz", "./usr/share/man/man1/vantorctl.1.gz",
                 "./usr/share/vantor-launcher/update.json", "./usr/share/vantor-launcher/install.json",
                 f"./usr/share/icons/hicolor/scalable/apps/{APP_ID}.svg"] + \
                [f"./usr/share/icons/hicolor/{s}x{s}/apps/{APP_ID}.png" for s in (16, 22, 24, 32, 48, 64, 128)]:
        check(path in listing, f"the package holds {path}")
    info = run(["dpkg-deb", "-f", deb, "Package", "Version", "Depends"]).stdout
    check("Package: vantor-launcher" in info and "Version: 1.0.0" in info, "package name and version")
    check("libcurl" in info, "dependencies worked out from the executables: " + info.replace("\n", " "))


def player_path():
    return inst("/usr/bin") + ":/usr/bin:/bin"


def dpkg(*args):
    """dpkg on the test root: its own database, the maintainer scripts run
    without a chroot (they need nothing but sh), the dependencies taken as
    present (the machine has them; the test root's database does not)."""
    extra = [] if os.geteuid() == 0 else ["--force-not-root"]
    return run(["dpkg", f"--root={ROOT}", "--force-script-chrootless", "--force-depends", *extra, *args])


def make_root(work):
    global ROOT
    ROOT = os.path.join(work, "root")
    admin = os.path.join(ROOT, "var", "lib", "dpkg")
    for sub in ("info", "updates", "triggers"):
        os.makedirs(os.path.join(admin, sub), exist_ok=True)
    for record in ("status", "available"):
        open(os.path.join(admin, record), "a").close()


def check_lintian(deb):
    r = run(["lintian", "--tag-display-limit", "0", "--fail-on", "none", deb])
    tags = []
    for line in (r.stdout + r.stderr).splitlines():
        if line.startswith(("E: ", "W: ")):
            tags.append(line)
    check(r.returncode == 0 and not tags, "lintian: no errors or warnings"
          + ("" if not tags else ":\n    " + "\n    ".join(tags)))


def check_installed():
    r = run(["desktop-file-validate", inst(f"/usr/share/applications/{APP_ID}.desktop")])
    check(r.returncode == 0 and not r.stdout.strip(), "desktop-file-validate: " + (r.stdout + r.stderr).strip())
    r = run(["appstreamcli", "validate", "--no-net", inst(f"/usr/share/metainfo/{APP_ID}.metainfo.xml")])
    check(r.returncode == 0, "appstreamcli validate: " + (r.stdout + r.stderr).strip().replace("\n", " | "))
    for page in ("vantor-launcher", "vantorctl"):
        r = run(["sh", "-c", f"zcat {inst('/usr/share/man')}/man1/{page}.1.gz | groff -man -Tutf8 -ww 2>&1 >/dev/null"])
        check(r.returncode == 0 and not r.stdout.strip(), f"man page {page}(1) renders without warnings {r.stdout}")
        r = run(["man", "-M", inst("/usr/share/man"), "-w", page])
        check(r.stdout.strip() == inst(f"/usr/share/man/man1/{page}.1.gz"), f"man finds {page}: {r.stdout.strip()}")
    # Help and version answer before anything else: no window, no lock, no
    # player's copy made in the home folder of whoever asked.
    home = tempfile.mkdtemp(prefix="vantor-package-home-")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("VANTOR_", "XDG_"))}
    env["HOME"] = home
    for exe in ("vantor-launcher", "vantorctl"):
        path = shutil.which(exe, path=player_path())
        check(path == inst(f"/usr/bin/{exe}"), f"{exe} on the PATH ({path})")
        r = run([inst(f"/usr/bin/{exe}"), "--version"], env=env, timeout=30)
        check(r.returncode == 0 and r.stdout == f"{exe} 1.0.0\n", f"{exe} --version: {r.stdout!r}")
        r = run([inst(f"/usr/bin/{exe}"), "--help"], env=env, timeout=30)
        check(r.returncode == 0 and r.stdout.startswith("Usage:"), f"{exe} --help on standard output")
    check(os.listdir(home) == [], "help and version made nothing in the home folder: " + str(os.listdir(home)))
    shutil.rmtree(home, ignore_errors=True)


def publish_feed(work, fakegame):
    content = os.path.join(work, "content")
    feed = os.path.join(work, "feed")
    os.makedirs(content)
    shutil.copy(fakegame, os.path.join(content, "Vantor"))
    with open(os.path.join(content, "README.txt"), "w") as f:
        f.write("Astrane: Vantor, the package test's release\n")
    r = run([sys.executable, os.path.join(REPO, "tools", "release", "make_release.py"), content, feed,
             "--version", "1.0.0", "--build", "1", "--chunk-size", "65536"])
    if r.returncode != 0:
        sys.exit("make_release.py failed:\n" + r.stdout + r.stderr)
    # A newer launcher build: the packaged executable, offered as 1.0.1.
    builds = os.path.join(feed, "builds")
    os.makedirs(builds)
    build = os.path.join(builds, "vantor-launcher-1.0.1")
    shutil.copy(inst("/usr/bin/vantor-launcher"), build)
    latest_path = os.path.join(feed, "stable", "latest.json")
    with open(latest_path) as f:
        latest = json.load(f)
    latest["launcher"] = {"version": "1.0.1", "url": "../builds/vantor-launcher-1.0.1", "sha256": sha256(build),
                          "size": os.path.getsize(build)}
    with open(latest_path, "w") as f:
        json.dump(latest, f, indent=2)
    return feed, sha256(build)


def player_side(work, feed_url, build_sha):
    home = os.path.join(work, "player")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("VANTOR_", "XDG_"))}
    env.update({"HOME": home, "XDG_DATA_HOME": os.path.join(home, ".local/share"),
                "XDG_CONFIG_HOME": os.path.join(home, ".config"), "XDG_RUNTIME_DIR": os.path.join(home, "run"),
                "TMPDIR": os.path.join(home, "tmp"), "VANTOR_UPDATE_FEED": feed_url,
                "VANTOR_HEADLESS_PAGE": "stdio", "PATH": player_path()})
    for d in ("run", "tmp", ".config", ".local/share"):
        os.makedirs(os.path.join(home, d), mode=0o700, exist_ok=True)
    copy = os.path.join(home, ".local/share/Vantor/launcher")
    packaged_sha = sha256(inst("/usr/bin/vantor-launcher"))

    # First start: the player's copy is made and runs as a first run.
    first = Launcher(["vantor-launcher"], env)
    first.send("ready")
    state = first.wait_for(is_state)
    check(state is not None, "the first start shows a page")
    if state is None:
        first.close()
        return home
    check(state.get("firstRun") is True, "the copy's first start is a first run")
    check(state.get("mode") == "installed", f"the copy runs in installed mode ({state.get('mode')})")
    check(state["paths"]["game"] == os.path.join(copy, "game"), "its game folder is in the copy: " + state["paths"]["game"])
    check(os.access(os.path.join(copy, "vantor-launcher"), os.X_OK), "the copy's executable is in the data folder")
    with open(inst("/usr/share/vantor-launcher/update.json")) as a, open(os.path.join(copy, "update.json")) as b:
        check(a.read() == b.read(), "the copy has the package's update.json")
    check(os.path.exists(os.path.join(copy, "install.json")), "the copy has the package's install.json")

    first.send("install")
    done = first.wait_for(toast("Game updated to 1.0.0"), 120)
    check(done is not None, "the copy installs the game")
    check(os.path.exists(os.path.join(copy, "game", "Vantor")), "the game is in the copy's game folder")

    # The self-update: the copy replaces itself; the package's /usr/bin stays as it was.
    first.wait_for(lambda m: is_state(m) and m.get("launcher", {}).get("updateAvailable") is True, 30)
    first.send("updateLauncher")
    # It swaps the files, starts the new build (which inherits the streams) and ends.
    check(first.exit_code(120) == 0, "the old copy ends after the update")
    check(sha256(os.path.join(copy, "vantor-launcher")) == build_sha, "the copy is the build the feed offered")
    check(sha256(inst("/usr/bin/vantor-launcher")) == packaged_sha, "the packaged executable was not touched")
    first.send("ready")
    updated = first.wait_for(toast("Launcher updated to 1.0.0"), 60)
    check(updated is not None, "the restarted copy says \"Launcher updated to 1.0.0\"")
    first.send("close")
    check(first.output_ended(30), "the updated copy ends when closed")
    check(not os.path.exists(os.path.join(copy, "vantor-launcher.old")), "no .old left after the restart")

    # Later starts go straight to the copy: no first run, the same game.
    second = Launcher(["vantor-launcher"], env)
    second.send("ready")
    state = second.wait_for(is_state)
    check(state is not None and state.get("firstRun") is False, "a later start is no first run")
    check(state is not None and state["game"]["status"] in ("ready", "update"), "it finds the installed game")
    second.send("close")
    check(second.output_ended(30), "the second start ends when closed")

    # vantorctl from the package works on the same copy.
    ctl_env = dict(env)
    ctl_env.pop("VANTOR_HEADLESS_PAGE")
    r = run(["vantorctl", "status", "--json"], env=ctl_env)
    status = json.loads(r.stdout) if r.returncode == 0 else {}
    check(status.get("paths", {}).get("game") == os.path.join(copy, "game"),
          "the packaged vantorctl uses the player's copy: " + (r.stdout + r.stderr)[:300])
    return home


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--fakegame", required=True)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    for tool in ("dpkg", "lintian", "cpack", "desktop-file-validate", "appstreamcli", "groff", "/usr/sbin/nginx"):
        if not shutil.which(tool) and not os.path.exists(tool):
            sys.exit(f"package_test: {tool} is missing (scripts/setup.sh installs it)")

    work = tempfile.mkdtemp(prefix="vantor-package-")
    os.chmod(work, 0o755)
    nginx = None
    installed = False
    home = None
    try:
        deb = build_package(args.build_dir, os.path.join(work, "deb"))
        log("package " + deb)
        check_contents(deb)
        check_lintian(deb)
        make_root(work)
        r = dpkg("-i", deb)
        installed = True
        if not check(r.returncode == 0, "dpkg -i" + ("" if r.returncode == 0 else ": " + (r.stdout + r.stderr).strip()[-500:])):
            return 1
        check_installed()
        feed, build_sha = publish_feed(work, args.fakegame)
        nginx = Nginx(feed, work)
        home = player_side(work, nginx.url(""), build_sha)
    finally:
        if nginx:
            nginx.stop()
        if installed:
            # Always: the machine is left as it was found.
            r = dpkg("-r", PACKAGE)
            check(r.returncode == 0, "dpkg -r")
            check("rm -rf ~/.local/share/Vantor" in r.stdout + r.stderr,
                  "the removal says how to remove the players' copies")
            check(not os.path.exists(inst("/usr/bin/vantor-launcher")) and not os.path.exists(inst("/usr/bin/vantorctl")),
                  "the executables are gone")
            check(not os.path.exists(inst("/usr/share/vantor-launcher")), "the package's records are gone")
            if home:
                copy = os.path.join(home, ".local/share/Vantor/launcher")
                check(os.path.exists(os.path.join(copy, "vantor-launcher")) and
                      os.path.exists(os.path.join(copy, "game", "Vantor")),
                      "the player's copy and game stay after the removal")
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    code = main()
    if FAILURES:
        log(f"{len(FAILURES)} checks failed")
        sys.exit(1)
    sys.exit(code)
