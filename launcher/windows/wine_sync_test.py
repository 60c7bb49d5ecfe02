#!/usr/bin/env python3
"""The Windows launcher's transfer, chunk and sync path under wine, against a
real nginx on the Linux side's loopback (a wine process reaches it directly).

    wine_sync_test.py LAUNCHER_EXE        (WINEPREFIX and a running wineserver
                                           come from scripts/wine_tests.sh)

Publishes a small game (nested folders, a name outside ASCII, an empty file,
files of several chunks) with tools/release/make_release.py, serves the feed
from nginx, and checks with `vantor-launcher.exe --sync` that:
  install  an empty folder becomes the release, byte for byte;
  update   v1 -> v2 fetches only the objects v2 adds;
  repair   --verify puts back a damaged file and fetches only its objects;
  resume   a sync killed half way and run again ends with the release,
           fetching again at most the objects in flight at the kill.
Prints one line per check and 'N passed, N failed'."""

import hashlib
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
MAKE_RELEASE = os.path.join(REPO, "tools", "release", "make_release.py")
CHUNK = 1 << 20


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Nginx:
    """nginx on 127.0.0.1 serving `root`, pacing requests when asked, with an access log."""

    def __init__(self, root, work, requests_per_second=0):
        self.prefix = os.path.join(work, f"nginx-{requests_per_second}")
        os.makedirs(self.prefix, exist_ok=True)
        self.log = os.path.join(self.prefix, "access.log")
        self.port = free_port()
        pace = (f"  limit_req_zone $binary_remote_addr zone=pace:1m rate={requests_per_second}r/s;\n"
                if requests_per_second else "")
        use_pace = "    limit_req zone=pace burst=100000;\n" if requests_per_second else ""
        conf = (f"worker_processes 1;\ndaemon off;\n{'user root;' if os.geteuid() == 0 else ''}\n"
                f'pid "{self.prefix}/nginx.pid";\nlock_file "{self.prefix}/nginx.lock";\n'
                f'error_log "{self.prefix}/error.log";\nevents {{ worker_connections 256; }}\n'
                "http {\n  default_type application/octet-stream;\n"
                + "".join(f'  {t}_temp_path "{self.prefix}/{t}";\n'
                          for t in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
                + pace
                + "  log_format t '$request_uri $status $body_bytes_sent $request_completion';\n"
                f'  access_log "{self.log}" t;\n'
                f"  server {{\n    listen 127.0.0.1:{self.port};\n    root \"{root}\";\n{use_pace}  }}\n}}\n")
        conf_path = os.path.join(self.prefix, "nginx.conf")
        with open(conf_path, "w") as f:
            f.write(conf)
        self.proc = subprocess.Popen(["/usr/sbin/nginx", "-p", self.prefix, "-c", conf_path],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("nginx did not start")

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def entries(self):
        if not os.path.exists(self.log):
            return []
        out = []
        with open(self.log) as f:
            for line in f:
                uri, status, size, done = line.split()
                out.append((uri, int(status), int(size), done == "OK"))
        return out

    def clear(self):
        time.sleep(0.3)  # the worker writes a line when the answer has gone out
        open(self.log, "w").close()
        os.kill(self.proc.pid, signal.SIGUSR1)  # reopen the log
        time.sleep(0.2)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


def objects(entries, complete_only=True):
    return [uri.rsplit("/", 1)[1] for uri, status, _, done in entries
            if "/objects/" in uri and status == 200 and (done or not complete_only)]


def write_game(folder, seed, base=None):
    rnd = random.Random(seed)
    if base:
        shutil.copytree(base, folder)
    files = {"Vantor.exe": 3 * CHUNK + 123, "data/levels/one.pak": 12 * CHUNK, "data/empty.txt": 0,
             "données/é.cfg": 777, "data/levels/two.pak": 2 * CHUNK + 1}
    for rel, size in files.items():
        path = os.path.join(folder, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if base and rel != "data/levels/one.pak":
            continue
        with open(path, "r+b" if base else "wb") as f:
            if base:  # v2 changes the second chunk of one file only
                f.seek(CHUNK + 10)
                f.write(rnd.randbytes(1000))
            else:
                f.write(rnd.randbytes(size))


def tree_digest(folder):
    digests = {}
    for dirpath, _, names in os.walk(folder):
        if ".staging" in dirpath.split(os.sep):
            continue
        for name in names:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, folder)
            if rel == "manifest.json":
                continue
            with open(path, "rb") as f:
                digests[rel] = hashlib.sha256(f.read()).hexdigest()
    return digests


def release_objects(feed):
    out = set()
    for dirpath, _, names in os.walk(os.path.join(feed, "objects")):
        out.update(names)
    return out


def main():
    exe = sys.argv[1]
    if not os.environ.get("WINEPREFIX"):
        sys.exit("run through scripts/wine_tests.sh (WINEPREFIX unset)")
    work = tempfile.mkdtemp(prefix="vantor-wine-sync-")
    results = []

    def check(name, ok, detail=""):
        results.append(ok)
        print(f"{'PASS' if ok else 'FAIL'}  {name}{'' if ok else ': ' + detail}", flush=True)

    def sync(folder, url, *extra, timeout=300):
        p = subprocess.run(["wine", exe, "--sync", "Z:" + folder.replace("/", "\\"), url, *extra],
                           capture_output=True, text=True, errors="replace", timeout=timeout)
        return p.returncode, p.stdout + p.stderr

    nginx = paced = None
    try:
        www = os.path.join(work, "www")
        feed = os.path.join(www, "feed")
        write_game(os.path.join(work, "v1"), 1)
        write_game(os.path.join(work, "v2"), 2, base=os.path.join(work, "v1"))
        v1_objects = set()
        for version, build in (("v1", 1), ("v2", 2)):
            subprocess.run([sys.executable, MAKE_RELEASE, os.path.join(work, version), feed, "--version",
                            f"1.{build}", "--build", str(build), "--chunk-size", str(CHUNK)],
                           check=True, capture_output=True)
            # Taken before v2 is published: what v2 adds is what v1 lacks.
            if build == 1:
                v1_objects = release_objects(feed)
        nginx = Nginx(www, work)
        m1 = nginx.url("/feed/manifests/1.1-1.json")
        m2 = nginx.url("/feed/manifests/1.2-2.json")
        game = os.path.join(work, "game")

        # install
        code, out = sync(game, m1)
        check("install into an empty folder", code == 0 and tree_digest(game) == tree_digest(os.path.join(work, "v1")),
              f"exit {code}\n{out[-2000:]}")
        fetched = objects(nginx.entries())
        check("install fetches each object once", len(fetched) == len(set(fetched)),
              f"{len(fetched)} fetches of {len(set(fetched))} objects")

        # update
        nginx.clear()
        code, out = sync(game, m2)
        added = release_objects(feed) - v1_objects
        fetched = objects(nginx.entries())
        check("update v1 -> v2", code == 0 and tree_digest(game) == tree_digest(os.path.join(work, "v2")),
              f"exit {code}\n{out[-2000:]}")
        check("update fetches only what v2 adds", set(fetched) == added and len(fetched) == len(added),
              f"fetched {sorted(fetched)}, v2 adds {sorted(added)}")

        # repair
        damaged = os.path.join(game, "data", "levels", "two.pak")
        with open(damaged, "r+b") as f:
            f.seek(5)
            f.write(b"\0damage\0")
        nginx.clear()
        code, out = sync(game, m2, "--verify")
        fetched = objects(nginx.entries())
        check("repair with --verify", code == 0 and tree_digest(game) == tree_digest(os.path.join(work, "v2")),
              f"exit {code}\n{out[-2000:]}")
        check("repair fetches only the damaged file's objects", 0 < len(fetched) <= 3, f"fetched {fetched}")

        # resume: paced to 10 objects a second, killed after a few objects
        paced = Nginx(www, work, requests_per_second=10)
        fresh = os.path.join(work, "fresh")
        url = paced.url("/feed/manifests/1.2-2.json")
        p = subprocess.Popen(["wine", exe, "--sync", "Z:" + fresh.replace("/", "\\"), url],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 60
        while len(objects(paced.entries())) < 10 and time.time() < deadline and p.poll() is None:
            time.sleep(0.05)
        first = set(objects(paced.entries()))
        # wine's process for the .exe: ending the wine client ends it.
        p.send_signal(signal.SIGKILL)
        p.wait()
        time.sleep(1)
        paced.clear()
        code, out = sync(fresh, url)
        again = set(objects(paced.entries())) & first
        check("resume after a kill", code == 0 and tree_digest(fresh) == tree_digest(os.path.join(work, "v2")),
              f"exit {code}\n{out[-2000:]}")
        # At the kill, at most the four workers' objects can have arrived
        # without being verified yet; everything else must not travel again.
        check("resume fetches again at most the objects in flight at the kill", len(again) <= 4 and len(first) >= 10,
              f"first run {len(first)} objects, fetched again {sorted(again)}")
    finally:
        for server in (nginx, paced):
            if server:
                server.stop()
        shutil.rmtree(work, ignore_errors=True)
    passed = sum(results)
    print(f"wine sync: {passed} passed, {len(results) - passed} failed")
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
