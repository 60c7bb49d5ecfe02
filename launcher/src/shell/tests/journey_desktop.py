#!/usr/bin/env python3
"""A player's first steps in the launcher's window (GTK, WebKitGTK) under a
virtual display, against the update server as deployed on loopback
(scripts/demo_servers.py: nginx and the reference server), with the keyboard
alone, as the browser-mode journey does them with a mouse:

    xvfb-run -a -s "-screen 0 1600x900x24" journey_desktop.py --launcher EXE --fakegame EXE --shots DIR

An installed copy (install.json with a referral) starts with --first-run: the
install event reaches the server with the referral, the window shows the
account prompt, Escape puts it off ("onboarded" saved), Enter on INSTALL
installs the stand-in game from the feed, and Enter on PLAY starts it; the
window comes back when it ends. Screenshots of each step go to DIR
(journey-*.png).
"""

import argparse
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", "..", "..", ".."))
sys.path.insert(0, HERE)

import desktop_test as d  # noqa: E402  (its helpers: checks, screenshots, the window manager)


def publish(root, fakegame):
    content = os.path.join(root, "content")
    os.makedirs(os.path.join(content, "data"))
    shutil.copy(fakegame, os.path.join(content, "Vantor"))
    with open(os.path.join(content, "data", "world.pak"), "wb") as f:
        f.write(os.urandom(3 * 1024 * 1024))
    feed = os.path.join(root, "feed")
    subprocess.run([sys.executable, os.path.join(REPO, "tools", "release", "make_release.py"), content, feed,
                    "--version", "1.0.0", "--build", "1", "--notes", "First light"],
                   check=True, stdout=subprocess.DEVNULL)
    return feed


def start_servers(feed, work):
    p = subprocess.Popen([sys.executable, os.path.join(REPO, "scripts", "demo_servers.py"), "--feed", feed,
                          "--work", work], stdout=subprocess.PIPE, text=True)
    base = p.stdout.readline().strip()
    if not base.startswith("http://"):
        p.terminate()
        sys.exit("the servers did not come up")
    return p, base


def install_events(work):
    try:
        with sqlite3.connect(os.path.join(work, "data", "server.db")) as c:
            return c.execute("SELECT ref FROM events WHERE name = 'install'").fetchall()
    except sqlite3.Error:
        return []


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--launcher", required=True)
    p.add_argument("--fakegame", required=True)
    p.add_argument("--shots", required=True)
    p.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = p.parse_args()
    os.makedirs(args.shots, exist_ok=True)
    root = tempfile.mkdtemp(prefix="vantor-journey-desktop-")
    wm = servers = app = None
    try:
        wm = d.start_window_manager(root)
        feed = publish(root, args.fakegame)
        work = os.path.join(root, "server")
        servers, base = start_servers(feed, work)

        folder = os.path.join(root, "launcher")
        os.makedirs(folder)
        exe = os.path.join(folder, "vantor-launcher")
        shutil.copy(args.launcher, exe)
        with open(os.path.join(folder, "install.json"), "w") as f:
            json.dump({"ref": "desktop-ref"}, f)
        env, _ = d.make_env(os.path.join(root, "player"))
        env.pop("VANTOR_LAUNCHER_UI")
        env["VANTOR_UPDATE_FEED"] = base

        app = d.Launcher(exe, env, ["--ui=gtk", "--first-run"])
        d.check(d.wait_for(lambda: "Feed " in d.log_text(env), 60), "the window's page said ready")
        wid = d.wait_for(d.window_id, 20)
        if not d.check(wid, "the window is up"):
            return
        d.run("xdotool", "windowactivate", "--sync", wid)
        d.check(d.wait_for(lambda: install_events(work) == [("desktop-ref",)], 30),
                "the first run's install event reached the server with its referral (%s)" % install_events(work))
        shot = os.path.join(args.shots, "journey-first-run.png")
        d.check(d.settled_screenshot(shot, time.monotonic() + d.HOME_ENTRANCE_S) > 0.05,
                "screenshot %s (the account prompt) is not blank" % shot)

        # Escape puts the account off: the page says so and it is saved.
        d.run("xdotool", "key", "Escape")
        onboarded = lambda: (d.read_json(d.data_file(env, "launcher.json")) or {}).get("onboarded")
        d.check(d.wait_for(lambda: onboarded() is True, 15), "Escape on the account prompt saved \"onboarded\"")

        # Enter on INSTALL, the first entry of the menu.
        d.run("xdotool", "key", "Return")
        game = os.path.join(folder, "game")
        installed = lambda: d.read_json(os.path.join(game, "manifest.json")) or {}
        d.check(d.wait_for(lambda: installed().get("version") == "1.0.0", 120),
                "Enter on INSTALL installed the game from the feed")
        shot = os.path.join(args.shots, "journey-installed.png")
        d.check(d.settled_screenshot(shot) > 0.05, "screenshot %s is not blank" % shot)

        # Enter on PLAY (it took INSTALL's place): the game starts from the
        # game folder (without an account or multiplayer, no --connect); the
        # window makes way for it and comes back when it ends.
        record_file = d.data_file(env, "logs", "fakegame.json")
        d.run("xdotool", "key", "Return")
        record = d.wait_for(lambda: d.read_json(record_file), 30) or {}
        if not d.check(record.get("argv0") == os.path.join(game, "Vantor"),
                       "Enter on PLAY started the installed game (%s)" % record.get("argv0")):
            print("launcher.log:\n" + d.log_text(env)[-3000:])
        d.check(d.wait_for(lambda: "Game exited with code 0" in d.log_text(env), 30), "the game's end was seen")
        shot = os.path.join(args.shots, "journey-after-play.png")
        d.check(d.wait_for(lambda: d.screenshot(shot) > 0.05, 20), "the window is back after the game: %s" % shot)
    finally:
        if app:
            d.check(app.end() == 0, "the window closes with 0 on SIGTERM")
        if servers:
            servers.terminate()
            servers.wait(20)
        if wm:
            wm.terminate()
            wm.wait(10)
        if args.keep:
            print("kept " + root)
        else:
            shutil.rmtree(root, ignore_errors=True)
    print("%d checks, %d failed" % (d.checks_run[0], len(d.failures)))
    sys.exit(1 if d.failures else 0)


if __name__ == "__main__":
    main()
