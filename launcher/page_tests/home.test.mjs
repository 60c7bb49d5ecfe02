// Home screen, frame and bridge: the primary action for every status, the
// detail line, progress, status corner, banner, downloads indicator, close
// request, title bar, keys and toasts.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  setup, start, baseState, task, sent, clearSent, push, commands, text, visibleScreen, assertClean,
} from './harness.mjs';

let env;
before(async () => { env = await setup(); });
after(async () => { await env.close(); });

const game = (j) => ({ id: 1, kind: 'game', label: 'Game 1.5.0', paused: false, active: false, ...j });

const PRIMARY = [
  // status, extra state, label, Enter prompt, commands sent by Enter
  ['ready', {}, 'PLAY', 'Play', [{ cmd: 'play' }]],
  ['dev', { game: { dev: true } }, 'PLAY', 'Play', [{ cmd: 'play' }]],
  ['update', { game: { latestVersion: '1.5.0' } }, 'UPDATE', 'Update', [{ cmd: 'install', play: true }]],
  ['not_installed', {}, 'INSTALL', 'Install', [{ cmd: 'install' }]],
  ['running', {}, 'PLAYING', null, []],
  ['unavailable', {}, 'INSTALL', null, []],
  ['busy', { queue: [game({ paused: true, id: 9 })] }, 'RESUME', 'Resume', [{ cmd: 'resume', id: 9 }]],
  ['busy', { queue: [{ id: 4, kind: 'addon', label: 'Sky', paused: false, active: true }, game({ id: 5 })], task: task({ kind: 'addon', id: 4 }) }, 'QUEUED', null, []],
  ['busy', { queue: [game({ kind: 'repair', active: true })], task: task({ kind: 'repair' }) }, 'VERIFYING', null, []],
  ['busy', { queue: [game({ active: true })], task: task() }, 'UPDATING', null, []],
];

test('the primary action follows the game status, including the three busy cases', async () => {
  for (const [status, extra, label, verb, expected] of PRIMARY) {
    const page = await start(env, baseState({ ...extra, game: { status, ...(extra.game || {}) } }));
    const name = `${status} ${label}`;
    assert.equal(await text(page, '#menu .entry'), label, name);
    const prompts = await text(page, '#home-prompts');
    if (verb) assert.match(prompts, new RegExp('Enter\\s*' + verb + '$'), name);
    else assert.doesNotMatch(prompts, /Enter/, name);
    await clearSent(page);
    // With reduced motion every primary action sends at once.
    await page.keyboard.press('Enter');
    assert.deepEqual(await sent(page), expected, name);
    assertClean(null, page);
    await page.close();
  }
});

test('PLAY without reduced motion flashes and sends "play" after 450 ms', async () => {
  const page = await start(env, baseState(), { reducedMotion: 'no-preference', clock: true });
  await page.clock.pauseAt(Date.now() + 60_000);
  await clearSent(page);
  await page.locator('#menu .entry').first().click();
  assert.equal(await page.locator('#flash.go').count(), 1);
  await page.clock.runFor(449);
  assert.deepEqual(await commands(page), []);
  await page.clock.runFor(1);
  assert.deepEqual(await commands(page), ['play']);
  await page.close();
});

test('detail line, by status and by menu entry', async () => {
  const cases = [
    [{ game: { status: 'ready' } }, 'Version 1.4.0 · build 311 · up to date'],
    [{ game: { status: 'ready', build: 0 }, feed: { ok: false } }, 'Version 1.4.0'],
    [{ game: { status: 'dev', version: '' } }, 'Dev build · local'],
    [{ game: { status: 'dev' } }, 'Dev build · Version 1.4.0 · build 311'],
    [{ game: { status: 'update', latestVersion: '1.5.0', downloadSize: 812e6 } }, 'Version 1.5.0 is ready · up to 812 MB'],
    [{ game: { status: 'not_installed', latestVersion: '1.5.0', downloadSize: 4.21e9 } }, 'Version 1.5.0 · 4.2 GB download'],
    [{ game: { status: 'not_installed', latestVersion: '1.5.0', downloadSize: 0 } }, 'Version 1.5.0'],
    [{ game: { status: 'running' } }, 'The game is running. Settings changed here apply next time it starts.'],
    [{ game: { status: 'unavailable' }, feed: { checking: true, checked: false, ok: false } }, 'Looking for the game…'],
    [{ game: { status: 'unavailable' }, feed: { checked: false, ok: false } }, 'Looking for the game…'],
    [{ game: { status: 'unavailable' }, feed: { ok: false, error: 'Timed out <b>x</b>' } }, "Can't reach the update server: Timed out <b>x</b>"],
    [{ game: { status: 'unavailable' }, feed: { ok: false, error: "Can't reach the update server (error 6)" } }, "Can't reach the update server (error 6)"],
    [{ game: { status: 'unavailable' }, feed: { ok: false, configured: false, checked: true } }, 'No update server is set up for this copy.'],
  ];
  for (const [over, expected] of cases) {
    const page = await start(env, baseState(over));
    await page.waitForFunction((t) => document.querySelector('#detail').textContent === t, expected, { timeout: 2000 })
      .catch(() => {});
    assert.equal(await page.locator('#detail').textContent(), expected, JSON.stringify(over));
    await page.close();
  }
  const page = await start(env, baseState({
    addons: { installed: [{ id: 'a', enabled: true }, { id: 'b', enabled: true }, { id: 'c', enabled: false }] },
  }));
  const expectAt = async (key, t) => {
    await page.keyboard.press(key);
    await page.waitForFunction((x) => document.querySelector('#detail').textContent === x && !document.querySelector('#detail.fading'), t);
  };
  await expectAt('s', '2 addons on');
  await expectAt('s', 'Display, graphics, audio, online and the launcher');
  await expectAt('s', 'Saves, backups, game files and logs');
  await expectAt('s', 'Close the launcher');
  await push(page, baseState({ addons: { installed: [{ id: 'a', enabled: true }] } }));
  await expectAt('w', 'Saves, backups, game files and logs');
  await expectAt('w', 'Display, graphics, audio, online and the launcher');
  await expectAt('w', '1 addon on');
  await push(page, baseState());
  await expectAt('s', 'Display, graphics, audio, online and the launcher');
  await expectAt('w', 'Custom content: new people, sounds, textures and more');
  assertClean(null, page);
  await page.close();
});

test('progress block: bytes, files, rate, and "left" only while the rate is above zero', async () => {
  const page = await start(env, baseState({
    game: { status: 'busy' }, queue: [game({ active: true })],
    task: task({ phase: 'Downloading', bytesDone: 1.734e9, bytesTotal: 4.21e9, rate: 38.4e6 }),
  }));
  assert.equal(await text(page, '#progress .pline'), 'Downloading · 41% · 1.7 GB of 4.2 GB · 38.4 MB/s · 1 min left');
  assert.equal(await page.locator('#progress .pfill').evaluate((e) => e.style.width), '41.2%');
  await push(page, baseState({ game: { status: 'busy' }, queue: [game({ active: true })], task: task({ phase: 'Downloading', bytesDone: 5e8, bytesTotal: 1e9, rate: 0 }) }));
  assert.equal(await text(page, '#progress .pline'), 'Downloading · 50% · 500 MB of 1.0 GB');
  await push(page, baseState({ game: { status: 'busy' }, queue: [game({ active: true })], task: task({ phase: '', filesDone: 3, filesTotal: 40 }) }));
  assert.equal(await text(page, '#progress .pline'), 'Working · 3 of 40 files');
  assert.equal(await page.locator('#progress .pbar.sweep').count(), 1);
  // Nearly done: under a second left says nothing about time.
  await push(page, baseState({ game: { status: 'busy' }, queue: [game({ active: true })], task: task({ bytesDone: 999e6, bytesTotal: 1e9, rate: 2e6 }) }));
  assert.equal(await text(page, '#progress .pline'), 'Downloading · 99% · 999 MB of 1.0 GB · 2.0 MB/s');
  // Add-on jobs do not show the block.
  await push(page, baseState({ queue: [game({ kind: 'addon', active: true })], task: task({ kind: 'addon' }) }));
  assert.equal(await page.locator('#progress').isHidden(), true);
  await page.close();
});

test('patch notes: four entries while PLAY is focused on update or install', async () => {
  const notes = ['One', 'Two <i>html</i>', 'Three', 'Four', 'Five'];
  const page = await start(env, baseState({ game: { status: 'update', latestVersion: '1.5.0', notes } }));
  assert.deepEqual(await page.locator('#notes li').allTextContents(), notes.slice(0, 4));
  assert.equal(await page.locator('#notes i').count(), 0);
  await page.keyboard.press('ArrowDown');
  assert.equal(await page.locator('#notes').isHidden(), true);
  await page.keyboard.press('ArrowUp');
  await push(page, baseState({ game: { status: 'ready', notes } }));
  assert.equal(await page.locator('#notes').isHidden(), true);
  await page.close();
});

const cornerText = (page) => page.locator('#corner .corner-line').allTextContents().then((l) => l.join('\n'));

test('status corner', async () => {
  const page = await start(env, baseState({
    account: { available: true, signedIn: true, username: 'Kestrel' },
    server: { name: 'Prime <b>', playerCount: 12, maxPlayers: 64 },
  }));
  assert.equal(await cornerText(page), 'Signed in as Kestrel\nPrime <b> · 12 of 64 pilots online\nOnline\nLauncher 1.0.0 · Game 1.4.0 (311)');
  const cases = [
    [{ server: { name: 'X' } }, 'X · 0 of 0 pilots online\nOnline\nLauncher 1.0.0 · Game 1.4.0 (311)'],
    [{ feed: { checking: true } }, 'Checking for updates\nLauncher 1.0.0 · Game 1.4.0 (311)'],
    [{ task: task({ kind: 'backup' }), queue: [game({ kind: 'backup', active: true })] }, 'Working\nLauncher 1.0.0 · Game 1.4.0 (311)'],
    [{ feed: { ok: false, configured: false } }, 'Offline mode\nLauncher 1.0.0 · Game 1.4.0 (311)'],
    [{ feed: { ok: false } }, 'Offline\nLauncher 1.0.0 · Game 1.4.0 (311)'],
    // Not checked yet: no claim either way.
    [{ feed: { ok: false, checked: false } }, 'Launcher 1.0.0 · Game 1.4.0 (311)'],
    [{ game: { version: '', build: 0, status: 'not_installed' } }, 'Online\nLauncher 1.0.0'],
  ];
  for (const [over, expected] of cases) {
    await push(page, baseState(over));
    assert.equal(await cornerText(page), expected, JSON.stringify(over));
  }
  assert.equal(await page.locator('#corner b').count(), 0);
  await push(page, baseState({ feed: { ok: false } }));
  assert.equal(await page.locator('#corner .dot.warn').count(), 1);
  await page.close();
});

test('launcher update banner, its button and the U key only while it shows', async () => {
  const page = await start(env, baseState());
  assert.equal(await page.locator('#banner').isHidden(), true);
  await page.keyboard.press('u');
  assert.deepEqual(await commands(page), ['ready']);
  await push(page, baseState({ launcher: { latest: '1.1.0', updateAvailable: true } }));
  assert.equal(await text(page, '#banner'), 'Launcher 1.1.0 is ready\nU\nUpdate and restart');
  await page.keyboard.press('u');
  await page.locator('#banner-go').click();
  assert.deepEqual(await commands(page), ['ready', 'updateLauncher', 'updateLauncher']);
  // Hidden while a task runs, and U with it.
  await push(page, baseState({ launcher: { latest: '1.1.0', updateAvailable: true }, task: task({ kind: 'addon' }), queue: [game({ kind: 'addon', active: true })] }));
  assert.equal(await page.locator('#banner').isHidden(), true);
  await page.keyboard.press('u');
  assert.deepEqual(await commands(page), ['ready', 'updateLauncher', 'updateLauncher']);
  await page.close();
});

test('X cancels only while the Cancel prompt shows (not for a launcher task)', async () => {
  const page = await start(env, baseState());
  await page.keyboard.press('x');
  assert.deepEqual(await commands(page), ['ready']);
  await push(page, baseState({ task: task({ kind: 'launcher' }), queue: [game({ kind: 'launcher', active: true })] }));
  assert.doesNotMatch(await text(page, '#home-prompts'), /Cancel/);
  await page.keyboard.press('x');
  assert.deepEqual(await commands(page), ['ready']);
  await push(page, baseState({ task: task({ kind: 'addon' }), queue: [game({ kind: 'addon', active: true })] }));
  assert.match(await text(page, '#home-prompts'), /^X\s*Cancel/);
  await page.keyboard.press('x');
  assert.deepEqual(await sent(page), [{ cmd: 'ready' }, { cmd: 'cancel' }]);
  await page.close();
});

test('downloads indicator: texts, a named button reachable with Tab, the way to the downloads page', async () => {
  const page = await start(env, baseState());
  const dl = page.locator('#dl');
  assert.equal(await dl.isHidden(), true);
  const two = [game({ active: true }), { id: 2, kind: 'addon', label: 'Sky <b>', paused: false, active: false }];
  await push(page, baseState({ game: { status: 'busy' }, queue: two, task: task({ bytesDone: 250, bytesTotal: 1000 }) }));
  assert.equal(await page.locator('#dl .dl-text').textContent(), 'Game 1.5.0  25%  +1');
  assert.equal(await dl.getAttribute('aria-label'), 'Downloads: Game 1.5.0  25%  +1');
  assert.equal(await page.locator('#dl .dl-fill').evaluate((e) => e.style.width), '25%');
  await push(page, baseState({ game: { status: 'busy' }, queue: [game({ paused: true })] }));
  assert.equal(await page.locator('#dl .dl-text').textContent(), 'Paused · Game 1.5.0');
  assert.equal(await page.locator('#dl .dl-fill').evaluate((e) => e.style.width), '0%');
  await push(page, baseState({ game: { status: 'busy' }, queue: [game({ active: true })], task: task() }));
  assert.equal(await page.locator('#dl .dl-text').textContent(), 'Game 1.5.0');
  assert.equal(await page.locator('#dl .dl-fill').evaluate((e) => e.style.width), '100%');
  // Tab reaches it; Enter opens the downloads page. No drag starts on it.
  await page.locator('#menu .entry').first().focus();
  for (let i = 0; i < 8 && !(await dl.evaluate((e) => e === document.activeElement)); i++) await page.keyboard.press('Tab');
  assert.equal(await dl.evaluate((e) => e === document.activeElement), true, 'Tab reaches the indicator');
  await clearSent(page);
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.querySelector('#page .page-title').textContent === 'DOWNLOADS');
  await page.keyboard.press('Escape');
  await dl.click();
  assert.equal(await text(page, '#page .page-title'), 'DOWNLOADS');
  assert.deepEqual(await sent(page), []);
  assertClean(null, page);
  await page.close();
});

test('title bar: drag only when the launcher has no native drag, minimise, close', async () => {
  const page = await start(env, baseState());
  await page.mouse.move(600, 20);
  await page.mouse.down();
  await page.mouse.up();
  await page.locator('#tb-min').click();
  assert.deepEqual(await commands(page), ['ready', 'drag', 'minimize']);
  await push(page, baseState({ nativeDrag: true }));
  await clearSent(page);
  await page.mouse.move(600, 20);
  await page.mouse.down();
  await page.mouse.up();
  assert.deepEqual(await commands(page), []);
  assert.equal(await page.evaluate(() => getComputedStyle(document.querySelector('#titlebar')).getPropertyValue('-webkit-app-region')), 'drag');
  await page.locator('#tb-close').click();
  assert.deepEqual(await commands(page), ['close']);
  // The context menu is suppressed outside text inputs.
  const prevented = await page.evaluate(() => {
    const e = new MouseEvent('contextmenu', { bubbles: true, cancelable: true });
    document.querySelector('#menu').dispatchEvent(e);
    return e.defaultPrevented;
  });
  assert.equal(prevented, true);
  await page.close();
});

test('close request: confirm while a task runs, except a backup', async () => {
  const running = baseState({ game: { status: 'busy' }, queue: [game({ active: true })], task: task() });
  const page = await start(env, running);
  await page.locator('#tb-close').click();
  assert.equal(await page.locator('#confirm').isVisible(), true);
  assert.equal(await text(page, '#confirm-title'), 'Stop and quit?');
  assert.equal(await text(page, '#confirm-text'), 'The download stops. Everything already downloaded is kept, and it carries on from there next time.');
  assert.deepEqual(await page.locator('#confirm button').allTextContents(), ['Keep going', 'Quit']);
  await page.keyboard.press('Enter');   // "Keep going" has focus
  assert.equal(await page.locator('#confirm').isHidden(), true);
  assert.deepEqual(await commands(page), ['ready']);
  // QUIT from the menu, then D and Enter choose "Quit".
  for (let i = 0; i < 4; i++) await page.keyboard.press('s');
  await page.keyboard.press('Enter');
  assert.equal(await page.locator('#confirm').isVisible(), true);
  await page.keyboard.press('d');
  await page.keyboard.press('Enter');
  assert.deepEqual(await commands(page), ['ready', 'close']);
  // Esc closes the box without acting; Tab wraps between the buttons.
  await page.locator('#tb-close').click();
  await page.keyboard.press('Tab');
  await page.keyboard.press('Tab');
  assert.equal(await page.evaluate(() => document.activeElement.textContent), 'Keep going');
  await page.keyboard.press('Escape');
  assert.equal(await page.locator('#confirm').isHidden(), true);
  assert.deepEqual(await commands(page), ['ready', 'close']);
  // A backup quits at once, and so does an idle launcher.
  await push(page, baseState({ queue: [game({ kind: 'backup', active: true })], task: task({ kind: 'backup' }) }));
  await page.locator('#tb-close').click();
  await push(page, baseState());
  await page.locator('#tb-close').click();
  assert.deepEqual(await commands(page), ['ready', 'close', 'close', 'close']);
  assert.equal(await page.locator('#confirm').isHidden(), true);
  await page.close();
});

test('home keys: W/S and arrows wrap, Enter picks, hover focuses, Esc does nothing', async () => {
  const page = await start(env, baseState());
  const focused = () => page.locator('#menu .entry.focus').innerText();
  assert.equal(await focused(), 'PLAY');
  await page.keyboard.press('w');
  assert.equal(await focused(), 'QUIT');
  await page.keyboard.press('ArrowDown');
  assert.equal(await focused(), 'PLAY');
  await page.keyboard.press('s');
  await page.keyboard.press('ArrowDown');
  assert.equal(await focused(), 'SETTINGS');
  await page.keyboard.press('Escape');
  assert.equal(await visibleScreen(page), 'home');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.querySelector('#page .page-title').textContent === 'SETTINGS');
  await page.keyboard.press('Escape');
  await page.waitForFunction(() => !document.querySelector('#page.leaving') && document.querySelector('#page').hidden);
  await page.locator('#menu .entry').nth(3).hover();
  assert.equal(await focused(), 'DATA');
  await page.keyboard.press(' ');
  await page.waitForFunction(() => document.querySelector('#page .page-title').textContent === 'DATA');
  // Keys with Ctrl, Alt or Meta are left alone.
  await page.keyboard.press('Escape');
  await page.keyboard.press('Control+s');
  assert.equal(await focused(), 'DATA');
  assertClean(null, page);
  await page.close();
});

test('toasts stay 3200 ms after the latest one', async () => {
  const page = await start(env, baseState(), { clock: true });
  await page.clock.pauseAt(Date.now() + 60_000);
  await push(page, { type: 'toast', text: 'First <b>' });
  assert.equal(await page.locator('#toast').textContent(), 'First <b>');
  await page.clock.runFor(2000);
  await push(page, { type: 'toast', text: 'Second' });
  await page.clock.runFor(3199);
  assert.equal(await page.locator('#toast.show').count(), 1);
  assert.equal(await page.locator('#toast').textContent(), 'Second');
  await page.clock.runFor(1);
  assert.equal(await page.locator('#toast.show').count(), 0);
  await page.close();
});

test('texts from the state are never markup', async () => {
  const evil = '<img src=x onerror="window.__pwned=1">';
  const page = await start(env, baseState({
    game: { status: 'update', latestVersion: evil, notes: [evil] },
    server: { name: evil },
    launcher: { latest: evil, updateAvailable: true },
    feed: { error: evil },
    queue: [game({ label: evil, active: true })],
    account: { available: true, signedIn: true, username: evil },
  }));
  assert.equal(await page.locator('img').count(), 0);
  assert.equal(await page.evaluate(() => window.__pwned), undefined);
  assert.match(await text(page, '#detail'), /<img src=x/);
  await page.close();
});

test('formatting of sizes and durations', async () => {
  const page = await start(env, baseState());
  const out = await page.evaluate(async () => {
    const m = await import('./core.js');
    return {
      gb: [4.21e9, 182e6, 61.2e6, 1e9, 999e6, 99.94e6, 0].map(m.gb),
      mins: [0.2, 59.4, 60, 89, 3599, 3600, 5400].map(m.mins),
    };
  });
  assert.deepEqual(out.gb, ['4.2 GB', '182 MB', '61.2 MB', '1.0 GB', '999 MB', '99.9 MB', '0.0 MB']);
  assert.deepEqual(out.mins, ['1 s', '59 s', '1 min', '1 min', '60 min', '1.0 h', '1.5 h']);
  await page.close();
});
