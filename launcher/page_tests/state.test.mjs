// State intake and the account screen: the 600 ms local-edit rule, the edit
// debounce, pending edits sent before "close" and "play", onboarding, the
// pilot-name and password checks and the account results.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  setup, start, baseState, sent, clearSent, push, commands, text, visibleScreen, assertClean,
} from './harness.mjs';

let env;
before(async () => { env = await setup(); });
after(async () => { await env.close(); });

// Opens SETTINGS from the home menu (third entry).
async function openSettings(page, tab = 0) {
  await page.keyboard.press('s');
  await page.keyboard.press('s');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.querySelector('#page .page-title')?.textContent === 'SETTINGS');
  for (let i = 0; i < tab; i++) await page.keyboard.press('e');
}

const rowValue = (page, label) => page.locator('#page .row', { hasText: label }).locator('.ctl').innerText();

test('a push 599 ms after a local edit keeps the page\'s settings; at 600 ms it replaces them', async () => {
  const page = await start(env, baseState(), { clock: true });
  await page.clock.pauseAt(Date.now() + 60_000);
  await openSettings(page);
  for (let i = 0; i < 4; i++) await page.keyboard.press('s');   // Brightness
  await clearSent(page);
  await page.keyboard.press('d');
  assert.equal(await rowValue(page, 'Brightness'), '110 %');
  await page.clock.runFor(149);
  assert.deepEqual(await sent(page), [], 'the save waits 150 ms');
  await page.clock.runFor(1);
  const saved = await sent(page);
  assert.equal(saved.length, 1);
  assert.equal(saved[0].cmd, 'setSettings');
  assert.equal(saved[0].settings.display.brightness, 1.1);
  assert.equal(saved[0].settings.audio.music, 0.5, 'the whole settings object is sent');
  // The save set the edit time again; a stale push 599 ms later is overruled.
  await page.clock.runFor(599);
  await push(page, baseState());
  assert.equal(await rowValue(page, 'Brightness'), '110 %');
  await page.clock.runFor(1);
  await push(page, baseState());
  assert.equal(await rowValue(page, 'Brightness'), '100 %');
  assertClean(null, page);
  await page.close();
});

test('the same rule for preferences, which are sent at once', async () => {
  const page = await start(env, baseState(), { clock: true });
  await page.clock.pauseAt(Date.now() + 60_000);
  await openSettings(page, 4);
  for (let i = 0; i < 3; i++) await page.keyboard.press('s');   // Update channel
  await clearSent(page);
  await page.keyboard.press('ArrowRight');
  const prefs = await sent(page);
  assert.equal(prefs.length, 1);
  assert.deepEqual(prefs[0], { cmd: 'setPrefs', prefs: { ...baseState().prefs, channel: 'beta' } });
  await page.clock.runFor(599);
  await push(page, baseState());
  assert.equal(await rowValue(page, 'Update channel'), 'Beta');
  await page.clock.runFor(1);
  await push(page, baseState());
  assert.equal(await rowValue(page, 'Update channel'), 'Stable');
  await page.close();
});

test('quick changes are saved once, with the last values', async () => {
  const page = await start(env, baseState(), { clock: true });
  await page.clock.pauseAt(Date.now() + 60_000);
  await openSettings(page, 2);
  await clearSent(page);
  for (let i = 0; i < 3; i++) {
    await page.keyboard.press('a');
    await page.clock.runFor(100);
  }
  await page.clock.runFor(150);
  const saves = await sent(page);
  assert.equal(saves.length, 1);
  assert.equal(saves[0].settings.audio.master, 0.7);
  await page.close();
});

test('a pending settings edit is sent before "close" and before "play"', async () => {
  for (const [entry, cmd] of [[4, 'close'], [0, 'play']]) {
    const page = await start(env, baseState(), { clock: true });
    await page.clock.pauseAt(Date.now() + 60_000);
    await openSettings(page);
    await page.keyboard.press('d');            // Window mode: borderless
    await page.keyboard.press('Escape');
    await clearSent(page);
    await page.locator('#menu .entry').nth(entry).click();
    const out = await sent(page);
    assert.deepEqual(out.map((c) => c.cmd), ['setSettings', cmd], cmd);
    assert.equal(out[0].settings.display.windowMode, 'borderless');
    await page.clock.runFor(1000);
    assert.equal((await sent(page)).length, 2, 'the edit is not sent twice');
    await page.close();
  }
});

test('onboarding opens once, on the first state only, and closing it sends "skipAccount"', async () => {
  const fresh = { account: { available: true }, prefs: { onboarded: false } };
  const page = await start(env, baseState(fresh));
  await page.waitForFunction(() => document.activeElement?.id === 'acct-name');
  assert.equal(await visibleScreen(page), 'account');
  assert.equal(await text(page, '.acct-title'), 'CREATE ACCOUNT');
  assert.equal(await text(page, '.acct-sub'), 'Pick your pilot name: other players see it over your ship. The game is downloading in the meantime.');
  assert.equal(await text(page, '#acct-back'), 'Play offline for now');
  assert.match(await text(page, '#acct-prompts'), /Q\s*E\s*I have an account\s*Enter\s*Create\s*Esc\s*Later/);
  await push(page, baseState(fresh));
  // Esc in the name field leaves it and closes the screen.
  await page.keyboard.press('Escape');
  await page.waitForFunction(() => document.querySelector('#account').hidden);
  assert.deepEqual(await commands(page), ['ready', 'skipAccount']);
  // The page handles a state before push() returns: a screen it opened would
  // already count as the visible one.
  await push(page, baseState(fresh));
  assert.equal(await visibleScreen(page), 'home');
  // Opened from the settings it is not onboarding: closing sends nothing.
  await openSettings(page, 3);
  await page.keyboard.press('Enter');          // Account: Sign in
  await page.waitForFunction(() => document.activeElement?.id === 'acct-name');
  assert.equal(await text(page, '.acct-title'), 'SIGN IN');
  assert.equal(await text(page, '.acct-sub'), 'Welcome back, pilot.');
  assert.equal(await text(page, '#acct-back'), 'Back');
  assert.equal(await page.locator('#acct-pass2').isHidden(), true);
  await page.locator('#acct-back').click();
  assert.deepEqual(await commands(page), ['ready', 'skipAccount']);
  await page.close();

  const never = [
    { account: { available: false }, prefs: { onboarded: false } },
    { account: { available: true, signedIn: true, username: 'X' }, prefs: { onboarded: false } },
    { account: { available: true }, prefs: { onboarded: true } },
  ];
  for (const over of never) {
    const p = await start(env, baseState(over));
    assert.equal(await visibleScreen(p), 'home', JSON.stringify(over));
    await p.close();
  }
});

test('pilot name and password checks, in order, before anything is sent', async () => {
  const page = await start(env, baseState({ account: { available: true }, prefs: { onboarded: false } }));
  await page.waitForFunction(() => document.activeElement?.id === 'acct-name');
  const NAME = 'Pilot names are 3 to 20 letters, digits, - or _.';
  const PASS = 'Passwords are at least 8 characters.';
  const SAME = "The two passwords don't match.";
  const cases = [
    ['ab', 'longenough', 'longenough', NAME],
    ['a'.repeat(21), 'longenough', 'longenough', NAME],
    ['has space', 'longenough', 'longenough', NAME],
    ['dot.name', 'longenough', 'longenough', NAME],
    ['Ünicode', 'longenough', 'longenough', NAME],
    ['ab', 'short', 'other', NAME],
    ['Kes_trel-9', 'short77', 'short77', PASS],
    ['Kestrel', 'longenough', 'different', SAME],
  ];
  for (const [name, pass, again, error] of cases) {
    // The name field holds at most 20 characters: fill around that limit.
    await page.locator('#acct-name').evaluate((e, v) => { e.value = v; }, name);
    await page.locator('#acct-pass').fill(pass);
    await page.locator('#acct-pass2').fill(again);
    await page.locator('#acct-pass2').press('Enter');
    assert.equal(await text(page, '.acct-error'), error, name);
  }
  assert.deepEqual(await commands(page), ['ready']);
  // Spaces around the name are trimmed; the error line clears.
  await page.locator('#acct-name').fill('  Kestrel  ');
  await page.locator('#acct-pass').fill('longenough');
  await page.locator('#acct-pass2').fill('longenough');
  await page.locator('#acct-submit').click();
  assert.equal(await page.locator('.acct-error').textContent(), '');
  assert.deepEqual((await sent(page)).at(-1), { cmd: 'createAccount', username: 'Kestrel', password: 'longenough' });
  // While busy the main button waits and submitting does nothing.
  await push(page, baseState({ account: { available: true, busy: true }, prefs: { onboarded: false } }));
  assert.equal(await text(page, '#acct-submit'), 'One moment…');
  await page.locator('#acct-pass').press('Enter');
  await page.locator('#acct-submit').click({ force: true });
  assert.equal((await sent(page)).length, 2);
  await push(page, baseState({ account: { available: true }, prefs: { onboarded: false } }));
  // A refusal shows its text, or a fallback.
  await push(page, { type: 'account', ok: false, error: 'That name is taken <b>' });
  assert.equal(await text(page, '.acct-error'), 'That name is taken <b>');
  await push(page, { type: 'account', ok: false });
  assert.equal(await text(page, '.acct-error'), "That didn't work.");
  // Success names the pilot just created (the state has no name yet).
  await push(page, { type: 'account', ok: true, created: true });
  assert.equal(await page.locator('#toast').textContent(), 'Welcome aboard, Kestrel');
  await page.waitForFunction(() => document.querySelector('#account').hidden);
  assert.equal(await page.locator('#acct-pass').inputValue(), '');
  assert.deepEqual(await commands(page), ['ready', 'createAccount'], 'success is not a skip');
  assertClean(null, page);
  await page.close();
});

test('sign-in mode: Q/E switch modes, mode tabs are buttons Tab reaches, sign-in toast', async () => {
  const page = await start(env, baseState({ account: { available: true }, prefs: { onboarded: false } }));
  await page.waitForFunction(() => document.activeElement?.id === 'acct-name');
  // Q typed into a field is text, not a mode switch.
  await page.keyboard.type('qe');
  assert.equal(await page.locator('#acct-name').inputValue(), 'qe');
  assert.equal(await text(page, '.acct-title'), 'CREATE ACCOUNT');
  // Shift+Tab from the name field reaches the "Sign in" tab button.
  await page.keyboard.press('Shift+Tab');
  assert.equal(await page.evaluate(() => document.activeElement.textContent), 'Sign in');
  await page.keyboard.press('Enter');
  assert.equal(await text(page, '.acct-title'), 'SIGN IN');
  assert.match(await text(page, '#acct-prompts'), /New account/);
  // Away from the fields, Q and E switch the mode.
  await page.evaluate(() => document.activeElement.blur());
  await page.keyboard.press('e');
  assert.equal(await text(page, '.acct-title'), 'CREATE ACCOUNT');
  await page.keyboard.press('q');
  assert.equal(await text(page, '.acct-title'), 'SIGN IN');
  await page.locator('#acct-name').fill('Wren');
  await page.locator('#acct-pass').fill('12345678');
  await page.locator('#acct-pass').press('Enter');
  assert.deepEqual((await sent(page)).at(-1), { cmd: 'signIn', username: 'Wren', password: '12345678' });
  await push(page, { type: 'account', ok: true, created: false });
  assert.equal(await page.locator('#toast').textContent(), 'Signed in as Wren');
  assert.equal(await page.locator('#acct-pass').inputValue(), '');
  await page.close();
});

test('live refresh of an open page watches the account, "feed"."ok" and "game"."build"', async () => {
  const page = await start(env, baseState({ account: { available: true } }));
  await openSettings(page, 3);
  assert.equal(await rowValue(page, 'Account'), 'Sign in');
  await push(page, baseState({ account: { available: true, signedIn: true, username: 'Kestrel', profile: { referralCode: 'K1', invited: 2 }, site: 'https://x.example/install/' } }));
  assert.equal(await rowValue(page, 'Account'), 'Sign out Kestrel');
  assert.equal(await rowValue(page, 'Invite friends'), 'Copy invite link');
  await page.keyboard.press('Escape');
  // ADDONS, Browse tab with an empty catalogue.
  await page.keyboard.press('w');
  await page.keyboard.press('Enter');
  await page.keyboard.press('e');
  await push(page, baseState({ feed: { ok: false } }));
  assert.equal(await text(page, '#page .row-label'), "Can't reach the server");
  await push(page, baseState({ feed: { ok: true } }));
  assert.equal(await text(page, '#page .row-label'), 'Nothing on the server yet');
  await push(page, baseState({ feed: { ok: false, checked: false } }));
  assert.equal(await text(page, '#page .row-label'), 'Checking the server…');
  await page.keyboard.press('Escape');
  // DATA, Game tab, Game folder: the build alone changes.
  await page.keyboard.press('s');
  await page.keyboard.press('s');
  await page.keyboard.press('Enter');
  await page.keyboard.press('e');
  for (let i = 0; i < 3; i++) await page.keyboard.press('s');
  assert.match(await text(page, '#page .side'), /1\.4\.0 \(build 311\)/);
  await push(page, baseState({ game: { build: 312 } }));
  assert.match(await text(page, '#page .side'), /1\.4\.0 \(build 312\)/);
  assert.equal(await text(page, '#page .row.focus .row-label'), 'Game folder');
  await page.close();
});

test('leaving onboarding through the downloads indicator still sends "skipAccount"', async () => {
  const page = await start(env, baseState({
    account: { available: true }, prefs: { onboarded: false }, game: { status: 'busy' },
    queue: [{ id: 1, kind: 'game', label: 'Game 1.5.0', paused: false, active: true }],
  }));
  await page.waitForFunction(() => document.activeElement?.id === 'acct-name');
  await page.locator('#dl').click();
  await page.waitForFunction(() => document.querySelector('#page .page-title')?.textContent === 'DOWNLOADS');
  assert.deepEqual(await commands(page), ['ready', 'skipAccount']);
  await page.close();
});

test('a push of the old settings long after an edit redraws the open page', async () => {
  // The launcher kept its settings (the save did not take) and speaks again
  // after the local-edit window: the page must show what the launcher has,
  // not the value it edited.
  const page = await start(env, baseState(), { clock: true });
  await page.clock.pauseAt(Date.now() + 60_000);
  await openSettings(page);
  await page.keyboard.press('d');
  assert.equal(await rowValue(page, 'Window mode'), 'Borderless');
  await page.clock.runFor(150);
  assert.equal((await sent(page)).at(-1).settings.display.windowMode, 'borderless');
  await page.clock.runFor(700);
  await push(page, baseState());
  assert.equal(await rowValue(page, 'Window mode'), 'Windowed');
  // The same for a preference, sent at once.
  await page.keyboard.press('q');
  await page.keyboard.press('ArrowRight');
  assert.equal(await rowValue(page, 'When the game starts'), 'Close');
  await page.clock.runFor(700);
  await push(page, baseState());
  assert.equal(await rowValue(page, 'When the game starts'), 'Minimise');
  assertClean(null, page);
  await page.close();
});
