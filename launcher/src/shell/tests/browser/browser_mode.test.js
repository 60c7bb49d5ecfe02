// Browser mode in a real browser: Debian's Chromium driven by Playwright
// against the launcher's shell (the echo harness until the launcher itself
// runs here: set LAUNCHER to its path, the checks stay the same).
//
//   LAUNCHER=/path/to/shell_echo_harness node --test
'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const launcherPath = process.env.LAUNCHER;
const chromiumArgs = ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync'];

let home;
let app;          // the launcher process
let lines = [];   // its standard output
let address;      // http://127.0.0.1:PORT/?token=...
let origin;
let browser;

function waitFor(predicate, what, timeoutMs = 15000) {
  return new Promise((resolve, reject) => {
    const start = Date.now();
    const poll = () => {
      const value = predicate();
      if (value) return resolve(value);
      if (Date.now() - start > timeoutMs) return reject(new Error('timed out waiting for ' + what));
      setTimeout(poll, 50);
    };
    poll();
  });
}

const commands = () => lines.filter((l) => l.startsWith('command ')).map((l) => JSON.parse(l.slice(8)));

before(async () => {
  assert.ok(launcherPath, 'set LAUNCHER to the program to test');
  home = fs.mkdtempSync(path.join(os.tmpdir(), 'vantor-browser-'));
  const env = { ...process.env, VANTOR_LAUNCHER_UI: path.join(__dirname, 'fixture') };
  for (const [name, sub] of [['HOME', 'home'], ['XDG_DATA_HOME', 'data'], ['XDG_CONFIG_HOME', 'config'],
    ['XDG_CACHE_HOME', 'cache'], ['XDG_RUNTIME_DIR', 'run'], ['TMPDIR', 'tmp']]) {
    fs.mkdirSync(path.join(home, sub), { recursive: true, mode: 0o700 });
    env[name] = path.join(home, sub);
  }
  app = spawn(launcherPath, ['--ui=browser', '--port', '0'], { env, stdio: ['ignore', 'pipe', 'inherit'] });
  let partial = '';
  app.stdout.on('data', (chunk) => {
    const text = partial + chunk.toString('utf8');
    const parts = text.split('\n');
    partial = parts.pop();
    lines.push(...parts);
  });
  address = await waitFor(() => lines.find((l) => l.startsWith('http://')), 'the printed address');
  assert.match(address, /^http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]{32}$/);
  origin = new URL(address).origin;
  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: chromiumArgs });
});

after(async () => {
  if (browser) await browser.close();
  if (app && app.exitCode === null) {
    const ended = new Promise((resolve) => app.once('exit', resolve));
    app.kill('SIGTERM');
    await ended;
  }
  fs.rmSync(home, { recursive: true, force: true });
});

async function openPage(context, suffix = '') {
  const page = await context.newPage();
  await page.goto(address);  // signs in: the cookie, then "/"
  if (suffix) await page.goto(origin + '/' + suffix);
  return page;
}

test('the token leaves the address bar and the cookie stays out of reach of script', async () => {
  const context = await browser.newContext();
  const page = await openPage(context);
  assert.equal(page.url(), origin + '/');
  assert.equal(await page.evaluate(() => document.cookie), '');
  const cookies = await context.cookies();
  assert.equal(cookies.length, 1);
  assert.equal(cookies[0].name, 'vantor_session_' + new URL(origin).port);
  assert.equal(cookies[0].httpOnly, true);
  assert.equal(cookies[0].sameSite, 'Strict');
  assert.notEqual(cookies[0].value, new URL(address).searchParams.get('token'));
  await context.close();
});

test('without the token or its cookie everything is refused', async () => {
  const context = await browser.newContext();
  const page = await context.newPage();
  for (const target of ['/', '/index.html', '/bridge/events', '/bridge/bridge.js', '/?token=' + '0'.repeat(32)]) {
    const response = await page.goto(origin + target);
    assert.equal(response.status(), 403, target);
  }
  await context.close();
});

test('the page gets the state, its commands arrive in order, pushes arrive', async () => {
  const context = await browser.newContext();
  const before = commands().length;
  const page = await openPage(context);
  await page.waitForFunction(() => window.received.some((m) => m.type === 'state'));
  const state = await page.evaluate(() => window.received.find((m) => m.type === 'state'));
  assert.equal(state.text, 'Grüße \u2028 "quoted" </script>');

  // Fifty commands sent at once, with text that must survive the trip.
  await page.evaluate(() => {
    for (let n = 0; n < 50; n++) window.send({ cmd: 'seq', n, text: 'é\u2028"' + n });
  });
  await waitFor(() => commands().slice(before).filter((c) => c.cmd === 'seq').length === 50, 'fifty commands');
  const seq = commands().slice(before).filter((c) => c.cmd === 'seq');
  assert.deepEqual(seq.map((c) => c.n), [...Array(50).keys()]);
  assert.equal(seq[7].text, 'é\u2028"7');
  // The echoes come back in the same order.
  await page.waitForFunction(() => window.received.filter((m) => m.type === 'echo').length === 50);
  const echoes = await page.evaluate(() => window.received.filter((m) => m.type === 'echo').map((m) => m.command.n));
  assert.deepEqual(echoes, [...Array(50).keys()]);

  await page.evaluate(() => window.send({ cmd: 'pushState', value: 'pushed' }));
  await page.waitForFunction(() => window.received.some((m) => m.type === 'state' && m.value === 'pushed'));
  // Text that is not a JSON object goes nowhere.
  await page.evaluate(() => {
    window.chrome.webview.postMessage('[{"cmd":"inArray"}]');
    window.chrome.webview.postMessage('not json');
    window.chrome.webview.postMessage({ cmd: 'notText' });
    window.send({ cmd: 'after' });
  });
  await waitFor(() => commands().some((c) => c.cmd === 'after'), 'the command after the ignored ones');
  assert.ok(!commands().some((c) => c.cmd === 'inArray' || c.cmd === 'notText'));
  await context.close();
});

// An event stream opened outside the browser, with the browser's cookie.
function openStream(cookie) {
  return new Promise((resolve, reject) => {
    const url = new URL(origin);
    const req = http.get({ host: url.hostname, port: url.port, path: '/bridge/events',
      headers: { Cookie: cookie.name + '=' + cookie.value } }, (res) => {
      assert.equal(res.statusCode, 200);
      res.once('data', () => resolve(req));
    });
    req.on('error', reject);
  });
}

test('a reconnected stream starts with the last state, and commands queued meanwhile arrive in order', async () => {
  const context = await browser.newContext();
  // The page's script arrives late, as on a slow machine: the state a new
  // stream starts with must still find the page listening.
  await context.route('**/launcher.js', async (route) => {
    await new Promise((resolve) => setTimeout(resolve, 1000));
    await route.continue();
  });
  const page = await openPage(context, '?quiet');
  // A new stream gets the last state without asking for it.
  await page.waitForFunction(() => window.received.some((m) => m.type === 'state'), null, { timeout: 10000 });

  // Cut the page off: its reconnections fail, and newer streams push its
  // current one out (the server keeps eight).
  await context.route('**/bridge/events', (route) => route.abort());
  const [cookie] = await context.cookies();
  const crowd = [];
  for (let i = 0; i < 8; i++) crowd.push(await openStream(cookie));
  const before = commands().length;
  await page.evaluate(() => { for (let n = 0; n < 10; n++) window.send({ cmd: 'queued', n }); });

  // Meanwhile another window changes the state.
  const other = await browser.newContext();
  const otherPage = await openPage(other, '?quiet');
  await otherPage.evaluate(() => window.send({ cmd: 'pushState', value: 'while away' }));
  await waitFor(() => commands().some((c) => c.cmd === 'pushState' && c.value === 'while away'), 'the push');
  await other.close();
  for (const req of crowd) req.destroy();
  await page.waitForTimeout(300);
  const missed = await page.evaluate(() => window.received.some((m) => m.value === 'while away'));
  assert.equal(missed, false, 'the cut-off page saw the push before it reconnected');

  await context.unroute('**/bridge/events');
  await page.waitForFunction(() => window.received.some((m) => m.type === 'state' && m.value === 'while away'),
    null, { timeout: 15000 });
  await waitFor(() => commands().slice(before).filter((c) => c.cmd === 'queued').length === 10, 'queued commands');
  const queued = commands().slice(before).filter((c) => c.cmd === 'queued').map((c) => c.n);
  assert.deepEqual(queued, [...Array(10).keys()]);
  await context.close();
});

test('a page on another loopback port can neither frame the launcher nor post to it', async () => {
  const hostile = http.createServer((req, res) => {
    res.setHeader('Content-Type', 'text/html');
    res.end(`<!doctype html><iframe id="f" src="${origin}/"></iframe>
      <script>
        window.posted = fetch('${origin}/bridge/cmd', { method: 'POST', mode: 'no-cors', credentials: 'include',
          body: '{"cmd":"fromHostile"}' }).then(() => 'sent', (e) => 'failed');
      </script>`);
  });
  await new Promise((resolve) => hostile.listen(0, '127.0.0.1', resolve));
  const context = await browser.newContext();
  try {
    // This browser holds the launcher's cookie, which a same-site page's requests would carry.
    const readyStart = commands().filter((c) => c.cmd === 'ready').length;
    await openPage(context);
    await waitFor(() => commands().filter((c) => c.cmd === 'ready').length === readyStart + 1, 'its own ready');
    const readyBefore = readyStart + 1;
    const page = await context.newPage();
    await page.goto(`http://127.0.0.1:${hostile.address().port}/`);
    await page.evaluate(() => window.posted);
    await page.waitForTimeout(1500);
    const framed = page.frames().find((f) => f !== page.mainFrame());
    const framedReady = framed ? await framed.evaluate(() => typeof window.received).catch(() => 'blocked') : 'none';
    assert.notEqual(framedReady, 'object', 'the launcher page ran inside the frame');
    assert.equal(commands().filter((c) => c.cmd === 'ready').length, readyBefore, 'a framed page said ready');
    assert.ok(!commands().some((c) => c.cmd === 'fromHostile'), 'a foreign page posted a command');
  } finally {
    await context.close();
    hostile.close();
  }
});
