#!/usr/bin/env python3
"""The real launcher's window under a virtual display, driven like a person would.

    xvfb-run -a -s "-screen 0 1600x900x24" desktop_test.py --launcher EXE --shots DIR

Starts a window manager, then vantor-launcher in its own HOME and XDG folders
(its update feed a local folder that does not exist, so nothing leaves the
machine), and checks:

- with the fixture page (VANTOR_LAUNCHER_UI): the page says "ready" and gets
  the launcher's state document; a launch option with non-ASCII text, U+2028,
  quotes and "</script>" sent with "setPrefs" comes back exactly in the next
  state, while a message that is not text and a JSON array sent before it are
  ignored; a screenshot shows the page (not blank, the state's green bar);
  typing reaches the page; links open once in the "browser" (a stand-in
  xdg-open) and the page stays; "drag" moves the window; "minimize"
  iconifies; a second start brings the window back with the keyboard on the
  page and exits 0; a killed web process is logged and followed by a reload
  that says "ready" again and gets the state, and a web process that keeps
  dying ends the launcher with exit code 1; a termination signal closes it
  with 0; the context menu appears only with VANTOR_LAUNCHER_DEVTOOLS;
- with the page built in (no VANTOR_LAUNCHER_UI): the home screen gets its
  state, the window draws the starfield (stars shine and move where the page
  shows nothing) with its window module and WebKitGTK loaded, the keyboard
  alone reaches the settings page and changes a setting the launcher saves,
  screenshots of both are kept, and QUIT ends the launcher;
- without a display, --ui=gtk exits 1 with the reason and --ui=auto serves
  the browser and prints its address.

The fixture page reports what it sees by asking for https addresses, which the
launcher hands to the stand-in browser that records them.
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURE = os.path.join(HERE, "fixture")
# What the fixture page sends as a launch option (fixture/launcher.js).
ROUND_TRIP_TEXT = 'Grüße \u2028 "quoted" </script> \\ end'
failures = []
checks_run = [0]


def check(condition, what):
    checks_run[0] += 1
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def run(*cmd, env=None, timeout=20):
    return subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=timeout)


def wait_for(predicate, timeout=20.0, step=0.1):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


class Launcher:
    """One launcher process; its standard output and error are collected line by line."""

    def __init__(self, exe, env, args=()):
        self.proc = subprocess.Popen([exe, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, text=True)
        self.lines = []
        self.err = []
        self.lock = threading.Lock()
        threading.Thread(target=self._read, args=(self.proc.stdout, self.lines), daemon=True).start()
        threading.Thread(target=self._read, args=(self.proc.stderr, self.err), daemon=True).start()

    def _read(self, stream, into):
        for line in stream:
            with self.lock:
                into.append(line.rstrip("\n"))

    def first_line(self):
        with self.lock:
            return self.lines[0] if self.lines else None

    def end(self, timeout=20):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait()
        if code != 0:
            # A sanitizer's report or an abort's reason is only ever on standard error.
            with self.lock:
                tail = self.err[-60:]
            print(f"launcher exited with {code}; the end of its standard error:\n  " + "\n  ".join(tail))
        return code


def window_id():
    r = run("xdotool", "search", "--onlyvisible", "--class", "VantorLauncher")
    ids = r.stdout.split()
    return ids[0] if ids else None


def geometry(wid):
    r = run("xdotool", "getwindowgeometry", "--shell", wid)
    values = dict(line.split("=", 1) for line in r.stdout.split() if "=" in line)
    return {k: int(v) for k, v in values.items() if k in ("X", "Y", "WIDTH", "HEIGHT")}


def wm_state(wid):
    return run("xprop", "-id", wid, "WM_STATE").stdout


def pixel(png, x, y):
    out = run("convert", png, "-format", "%%[fx:int(255*p{%d,%d}.r)],%%[fx:int(255*p{%d,%d}.g)],"
              "%%[fx:int(255*p{%d,%d}.b)]" % (x, y, x, y, x, y), "info:").stdout
    return tuple(int(v) for v in out.split(","))


def screenshot(path):
    run("import", "-window", "root", path)
    deviation = run("convert", path, "-format", "%[fx:standard_deviation]", "info:").stdout
    return float(deviation or 0)


def click(wid, x, y):
    run("xdotool", "mousemove", "--window", wid, str(x), str(y), "click", "1")


MARK = "https://example.com/mark"


def mark(wid, record):
    """Clicks the fixture's marker link and waits until it was opened. The
    launcher decides a page's navigations in order, so whatever the clicks and
    keys before it were going to open has been started by then."""
    before = opened(record).count(MARK)
    click(wid, 1190, 160)
    return check(wait_for(lambda: opened(record).count(MARK) > before, 10), "the marker link opened")


def green_bar_shot(path, wid):
    """Screenshots until the state's green bar shows (the page has painted its
    state); the last screenshot's deviation and the bar's colour."""
    def shot():
        deviation = screenshot(path)
        g = geometry(wid)
        colour = pixel(path, g.get("X", 0) + 640, g.get("Y", 0) + 400)
        return (deviation, colour) if colour[1] > 150 and colour[0] < 80 else None
    found = wait_for(shot, 10, step=0.2)
    if found:
        return found
    deviation = screenshot(path)
    g = geometry(wid)
    return deviation, pixel(path, g.get("X", 0) + 640, g.get("Y", 0) + 400)


def process_state(pid):
    """The state letter of /proc/PID/stat ("R", "S", "Z"...), or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return None
    # The name in parentheses may hold spaces and parentheses itself.
    return stat[stat.rindex(")") + 2:].split(" ", 1)[0]


def web_processes(pid):
    """Pids of the live WebKit web processes below `pid`: one killed before may
    linger as a zombie until it is reaped, and killing that would do nothing."""
    out = run("ps", "-e", "-o", "pid=,ppid=,comm=").stdout
    children = {}
    for line in out.splitlines():
        p, pp, comm = line.split(None, 2)
        children.setdefault(int(pp), []).append((int(p), comm))
    found, todo = [], [pid]
    while todo:
        for child, comm in children.get(todo.pop(), []):
            todo.append(child)
            if comm.startswith("WebKitWebProces") and process_state(child) not in (None, "Z", "X"):
                found.append(child)
    return found


def kill_web_processes(pid):
    """Kills every live web process of the launcher `pid` (its page's, and a
    spare one WebKit may keep ready); the pids killed."""
    pids = wait_for(lambda: web_processes(pid), 10) or []
    for p in pids:
        try:
            os.kill(p, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return pids


REPORT_PREFIX = "https://report.invalid/"


def opened(record):
    try:
        with open(record) as f:
            return f.read().splitlines()
    except OSError:
        return []


def opened_links(record):
    """What the stand-in browser was asked to open, less the page's reports and the test's marker."""
    return [l for l in opened(record) if not l.startswith(REPORT_PREFIX) and l != MARK]


def reports(record, kind):
    """The fixture page's reports of one kind, decoded, in order."""
    found = []
    for line in opened(record):
        if line.startswith(REPORT_PREFIX + kind + "?"):
            found.append(json.loads(urllib.parse.unquote(line.split("?", 1)[1])))
    return found


def make_env(root):
    env = dict(os.environ)
    for name, sub in (("HOME", "home"), ("XDG_DATA_HOME", "data"), ("XDG_CONFIG_HOME", "config"),
                      ("XDG_CACHE_HOME", "cache"), ("XDG_RUNTIME_DIR", "run"), ("TMPDIR", "tmp")):
        os.makedirs(os.path.join(root, sub), mode=0o700, exist_ok=True)
        env[name] = os.path.join(root, sub)
    # A stand-in browser: records each address it is asked to open.
    bindir = os.path.join(root, "bin")
    os.makedirs(bindir, exist_ok=True)
    record = os.path.join(root, "opened.txt")
    with open(os.path.join(bindir, "xdg-open"), "w") as f:
        f.write('#!/bin/sh\nprintf "%%s\\n" "$*" >> "%s"\n' % record)
    os.chmod(os.path.join(bindir, "xdg-open"), 0o755)
    env["PATH"] = bindir + ":" + env["PATH"]
    env["VANTOR_LAUNCHER_UI"] = FIXTURE
    env.pop("VANTOR_LAUNCHER_DEVTOOLS", None)
    # A feed that is a missing local folder: the update check fails at once
    # and nothing reaches beyond this machine.
    env["VANTOR_UPDATE_FEED"] = os.path.join(root, "no-feed")
    return env, record


def data_file(env, *parts):
    return os.path.join(env["XDG_DATA_HOME"], "Vantor", *parts)


def read_text(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError:
        return ""


def read_json(path):
    try:
        return json.loads(read_text(path))
    except ValueError:
        return None


def log_text(env):
    return read_text(data_file(env, "logs", "launcher.log"))


def start_window_manager(root):
    """Openbox, in folders of its own; waits until it manages the screen."""
    env, _ = make_env(os.path.join(root, "wm"))
    log = open(os.path.join(root, "openbox.log"), "w+")
    wm = subprocess.Popen(["openbox", "--sm-disable"], stdout=log, stderr=subprocess.STDOUT, env=env)
    managed = lambda: "window id" in run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK").stdout
    ok = wait_for(lambda: managed() or wm.poll() is not None, 60) and managed()
    if not ok:
        log.seek(0)
        print("openbox (exit %s) said: %s" % (wm.poll(), log.read()[-2000:]))
    check(ok, "the window manager runs")
    return wm


def window_checks(exe, shots, root):
    env, record = make_env(root)
    app = Launcher(exe, env, ["--ui=gtk"])
    try:
        loaded = lambda: len(reports(record, "loaded"))
        check(wait_for(lambda: reports(record, "state"), 20), "the page loaded, said ready and got a state")
        state = reports(record, "state")[:1]
        check(state == [{"type": "state", "version": "1.0.0", "launchOptions": ""}],
              "it is the launcher's state document: %s" % state)
        check(wait_for(lambda: reports(record, "roundtrip"), 10), "the launch option came back in a state")
        trip = reports(record, "roundtrip")[:1]
        check(trip and trip[0]["launchOptions"] == ROUND_TRIP_TEXT,
              "non-ASCII text, U+2028, quotes and </script> went to the launcher and back unchanged: %r" % trip)
        check(trip and trip[0]["reduceMotion"] is False and trip[0]["autoUpdateGame"] is True,
              "a message that is not text, and a JSON array, were ignored: %s" % trip)
        prefs = wait_for(lambda: (read_json(data_file(env, "launcher.json")) or {}).get("launchOptions") == ROUND_TRIP_TEXT
                         and read_json(data_file(env, "launcher.json")), 10)
        check(prefs and prefs.get("reduceMotion") is False and prefs.get("autoUpdateGame") is True,
              "and the launcher saved that text, and only that, in launcher.json: %s" % prefs)
        check(wait_for(lambda: reports(record, "probe"), 10), "the page probed a missing file")
        probe = reports(record, "probe")[:1]
        check(probe == [{"status": 404, "type": "application/octet-stream", "cache": "no-store", "length": 0}],
              "a missing page file answers 404, application/octet-stream, no-store, no body: %s" % probe)

        wid = wait_for(window_id, 10)
        if not check(wid, "the window has the class VantorLauncher"):
            return
        g = geometry(wid)
        check(g.get("WIDTH") == 1280 and g.get("HEIGHT") == 760, "the window is 1280 x 760: %s" % g)
        check(g.get("X") == 160 and g.get("Y") == 70, "the window is centred on the 1600 x 900 screen: %s" % g)
        props = run("xprop", "-id", wid, "_NET_WM_NAME", "WM_CLASS", "_MOTIF_WM_HINTS").stdout
        check('"Astrane: Vantor"' in props, "the title is Astrane: Vantor")
        icon = run("xprop", "-id", wid, "_NET_WM_ICON").stdout
        check("Icon (128 x 128)" in icon, "the window carries the launcher's icon")
        check("_MOTIF_WM_HINTS" in props and "not found" not in props.split("_MOTIF_WM_HINTS")[1][:30],
              "the window asks for no decorations")

        shot = os.path.join(shots, "window.png")
        deviation, green = green_bar_shot(shot, wid)
        check(deviation > 0.05, "screenshot %s is not blank (deviation %.3f)" % (shot, deviation))
        check(green[1] > 150 and green[0] < 80, "the state's bar is green in the screenshot: %s" % (green,))

        # The keyboard reaches the page.
        click(wid, 390, 85)
        run("xdotool", "type", "--delay", "30", "hello")
        check(wait_for(lambda: "hello" in reports(record, "typed"), 10), "typing reaches the page")

        # Links: https opens once in the browser and the page stays; the rest is dropped.
        expected = []
        for x, link in ((120, "https://example.com/blank-target"), (340, "https://example.com/window-open"),
                        (560, "https://example.com/navigate-away")):
            click(wid, x, 160)
            expected.append(link)
            wait_for(lambda: len(opened_links(record)) >= len(expected), 10)
        click(wid, 780, 160)   # mailto:
        click(wid, 1000, 160)  # http:
        mark(wid, record)      # anything those clicks opened, once or twice, has been started
        check(opened_links(record) == expected, "each https link opened exactly once, nothing else: %s"
              % opened_links(record))
        check(loaded() == 1, "the page stayed (no second load)")

        # "drag": the window follows the pointer. The pointer moves on in small
        # steps until the window has followed (the drag starts once the page's
        # "drag" has come back through the launcher) or a deadline passes.
        before = geometry(wid)
        x0, y0 = before.get("X", 0) + 600, before.get("Y", 0) + 20
        run("xdotool", "mousemove", str(x0), str(y0), "mousedown", "1")
        moved = None
        end = time.monotonic() + 10
        step = 0
        while not moved and time.monotonic() < end:
            step += 1
            run("xdotool", "mousemove", str(x0 + 2 * min(step, 60)), str(y0 + min(step, 60)))
            now = geometry(wid)
            moved = now if now != before else None
        run("xdotool", "mouseup", "1")
        check(moved, "dragging the title area moves the window: %s -> %s" % (before, geometry(wid)))

        # "minimize" iconifies; activation brings the window back with the keyboard on the page.
        g = geometry(wid)
        all_windows = run("xdotool", "search", "--class", "VantorLauncher").stdout.split()
        click(wid, 120, 90)
        check(wait_for(lambda: "Iconic" in wm_state(wid), 10), "minimize iconified the window")
        second = run(exe, "--ui=gtk", env=env, timeout=30)
        check(second.returncode == 0, "a second start exits 0 (%d: %s)" % (second.returncode, second.stderr.strip()))
        check(wait_for(lambda: "Normal" in wm_state(wid), 10), "activation restored the window")
        check(len(run("xdotool", "search", "--class", "VantorLauncher").stdout.split()) == len(all_windows),
              "and the second start opened no window of its own")
        wait_for(lambda: run("xdotool", "getactivewindow").stdout.strip() == wid, 10)

        def typed_z():
            # Again until it lands: the focus may reach the view a moment after the window.
            run("xdotool", "type", "z")
            return wait_for(lambda: "z" in reports(record, "key"), 1)
        check(wait_for(typed_z, 10, step=0), "after activation the keyboard reaches the page without a click")

        # A killed web process: logged, page reloaded, "ready" again. The four
        # deaths follow each other as soon as each reload is in, so they fall
        # well inside the minute that allows three reloads.
        first_kill = time.monotonic()
        pids = kill_web_processes(app.proc.pid)
        if check(pids, "the web process was found: %s" % pids):
            check(wait_for(lambda: loaded() == 2, 20), "after a killed web process the page loaded again")
            check(wait_for(lambda: len(reports(record, "state")) == 2, 20), "and said ready and got the state again")
            again = reports(record, "state")[1:2]
            check(again and again[0]["launchOptions"] == ROUND_TRIP_TEXT,
                  "the state after the reload still holds the launch option: %s" % again)
            check("[error]" in log_text(env) and "web process" in log_text(env), "the death was logged at error")
            shot = os.path.join(shots, "window-after-reload.png")
            deviation, green = green_bar_shot(shot, wid)
            check(deviation > 0.05 and green[1] > 150, "screenshot %s shows the reloaded page" % shot)

        # Three more deaths within the minute: two reloads, then the launcher gives up with 1.
        for n in (3, 4):
            check(kill_web_processes(app.proc.pid), "a web process to kill for death %d" % (n - 1))
            check(wait_for(lambda: loaded() == n, 20), "reload %d after death %d" % (n - 1, n - 1))
        check(kill_web_processes(app.proc.pid), "a web process to kill for death 4")
        span = time.monotonic() - first_kill
        # Far inside the minute, or the limit could not be told from the clock.
        check(span < 45, "the four deaths came within 45 s (%.1f s)" % span)
        try:
            code = app.proc.wait(20)
        except subprocess.TimeoutExpired:
            code = None
        check(code == 1, "the fourth death within a minute ends the launcher with exit code 1 (%s)" % code)
        check("within a minute" in log_text(env), "and says so in the log at error")
    finally:
        app.end()


def close_check(exe, root):
    env, record = make_env(root)
    app = Launcher(exe, env, ["--ui=gtk"])
    try:
        check(wait_for(lambda: reports(record, "state"), 20), "a second run loads the page")
        app.proc.send_signal(signal.SIGTERM)
        try:
            code = app.proc.wait(15)
        except subprocess.TimeoutExpired:
            code = None
        check(code == 0, "a termination signal closes the window and the launcher exits 0 (%s)" % code)
        check(window_id() is None, "no window is left")
    finally:
        app.end()


def mean_difference(a, b):
    """How different two screenshots are, 0 (same) to 1."""
    out = run("compare", "-metric", "MAE", a, b, "null:").stderr
    m = re.search(r"\(([0-9.e-]+)\)", out)
    return float(m.group(1)) if m else 0.0


def settled_screenshot(path, not_before=0.0, timeout=8.0):
    """Screenshots until three in a row barely differ (the starfield alone
    changes little) and not before not_before (time.monotonic()), or until
    the time is up; the last one's deviation. One quiet pair is not enough:
    the home screen's entrance pauses while its mark settles, before the
    menu fades in."""
    previous = path + ".previous.png"
    screenshot(previous)
    end = max(time.monotonic(), not_before) + timeout
    quiet = 0
    while True:
        deviation = screenshot(path)
        change = mean_difference(previous, path)
        quiet = quiet + 1 if change < SETTLED else 0
        if (quiet >= 2 and time.monotonic() >= not_before) or time.monotonic() > end:
            break
        shutil.copyfile(path, previous)
        time.sleep(0.3)  # the pace of the screenshots, not a wait for anything
    os.remove(previous)
    print("     %s: %s after the last screenshot changed by %.4f" % (os.path.basename(path),
          "settled" if quiet >= 2 else "still moving", change), flush=True)
    return deviation


# The home screen's entrance (launcher.css, #home.enter) starts when the first
# state arrives: the menu's last entry and the detail area have faded in 2.4 s
# later. 0.6 s more for the state's way from the log line to the web process.
HOME_ENTRANCE_S = 3.0

# Two screenshots of a page at rest differ less than this (mean absolute error, 0 to 1).
SETTLED = 0.004


def field_part(shot, wid, name):
    """The right half of the window below the title bar, where the home screen
    shows only the starfield, cut from a screenshot of the screen."""
    geometry = dict(line.split("=", 1) for line in run("xdotool", "getwindowgeometry", "--shell", wid).stdout.split())
    x, y, w, h = (int(geometry[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
    part = os.path.join(os.path.dirname(shot), name)
    run("convert", shot, "-crop", "%dx%d+%d+%d" % (w // 2 - 60, h - 200, x + w // 2 + 20, y + 60), part)
    return part


def field_checks(app, wid, shots):
    """The window draws the starfield itself (the page draws none in it), from
    the window module, which the window's launcher alone has loaded."""
    try:
        with open("/proc/%d/maps" % app.proc.pid) as f:
            maps = f.read()
    except OSError:
        maps = ""
    check("memfd:vantor-window" in maps and "libwebkit2gtk-4.1.so" in maps,
          "the window's launcher has loaded its window module and WebKitGTK")
    first = os.path.join(shots, "field-1.png")
    second = os.path.join(shots, "field-2.png")
    screenshot(first)
    a = field_part(first, wid, "field-a.png")
    lit = float(run("convert", a, "-format", "%[fx:maxima]", "info:").stdout or 0)
    check(lit > 0.15, "stars shine where the page shows nothing (brightest %.2f)" % lit)

    def moved():
        screenshot(second)
        return mean_difference(a, field_part(second, wid, "field-b.png")) > 0.0005

    check(wait_for(moved, 10, 0.3), "and they move")
    for f in (first, second, a, os.path.join(shots, "field-b.png")):
        if os.path.exists(f):
            os.remove(f)


def page_checks(exe, shots, root):
    """The page built into the launcher, driven by the keyboard alone."""
    env, _ = make_env(root)
    env.pop("VANTOR_LAUNCHER_UI")
    app = Launcher(exe, env, ["--ui=gtk"])
    try:
        # The update check starts when the page says "ready", right after the
        # state was sent; its log line says the page is up.
        check(wait_for(lambda: "Feed " in log_text(env), 30), "the built-in page said ready")
        entrance_over = time.monotonic() + HOME_ENTRANCE_S
        wid = wait_for(window_id, 10)
        if not check(wid, "the window is up"):
            return
        run("xdotool", "windowactivate", "--sync", wid)
        home = os.path.join(shots, "page-home.png")
        check(settled_screenshot(home, entrance_over) > 0.05, "screenshot %s is not blank" % home)
        field_checks(app, wid, shots)

        # The page ignores keys until it has a state: reaching the settings
        # page and changing a setting shows that it got one. The state went to
        # the web process before the log line above, and the keys follow it
        # there in order; the page handles each key at once.
        run("xdotool", "key", "Down", "Down", "Return", "Right")  # SETTINGS; Window mode: Windowed -> Borderless
        saved = lambda: ((read_json(data_file(env, "settings.json")) or {}).get("display") or {}).get("windowMode")
        check(wait_for(lambda: saved() == "borderless", 10),
              "the state reached the page: Right on Window mode saved \"borderless\" (%s)" % saved())
        settings = os.path.join(shots, "page-settings.png")
        check(settled_screenshot(settings) > 0.05, "screenshot %s is not blank" % settings)
        check(mean_difference(home, settings) > 0.01, "the settings page looks different from the home screen")

        # Back home and down to QUIT: the launcher ends with 0.
        run("xdotool", "key", "Escape", "Down", "Down", "Return")  # from SETTINGS: DATA, QUIT
        try:
            code = app.proc.wait(15)
        except subprocess.TimeoutExpired:
            code = None
        check(code == 0, "QUIT on the home screen ends the launcher with 0 (%s)" % code)
    finally:
        app.end()


def visible_windows():
    return len(run("xdotool", "search", "--onlyvisible", "--name", ".*").stdout.split())


def context_menu_checks(exe, root):
    """The context menu (and with it the inspector) only with VANTOR_LAUNCHER_DEVTOOLS."""
    for devtools in (False, True):
        env, record = make_env(os.path.join(root, "devtools" if devtools else "plain"))
        if devtools:
            env["VANTOR_LAUNCHER_DEVTOOLS"] = "1"
        app = Launcher(exe, env, ["--ui=gtk"])
        try:
            wait_for(lambda: reports(record, "state"), 20)
            wid = wait_for(window_id, 10)
            before = visible_windows()
            run("xdotool", "mousemove", "--window", wid, "700", "600", "click", "3")
            if devtools:
                check(wait_for(lambda: visible_windows() > before, 5),
                      "with VANTOR_LAUNCHER_DEVTOOLS a right click opens the context menu")
            else:
                mark(wid, record)  # the right click has been decided by then
                check(visible_windows() == before, "without VANTOR_LAUNCHER_DEVTOOLS a right click opens nothing")
        finally:
            app.end()


def no_display_checks(exe, root):
    env, _ = make_env(root)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    r = run(exe, "--ui=gtk", env=env, timeout=30)
    check(r.returncode == 1 and "display" in r.stderr.lower(),
          "--ui=gtk without a display exits 1 and says why: %d %r" % (r.returncode, r.stderr.strip()))
    check("[error]" in log_text(env), "and logs it at error")

    app = Launcher(exe, env, ["--ui=auto"])
    try:
        line = wait_for(app.first_line, 15)
        check(line and re.fullmatch(r"http://127\.0\.0\.1:\d+/\?token=[0-9a-f]{32}", line),
              "--ui=auto without a display serves the browser and prints its address: %r" % line)
        check("token=" not in log_text(env), "the token is not in the log")
    finally:
        check(app.end() == 0, "browser mode ends with exit 0 on a termination signal")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--launcher", required=True)
    ap.add_argument("--shots", required=True, help="folder for the screenshots")
    args = ap.parse_args()
    if not os.environ.get("DISPLAY"):
        sys.exit("run under xvfb-run")
    os.makedirs(args.shots, exist_ok=True)
    root = tempfile.mkdtemp(prefix="vantor-desktop-")
    wm = start_window_manager(root)
    try:
        window_checks(args.launcher, args.shots, os.path.join(root, "a"))
        close_check(args.launcher, os.path.join(root, "b"))
        context_menu_checks(args.launcher, os.path.join(root, "d"))
        page_checks(args.launcher, args.shots, os.path.join(root, "e"))
        no_display_checks(args.launcher, os.path.join(root, "c"))
    finally:
        wm.terminate()
        wm.wait()
        shutil.rmtree(root, ignore_errors=True)
    passed = checks_run[0] - len(failures)
    print("desktop: %d passed, %d failed" % (passed, len(failures)))
    if failures:
        for what in failures:
            print("  failed: " + what)
        sys.exit(1)

if __name__ == "__main__":
    main()
