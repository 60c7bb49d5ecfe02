// Every screen and tab at 1280 x 760: an axe-core pass with no serious or
// critical violation, no console error, no request outside the page's origin,
// and a screenshot kept under build/page-screenshots/ for a person to look at.
// Also the demo mode and the starfield's frame budget by window state.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  setup, start, openPage, baseState, task, push, text, sent, checkAxe, screenshot, assertClean,
} from './harness.mjs';

let env;
before(async () => { env = await setup(); });
after(async () => { await env.close(); });

const queueGame = (over) => [{ id: 7, kind: 'game', label: 'Game 1.5.0', paused: false, active: true, ...over },
  { id: 8, kind: 'addon', label: 'Aurora Sky 2.0.1', paused: false, active: false }];
const running = task({ id: 7, phase: 'Downloading', bytesDone: 1.734e9, bytesTotal: 4.21e9, filesDone: 412, filesTotal: 1004, rate: 38.4e6 });
const notes = ['Landing gear now casts shadows from both suns', 'Cabin lights follow the time of day',
  'Fixed a stutter when crossing cloud layers', 'Quieter wind at the north pole'];
const full = {
  server: { name: 'Vantor Prime', playerCount: 214, maxPlayers: 500 },
  account: { available: true, signedIn: true, username: 'Kestrel', profile: { referralCode: 'KES-4471', invited: 3 }, site: 'https://play.example/install/' },
  mode: 'installed',
  saves: { files: 14, bytes: 3.4e6, backups: [{ name: '2026-12-03_210212', files: 14, bytes: 3.4e6 }, { name: '2026-12-01_183004_before_restore', files: 12, bytes: 2.9e6 }] },
  addons: {
    installed: [
      { id: 'voices', name: 'Dune Voices', version: '1.2.0', author: 'Kesra', description: 'New voices for the desert traders.', enabled: true, managed: true, update: true, latest: '1.3.0', queued: false, path: '/home/pilot/.local/share/Vantor/addons/dune-voices' },
      { id: 'decals', name: 'Hull Decals', version: '0.4', author: '', description: '', enabled: false, managed: false, update: false, latest: '', queued: false, path: '/home/pilot/.local/share/Vantor/addons/hull-decals' },
    ],
    catalog: [
      { id: 'voices', name: 'Dune Voices', version: '1.3.0', author: 'Kesra', description: 'New voices for the desert traders.', size: 182e6, installed: true, queued: false },
      { id: 'sky', name: 'Aurora Sky', version: '2.0.1', author: 'Nightshift', description: 'Polar lights over the ice worlds.', size: 61.2e6, installed: false, queued: false },
    ],
  },
};

const HOME = [
  ['home-ready', { ...full }],
  ['home-update', { ...full, game: { status: 'update', latestVersion: '1.5.0', downloadSize: 812e6, notes } }],
  ['home-not-installed', { game: { status: 'not_installed', version: '', build: 0, latestVersion: '1.5.0', downloadSize: 4.21e9, notes } }],
  ['home-downloading', { ...full, game: { status: 'busy' }, queue: queueGame(), task: running }],
  ['home-paused', { ...full, game: { status: 'busy' }, queue: queueGame({ paused: true, active: false }) }],
  ['home-verifying', { game: { status: 'busy' }, queue: [{ id: 3, kind: 'repair', label: 'Verify game files', paused: false, active: true }], task: task({ id: 3, kind: 'repair', phase: 'Verifying', filesDone: 120, filesTotal: 1004 }) }],
  ['home-running', { ...full, game: { status: 'running' } }],
  ['home-dev', { game: { status: 'dev', dev: true }, mode: 'dev' }],
  ['home-unavailable', { game: { status: 'unavailable', version: '', build: 0, latestVersion: '' }, feed: { ok: false, error: 'Connection timed out (error 28)' } }],
  ['home-launcher-update', { ...full, launcher: { latest: '1.1.0', updateAvailable: true } }],
];

for (const [name, over] of HOME) {
  test('screen ' + name, async () => {
    const page = await start(env, baseState(over));
    await page.waitForTimeout(500);
    await checkAxe(page, name);
    await screenshot(page, name);
    assertClean(null, page);
    await page.close();
  });
}

test('screen home with its entrance (no reduced motion)', async () => {
  const page = await start(env, baseState(full), { reducedMotion: 'no-preference' });
  await page.waitForTimeout(2600);
  await checkAxe(page, 'home-entrance');
  await screenshot(page, 'home-motion');
  assertClean(null, page);
  await page.close();
});

test('screens: account (create, sign in with an error) and the confirm box', async () => {
  const page = await start(env, baseState({ account: { available: true }, prefs: { onboarded: false } }));
  await page.waitForFunction(() => document.activeElement?.id === 'acct-name');
  await page.waitForTimeout(400);
  await checkAxe(page, 'account-create');
  await screenshot(page, 'account-create');
  await page.keyboard.press('Shift+Tab');
  await page.keyboard.press('Enter');
  await page.locator('#acct-name').fill('x');
  await page.locator('#acct-name').press('Enter');
  await checkAxe(page, 'account-signin');
  await screenshot(page, 'account-signin');
  await page.locator('#acct-back').click();
  await push(page, baseState({ game: { status: 'busy' }, queue: queueGame(), task: running }));
  await page.locator('#tb-close').click();
  await page.waitForTimeout(300);
  await checkAxe(page, 'confirm');
  await screenshot(page, 'confirm-quit');
  assertClean(null, page);
  await page.close();
});

const PAGES = [
  ['settings', 2, ['display', 'graphics', 'audio', 'online', 'launcher'], { ...full, settings: undefined }],
  ['data', 3, ['saves', 'game', 'support'], full],
  ['addons', 1, ['installed', 'browse'], full],
];

for (const [name, entry, tabs, over] of PAGES) {
  test(`screens: ${name}, every tab`, async () => {
    const state = baseState(over);
    if (!state.settings) state.settings = baseState().settings;
    const page = await start(env, state);
    await page.locator('#menu .entry').nth(entry).click();
    for (const tab of tabs) {
      await page.waitForTimeout(450);
      await checkAxe(page, `${name}-${tab}`);
      await screenshot(page, `${name}-${tab}`);
      await page.keyboard.press('e');
    }
    assertClean(null, page);
    await page.close();
  });
}

test('screens: settings graphics scrolled to the end, greyed rows, running note', async () => {
  const state = baseState({ game: { status: 'running' } });
  state.settings.graphics.rayTracing = false;
  state.settings.graphics.grassDistance = 170;
  const page = await start(env, state);
  await page.locator('#menu .entry').nth(2).click();
  await page.keyboard.press('e');
  for (let i = 0; i < 3; i++) await page.keyboard.press('s');
  await page.waitForTimeout(400);
  await checkAxe(page, 'settings-greyed');
  await screenshot(page, 'settings-graphics-greyed');
  for (let i = 0; i < 20; i++) await page.keyboard.press('s');
  await page.waitForTimeout(300);
  await screenshot(page, 'settings-graphics-end');
  await page.keyboard.press('e');
  await page.keyboard.press('e');
  await page.waitForTimeout(300);
  await screenshot(page, 'settings-online-signed-out');
  assertClean(null, page);
  await page.close();
});

test('screens: addons and downloads empty, downloads active', async () => {
  const page = await start(env, baseState({ game: { status: 'busy' }, queue: [...queueGame(), { id: 9, kind: 'addon', label: 'Old Freighters', paused: true, active: false }], task: running }));
  await page.locator('#dl').click();
  await page.waitForTimeout(450);
  await checkAxe(page, 'downloads');
  await screenshot(page, 'downloads-active');
  await push(page, baseState({ taskError: 'Not enough free disk space: 4.2 GB needed, 1.3 GB free.' }));
  await page.waitForTimeout(100);
  await checkAxe(page, 'downloads-empty');
  await screenshot(page, 'downloads-empty');
  await page.keyboard.press('Escape');
  await page.locator('#menu .entry').nth(1).click();
  await page.waitForTimeout(450);
  await checkAxe(page, 'addons-empty');
  await screenshot(page, 'addons-empty');
  await page.keyboard.press('e');
  await page.waitForTimeout(100);
  await screenshot(page, 'addons-browse-empty');
  assertClean(null, page);
  await page.close();
});

test('demo mode: only without a bridge, states by fragment, page by query, local settings', async () => {
  const page = await openPage(env, { bridge: false, hash: '#update' });
  await page.waitForFunction(() => document.querySelector('#menu .entry-label')?.textContent === 'UPDATE');
  await page.keyboard.press('Enter');
  assert.equal(await page.locator('#toast').textContent(), '(demo) install');
  for (const [hash, label] of [['#running', 'PLAYING'], ['#paused', 'RESUME'], ['#downloading', 'UPDATING'], ['#busy', 'VERIFYING'],
    ['#not_installed', 'INSTALL'], ['#unavailable', 'INSTALL'], ['#dev', 'PLAY'], ['#signedin', 'PLAY'], ['#empty', 'PLAY'], ['', 'PLAY']]) {
    await page.evaluate((h) => { location.hash = h; }, hash);
    await page.waitForFunction((l) => document.querySelector('#menu .entry-label').textContent === l, label);
  }
  await page.evaluate(() => { location.hash = '#onboarding'; });
  assertClean(null, page);
  await page.close();

  const settings = await openPage(env, { bridge: false, query: '?page=settings&tab=2', hash: '#signedin' });
  await settings.waitForFunction(() => document.querySelector('#page .tab.on')?.textContent === 'Audio');
  await settings.keyboard.press('a');
  await settings.waitForTimeout(400);
  assert.equal(await settings.locator('#page .row.focus .num').textContent(), '90 %', 'the change survives the demo push');
  await settings.keyboard.press('Escape');
  await settings.waitForFunction(() => document.querySelector('#page').hidden);
  assert.equal((await settings.locator('#corner .corner-line').allTextContents()).join('\n'), 'Signed in as Kestrel\nVantor Prime · 214 of 500 pilots online\nOnline\nLauncher 1.0.0 · Game 0.9.4 (1287)');
  await settings.keyboard.press('w');
  await settings.keyboard.press('Enter');
  assert.equal(await settings.locator('#toast').textContent(), '(demo) close');
  await screenshot(settings, 'demo-signed-in');
  assertClean(null, settings);
  await settings.close();

  // With a bridge there is no demo: nothing shows until the launcher speaks.
  const real = await openPage(env, { hash: '#update' });
  await real.waitForFunction(() => window.__sent.length > 0);
  await real.waitForTimeout(200);
  assert.equal(await real.locator('#menu .entry-label').first().textContent(), '');
  assert.deepEqual(await sent(real), [{ cmd: 'ready' }]);
  await real.close();
});

test('starfield: every frame when focused, at most 10 a second unfocused, none when hidden or while the game runs', async () => {
  const page = await start(env, baseState(), { clock: true, reducedMotion: 'no-preference' });
  await page.clock.pauseAt(Date.now() + 60_000);
  const framesIn = async (ms) => {
    const a = await page.evaluate(() => window.vantorStarfield().frames);
    await page.clock.runFor(ms);
    return (await page.evaluate(() => window.vantorStarfield().frames)) - a;
  };
  await page.evaluate(() => { document.hasFocus = () => true; window.dispatchEvent(new Event('focus')); });
  const focused = await framesIn(1000);
  assert.ok(focused >= 55, `focused: ${focused} frames in a second`);
  await page.evaluate(() => { document.hasFocus = () => false; window.dispatchEvent(new Event('blur')); });
  await framesIn(200);
  const unfocused = await framesIn(1000);
  assert.ok(unfocused >= 8 && unfocused <= 10, `unfocused: ${unfocused} frames in a second`);
  await page.evaluate(() => {
    Object.defineProperty(document, 'hidden', { configurable: true, get: () => true });
    document.dispatchEvent(new Event('visibilitychange'));
  });
  assert.equal(await framesIn(1000), 0, 'hidden');
  await page.evaluate(() => {
    Object.defineProperty(document, 'hidden', { configurable: true, get: () => false });
    document.hasFocus = () => true;
    document.dispatchEvent(new Event('visibilitychange'));
  });
  assert.ok(await framesIn(500) > 20, 'visible again');
  await push(page, baseState({ game: { status: 'running' } }));
  await framesIn(50);
  assert.equal(await framesIn(1000), 0, 'while the game runs');
  await push(page, baseState());
  assert.ok(await framesIn(500) > 20, 'after the game');
  assertClean(null, page);
  await page.close();
});
