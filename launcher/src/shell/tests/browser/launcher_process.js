// The launcher in browser mode as the tests start it: folders of its own for
// every place it reads or writes, no display, and its printed address.
'use strict';
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

// Polls until `predicate` returns something truthy. The monotonic clock: a
// wall clock stepped forward (a paused VM) must not end the wait early.
function waitFor(predicate, what, timeoutMs = 15000) {
  return new Promise((resolve, reject) => {
    const start = performance.now();
    const poll = () => {
      const value = predicate();
      if (value) return resolve(value);
      if (performance.now() - start > timeoutMs) return reject(new Error('timed out waiting for ' + what));
      setTimeout(poll, 50);
    };
    poll();
  });
}

// An environment whose HOME, XDG folders and TMPDIR all lie under `dir`
// (created 0700), without a display, plus `extra`.
function privateEnv(dir, extra) {
  const env = { ...process.env, ...extra };
  delete env.DISPLAY;
  delete env.WAYLAND_DISPLAY;
  for (const [name, sub] of [['HOME', 'home'], ['XDG_DATA_HOME', 'data'], ['XDG_CONFIG_HOME', 'config'],
    ['XDG_CACHE_HOME', 'cache'], ['XDG_RUNTIME_DIR', 'run'], ['TMPDIR', 'tmp']]) {
    fs.mkdirSync(path.join(dir, sub), { recursive: true, mode: 0o700 });
    env[name] = path.join(dir, sub);
  }
  return env;
}

// Starts `exe --ui=browser --port PORT` (0: any free port) with `args` after
// that, through `runner` when given (['wine'] for a Windows build). The result's `exited` is null while it runs, then its exit code or,
// after a death by a signal, the signal's name; `ended` resolves to that;
// `address()` resolves to the printed http://127.0.0.1:PORT/?token=... line.
// Each address works once: `newAddress()` starts the launcher a second time,
// as a player would, which makes the running one print a new address (with a
// new token), and resolves to that.
function startLauncher(exe, env, { port = 0, args = [], runner = [] } = {}) {
  const lines = [];
  const run = (rest, options) => (runner.length ? spawn(runner[0], [...runner.slice(1), exe, ...rest], options)
    : spawn(exe, rest, options));
  const child = run(['--ui=browser', '--port', String(port), ...args], { env, stdio: ['ignore', 'pipe', 'inherit'] });
  const launcher = {
    child,
    exited: null,
    lines,
    ended: new Promise((resolve) => child.on('exit', (code, signal) => resolve(code ?? signal))),
    address: () => waitFor(() => lines.find((l) => l.startsWith('http://')), 'the printed address'),
    newAddress: async () => {
      const seen = lines.filter((l) => l.startsWith('http://')).length;
      const second = run(['--ui=browser', '--port', '0'], { env, stdio: 'ignore' });
      const code = await new Promise((resolve) => second.on('exit', (c, signal) => resolve(c ?? signal)));
      if (code !== 0) throw new Error('the second start ended with ' + code);
      return waitFor(() => lines.filter((l) => l.startsWith('http://'))[seen], 'a new printed address');
    },
    // Ends it with SIGTERM unless it has ended already; resolves once it has.
    stop: () => new Promise((resolve) => {
      if (launcher.exited !== null) return resolve();
      child.once('exit', () => resolve());
      child.kill('SIGTERM');
    }),
  };
  child.on('exit', (code, signal) => { launcher.exited = code ?? signal; });
  let partial = '';
  child.stdout.on('data', (chunk) => {
    // A Windows build ends its lines with CR LF.
    const parts = (partial + chunk.toString('utf8')).split(/\r?\n/);
    partial = parts.pop();
    lines.push(...parts);
  });
  return launcher;
}

module.exports = { waitFor, privateEnv, startLauncher };
