#!/usr/bin/env python3
"""The update server as it is deployed, on loopback: nginx serving a feed
folder and passing /api/ to the reference server's application (gunicorn on a
Unix socket). For the demo (scripts/run.sh) and the end-to-end tests.

    scripts/demo_servers.py --feed DIR --work DIR [--port N] [--name TEXT]

Prints the base address ("http://127.0.0.1:PORT", the feed and the account
server at once) as one line on standard output once /api/status answers
through nginx, then runs until SIGTERM or SIGINT, or until the process that
started it is gone, and stops both servers. The accounts live in WORK/data
and survive a restart; logs go to WORK/logs (nginx-access.log: one line per
answer, "END-TIME SECONDS STATUS BYTES "URI"").
"""

import argparse
import contextlib
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.request

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def nginx_conf(work, feed, port, sock):
    tmp = os.path.join(work, "nginx-tmp")
    os.makedirs(tmp, exist_ok=True)
    # Run by root, the worker would otherwise be "nobody", who cannot reach
    # a private folder's feed or socket.
    user = "user root;\n" if os.geteuid() == 0 else ""
    return f"""daemon off;
{user}worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/logs/nginx-error.log;
events {{ worker_connections 256; }}
http {{
  # When each answer ended, how long it took, what it was and how many bytes
  # went out: enough to measure a download's rate from outside the launcher.
  log_format timed '$msec $request_time $status $body_bytes_sent "$request_uri"';
  access_log {work}/logs/nginx-access.log timed;
  types {{ application/json json; text/plain sig; }}
  default_type application/octet-stream;
  sendfile on;
  client_body_temp_path {tmp}; proxy_temp_path {tmp}; fastcgi_temp_path {tmp};
  uwsgi_temp_path {tmp}; scgi_temp_path {tmp};
  server {{
    listen 127.0.0.1:{port};
    root {feed};
    location /api/ {{
      proxy_pass "http://unix:{sock}:";
      proxy_set_header X-Real-IP $remote_addr;
      proxy_set_header Host $host;
    }}
  }}
}}
"""


def answers(url):
    with contextlib.suppress(OSError):
        with urllib.request.urlopen(url, timeout=2) as r:
            return r.status == 200
    return False


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--feed", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--name", default="Vantor Demo Server")
    args = p.parse_args()
    feed = os.path.abspath(args.feed)
    work = os.path.abspath(args.work)
    for sub in ("logs", "data"):
        os.makedirs(os.path.join(work, sub), exist_ok=True)
    port = args.port or free_port()
    sock = os.path.join(work, "app.sock")
    with contextlib.suppress(FileNotFoundError):
        os.unlink(sock)

    env = {k: v for k, v in os.environ.items() if not k.startswith(("VANTOR_SERVER_", "GUNICORN_"))}
    env.update({"VANTOR_SERVER_DATA": os.path.join(work, "data"), "VANTOR_SERVER_NAME": args.name,
                "VANTOR_SERVER_ADDRESS": "", "VANTOR_SERVER_TRUST_PROXY": "1", "PYTHONDONTWRITEBYTECODE": "1"})
    parent = os.getppid()
    procs = []

    def stop(*_):
        for proc in reversed(procs):
            with contextlib.suppress(ProcessLookupError):
                proc.terminate()
        for proc in reversed(procs):
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        procs.append(subprocess.Popen(
            ["/usr/bin/gunicorn", "--bind", "unix:" + sock, "--workers", "2", "--pythonpath",
             os.path.join(REPO, "tools", "server"), "--graceful-timeout", "3", "--error-logfile",
             os.path.join(work, "logs", "gunicorn.log"), "--worker-tmp-dir", work, "vantor_server.wsgi:application"],
            cwd=work, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(nginx_conf(work, feed, port, sock))
        procs.append(subprocess.Popen(["/usr/sbin/nginx", "-p", work, "-c", conf],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        base = f"http://127.0.0.1:{port}"
        # Loaded machines take their time to start Python and its imports.
        deadline = time.monotonic() + 180
        while not answers(base + "/api/status"):
            ended = [name for name, proc in zip(("gunicorn", "nginx"), procs) if proc.poll() is not None]
            if time.monotonic() > deadline or ended:
                why = f"{' and '.join(ended)} ended" if ended else "no answer in 180 s"
                print(f"demo_servers: the servers did not come up ({why}); see " + os.path.join(work, "logs"),
                      file=sys.stderr)
                for log in ("gunicorn.log", "nginx-error.log"):
                    with contextlib.suppress(OSError), open(os.path.join(work, "logs", log)) as f:
                        sys.stderr.write(f"--- {log}\n" + "".join(f.readlines()[-15:]))
                stop()
            time.sleep(0.1)
        print(base, flush=True)
        while os.getppid() == parent and all(proc.poll() is None for proc in procs):
            time.sleep(0.5)
    finally:
        stop()


if __name__ == "__main__":
    main()
