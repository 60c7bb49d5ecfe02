// Browser mode of the real launcher in a real browser: Debian's Chromium driven
// by Playwright, and plain HTTP requests for what a browser would never send.
// The launcher runs in folders of its own with a fixture page
// (VANTOR_LAUNCHER_UI) and an update feed that is a missing local folder.
// Its commands show their effect in the next state document, so each check
// sends real commands ("setPrefs") and reads the states the page receives and
// the preferences the launcher saves. Each printed address works once; every
// tab here gets one of its own (launcher_process.js, newAddress).
//
//   LAUNCHER=/path/to/vantor-launcher node --test
'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');
const { privateEnv, startLauncher } = require('./launcher_process');

const launcherPath = process.env.LAUNCHER;
const chromiumArgs = ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync'];

let home;
let app;          // the launcher (launcher_process.js)
let address;      // http://127.0.0.1:PORT/?token=...
let origin;
let browser;

// The preferences the launcher saved.
function savedPrefs() {
  try {
    return JSON.parse(fs.readFileSync(path.join(home, 'data', 'Vantor', 'launcher.json'), 'utf8'));
  } catch {
    return {};
  }
}

// The launch options of every state a page received, in order.
const seenOptions = (page) => page.evaluate(() => window.received.filter((m) => m.type === 'state')
  .map((m) => m.prefs.launchOptions));
const lastState = (page) => page.evaluate(() => window.received.filter((m) => m.type === 'state').pop());
const waitForOption = (page, value, timeout = 15000) => page.waitForFunction(
  (v) => window.received.some((m) => m.type === 'state' && m.prefs.launchOptions === v), value, { timeout });

before(async () => {
  assert.ok(launcherPath, 'set LAUNCHER to the launcher to test');
  home = fs.mkdtempSync(path.join(os.tmpdir(), 'vantor-browser-'));
  app = startLauncher(launcherPath, privateEnv(home, {
    VANTOR_LAUNCHER_UI: path.join(__dirname, 'fixture'), VANTOR_UPDATE_FEED: path.join(home, 'no-feed') }));
  address = await app.address();
  assert.match(address, /^http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]{32}$/);
  origin = new URL(address).origin;
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

// A tab signed in with a new address: it holds its own session once this returns.
async function openPage(context, suffix = '') {
  const fresh = await app.newAddress();
  const page = await context.newPage();
  await page.goto(fresh);
  await page.waitForFunction(() => sessionStorage.getItem('vantor.session'));
  if (suffix) await page.goto(origin + '/' + suffix);
  return page;
}

const sessionOf = (page) => page.evaluate(() => sessionStorage.getItem('vantor.session'));

// A request with exactly the given headers, Host included: a browser would
// never send most of these.
function request(method, target, headers, body) {
  return new Promise((resolve, reject) => {
    const url = new URL(origin);
    const req = http.request({ host: url.hostname, port: url.port, method, path: target, headers, setHost: false },
      (res) => {
        res.resume();
        res.on('end', () => resolve(res));
      });
    req.on('error', reject);
    req.end(body);
  });
}

test('the printed address works once, leaves the address bar, and its tab keeps working across a reload', async () => {
  const context = await browser.newContext();
  const page = await context.newPage();
  const response = await page.goto(address);  // the address printed at start
  assert.equal(response.status(), 200);
  await page.waitForFunction(() => window.received.some((m) => m.type === 'state'));
  assert.equal(page.url(), origin + '/', 'the token left the address bar');
  assert.deepEqual(await context.cookies(), [], 'no cookie: another port of 127.0.0.1 would get it');
  assert.match(await sessionOf(page), /^[0-9a-f]{64}$/);

  // A reload of the same tab finds its session: the state comes again and commands go through.
  await page.evaluate(() => window.send({ cmd: 'setPrefs', prefs: { launchOptions: 'before reload' } }));
  await waitForOption(page, 'before reload');
  await page.reload();
  await page.waitForFunction(() => window.received.some((m) => m.type === 'state'));
  assert.equal((await lastState(page)).prefs.launchOptions, 'before reload');
  await page.evaluate(() => window.send({ cmd: 'setPrefs', prefs: { launchOptions: 'after reload' } }));
  await waitForOption(page, 'after reload');
  assert.equal(savedPrefs().launchOptions, 'after reload');

  // The same address again, in another tab or another browser: refused, saying why.
  for (const other of [context, await browser.newContext()]) {
    const again = await other.newPage();
    const second = await again.goto(address);
    assert.equal(second.status(), 403);
    assert.match(await again.textContent('body'), /used already/);
    if (other !== context) await other.close();
  }
  await context.close();
});

test('without a session the page shows how to get one, gets no state and sends nothing', async () => {
  const context = await browser.newContext();
  const page = await context.newPage();
  // The page's files hold no secret...
  const response = await page.goto(origin + '/');
  assert.equal(response.status(), 200);
  // ...but without a session it is told so and nothing reaches it or the launcher.
  const alert = page.getByRole('alert');
  await alert.waitFor();
  assert.match(await alert.textContent(), /not connected to the launcher/);
  assert.deepEqual(await page.evaluate(() => window.received), []);
  const statuses = await page.evaluate(async () => Promise.all([
    fetch('/bridge/cmd', { method: 'POST', body: '{"cmd":"setPrefs","prefs":{"launchOptions":"no session"}}' }),
    fetch('/bridge/events'),
    fetch('/bridge/session', { method: 'POST', headers: { 'X-Vantor-Token': '0'.repeat(32) } }),
  ].map((p) => p.then((r) => r.status))));
  assert.deepEqual(statuses, [403, 403, 403]);
  for (const target of ['/bridge/events', '/?token=' + '0'.repeat(32)]) {
    assert.equal((await page.goto(origin + target)).status(), 403, target);
  }
  assert.notEqual(savedPrefs().launchOptions, 'no session');
  await context.close();
});

test('a wrong Host, Origin or Sec-Fetch-Site, a missing session and a replayed cookie are refused, and change nothing', async () => {
  const context = await browser.newContext();
  const page = await openPage(context);
  await page.waitForFunction(() => window.received.some((m) => m.type === 'state'));
  const secret = await sessionOf(page);
  const port = Number(new URL(origin).port);
  const host = '127.0.0.1:' + port;
  const otherOrigin = 'http://127.0.0.1:' + (port === 65535 ? 1 : port + 1);
  // What a cookie-based launcher would have set; another port's program could collect it.
  const cookie = `vantor_session_${port}=${secret}`;
  const setPrefs = (launchOptions) => JSON.stringify({ cmd: 'setPrefs', prefs: { launchOptions } });

  // The one accepted request first: it shows that the checks below would see a command land.
  const accepted = await request('POST', '/bridge/cmd', { Host: host, Origin: origin, 'X-Vantor-Session': secret },
    setPrefs('accepted'));
  assert.equal(accepted.statusCode, 204);
  await waitForOption(page, 'accepted');

  const session = { 'X-Vantor-Session': secret };
  const spent = new URL(address);
  const cases = [
    // Replayed with the secret as a cookie and Host and Origin forged to be the launcher's own.
    ['a command replayed with the cookie and forged Host and Origin', 'POST', '/bridge/cmd', { Host: host, Origin: origin, Cookie: cookie }],
    ['the stream replayed with the cookie and a forged Host', 'GET', '/bridge/events', { Host: host, Cookie: cookie }],
    ['the event stream without the session', 'GET', '/bridge/events', { Host: host }],
    ['a command without the session', 'POST', '/bridge/cmd', { Host: host, Origin: origin }],
    ['a command with a guessed session', 'POST', '/bridge/cmd', { Host: host, Origin: origin, 'X-Vantor-Session': '0'.repeat(64) }],
    ['the spent token', 'GET', spent.pathname + spent.search, { Host: host }],
    ['the spent token traded again', 'POST', '/bridge/session', { Host: host, Origin: origin, 'X-Vantor-Token': spent.searchParams.get('token') }],
    ['the page with a wrong Host', 'GET', '/', { Host: 'localhost:' + port }],
    ['the page with a rebound name as Host', 'GET', '/', { Host: 'attacker.example' }],
    ['a command without Origin', 'POST', '/bridge/cmd', { Host: host, ...session }],
    ['a command from another loopback port', 'POST', '/bridge/cmd', { Host: host, Origin: otherOrigin, ...session }],
    ['a command from another site', 'POST', '/bridge/cmd', { Host: host, Origin: 'https://example.com', ...session }],
    ['a command from an opaque origin', 'POST', '/bridge/cmd', { Host: host, Origin: 'null', ...session }],
    ['a command with a wrong Host', 'POST', '/bridge/cmd', { Host: 'localhost:' + port, Origin: origin, ...session }],
    ['a command the browser says is from another site', 'POST', '/bridge/cmd', { Host: host, Origin: origin, 'Sec-Fetch-Site': 'same-site', ...session }],
    ['the page framed by another loopback port', 'GET', '/', { Host: host, 'Sec-Fetch-Site': 'same-site' }],
    ['a file read from another loopback port', 'GET', '/launcher.js', { Host: host, Origin: otherOrigin }],
    ['the page from an opaque origin', 'GET', '/', { Host: host, Origin: 'null' }],
    ['the event stream from another site', 'GET', '/bridge/events', { Host: host, 'Sec-Fetch-Site': 'cross-site', ...session }],
  ];
  for (const [what, method, target, headers] of cases) {
    const res = await request(method, target, headers, method === 'POST' ? setPrefs('refused: ' + what) : undefined);
    assert.equal(res.statusCode, 403, what);
    assert.equal(res.headers['set-cookie'], undefined, what);
    assert.equal(res.headers['content-security-policy'],
      "default-src 'self'; img-src 'self' data:; object-src 'none'; base-uri 'none'; form-action 'none'; " +
      "frame-ancestors 'none'", what);
    assert.equal(res.headers['cross-origin-resource-policy'], 'same-origin', what);
    assert.equal(res.headers['x-frame-options'], 'DENY', what);
  }
  // A command the page sends after all of them: had any refused one landed,
  // it would show in the state that carries this one.
  await page.evaluate(() => window.send({ cmd: 'setPrefs', prefs: { reduceMotion: true } }));
  await page.waitForFunction(() => window.received.some((m) => m.type === 'state' && m.prefs.reduceMotion === true));
  assert.deepEqual((await seenOptions(page)).filter((v) => v.startsWith('refused')), []);
  assert.equal((await lastState(page)).prefs.launchOptions, 'accepted');
  assert.equal(savedPrefs().launchOptions, 'accepted');
  await page.evaluate(() => window.send({ cmd: 'setPrefs', prefs: { reduceMotion: false } }));
  await page.waitForFunction(() => window.received.filter((m) => m.type === 'state').pop().prefs.reduceMotion === false);
  await context.close();
});

test('the page gets the launcher\'s state and its commands arrive in order', async () => {
  const context = await browser.newContext();
  const page = await openPage(context);
  await page.waitForFunction(() => window.received.some((m) => m.type === 'state'));
  const state = await lastState(page);
  assert.equal(state.launcher.version, '1.0.0');
  assert.equal(typeof state.game.status, 'string');

  // Fifty launch options sent at once, with text that must survive the trip.
  // The launcher coalesces its pushes, so the page sees some of them: always
  // in the order sent, ending with the last.
  await page.evaluate(() => {
    for (let n = 0; n < 50; n++) window.send({ cmd: 'setPrefs', prefs: { launchOptions: 'é\u2028"</script> ' + n } });
  });
  await waitForOption(page, 'é\u2028"</script> 49');
  const seen = (await seenOptions(page)).filter((v) => v.startsWith('é\u2028"</script> '))
    .map((v) => Number(v.split(' ').pop()));
  assert.ok(seen.length >= 1);
  assert.deepEqual(seen, [...seen].sort((a, b) => a - b), 'states went backwards: ' + seen);
  assert.equal(seen[seen.length - 1], 49);
  assert.equal(savedPrefs().launchOptions, 'é\u2028"</script> 49');

  // Text that is not a JSON object, and messages that are not text, go nowhere.
  await page.evaluate(() => {
    window.chrome.webview.postMessage('[{"cmd":"setPrefs","prefs":{"reduceMotion":true}}]');
    window.chrome.webview.postMessage('not json');
    window.chrome.webview.postMessage({ cmd: 'setPrefs', prefs: { autoUpdateGame: false } });
    window.send({ cmd: 'setPrefs', prefs: { launchOptions: 'after' } });
  });
  await waitForOption(page, 'after');
  const after = await lastState(page);
  assert.equal(after.prefs.reduceMotion, false);
  assert.equal(after.prefs.autoUpdateGame, true);
  await context.close();
});

// An event stream opened outside the browser, with the page's session.
function openStream(secret) {
  return new Promise((resolve, reject) => {
    const url = new URL(origin);
    const req = http.get({ host: url.hostname, port: url.port, path: '/bridge/events',
      headers: { 'X-Vantor-Session': secret } }, (res) => {
      assert.equal(res.statusCode, 200);
      res.once('data', () => resolve(req));
    });
    req.on('error', reject);
  });
}

test('a reconnected stream starts with the last state, and commands queued meanwhile arrive in order', async () => {
  const context = await browser.newContext();
  // Every event stream the page opens, for the test to see whether it is still open.
  await context.addInitScript(() => {
    const nativeFetch = window.fetch.bind(window);
    window.eventStreams = [];
    window.fetch = async (input, init) => {
      const response = await nativeFetch(input, init);
      if (!String(input).endsWith('/bridge/events') || !response.body) return response;
      const stream = { open: true };
      window.eventStreams.push(stream);
      const reader = response.body.getReader();
      const body = new ReadableStream({
        async pull(controller) {
          try {
            const { value, done } = await reader.read();
            if (done) {
              stream.open = false;
              controller.close();
            } else {
              controller.enqueue(value);
            }
          } catch (e) {
            stream.open = false;
            controller.error(e);
          }
        },
        cancel(reason) {
          stream.open = false;
          return reader.cancel(reason);
        },
      });
      return new Response(body, { status: response.status, statusText: response.statusText, headers: response.headers });
    };
  });
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
  // current one out (the server keeps eight), which ends it at once.
  await context.route('**/bridge/events', (route) => route.abort());
  const secret = await sessionOf(page);
  const crowd = [];
  for (let i = 0; i < 8; i++) crowd.push(await openStream(secret));
  await page.waitForFunction(() => window.eventStreams.length === 1 && !window.eventStreams[0].open,
    null, { timeout: 10000 });
  await page.evaluate(() => {
    for (let n = 0; n < 10; n++) window.send({ cmd: 'setPrefs', prefs: { launchOptions: 'queued ' + n } });
  });

  // Meanwhile another window changes the state.
  const other = await browser.newContext();
  const otherPage = await openPage(other, '?quiet');
  await otherPage.evaluate(() => window.send({ cmd: 'setPrefs', prefs: { launchOptions: 'while away' } }));
  await waitForOption(otherPage, 'while away');
  await other.close();
  for (const req of crowd) req.destroy();
  const seenBefore = await seenOptions(page);
  assert.ok(!seenBefore.includes('while away'), 'the cut-off page saw the push before it reconnected');
  assert.equal(savedPrefs().launchOptions, 'while away', 'a command of the cut-off page arrived while it was cut off');

  await context.unroute('**/bridge/events');
  await waitForOption(page, 'queued 9');
  const after = (await seenOptions(page)).slice(seenBefore.length);
  assert.equal(after[0], 'while away', 'the reconnected stream did not start with the last state: ' + after);
  const queued = after.slice(1).filter((v) => v.startsWith('queued ')).map((v) => Number(v.split(' ')[1]));
  assert.deepEqual(queued, [...queued].sort((a, b) => a - b), 'states went backwards: ' + queued);
  assert.equal(queued[queued.length - 1], 9);
  assert.equal(savedPrefs().launchOptions, 'queued 9');
  await context.close();
});
