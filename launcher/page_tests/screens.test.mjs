// Every screen and tab at 1280 x 760: an axe-core pass with no serious or
// critical violation, no console error, no request outside the page's origin,
// and a screenshot kept under build/page-screenshots/ for a person to look at.
// Also the demo mode and the starfield's frame budget by window state.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  setup, start, openPage, baseState, task, push, text, sent, checkAxe, screenshot, settle, visibleScreen, assertClean,
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

// At rest, then the axe pass, then the screenshot (at rest again: the title's
// sheen may have begun meanwhile).
async function shoot(page, name) {
  await settle(page);
  await checkAxe(page, name);
  await settle(page);
  await screenshot(page, name);
}

const rowsAtEnd = (page) => page.evaluate(() => {
  const list = document.querySelector('#page .rows');
  return list.scrollHeight > list.clientHeight && list.scrollTop + list.clientHeight >= list.scrollHeight - 1;
});

for (const [name, over] of HOME) {
  test('screen ' + name, async () => {
    const page = await start(env, baseState(over));
    await shoot(page, name);
    assertClean(null, page);
    await page.close();
  });
}

test('screen home with its entrance (no reduced motion)', async () => {
  const page = await start(env, baseState(full), { reducedMotion: 'no-preference' });
  assert.equal(await page.locator('#home.enter').count(), 1, 'the entrance plays');
  await shoot(page, 'home-motion');
  assertClean(null, page);
  await page.close();
});

test('screens: account (create, sign in with an error) and the confirm box', async () => {
  const page = await start(env, baseState({ account: { available: true }, prefs: { onboarded: false } }));
  await page.waitForFunction(() => document.activeElement?.id === 'acct-name');
  await shoot(page, 'account-create');
  await page.keyboard.press('Shift+Tab');
  await page.keyboard.press('Enter');
  await page.locator('#acct-name').fill('x');
  await page.locator('#acct-name').press('Enter');
  assert.equal(await text(page, '.acct-title'), 'SIGN IN');
  assert.notEqual(await text(page, '.acct-error'), '');
  await shoot(page, 'account-signin');
  await page.locator('#acct-back').click();
  await push(page, baseState({ game: { status: 'busy' }, queue: queueGame(), task: running }));
  await page.locator('#tb-close').click();
  assert.equal(await text(page, '#confirm-title'), 'Stop and quit?');
  await shoot(page, 'confirm-quit');
  assertClean(null, page);
  await page.close();
});

test('screen: a repair asking before a large download', async () => {
  const page = await start(env, baseState({
    game: { status: 'busy' },
    queue: [{ id: 3, kind: 'repair', label: 'Verifying Astrane: Vantor', paused: false, active: true }],
    task: task({ id: 3, kind: 'repair', phase: 'Comparing', filesDone: 3, filesTotal: 3 }),
    repair: { asking: true, damaged: 2, missing: 1, updated: 0, bytes: 48_200_000 },
  }));
  assert.equal(await text(page, '#confirm-title'), 'Repair downloads 48.2 MB');
  await shoot(page, 'confirm-repair');
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
      assert.equal((await text(page, '#page .tab.on')).toLowerCase(), tab);
      await shoot(page, `${name}-${tab}`);
      await page.keyboard.press('e');
    }
    assertClean(null, page);
    await page.close();
  });
}

test('screens: the restore, reset and remove confirm boxes', async () => {
  const page = await start(env, baseState(full));
  await page.locator('#menu .entry').nth(3).click();
  for (let i = 0; i < 3; i++) await page.keyboard.press('s');
  assert.equal(await text(page, '#page .row.focus .row-label'), '2026-12-03  21:02');
  await page.keyboard.press('Enter');
  assert.equal(await text(page, '#confirm-title'), 'Restore this backup?');
  await shoot(page, 'confirm-restore');
  await page.keyboard.press('Escape');
  await page.keyboard.press('e');
  await page.keyboard.press('e');
  for (let i = 0; i < 3; i++) await page.keyboard.press('s');
  assert.equal(await text(page, '#page .row.focus .row-label'), 'Reset all settings');
  await page.keyboard.press('Enter');
  assert.equal(await text(page, '#confirm-title'), 'Reset all settings?');
  await shoot(page, 'confirm-reset');
  await page.keyboard.press('Escape');
  await page.keyboard.press('Escape');
  await page.locator('#menu .entry').nth(1).click();
  await page.keyboard.press('s');
  assert.equal(await text(page, '#page .row.focus .row-label'), 'Hull Decals');
  await page.keyboard.press('Delete');
  assert.equal(await text(page, '#confirm-title'), 'Remove Hull Decals?');
  await shoot(page, 'confirm-remove');
  await page.keyboard.press('Escape');
  assert.equal(await page.locator('#confirm').isHidden(), true);
  assertClean(null, page);
  await page.close();
});

test('screens: settings graphics greyed and scrolled to its end, online offline and signed out', async () => {
  const state = baseState({ game: { status: 'running' } });
  state.settings.graphics.rayTracing = false;
  const page = await start(env, state);
  await page.locator('#menu .entry').nth(2).click();
  await page.keyboard.press('e');
  for (let i = 0; i < 2; i++) await page.keyboard.press('s');
  assert.equal(await text(page, '#page .row.focus .row-label'), 'Global illumination');
  assert.equal(await page.locator('#page .row.focus').getAttribute('aria-disabled'), 'true');
  await shoot(page, 'settings-graphics-greyed');
  for (let i = 0; i < 20; i++) await page.keyboard.press('s');
  assert.equal(await text(page, '#page .row.focus .row-label'), 'Depth of field');
  assert.equal(await rowsAtEnd(page), true, 'the list is scrolled to its last row');
  await shoot(page, 'settings-graphics-end');
  await page.keyboard.press('e');
  await page.keyboard.press('e');
  assert.equal(await text(page, '#page .tab.on'), 'Online');
  assert.equal(await text(page, '#page .row.focus .ctl'), 'Offline copy');
  await shoot(page, 'settings-online-offline');
  await push(page, baseState({ game: { status: 'running' }, account: { available: true }, settings: state.settings }));
  assert.equal(await text(page, '#page .row.focus .ctl'), 'Sign in');
  assert.equal(await page.locator('#page .row', { hasText: 'Invite friends' }).locator('.ctl').innerText(), 'Sign in first');
  await shoot(page, 'settings-online-signed-out');
  assertClean(null, page);
  await page.close();
});

test('screens: addons and downloads empty, downloads active', async () => {
  const page = await start(env, baseState({ game: { status: 'busy' }, queue: [...queueGame(), { id: 9, kind: 'addon', label: 'Old Freighters', paused: true, active: false }], task: running }));
  await page.locator('#dl').click();
  assert.equal(await page.locator('#page .row').count(), 3);
  await shoot(page, 'downloads-active');
  await push(page, baseState({ taskError: 'Not enough free disk space: 4.2 GB needed, 1.3 GB free.' }));
  assert.equal(await text(page, '#page .row-label'), 'Nothing downloading');
  await shoot(page, 'downloads-empty');
  await page.keyboard.press('Escape');
  await page.locator('#menu .entry').nth(1).click();
  assert.equal(await text(page, '#page .row-label'), 'No addons yet');
  await shoot(page, 'addons-empty');
  await page.keyboard.press('e');
  assert.equal(await text(page, '#page .tab.on'), 'Browse');
  assert.equal(await text(page, '#page .row-label'), 'Nothing on the server yet');
  await shoot(page, 'addons-browse-empty');
  assertClean(null, page);
  await page.close();
});

test('demo mode: only without a bridge, states by fragment, page by query', async () => {
  const page = await openPage(env, { bridge: false, hash: '#update' });
  await page.waitForFunction(() => document.querySelector('#menu .entry-label')?.textContent === 'UPDATE');
  await page.keyboard.press('Enter');
  assert.equal(await page.locator('#toast').textContent(), '(demo) install');
  for (const [hash, label] of [['#running', 'PLAYING'], ['#paused', 'RESUME'], ['#downloading', 'UPDATING'], ['#busy', 'VERIFYING'],
    ['#not_installed', 'INSTALL'], ['#unavailable', 'INSTALL'], ['#dev', 'PLAY'], ['#signedin', 'PLAY'], ['#empty', 'PLAY'], ['', 'PLAY']]) {
    await page.evaluate((h) => { location.hash = h; }, hash);
    await page.waitForFunction((l) => document.querySelector('#menu .entry-label').textContent === l, label);
  }
  await page.evaluate(() => { location.hash = '#update_launcher'; });
  await page.waitForFunction(() => !document.querySelector('#banner').hidden);
  assert.equal(await text(page, '#banner .banner-text'), 'Launcher 1.1.0 is ready');
  // Onboarding opens on a first state only: a fragment changed later keeps home.
  await page.evaluate(() => { location.hash = '#onboarding'; });
  await page.waitForFunction(() => document.querySelector('#banner').hidden);
  assert.equal(await visibleScreen(page), 'home');
  assertClean(null, page);
  await page.close();

  const onboarding = await openPage(env, { bridge: false, hash: '#onboarding' });
  await onboarding.waitForFunction(() => document.activeElement?.id === 'acct-name');
  assert.equal(await text(onboarding, '.acct-title'), 'CREATE ACCOUNT');
  await onboarding.keyboard.press('Escape');
  assert.equal(await onboarding.locator('#toast').textContent(), '(demo) skipAccount');
  assertClean(null, onboarding);
  await onboarding.close();

  // With a bridge there is no demo: nothing shows until the launcher speaks.
  const real = await openPage(env, { hash: '#update' });
  await real.waitForFunction(() => window.__sent.length > 0);
  assert.equal(await real.locator('#menu .entry-label').first().textContent(), '');
  assert.deepEqual(await sent(real), [{ cmd: 'ready' }]);
  assert.equal(await real.evaluate(() => performance.getEntriesByType('resource').some((e) => e.name.endsWith('/demo.js'))), false);
  assert.equal(await real.evaluate(() => typeof window.vantorDemoState), 'undefined');
  await real.close();
});

test('demo mode applies "setSettings" and "setPrefs" to its own state', async () => {
  const page = await openPage(env, { bridge: false, query: '?page=settings&tab=2', hash: '#signedin', clock: true });
  await page.waitForFunction(() => document.querySelector('#page .tab.on')?.textContent === 'Audio');
  await page.clock.pauseAt(Date.now() + 60_000);
  const demo = () => page.evaluate(() => window.vantorDemoState());
  await page.keyboard.press('a');
  assert.equal(await page.locator('#page .row.focus .num').textContent(), '90 %');
  assert.equal((await demo()).settings.audio.master, 1.0, 'not before the save');
  await page.clock.runFor(150);
  assert.equal((await demo()).settings.audio.master, 0.9);
  assert.equal((await demo()).settings.audio.music, 0.5, 'the whole settings object');
  // Its answer, 30 ms later, carries the edit.
  await page.clock.runFor(700);
  assert.equal(await page.locator('#page .row.focus .num').textContent(), '90 %');
  await page.keyboard.press('e');
  await page.keyboard.press('e');
  assert.equal(await text(page, '#page .tab.on'), 'Launcher');
  await page.keyboard.press('ArrowRight');
  assert.equal(await text(page, '#page .row.focus .ctl'), 'Close');
  assert.equal((await demo()).prefs.onPlay, 'close');
  assert.equal((await demo()).settings.audio.master, 0.9, 'a preference keeps the saved settings');
  await page.clock.runFor(700);
  await page.keyboard.press('Escape');
  await page.clock.runFor(300);
  assert.equal(await visibleScreen(page), 'home');
  assert.equal((await page.locator('#corner .corner-line').allTextContents()).join('\n'), 'Signed in as Kestrel\nVantor Prime · 214 of 500 pilots online\nOnline\nLauncher 1.0.0 · Game 0.9.4 (1287)');
  await page.keyboard.press('w');
  await page.keyboard.press('Enter');
  assert.equal(await page.locator('#toast').textContent(), '(demo) close');
  await page.clock.runFor(400);
  await settle(page);
  await screenshot(page, 'demo-signed-in');
  assertClean(null, page);
  await page.close();
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
