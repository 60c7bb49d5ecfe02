#!/usr/bin/env python3
"""The NSIS installer under wine: a silent install and uninstall (/S).

    installer_test.py VantorSetup.exe     (WINEPREFIX and a running wineserver
                                           come from scripts/wine_tests.sh)

Checks that the install puts the launcher, update.json, install.json and
unins000.exe into %LOCALAPPDATA%\\Programs\\Vantor, a Start menu entry, and the
uninstall entry with EstimatedSize; that the installed launcher reads its
mode as "installed" (its headless page's first state document); and that the
silent uninstall removes all of it but the player's data folder. Prints one
line per check and 'N passed, N failed'."""

import json
import os
import subprocess
import sys
import time

KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantor_is1"


def wine_path(windows_path):
    return subprocess.run(["winepath", "-u", windows_path], capture_output=True, text=True,
                          check=True).stdout.strip()


def windows_env(name):
    out = subprocess.run(["wine", "cmd", "/c", "echo", f"%{name}%"], capture_output=True, text=True,
                         errors="replace", check=True).stdout
    return out.strip().splitlines()[-1].strip()


def reg_value(name):
    p = subprocess.run(["wine", "reg", "query", KEY, "/v", name], capture_output=True, text=True, errors="replace")
    if p.returncode != 0:
        return None
    for line in p.stdout.splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[0] == name:
            return parts[2].strip()
    return None


def first_state(exe, folder):
    """The mode the installed launcher reports in its first state document."""
    env = dict(os.environ, VANTOR_HEADLESS_PAGE="stdio", VANTOR_UPDATE_FEED="")
    p = subprocess.Popen(["wine", exe], cwd=folder, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True, errors="replace")
    try:
        p.stdin.write('{"cmd":"ready"}\n')
        p.stdin.flush()
        deadline = time.time() + 60
        while time.time() < deadline:
            line = p.stdout.readline()
            if not line:
                break
            try:
                message = json.loads(line)
            except ValueError:
                continue
            if isinstance(message, dict) and message.get("type") == "state":
                return message
        return None
    finally:
        p.stdin.close()  # the end of input closes the headless launcher
        try:
            p.wait(timeout=30)
        except subprocess.TimeoutExpired:
            p.kill()


def main():
    setup = sys.argv[1]
    if not os.environ.get("WINEPREFIX"):
        sys.exit("run through scripts/wine_tests.sh (WINEPREFIX unset)")
    results = []

    def check(name, ok, detail=""):
        results.append(bool(ok))
        print(f"{'PASS' if ok else 'FAIL'}  {name}{'' if ok else ': ' + str(detail)}", flush=True)

    local = windows_env("LOCALAPPDATA")
    appdata = windows_env("APPDATA")
    folder = wine_path(local + r"\Programs\Vantor")
    shortcut = wine_path(appdata + r"\Microsoft\Windows\Start Menu\Programs\Astrane Vantor.lnk")

    code = subprocess.run(["wine", setup, "/S"], capture_output=True, timeout=300).returncode
    check("silent install exits 0", code == 0, f"exit {code}")
    names = ["vantor-launcher.exe", "update.json", "install.json", "unins000.exe"]
    missing = [n for n in names if not os.path.isfile(os.path.join(folder, n))]
    check("launcher, update.json, install.json and unins000.exe installed", not missing, f"missing {missing} in {folder}")
    for name in ("update.json", "install.json"):
        try:
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                ok = isinstance(json.load(f), dict)
        except (OSError, ValueError) as e:
            ok = False
        check(f"{name} is a JSON object", ok)
    check("Start menu entry", os.path.isfile(shortcut), shortcut)
    size = reg_value("EstimatedSize")
    exe_kib = os.path.getsize(os.path.join(folder, "vantor-launcher.exe")) // 1024 if not missing else 0
    check("uninstall entry with EstimatedSize in KiB", size is not None and int(size, 16 if size.startswith("0x") else 10) >= exe_kib > 0,
          f"EstimatedSize {size}, launcher {exe_kib} KiB")
    check("uninstall entry names unins000.exe", "unins000.exe" in (reg_value("UninstallString") or ""))
    state = first_state(os.path.join(folder, "vantor-launcher.exe"), folder)
    check("the installed launcher runs in installed mode", state is not None and state.get("mode") == "installed",
          "no state document" if state is None else f"mode {state.get('mode')!r}")

    data = wine_path(local + r"\Vantor")
    os.makedirs(data, exist_ok=True)
    with open(os.path.join(data, "settings.json"), "w") as f:
        f.write("{}\n")
    code = subprocess.run(["wine", os.path.join(folder, "unins000.exe"), "/S"], capture_output=True,
                          timeout=300).returncode
    # The uninstaller copies itself away and goes on from there: wait for it.
    deadline = time.time() + 120
    while os.path.exists(folder) and time.time() < deadline:
        time.sleep(0.2)
    check("silent uninstall exits 0", code == 0, f"exit {code}")
    check("uninstall removes the program folder", not os.path.exists(folder),
          os.listdir(folder) if os.path.isdir(folder) else "")
    check("uninstall removes the Start menu entry", not os.path.exists(shortcut))
    check("uninstall removes the uninstall entry", reg_value("DisplayName") is None)
    check("a silent uninstall keeps the player's settings", os.path.isfile(os.path.join(data, "settings.json")))
    passed = sum(results)
    print(f"installer: {passed} passed, {len(results) - passed} failed")
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
