// The starfield: its motion shared with the window (starmath.js), the field
// resting after minutes without input, and the page's side of the window's
// native field (what it tells the window, and that it draws nothing itself).

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { setup, start, baseState, task, push, assertClean } from './harness.mjs';

let env;
before(async () => { env = await setup(); });
after(async () => { await env.close(); });

const stats = (page) => page.evaluate(() => window.vantorStarfield());

test('a field nobody touches for three minutes eases to a stop, draws nothing, and the next input wakes it', async () => {
  // Four frames a second keep the minutes of fake time quick to run.
  const page = await start(env, baseState(), { clock: true, reducedMotion: 'no-preference', query: '?fps=4' });
  await page.clock.pauseAt(Date.now() + 60_000);
  await page.evaluate(() => { document.hasFocus = () => true; window.dispatchEvent(new Event('focus')); });
  await page.clock.runFor(5_000);
  const moving = await stats(page);
  assert.ok(moving.running && !moving.resting && moving.speed > 0.2, JSON.stringify(moving));
  // Still moving shortly before the three minutes are up.
  await page.clock.runFor(170_000);
  assert.equal((await stats(page)).resting, false);
  // Then it slows over some seconds, and stops.
  await page.clock.runFor(8_000);
  const slowing = await stats(page);
  assert.ok(slowing.speed < moving.speed * 0.8 && !slowing.resting, `slowing: ${slowing.speed}`);
  await page.clock.runFor(90_000);
  const rest = await stats(page);
  assert.equal(rest.resting, true, JSON.stringify({ speed: rest.speed }));
  await page.clock.runFor(2_000);
  assert.equal((await stats(page)).frames, rest.frames, 'frames drawn at rest');
  // A state push is not an input; the pointer is.
  await push(page, baseState({ server: { name: 'Vantor Prime', playerCount: 3, maxPlayers: 10 } }));
  await page.clock.runFor(1_000);
  assert.equal((await stats(page)).frames, rest.frames, 'a state push woke the field');
  await page.mouse.move(300, 300);
  await page.clock.runFor(2_000);
  const awake = await stats(page);
  assert.ok(awake.frames >= rest.frames + 6 && !awake.resting, JSON.stringify(awake));
  assert.ok(awake.speed > 0.1, `speed after waking: ${awake.speed}`);
  assertClean(null, page);
  await page.close();
});

test('in the window the page draws no field and tells the window what moves it', async () => {
  const page = await start(env, baseState(), { clock: true, nativeStars: true, reducedMotion: 'no-preference' });
  await page.clock.runFor(2_000);
  const s = await stats(page);
  assert.equal(s.native, true);
  assert.equal(s.frames, 0, 'the page drew frames');
  assert.equal(await page.evaluate(() => getComputedStyle(document.getElementById('stars')).display), 'none');
  const inputs = () => page.evaluate(() => window.__stars.filter((m) => 'menuFocus' in m));
  const last = async () => (await inputs()).at(-1);
  assert.deepEqual(await last(), { menuFocus: 0, home: true, calm: false, progress: null, running: true });
  // Each change is told once.
  const count = (await inputs()).length;
  await page.keyboard.press('s');
  assert.equal((await last()).menuFocus, 1);
  await page.keyboard.press('s');
  assert.equal((await last()).menuFocus, 2);
  assert.equal((await inputs()).length, count + 2);
  await push(page, baseState({ game: { status: 'busy' }, queue: [{ id: 1, kind: 'game', label: 'Game', paused: false, active: true }],
    task: task({ bytesDone: 1e9, bytesTotal: 4e9 }) }));
  assert.equal((await last()).progress, 0.25);
  await push(page, baseState({ game: { status: 'running' } }));
  assert.equal((await last()).running, false);
  await push(page, baseState({ prefs: { reduceMotion: true } }));
  assert.deepEqual(await last(), { menuFocus: 2, home: true, calm: true, progress: null, running: true });
  await page.keyboard.press('Enter');  // SETTINGS
  await page.clock.runFor(500);
  assert.equal((await last()).home, false);
  assertClean(null, page);
  await page.close();
});

test('in the window PLAY jumps the window\'s field, and dark panels are named with their opacity', async () => {
  const page = await start(env, baseState(), { clock: true, nativeStars: true, reducedMotion: 'no-preference' });
  await page.clock.runFor(1_000);
  await page.keyboard.press('Enter');  // PLAY
  assert.ok((await page.evaluate(() => window.__stars)).some((m) => m.jump === true), 'no jump');
  const shades = async () => (await page.evaluate(() => window.__stars.filter((m) => m.shades))).at(-1).shades;
  // The home screen's key caps are dark translucent boxes.
  const caps = await shades();
  assert.ok(caps.length >= 2 && caps.every((s) => s[4] === 0.35 && s[2] > 10 && s[2] < 80), JSON.stringify(caps));
  // The close request's dialog darkens the whole window, its box hides the field.
  await push(page, baseState({ task: task({ bytesDone: 1, bytesTotal: 2 }) }));
  await page.click('#tb-close');
  await page.clock.runFor(200);
  const open = await shades();
  assert.ok(open.some((s) => s[0] === 0 && s[1] === 0 && s[2] === 1280 && s[3] === 760 && s[4] === 0.7), JSON.stringify(open));
  assert.ok(open.some((s) => s[2] === 480 && s[4] === 1), JSON.stringify(open));
  await page.keyboard.press('Escape');
  await page.clock.runFor(200);
  assert.ok(!(await shades()).some((s) => s[4] === 0.7), 'the dialog stayed named after it closed');
  assertClean(null, page);
  await page.close();
});

test('the title\'s sheen passes only while the window is active and the field is not resting', async () => {
  const page = await start(env, baseState(), { clock: true, nativeStars: true, reducedMotion: 'no-preference' });
  await page.evaluate(() => {
    window.__focused = true;
    document.hasFocus = () => window.__focused;
    window.__sheens = 0;
    const classes = document.querySelector('.mk-sheen').classList;
    const add = classes.add.bind(classes);
    classes.add = (...names) => { if (names.includes('go')) window.__sheens++; return add(...names); };
  });
  const sheens = () => page.evaluate(() => window.__sheens);
  await page.clock.runFor(15_000);
  const first = await sheens();
  assert.ok(first >= 1, 'no sheen while active');
  // Another window active: passes come due and are left out.
  await page.evaluate(() => { window.__focused = false; });
  await page.clock.runFor(45_000);
  assert.equal(await sheens(), first, 'a sheen while another window was active');
  await page.evaluate(() => { window.__focused = true; });
  await page.clock.runFor(15_000);
  assert.equal(await sheens(), first + 1);
  // No input for the three minutes the field waits before it rests: the
  // sheen rests too, until the pointer moves.
  await page.clock.runFor(130_000);
  const resting = await sheens();
  await page.clock.runFor(60_000);
  assert.equal(await sheens(), resting, 'a sheen while the field rests');
  await page.mouse.move(400, 400);
  await page.clock.runFor(15_000);
  assert.equal(await sheens(), resting + 1);
  assertClean(null, page);
  await page.close();
});
