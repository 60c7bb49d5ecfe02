// Browser mode of the real launcher in a real browser: Debian's Chromium driven
// by Playwright, and plain HTTP requests for what a browser would never send.
// The launcher runs in folders of its own with a fixture page
// (VANTOR_LAUNCHER_UI) and an update feed that is a missing local folder.
// Its commands show their effect in the next state document, so each check
// sends real commands ("setPrefs") and reads the states the page receives and
// the preferences the launcher saves.
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

async function openPage(context, suffix = '') {
  const page = await context.newPage();
  await page.goto(address);  // signs in: the cookie, then "/"
  if (suffix) await page.goto(origin + '/' + suffix);
  return page;
}

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

test('without the token or its cookie the browser gets nothing', async () => {
  const context = await browser.newContext();
  const page = await context.newPage();
  for (const target of ['/', '/index.html', '/bridge/events', '/bridge/bridge.js', '/?token=' + '0'.repeat(32)]) {
    const response = await page.goto(origin + target);
    assert.equal(response.status(), 403, target);
  }
  await context.close();
});

test('a wrong Host, a foreign or missing Origin and a missing cookie are refused, and change nothing', async () => {
  const context = await browser.newContext();
  const page = await openPage(context);
  await page.waitForFunction(() => window.received.some((m) => m.type === 'state'));
  const [cookie] = await context.cookies();
  const session = cookie.name + '=' + cookie.value;
  const port = Number(new URL(origin).port);
  const host = '127.0.0.1:' + port;
  const otherOrigin = 'http://127.0.0.1:' + (port === 65535 ? 1 : port + 1);
  const setPrefs = (launchOptions) => JSON.stringify({ cmd: 'setPrefs', prefs: { launchOptions } });

  // The one accepted request first: it shows that the checks below would see a command land.
  const accepted = await request('POST', '/bridge/cmd', { Host: host, Origin: origin, Cookie: session }, setPrefs('accepted'));
  assert.equal(accepted.statusCode, 204);
  await waitForOption(page, 'accepted');

  const token = new URL(address);
  const cases = [
    ['GET without the cookie', 'GET', '/', { Host: host }],
    ['GET with a wrong Host', 'GET', '/', { Host: 'localhost:' + port, Cookie: session }],
    ['GET with a rebound name as Host', 'GET', '/', { Host: 'attacker.example', Cookie: session }],
    ['the token with a wrong Host', 'GET', token.pathname + token.search, { Host: 'evil.example' }],
    ['the event stream without the cookie', 'GET', '/bridge/events', { Host: host }],
    ['POST without Origin', 'POST', '/bridge/cmd', { Host: host, Cookie: session }],
    ['POST from another loopback port', 'POST', '/bridge/cmd', { Host: host, Cookie: session, Origin: otherOrigin }],
    ['POST from another site', 'POST', '/bridge/cmd', { Host: host, Cookie: session, Origin: 'https://example.com' }],
    ['POST from an opaque origin', 'POST', '/bridge/cmd', { Host: host, Cookie: session, Origin: 'null' }],
    ['POST without the cookie', 'POST', '/bridge/cmd', { Host: host, Origin: origin }],
    ['POST with a wrong Host', 'POST', '/bridge/cmd', { Host: 'localhost:' + port, Cookie: session, Origin: origin }],
    // A foreign Origin is refused on reads as well.
    ['GET from another site', 'GET', '/', { Host: host, Cookie: session, Origin: 'https://example.com' }],
    ['GET from another loopback port', 'GET', '/launcher.js', { Host: host, Cookie: session, Origin: otherOrigin }],
    ['GET from an opaque origin', 'GET', '/', { Host: host, Cookie: session, Origin: 'null' }],
    ['the event stream from another site', 'GET', '/bridge/events', { Host: host, Cookie: session, Origin: 'https://example.com' }],
    ['the token from another site', 'GET', token.pathname + token.search, { Host: host, Origin: 'https://example.com' }],
  ];
  for (const [what, method, target, headers] of cases) {
    const res = await request(method, target, headers, method === 'POST' ? setPrefs('refused: ' + what) : undefined);
    assert.equal(res.statusCode, 403, what);
    assert.equal(res.headers['set-cookie'], undefined, what);
    assert.equal(res.headers['content-security-policy'], "frame-ancestors 'none'", what);
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
  // Every EventSource the page makes, for the test to see whether its stream is open.
  await context.addInitScript(() => {
    const Native = window.EventSource;
    window.eventStreams = [];
    window.EventSource = class extends Native {
      constructor(...args) {
        super(...args);
        window.eventStreams.push(this);
      }
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
  const [cookie] = await context.cookies();
  const crowd = [];
  for (let i = 0; i < 8; i++) crowd.push(await openStream(cookie));
  await page.waitForFunction(() => window.eventStreams.length === 1 && window.eventStreams[0].readyState !== 1,
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

test('a page on another loopback port can neither frame the launcher nor post to it', async () => {
  const hostile = http.createServer((req, res) => {
    res.setHeader('Content-Type', 'text/html');
    res.end(`<!doctype html><body>
      <script>
        const frame = document.createElement('iframe');
        window.frameLoaded = new Promise((resolve) => frame.addEventListener('load', () => resolve(), { once: true }));
        frame.src = '${origin}/';
        document.body.appendChild(frame);
        window.posted = fetch('${origin}/bridge/cmd', { method: 'POST', mode: 'no-cors', credentials: 'include',
          body: '{"cmd":"setPrefs","prefs":{"launchOptions":"from hostile"}}' }).then(() => 'sent', (e) => 'failed');
      </script></body>`);
  });
  await new Promise((resolve) => hostile.listen(0, '127.0.0.1', resolve));
  const context = await browser.newContext();
  try {
    // This browser holds the launcher's cookie, which a same-site page's requests would carry.
    const own = await openPage(context);
    await own.evaluate(() => window.send({ cmd: 'setPrefs', prefs: { launchOptions: 'before hostile' } }));
    await waitForOption(own, 'before hostile');
    const page = await context.newPage();
    const framedResponse = page.waitForResponse((r) => r.url() === origin + '/' && r.frame() !== page.mainFrame());
    await page.goto(`http://127.0.0.1:${hostile.address().port}/`);
    await page.evaluate(() => window.posted);
    // The frame's load event comes whether the frame showed the page or was blocked.
    await page.evaluate(() => window.frameLoaded);
    // The browser asked for the page in the frame, and the launcher answered...
    const response = await framedResponse;
    assert.equal(response.status(), 200, 'the framed request carried the cookie and was served');
    assert.equal(response.headers()['content-security-policy'], "frame-ancestors 'none'");
    // ...and the browser put its own error page in the frame instead.
    const framed = page.frames().find((f) => f !== page.mainFrame());
    assert.ok(framed, 'the frame exists');
    assert.equal(framed.url(), 'chrome-error://chromewebdata/', 'the frame holds the blocked-page error, not the launcher');
    // A command sent after the hostile one: the state carrying it shows
    // whether the hostile one landed.
    await own.evaluate(() => window.send({ cmd: 'setPrefs', prefs: { reduceMotion: true } }));
    await own.waitForFunction(() => window.received.some((m) => m.type === 'state' && m.prefs.reduceMotion === true));
    assert.ok(!(await seenOptions(own)).includes('from hostile'), 'a foreign page posted a command');
    assert.equal((await lastState(own)).prefs.launchOptions, 'before hostile');
    assert.equal(savedPrefs().launchOptions, 'before hostile');
  } finally {
    await context.close();
    hostile.close();
  }
});
