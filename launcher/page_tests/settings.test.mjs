// The row engine on the SETTINGS page: ranges, choices, greying, reset, text
// rows, the right column, prompts, pointer and keys.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  setup, start, baseState, defaultSettings, sent, clearSent, push, text, visibleScreen, assertClean,
} from './harness.mjs';

let env;
before(async () => { env = await setup(); });
after(async () => { await env.close(); });

async function openSettings(page, tab = 0) {
  await page.locator('#menu .entry').nth(2).click();
  await page.waitForFunction(() => document.querySelector('#page .page-title')?.textContent === 'SETTINGS');
  for (let i = 0; i < tab; i++) await page.keyboard.press('e');
}

async function focusLabel(page, label) {
  for (let i = 0; i < 30; i++) {
    if ((await text(page, '#page .row.focus .row-label')) === label) return;
    await page.keyboard.press('s');
  }
  throw new Error('no row ' + label);
}

const row = (page, label) => page.locator('#page .row', { has: page.locator('.row-label', { hasText: new RegExp('^' + label + '$') }) });
const value = (page, label) => row(page, label).locator('.ctl').innerText();
const barsOn = (page, label) => row(page, label).locator('.bar.on').count();
const settingsWith = (over) => {
  const s = defaultSettings();
  for (const [sec, vals] of Object.entries(over)) Object.assign(s[sec], vals);
  return s;
};

// The page on a paused fake clock: the 150 ms save debounce and the screen
// fades run only when a test moves the clock.
async function open(state, opts = {}) {
  const page = await start(env, state, { clock: true, ...opts });
  await page.clock.pauseAt(Date.now() + 60_000);
  return page;
}

// Moves the clock past the 150 ms debounce and returns the settings commands
// sent.
async function saves(page) {
  await page.clock.runFor(200);
  return (await sent(page)).filter((c) => c.cmd === 'setSettings');
}

// Back to the home screen: the page fades out for 300 ms.
async function backHome(page, key) {
  await page.keyboard.press(key);
  await page.clock.runFor(300);
  assert.equal(await page.locator('#page').isHidden(), true);
  assert.equal(await visibleScreen(page), 'home');
}

test('ranges: 150 % stays, 170 m steps to 200 m, 300 m stays, bar clicks, values outside the range', async () => {
  const page = await open(baseState({ settings: settingsWith({ display: { brightness: 1.5 } }) }));
  await openSettings(page);
  await focusLabel(page, 'Brightness');
  assert.equal(await value(page, 'Brightness'), '150 %');
  assert.equal(await barsOn(page, 'Brightness'), 10);
  await clearSent(page);
  await page.keyboard.press('ArrowRight');
  assert.equal(await value(page, 'Brightness'), '150 %');
  assert.deepEqual(await saves(page), []);
  await page.keyboard.press('a');
  assert.equal(await value(page, 'Brightness'), '140 %');
  assert.equal(await barsOn(page, 'Brightness'), 9);
  // A click on the first bar: the step nearest to min + 1/10 of the span.
  await row(page, 'Brightness').locator('.bar').nth(0).click();
  assert.equal(await value(page, 'Brightness'), '60 %');
  assert.equal((await saves(page)).at(-1).settings.display.brightness, 0.6);

  await page.keyboard.press('e');
  await focusLabel(page, 'Grass distance');
  assert.equal(await value(page, 'Grass distance'), '170 m');
  assert.equal(await barsOn(page, 'Grass distance'), 6);
  await page.keyboard.press('Enter');
  assert.equal(await value(page, 'Grass distance'), '200 m');
  for (let i = 0; i < 5; i++) await page.keyboard.press('Enter');
  assert.equal(await value(page, 'Grass distance'), '300 m');
  assert.equal((await saves(page)).at(-1).settings.graphics.grassDistance, 300);
  await row(page, 'Terrain detail').locator('.bar').nth(2).click();
  assert.equal(await value(page, 'Terrain detail'), '100 %');
  await row(page, 'Terrain detail').locator('.bar').nth(9).click();
  assert.equal(await value(page, 'Terrain detail'), '200 %');
  await page.close();

  // Values the game stored outside the page's range stay until moved inwards;
  // the fill never passes ten bars and no key moves against its direction.
  const wide = await open(baseState({ settings: settingsWith({ display: { brightness: 1.8 }, graphics: { grassDistance: 400 } }) }));
  await openSettings(wide);
  await focusLabel(wide, 'Brightness');
  assert.equal(await value(wide, 'Brightness'), '180 %');
  assert.equal(await barsOn(wide, 'Brightness'), 10);
  assert.equal(await row(wide, 'Brightness').locator('.bar').count(), 10);
  await clearSent(wide);
  await wide.keyboard.press('d');
  await wide.keyboard.press('Enter');
  assert.equal(await value(wide, 'Brightness'), '180 %');
  assert.deepEqual(await saves(wide), []);
  await wide.keyboard.press('ArrowLeft');
  assert.equal(await value(wide, 'Brightness'), '150 %');
  await wide.keyboard.press('e');
  await focusLabel(wide, 'Grass distance');
  await wide.keyboard.press('ArrowRight');
  assert.equal(await value(wide, 'Grass distance'), '400 m');
  assertClean(null, wide);
  await wide.close();
});

test('choices wrap; an unknown value counts as the first option; arrows and clicks change them', async () => {
  const page = await open(baseState({ settings: settingsWith({ display: { width: 1366, height: 768 } }) }));
  await openSettings(page);
  assert.equal(await value(page, 'Window mode'), 'Windowed');
  await page.keyboard.press('ArrowLeft');
  assert.equal(await value(page, 'Window mode'), 'Borderless');
  await page.keyboard.press('ArrowRight');
  assert.equal(await value(page, 'Window mode'), 'Windowed');
  await row(page, 'Window mode').locator('.row-label').click();
  assert.equal(await value(page, 'Window mode'), 'Borderless');
  assert.equal(await value(page, 'Window size'), '1280 × 720');
  await clearSent(page);
  await row(page, 'Window size').locator('.arrow.next').click();
  assert.equal(await value(page, 'Window size'), '1600 × 900');
  const last = (await saves(page)).at(-1).settings.display;
  assert.deepEqual([last.width, last.height, last.windowMode], [1600, 900, 'borderless']);
  await row(page, 'Frame generation').locator('.arrow.prev').click();
  assert.equal(await value(page, 'Frame generation'), '4×');
  await page.close();
});

test('ray tracing off greys the rows that need it; turning it on brings them back', async () => {
  const page = await open(baseState({ settings: settingsWith({ graphics: { rayTracing: false } }) }));
  await openSettings(page, 1);
  const gi = row(page, 'Global illumination');
  assert.equal(await gi.getAttribute('aria-disabled'), 'true');
  assert.equal(await row(page, 'Ray reconstruction').getAttribute('aria-disabled'), 'true');
  assert.equal(await row(page, 'Light shafts').getAttribute('aria-disabled'), null);
  await focusLabel(page, 'Global illumination');
  assert.match(await text(page, '#page .side'), /Needs\s*Ray tracing on/);
  assert.doesNotMatch(await text(page, '#page-prompts'), /Change/);
  await clearSent(page);
  await page.keyboard.press('Enter');
  await page.keyboard.press('ArrowRight');
  // Greyed rows are aria-disabled, which Playwright respects unless forced.
  await gi.locator('.arrow.next').click({ force: true });
  await gi.locator('.row-label').click({ force: true });
  assert.equal(await value(page, 'Global illumination'), 'On');
  assert.deepEqual(await saves(page), []);
  await page.keyboard.press('w');            // Ray tracing
  await page.keyboard.press('d');
  assert.equal(await gi.getAttribute('aria-disabled'), null);
  await page.keyboard.press('s');
  assert.doesNotMatch(await text(page, '#page .side'), /Needs/);
  await page.keyboard.press('Enter');
  assert.equal(await value(page, 'Global illumination'), 'Off');
  await page.close();
});

test('reset is offered only away from the default, never on text rows', async () => {
  const page = await open(baseState({ settings: settingsWith({ audio: { music: 0.8 } }) }));
  await openSettings(page, 2);
  assert.doesNotMatch(await text(page, '#page-prompts'), /Reset/, 'master at its default');
  await clearSent(page);
  await page.keyboard.press('r');
  assert.deepEqual(await saves(page), []);
  await page.keyboard.press('s');
  assert.match(await text(page, '#page-prompts'), /R\s*Reset/);
  assert.match(await text(page, '#page .side'), /Default\s*50 %/);
  await page.keyboard.press('r');
  assert.equal(await value(page, 'Music'), '50 %');
  assert.doesNotMatch(await text(page, '#page-prompts'), /Reset/);
  assert.equal((await saves(page)).at(-1).settings.audio.music, 0.5);
  await page.keyboard.press('e');
  await focusLabel(page, 'Server');
  assert.doesNotMatch(await text(page, '#page-prompts'), /Reset/);
  assert.doesNotMatch(await text(page, '#page .side'), /Default/);
  await page.close();
});

test('text rows: Enter edits, Esc stores the text and stays, a second Esc goes home', async () => {
  const page = await open(baseState());
  await openSettings(page, 3);
  await focusLabel(page, 'Pilot name (offline servers)');
  assert.match(await text(page, '#page-prompts'), /Enter\s*Edit/);
  await page.keyboard.press('Enter');
  await page.keyboard.type('Wren<b>');
  // Global keys are typed, not acted on.
  await page.keyboard.type('qe sw');
  await clearSent(page);
  await page.keyboard.press('Escape');
  assert.equal(await visibleScreen(page), 'page');
  // A state that crosses the edit before its save keeps the page's text; the
  // row keeps focus.
  await push(page, baseState());
  const input = row(page, 'Pilot name \\(offline servers\\)').locator('input');
  assert.equal(await input.inputValue(), 'Wren<b>qe sw');
  assert.equal(await text(page, '#page .row.focus .row-label'), 'Pilot name (offline servers)');
  const saved = await saves(page);
  assert.equal(saved.length, 1);
  assert.equal(saved[0].settings.online.name, 'Wren<b>qe sw');
  await backHome(page, 'Escape');
  assertClean(null, page);
  await page.close();
});

test('a state arriving while a text is edited does not disturb the input', async () => {
  const page = await open(baseState());
  await openSettings(page, 4);
  await focusLabel(page, 'Launch options');
  await page.keyboard.press('Enter');
  await page.keyboard.type('--skip');
  await push(page, baseState({ saves: { files: 9 } }));
  await page.keyboard.type('-intro');
  await page.keyboard.press('Enter');
  const prefs = (await sent(page)).filter((c) => c.cmd === 'setPrefs');
  assert.equal(prefs.at(-1).prefs.launchOptions, '--skip-intro');
  await page.close();
});

test('right column: description, default, performance bars, running note', async () => {
  const page = await open(baseState({ game: { status: 'running' } }));
  await openSettings(page, 1);
  const side = await text(page, '#page .side');
  assert.match(side, /^Upscaling\n+Renders fewer pixels and rebuilds the image\./);
  assert.match(side, /Saved\. The game picks this up the next time it starts\./);
  assert.match(side, /Default\s*DLSS Quality/);
  assert.equal(await page.locator('#page .side .cost .on').count(), 3);
  await page.keyboard.press('e');
  await page.keyboard.press('e');
  await page.keyboard.press('e');
  assert.doesNotMatch(await text(page, '#page .side'), /Saved\./, 'not on the Launcher tab');
  await page.close();
});

test('online rows: sign out, invite link', async () => {
  const acct = { available: true, signedIn: true, username: 'Kestrel', profile: { referralCode: 'K 1&2', invited: 3 }, site: 'https://play.example/install/' };
  const LINK = 'https://play.example/install/?ref=K%201%262';
  const page = await open(baseState({ account: acct }));
  await openSettings(page, 3);
  assert.equal(await value(page, 'Account'), 'Sign out Kestrel');
  await page.keyboard.press('s');
  const side = await text(page, '#page .side');
  assert.match(side, /3 pilot\(s\) joined with your link so far\./);
  assert.match(side, /Link\s*https:\/\/play\.example\/install\/\?ref=K%201%262/);
  // With the clipboard granted the link lands there and the toast says so.
  await page.context().grantPermissions(['clipboard-read', 'clipboard-write'], { origin: env.server.origin });
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.querySelector('#toast.show'));
  assert.equal(await page.locator('#toast').textContent(), 'Invite link copied');
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), LINK);
  // With no way to copy, the toast shows the link itself for the player to
  // copy by hand.
  await page.clock.runFor(3200);
  assert.equal(await page.locator('#toast.show').count(), 0);
  await page.evaluate(() => {
    navigator.clipboard.writeText = () => Promise.reject(new Error('denied'));
    document.execCommand = () => false;
  });
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.querySelector('#toast.show'));
  assert.equal(await page.locator('#toast').textContent(), LINK);
  await page.keyboard.press('w');
  await clearSent(page);
  await page.keyboard.press('Enter');
  assert.deepEqual(await sent(page), [{ cmd: 'signOut' }]);
  await push(page, baseState({ account: { available: false } }));
  assert.equal(await value(page, 'Account'), 'Offline copy');
  assert.equal(await row(page, 'Account').getAttribute('aria-disabled'), 'true');
  assert.equal(await value(page, 'Invite friends'), 'Sign in first');
  assertClean(null, page);
  await page.close();
});

test('page keys: tabs with Q/E/Tab, rows with W/S without wrapping, Backspace goes home', async () => {
  const page = await open(baseState());
  await openSettings(page);
  const tab = () => text(page, '#page .tab.on');
  assert.equal(await tab(), 'Display');
  await page.keyboard.press('q');
  assert.equal(await tab(), 'Launcher');
  await page.keyboard.press('Tab');
  assert.equal(await tab(), 'Display');
  await page.keyboard.press('Shift+Tab');
  assert.equal(await tab(), 'Launcher');
  await page.keyboard.press('e');
  await page.keyboard.press('e');
  assert.equal(await tab(), 'Graphics');
  assert.equal(await text(page, '#page .row.focus .row-label'), 'Upscaling');
  await page.keyboard.press('w');
  assert.equal(await text(page, '#page .row.focus .row-label'), 'Upscaling');
  for (let i = 0; i < 20; i++) await page.keyboard.press('ArrowDown');
  assert.equal(await text(page, '#page .row.focus .row-label'), 'Depth of field');
  await page.locator('#page .tab', { hasText: 'Audio' }).click();
  assert.equal(await tab(), 'Audio');
  await row(page, 'Effects').hover();
  assert.equal(await text(page, '#page .row.focus .row-label'), 'Effects');
  await backHome(page, 'Backspace');
  assertClean(null, page);
  await page.close();
});

test('download speed limit: steps through the limits, sends them at once, keeps a value set elsewhere', async () => {
  const page = await open(baseState({ prefs: { downloadLimit: 0 } }));
  await openSettings(page, 4);
  await focusLabel(page, 'Download speed limit');
  assert.equal(await value(page, 'Download speed limit'), 'No limit');
  assert.match(await text(page, '#page .side'), /Applies at once, also to a download in progress\./);
  assert.match(await text(page, '#page .side'), /Default\s*No limit/);
  await clearSent(page);
  await page.keyboard.press('ArrowRight');
  assert.equal(await value(page, 'Download speed limit'), '256 KB/s');
  await page.keyboard.press('ArrowRight');
  await page.keyboard.press('ArrowRight');
  assert.equal(await value(page, 'Download speed limit'), '1 MB/s');
  const prefs = (await sent(page)).filter((c) => c.cmd === 'setPrefs').map((c) => c.prefs.downloadLimit);
  assert.deepEqual(prefs, [256, 512, 1024], 'each step goes out at once, in KiB/s');
  await page.keyboard.press('ArrowLeft');
  await page.keyboard.press('ArrowLeft');
  await page.keyboard.press('ArrowLeft');
  assert.equal(await value(page, 'Download speed limit'), 'No limit');
  assert.equal((await sent(page)).at(-1).prefs.downloadLimit, 0);

  // 768 KiB/s came from launcher.json: shown as it is, between its neighbours.
  await push(page, baseState({ prefs: { downloadLimit: 768 } }));
  await page.clock.runFor(700);
  await push(page, baseState({ prefs: { downloadLimit: 768 } }));
  assert.equal(await value(page, 'Download speed limit'), '768 KB/s');
  await page.keyboard.press('ArrowRight');
  assert.equal(await value(page, 'Download speed limit'), '1 MB/s');
  assertClean(null, page);
  await page.close();
});
