// Browser mode under attack from this machine: a page another program serves
// on another port of 127.0.0.1, opened in the player's browser; and another
// local client that holds 200 connections open with heads that never end and
// sends a header line that never ends. The launcher, in folders of its own
// with the fixture page, must do nothing for the first and keep serving the
// page, within a few MiB, through the second.
//
//   LAUNCHER=/path/to/vantor-launcher node --test browser_abuse.test.js
'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');
const { waitFor, privateEnv, startLauncher } = require('./launcher_process');

const chromiumArgs = ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync'];

let home;
let app;
let origin;
let browser;

function savedPrefs() {
  try {
    return JSON.parse(fs.readFileSync(path.join(home, 'data', 'Vantor', 'launcher.json'), 'utf8'));
  } catch {
    return {};
  }
}

const seenOptions = (page) => page.evaluate(() => window.received.filter((m) => m.type === 'state')
  .map((m) => m.prefs.launchOptions));
const waitForOption = (page, value, timeout = 15000) => page.waitForFunction(
  (v) => window.received.some((m) => m.type === 'state' && m.prefs.launchOptions === v), value, { timeout });

before(async () => {
  assert.ok(process.env.LAUNCHER, 'set LAUNCHER to the launcher to test');
  home = fs.mkdtempSync(path.join(os.tmpdir(), 'vantor-abuse-'));
  // A launcher built with AddressSanitizer keeps freed memory aside (256 MiB
  // by default) to catch late uses: that would read as growth here.
  const asan = [process.env.ASAN_OPTIONS, 'quarantine_size_mb=1'].filter(Boolean).join(':');
  app = startLauncher(process.env.LAUNCHER, privateEnv(home, {
    VANTOR_LAUNCHER_UI: path.join(__dirname, 'fixture'), VANTOR_UPDATE_FEED: path.join(home, 'no-feed'),
    ASAN_OPTIONS: asan }));
  origin = new URL(await app.address()).origin;
  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: chromiumArgs });
});

after(async () => {
  if (browser) await browser.close();
  if (app) {
    await app.stop();
    assert.equal(app.exited, 0, 'the launcher ends with 0 on a termination signal');
  }
  fs.rmSync(home, { recursive: true, force: true });
});

async function openPage(context) {
  const page = await context.newPage();
  await page.goto(await app.newAddress());
  await page.waitForFunction(() => sessionStorage.getItem('vantor.session'));
  await page.waitForFunction(() => window.received.some((m) => m.type === 'state'));
  return page;
}

// Everything a page of another origin can try without the session: fetches
// with and without CORS, a frame, a form posted into a frame, an image, a
// beacon. Each attempt's request reaches the launcher; none may do anything.
function hostilePage(target) {
  const command = (what) => JSON.stringify({ cmd: 'setPrefs', prefs: { launchOptions: 'from hostile: ' + what } });
  return `<!doctype html><body><script>
    const target = ${JSON.stringify(target)};
    const tries = [
      fetch(target + '/bridge/cmd', { method: 'POST', mode: 'no-cors', credentials: 'include', body: ${JSON.stringify(command('no-cors'))} }),
      fetch(target + '/bridge/cmd', { method: 'POST', credentials: 'include', headers: { 'X-Vantor-Session': 'guess' }, body: ${JSON.stringify(command('cors'))} }),
      fetch(target + '/bridge/events', { mode: 'no-cors', credentials: 'include' }),
      fetch(target + '/bridge/session', { method: 'POST', mode: 'no-cors', credentials: 'include' }),
      fetch(target + '/', { mode: 'no-cors', credentials: 'include' }),
      new Promise((resolve) => {
        const frame = document.createElement('iframe');
        frame.addEventListener('load', resolve, { once: true });
        frame.src = target + '/';
        document.body.append(frame);
      }),
      new Promise((resolve) => {
        const sink = document.createElement('iframe');
        sink.name = 'sink';
        sink.addEventListener('load', resolve, { once: true });
        document.body.append(sink);
        const form = document.createElement('form');
        form.method = 'POST';
        form.enctype = 'text/plain';
        form.action = target + '/bridge/cmd';
        form.target = 'sink';
        const field = document.createElement('input');
        field.name = '{"cmd":"setPrefs","prefs":{"launchOptions":"from hostile: form","x":"';
        field.value = '"}}';
        form.append(field);
        document.body.append(form);
        form.submit();
      }),
      new Promise((resolve) => {
        const image = new Image();
        image.onload = image.onerror = resolve;
        image.src = target + '/bridge/events';
      }),
      Promise.resolve(navigator.sendBeacon(target + '/bridge/cmd', ${JSON.stringify(command('beacon'))})),
    ];
    window.done = Promise.allSettled(tries);
  </script></body>`;
}

test('a page on another loopback port cannot make the launcher do anything, with or without the cookie jar', async () => {
  // It also keeps every cookie the browser sends it: browsers send a
  // 127.0.0.1 cookie to every port of 127.0.0.1.
  const collected = new Set();
  const hostile = http.createServer((req, res) => {
    if (req.headers.cookie) collected.add(req.headers.cookie);
    res.setHeader('Content-Type', 'text/html');
    res.end(hostilePage(origin));
  });
  await new Promise((resolve) => hostile.listen(0, '127.0.0.1', resolve));
  const own = await browser.newContext();
  const stranger = await browser.newContext();
  try {
    const page = await openPage(own);
    const secret = await page.evaluate(() => sessionStorage.getItem('vantor.session'));
    await page.evaluate(() => window.send({ cmd: 'setPrefs', prefs: { launchOptions: 'before hostile' } }));
    await waitForOption(page, 'before hostile');
    // The jar holds what a launcher that trusted cookies would have set: the
    // secret itself, under the name such a launcher gave it. The browser sends
    // it to every port of 127.0.0.1, the launcher's included.
    await own.addCookies([{ name: 'vantor_session_' + new URL(origin).port, value: secret, domain: '127.0.0.1',
      path: '/', httpOnly: true, sameSite: 'Strict' }]);

    for (const context of [own, stranger]) {
      const tab = await context.newPage();
      // Each request the page makes of the launcher, and how it ended: a refusal, or
      // the browser's own block (the launcher's answers may not be read by another origin).
      const outcomes = new Map();
      tab.on('request', (r) => { if (r.url().startsWith(origin)) outcomes.set(r, null); });
      tab.on('response', (r) => {
        if (outcomes.has(r.request())) outcomes.set(r.request(), 'status ' + r.status());
      });
      tab.on('requestfailed', (r) => {
        if (outcomes.has(r) && outcomes.get(r) === null) outcomes.set(r, r.failure().errorText);
      });
      await tab.goto(`http://127.0.0.1:${hostile.address().port}/`);
      await tab.evaluate(() => window.done);
      await waitFor(() => [...outcomes.values()].every((o) => o !== null), 'every request to end');
      const ended = [...outcomes].map(([r, o]) => `${r.method()} ${r.url()}: ${o}`);
      assert.ok(outcomes.size >= 8, 'too few requests made: ' + ended.join('; '));
      for (const line of ended) assert.match(line, /: (status 403|net::ERR_BLOCKED_BY_RESPONSE\S*|net::ERR_FAILED)$/);
      // The framed page is the browser's error page, never the launcher's.
      const framed = tab.frames().filter((f) => f !== tab.mainFrame() && f.url().startsWith(origin));
      for (const frame of framed) assert.equal(await frame.evaluate(() => typeof window.chrome?.webview), 'undefined');
      await tab.close();
    }

    // What it collected, replayed from outside any browser with Host and Origin forged to be the launcher's.
    assert.ok([...collected].some((c) => c.includes(secret)), 'the browser did not hand the cookie to the other port');
    const port = new URL(origin).port;
    for (const cookie of collected) {
      for (const [method, target] of [['POST', '/bridge/cmd'], ['GET', '/bridge/events']]) {
        const status = await new Promise((resolve, reject) => {
          const req = http.request({ host: '127.0.0.1', port, method, path: target, setHost: false,
            headers: { Host: '127.0.0.1:' + port, Origin: origin, Cookie: cookie } }, (res) => {
            res.resume();
            resolve(res.statusCode);
          });
          req.on('error', reject);
          req.end(method === 'POST' ? JSON.stringify({ cmd: 'setPrefs', prefs: { launchOptions: 'from hostile: replay' } }) : undefined);
        });
        assert.equal(status, 403, `${method} ${target} replayed with the collected cookie`);
      }
    }

    // A command sent after every attempt: the state that carries it shows whether any attempt landed.
    await page.evaluate(() => window.send({ cmd: 'setPrefs', prefs: { launchOptions: 'after hostile' } }));
    await waitForOption(page, 'after hostile');
    assert.deepEqual((await seenOptions(page)).filter((v) => v.startsWith('from hostile')), []);
    assert.equal(savedPrefs().launchOptions, 'after hostile');
  } finally {
    await own.close();
    await stranger.close();
    hostile.close();
  }
});

// The launcher's resident memory in KiB.
function residentKiB() {
  return Number(/VmRSS:\s+(\d+) kB/.exec(fs.readFileSync(`/proc/${app.child.pid}/status`, 'utf8'))[1]);
}

// Another local client: `count` connections whose heads never end (a header
// line every second), each opened again a moment after the launcher closes
// it, and one header line that never ends, started again whenever it is cut.
function attack(port, count) {
  const state = { on: true, connected: 0, cut: 0, endlessCuts: 0, sockets: new Set() };
  const slow = () => {
    if (!state.on) return;
    const socket = net.connect(port, '127.0.0.1');
    state.sockets.add(socket);
    let n = 0;
    let timer;
    socket.on('connect', () => {
      state.connected++;
      socket.write(`GET / HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n`);
      timer = setInterval(() => socket.write(`X-Slow-${n++}: y\r\n`), 1000);
    });
    socket.on('error', () => {});
    socket.on('close', () => {
      clearInterval(timer);
      state.sockets.delete(socket);
      state.cut++;
      setTimeout(slow, 200);
    });
  };
  const endless = () => {
    if (!state.on) return;
    const socket = net.connect(port, '127.0.0.1');
    state.sockets.add(socket);
    const chunk = Buffer.alloc(64 * 1024, 'a');
    const pump = () => { while (state.on && !socket.destroyed && socket.write(chunk)); };
    socket.on('connect', () => {
      socket.write(`GET / HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nX-Endless: `);
      pump();
    });
    socket.on('drain', pump);
    socket.on('error', () => {});
    socket.on('close', () => {
      state.sockets.delete(socket);
      state.endlessCuts++;
      setTimeout(endless, 50);
    });
  };
  for (let i = 0; i < count; i++) slow();
  endless();
  state.stop = () => {
    state.on = false;
    for (const socket of state.sockets) socket.destroy();
  };
  return state;
}

test('200 slow connections and an endless header line neither stop the page nor grow the launcher\'s memory by more than a few MiB', async () => {
  const context = await browser.newContext();
  const page = await openPage(context);
  // The page as a player uses it, before anything else happens.
  await page.reload();
  await page.waitForFunction(() => window.received.some((m) => m.type === 'state'));
  await page.evaluate(() => window.send({ cmd: 'setPrefs', prefs: { launchOptions: 'warm' } }));
  await waitForOption(page, 'warm');

  const before = residentKiB();
  let peak = before;
  const sampler = setInterval(() => { peak = Math.max(peak, residentKiB()); }, 50);
  const port = Number(new URL(origin).port);
  const crowd = attack(port, 200);
  try {
    // All 200 got in at least once, and the endless line was cut again and again.
    await waitFor(() => crowd.connected >= 200 && crowd.endlessCuts >= 3, 'the attack to be under way', 30000);
    // Meanwhile the page reloads all its files, gets its state and sends its commands.
    for (let n = 0; n < 3; n++) {
      await page.reload();
      await page.waitForFunction(() => window.received.some((m) => m.type === 'state'), null, { timeout: 15000 });
      await page.evaluate((v) => window.send({ cmd: 'setPrefs', prefs: { launchOptions: v } }), 'under attack ' + n);
      await waitForOption(page, 'under attack ' + n);
    }
    // And a new tab signs in with a new address.
    const second = await openPage(context);
    await second.close();
    assert.ok(crowd.cut > 0, 'the launcher never closed a slow connection: the caps were never reached');
  } finally {
    crowd.stop();
    clearInterval(sampler);
  }
  peak = Math.max(peak, residentKiB());
  const grownKiB = peak - before;
  console.log(`launcher memory: ${before} KiB before the attack, ${peak} KiB at its peak during it (+${grownKiB} KiB);` +
    ` ${crowd.connected} slow connections made, ${crowd.cut} closed by the launcher, endless line cut ${crowd.endlessCuts} times`);
  // AddressSanitizer's own bookkeeping of every allocation and free (its
  // shadow memory, per-size caches, the quarantine kept small above) adds a
  // few MiB of its own under this churn: measured 2.5-3.5 MiB where the
  // plain build grows by about 0.15 MiB.
  const sanitized = fs.readFileSync(`/proc/${app.child.pid}/maps`, 'utf8').includes('libasan');
  const limitKiB = (sanitized ? 8 : 4) * 1024;
  assert.ok(grownKiB < limitKiB, `the launcher grew by ${grownKiB} KiB (limit ${limitKiB} KiB)`);
  assert.equal(savedPrefs().launchOptions, 'under attack 2');
  await context.close();
});
