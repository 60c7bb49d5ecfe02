// A launcher that ends while one of its threads is still busy lets go of its
// instance lock before it is gone; a launcher started with the same --port
// right then (as the restart after a self-update is) must find the port free.
//
// The first launcher's update check hangs on a feed that accepts and never
// answers, so the first launcher is still shutting down, deterministically,
// while the second binds.
//
//   LAUNCHER=/path/to/vantor-launcher node --test port_handover.test.js
'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { waitFor, privateEnv, startLauncher } = require('./launcher_process');

const launcherPath = process.env.LAUNCHER;

function listen(server) {
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server.address().port)));
}

// A port that was free a moment ago.
async function freePort() {
  const probe = net.createServer();
  const port = await listen(probe);
  await new Promise((resolve) => probe.close(resolve));
  return port;
}

function request(origin, method, target, headers, body) {
  return new Promise((resolve, reject) => {
    const url = new URL(origin);
    // A connection of its own each time, as a new page would open: one kept
    // alive reaches the launcher it was opened to, closed or not.
    const req = http.request({ host: url.hostname, port: url.port, method, path: target, headers, agent: false },
      (res) => {
        let body = '';
        res.setEncoding('utf8');
        res.on('data', (chunk) => { body += chunk; });
        res.on('end', () => resolve(Object.assign(res, { body })));
      });
    req.on('error', reject);
    req.end(body);
  });
}

// Opens the printed address and trades its token for a session, as the page's bridge does.
async function signIn(address) {
  const page = await request(address.origin, 'GET', address.pathname + address.search, {});
  assert.equal(page.statusCode, 200);
  const answer = await request(address.origin, 'POST', '/bridge/session',
    { 'X-Vantor-Token': address.searchParams.get('token'), Origin: address.origin });
  assert.equal(answer.statusCode, 200);
  const { session } = JSON.parse(answer.body);
  assert.match(session, /^[0-9a-f]{64}$/);
  return session;
}

test('a launcher restarted on the same --port binds it while the first is still shutting down', async () => {
  assert.ok(launcherPath, 'set LAUNCHER to the launcher to test');
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'vantor-handover-'));
  const held = [];
  let stalling = true;
  // Accepts and never answers, until told to stop; then it closes at once.
  const feed = net.createServer((socket) => (stalling ? held.push(socket) : socket.destroy()));
  const release = () => {
    stalling = false;
    for (const socket of held) socket.destroy();
  };
  const feedPort = await listen(feed);
  let first;
  let second;
  try {
    const port = await freePort();
    const env = privateEnv(home, {
      VANTOR_LAUNCHER_UI: path.join(__dirname, 'fixture'),
      VANTOR_UPDATE_FEED: `http://127.0.0.1:${feedPort}/feed`,
    });
    first = startLauncher(launcherPath, env, { port });
    const address = new URL(await first.address());
    assert.equal(address.port, String(port));

    // Signed in, the page says "ready": the update check starts, and hangs.
    const session = await signIn(address);
    const ready = await request(address.origin, 'POST', '/bridge/cmd',
      { 'X-Vantor-Session': session, Origin: address.origin }, JSON.stringify({ cmd: 'ready' }));
    assert.equal(ready.statusCode, 204);
    await waitFor(() => held.length > 0, 'the update check to reach the feed');

    first.child.kill('SIGTERM');
    // As after a self-update: --updated waits for the lock instead of handing over.
    second = startLauncher(launcherPath, env, { port, args: ['--updated'] });
    const outcome = await Promise.race([second.address(), second.ended.then((code) => ({ code }))]);
    assert.equal(typeof outcome, 'string', `the second launcher ended (${JSON.stringify(outcome)}) instead of serving`);
    assert.equal(new URL(outcome).port, String(port));
    // The case this is about: the first had not ended yet.
    assert.equal(first.exited, null, 'the first launcher was gone before the second bound: nothing was tested');
    // And the port is the second's: its own token signs in there, and the first's session is worth nothing.
    const secondAddress = new URL(outcome);
    const secondSession = await signIn(secondAddress);
    assert.notEqual(secondSession, session);
    const stale = await request(secondAddress.origin, 'POST', '/bridge/cmd',
      { 'X-Vantor-Session': session, Origin: secondAddress.origin }, JSON.stringify({ cmd: 'ready' }));
    assert.equal(stale.statusCode, 403);

    await second.stop();
    assert.equal(second.exited, 0);
    // Let the first's check fail; then it ends as a closed launcher does.
    release();
    assert.equal(await first.ended, 0);
  } finally {
    release();
    if (second) await second.stop();
    if (first) await first.stop();
    feed.close();
    fs.rmSync(home, { recursive: true, force: true });
  }
});
