// The DATA, ADDONS and DOWNLOADS pages.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  setup, start, baseState, task, sent, clearSent, push, text, assertClean,
} from './harness.mjs';

let env;
before(async () => { env = await setup(); });
after(async () => { await env.close(); });

async function open(page, entry, title, tab = 0) {
  await page.locator('#menu .entry').nth(entry).click();
  await page.waitForFunction((t) => document.querySelector('#page .page-title')?.textContent === t, title);
  for (let i = 0; i < tab; i++) await page.keyboard.press('e');
}
const openData = (page, tab) => open(page, 3, 'DATA', tab);
const openAddons = (page, tab) => open(page, 1, 'ADDONS', tab);
const labels = (page) => page.locator('#page .row .row-label').allTextContents();
const acts = (page) => page.locator('#page .row .ctl').allInnerTexts();
const focused = (page) => text(page, '#page .row.focus .row-label');
const side = (page) => text(page, '#page .side');

const BACKUPS = [
  { name: '2026-12-03_210212', files: 14, bytes: 3.4e6 },
  { name: '2026-12-01_183004_before_restore', files: 12, bytes: 2.95e6 },
  { name: 'copied by hand', files: 1, bytes: 1000 },
];

test('DATA, Saves: folder info, backup labels, restore confirm', async () => {
  const page = await start(env, baseState({ saves: { files: 14, bytes: 3.412e6, backups: BACKUPS } }));
  await openData(page);
  assert.deepEqual(await labels(page), ['Saves folder', 'Back up saves now', 'Backups folder',
    '2026-12-03  21:02', '2026-12-01  18:30  (before a restore)', 'copied by hand']);
  assert.equal(await page.locator('#page .group').allTextContents().then((g) => g.join()), 'Backups');
  assert.match(await side(page), /Where your progress is kept\. Updates never touch it\.[\s\S]*Folder\s*\/data\/saves\s*Files\s*14\s*Size\s*3\.4 MB/);
  await clearSent(page);
  await page.keyboard.press('Enter');
  await page.keyboard.press('s');
  await page.keyboard.press('Enter');
  await page.keyboard.press('s');
  await page.keyboard.press('Enter');
  assert.deepEqual(await sent(page), [{ cmd: 'openFolder', which: 'saves' }, { cmd: 'backupSaves' }, { cmd: 'openFolder', which: 'backups' }]);
  await page.keyboard.press('s');
  await page.keyboard.press('s');
  assert.equal(await side(page).then((t) => t.split('\n').filter(Boolean)[1]),
    'Put this backup back in place of your current saves (12 files, 3.0 MB). Your current saves are backed up first, so this can be undone.');
  assert.match(await text(page, '#page-prompts'), /Enter\s*Restore/);
  await page.keyboard.press('Enter');
  assert.equal(await text(page, '#confirm-title'), 'Restore this backup?');
  assert.equal(await text(page, '#confirm-text'), 'Your current saves are replaced. They are backed up first, so you can go back.');
  assert.deepEqual(await page.locator('#confirm button').allTextContents(), ['Keep current', 'Restore']);
  await clearSent(page);
  await page.keyboard.press('Enter');
  assert.deepEqual(await sent(page), []);
  await page.keyboard.press('Enter');
  await page.keyboard.press('ArrowRight');
  await page.keyboard.press(' ');
  assert.deepEqual(await sent(page), [{ cmd: 'restoreBackup', name: '2026-12-01_183004_before_restore' }]);
  assertClean(null, page);
  await page.close();
});

test('focus stays on the chosen backup when the list shifts', async () => {
  const page = await start(env, baseState({ saves: { backups: BACKUPS } }));
  await openData(page);
  for (let i = 0; i < 4; i++) await page.keyboard.press('s');
  assert.equal(await focused(page), '2026-12-01  18:30  (before a restore)');
  // A new backup arrives at the top while the player looks at this one.
  await push(page, baseState({ saves: { backups: [{ name: '2026-12-09_101010', files: 1, bytes: 1 }, ...BACKUPS] } }));
  assert.equal(await focused(page), '2026-12-01  18:30  (before a restore)');
  await page.keyboard.press('Enter');
  await clearSent(page);
  await page.keyboard.press('d');
  await page.keyboard.press('Enter');
  assert.deepEqual(await sent(page), [{ cmd: 'restoreBackup', name: '2026-12-01_183004_before_restore' }]);
  // The confirm box was open across a redraw: focus comes back to the row.
  assert.equal(await page.evaluate(() => document.activeElement.classList.contains('row')), true);
  // No backups: no group and no rows.
  await push(page, baseState());
  assert.deepEqual(await labels(page), ['Saves folder', 'Back up saves now', 'Backups folder']);
  await page.close();
});

test('DATA, Game: a repair that found much to download asks first, and each way out answers', async () => {
  const repairing = {
    game: { status: 'busy' },
    queue: [{ id: 4, kind: 'repair', label: 'Verifying Astrane: Vantor', paused: false, active: true }],
    task: task({ id: 4, kind: 'repair', label: 'Verifying Astrane: Vantor', phase: 'Comparing', filesTotal: 3, filesDone: 3 }),
  };
  const asking = (q) => baseState({ ...repairing, repair: { asking: true, missing: 0, damaged: 0, updated: 0, bytes: 0, ...q } });
  const page = await start(env, baseState(repairing));
  await openData(page, 1);
  assert.equal(await page.locator('#confirm').isHidden(), true, 'no question before the check is done');

  // Answered with the Repair button.
  await push(page, asking({ damaged: 2, missing: 1, bytes: 48_200_000 }));
  assert.equal(await text(page, '#confirm-title'), 'Repair downloads 48.2 MB');
  assert.equal(await text(page, '#confirm-text'),
    'The check found 2 damaged files, 1 missing file. Repairing downloads 48.2 MB; nothing is downloaded until you say so.');
  assert.deepEqual(await page.locator('#confirm button').allTextContents(), ['Not now', 'Repair']);
  await clearSent(page);
  await page.keyboard.press('ArrowRight');
  await page.keyboard.press('Enter');
  assert.deepEqual(await sent(page), [{ cmd: 'repairAnswer', proceed: true }]);
  assert.equal(await page.locator('#confirm').isHidden(), true);
  // The same question still in the next state (the answer is on its way) is not asked twice.
  await push(page, asking({ damaged: 2, missing: 1, bytes: 48_200_000 }));
  assert.equal(await page.locator('#confirm').isHidden(), true);
  await push(page, baseState(repairing));
  await push(page, asking({ damaged: 1, updated: 5, bytes: 1_300_000_000 }));
  assert.equal(await text(page, '#confirm-text'),
    'The check found 1 damaged file, 5 files changed by the new release. Repairing downloads 1.3 GB; nothing is downloaded until you say so.');
  // Escape is a no, so the repair never waits for an answer that cannot come.
  await clearSent(page);
  await page.keyboard.press('Escape');
  assert.deepEqual(await sent(page), [{ cmd: 'repairAnswer', proceed: false }]);
  // "Not now" is the default.
  await push(page, baseState(repairing));
  await push(page, asking({ missing: 7, bytes: 9_000_000 }));
  await clearSent(page);
  await page.keyboard.press('Enter');
  assert.deepEqual(await sent(page), [{ cmd: 'repairAnswer', proceed: false }]);
  // A repair cancelled elsewhere takes its question with it, unanswered.
  await push(page, baseState(repairing));
  await push(page, asking({ damaged: 3, bytes: 7_000_000 }));
  assert.equal(await page.locator('#confirm').isHidden(), false);
  await clearSent(page);
  await push(page, baseState());
  assert.equal(await page.locator('#confirm').isHidden(), true);
  assert.deepEqual(await sent(page), []);
  assertClean(null, page);
  await page.close();
});

test('DATA, Game and Support: greying, dev description, Uninstall only when installed, reset confirm', async () => {
  const page = await start(env, baseState({ mode: 'installed' }));
  await openData(page, 1);
  assert.deepEqual(await labels(page), ['Check for updates', 'Verify and repair', 'Clear shader cache', 'Game folder']);
  assert.deepEqual(await acts(page), ['Check', 'Verify', 'Clear', 'Open']);
  await clearSent(page);
  for (let i = 0; i < 4; i++) { await page.keyboard.press('Enter'); await page.keyboard.press('s'); }
  assert.deepEqual(await sent(page), [{ cmd: 'checkUpdates' }, { cmd: 'repair' }, { cmd: 'clearCache' }, { cmd: 'openFolder', which: 'game' }]);
  assert.match(await side(page), /Where the game is installed\.[\s\S]*Folder\s*\/games\/vantor\s*Version\s*1\.4\.0 \(build 311\)/);
  await push(page, baseState({ mode: 'installed', game: { status: 'running' } }));
  assert.equal(await page.locator('#page .row.grey').count(), 2);
  await push(page, baseState({ mode: 'installed', game: { status: 'dev', dev: true, version: '', build: 0 } }));
  assert.deepEqual(await page.locator('#page .row.grey .row-label').allTextContents(), ['Verify and repair']);
  assert.match(await side(page), /Version\s*not installed/);
  await page.keyboard.press('w');
  await page.keyboard.press('w');
  assert.match(await side(page), /This is a dev build: rebuild it instead\./);
  await clearSent(page);
  await page.keyboard.press('Enter');
  assert.deepEqual(await sent(page), []);

  await page.keyboard.press('e');
  assert.deepEqual(await labels(page), ['Logs', 'Data folder', 'Uninstall', 'Reset all settings']);
  await page.keyboard.press('s');
  await page.keyboard.press('s');
  await page.keyboard.press('Enter');
  assert.deepEqual(await sent(page), [{ cmd: 'uninstall' }]);
  await page.keyboard.press('s');
  await page.keyboard.press('Enter');
  assert.equal(await text(page, '#confirm-title'), 'Reset all settings?');
  assert.equal(await text(page, '#confirm-text'), 'Display, graphics and audio go back to their defaults.');
  assert.deepEqual(await page.locator('#confirm button').allTextContents(), ['Cancel', 'Reset']);
  await page.locator('#confirm button', { hasText: 'Reset' }).click();
  assert.deepEqual((await sent(page)).map((c) => c.cmd), ['uninstall', 'resetSettings']);
  for (const mode of ['portable', 'dev']) {
    await push(page, baseState({ mode }));
    assert.deepEqual(await labels(page), ['Logs', 'Data folder', 'Reset all settings'], mode);
  }
  await page.close();
});

const addon = (a) => ({ id: 'x', name: 'X', version: '1.0', author: 'A', description: 'D', enabled: true, managed: true, update: false, latest: '', queued: false, path: '/data/addons/x', ...a });
const entry = (c) => ({ id: 'x', name: 'X', version: '1.0', author: 'A', description: 'D', size: 61.2e6, installed: false, queued: false, ...c });

test('ADDONS, Installed: switches, notes, update and remove', async () => {
  const installed = [
    addon({ id: 'voices', name: 'Dune Voices', update: true, latest: '1.3.0', version: '1.2.0' }),
    addon({ id: 'decals', name: 'Hull Decals', managed: false, enabled: false, description: '', author: '', version: '' }),
    addon({ id: 'sky', name: 'Aurora Sky', update: true, latest: '2.0', queued: true }),
  ];
  const catalog = [entry({ id: 'voices', installed: true }), entry({ id: 'sky', installed: true, queued: true })];
  const page = await start(env, baseState({ addons: { installed, catalog } }));
  await openAddons(page);
  assert.deepEqual(await labels(page), ['Dune Voices', 'Hull Decals', 'Aurora Sky', 'Open the addons folder']);
  assert.match(await side(page), /Version\s*1\.2\.0\s*By\s*A\s*Folder\s*\/data\/addons\/x\s*Update\s*1\.3\.0/);
  assert.match(await side(page), /An update is ready: press U to get it\./);
  assert.match(await text(page, '#page-prompts'), /U\s*Update/);
  await clearSent(page);
  await page.keyboard.press('Delete');      // not this row's second action
  await page.keyboard.press('x');
  await page.keyboard.press('u');
  await page.keyboard.press('ArrowLeft');
  assert.deepEqual(await sent(page), [{ cmd: 'addonInstall', addon: 'voices' }, { cmd: 'addonEnable', addon: 'voices', enabled: false }]);
  await page.keyboard.press('s');
  const hand = await side(page);
  assert.match(hand, /No description\./);
  assert.match(hand, /Installed by hand: the launcher won't update it\./);
  assert.match(hand, /Version\s*\?\s*By\s*\?/);
  assert.match(await text(page, '#page-prompts'), /Del\s*Remove/);
  await page.keyboard.press('u');
  await page.keyboard.press('Delete');
  assert.equal(await text(page, '#confirm-title'), 'Remove Hull Decals?');
  assert.equal(await text(page, '#confirm-text'), 'Its files are deleted.', 'no promise for a hand-installed add-on');
  await page.keyboard.press('ArrowRight');
  await page.keyboard.press('Enter');
  assert.deepEqual((await sent(page)).slice(2), [{ cmd: 'addonRemove', addon: 'decals' }]);
  await page.keyboard.press('s');
  assert.match(await side(page), /Downloading the update…/);
  await page.keyboard.press('Delete');
  assert.equal(await text(page, '#confirm-text'), 'Its files are deleted. You can install it again from Browse.');
  await page.keyboard.press('Escape');
  await page.keyboard.press('s');
  await clearSent(page);
  await page.keyboard.press('Enter');
  assert.deepEqual(await sent(page), [{ cmd: 'openFolder', which: 'addons' }]);
  assert.match(await side(page), /Make your own: copy tools\/release\/addon_template here, then turn it on above\./);
  // Focus follows the add-on, not the row number, when the list shifts.
  await page.keyboard.press('w');
  assert.equal(await focused(page), 'Aurora Sky');
  await push(page, baseState({ addons: { installed: installed.slice(1), catalog } }));
  assert.equal(await focused(page), 'Aurora Sky');
  await page.close();
});

test('ADDONS: empty tabs, Browse rows', async () => {
  const page = await start(env, baseState());
  await openAddons(page);
  assert.deepEqual(await labels(page), ['No addons yet', 'Open the addons folder']);
  assert.match(await side(page), /Addons add or change content: people, sounds, textures, ships\./);
  await page.keyboard.press('s');
  assert.match(await side(page), /Where addons live\. Each one is a folder with an addon\.json\./);
  await page.keyboard.press('w');
  await page.keyboard.press('Enter');
  assert.equal(await text(page, '#page .tab.on'), 'Browse');
  assert.deepEqual(await labels(page), ['Nothing on the server yet']);
  assert.deepEqual(await acts(page), ['Retry']);
  assert.match(await side(page), /Addons published with tools\/release\/make_addon\.py show up here\./);
  await clearSent(page);
  await page.keyboard.press('Enter');
  assert.deepEqual(await sent(page), [{ cmd: 'checkUpdates' }]);
  await push(page, baseState({ addons: { catalog: [entry({ id: 'a', name: 'Sky' }), entry({ id: 'b', name: 'Big', size: 1.24e9, installed: true }), entry({ id: 'c', name: 'Q', queued: true, description: '', author: '' })] } }));
  assert.deepEqual(await acts(page), ['Install · 61.2 MB', 'Installed', 'Queued']);
  assert.match(await side(page), /Version\s*1\.0\s*By\s*A\s*Size\s*61\.2 MB/);
  await page.keyboard.press('Enter');
  await page.keyboard.press('s');
  await page.keyboard.press('Enter');
  await page.keyboard.press('s');
  assert.match(await side(page), /No description\.[\s\S]*By\s*\?/);
  await page.keyboard.press('Enter');
  assert.deepEqual((await sent(page)).slice(1), [{ cmd: 'addonInstall', addon: 'a' }]);
  assert.equal(await page.locator('#page .row.grey').count(), 2);
  await page.close();
});

test('DOWNLOADS: active, paused and waiting rows; pause, resume, cancel by id; focus follows the job', async () => {
  const queue = [
    { id: 7, kind: 'game', label: 'Game 1.5.0', paused: false, active: true },
    { id: 8, kind: 'addon', label: 'Aurora Sky 2.0', paused: true, active: false },
    { id: 9, kind: 'addon', label: 'Old Freighters', paused: false, active: false },
  ];
  const running = task({ id: 7, phase: 'Downloading', bytesDone: 1.05e9, bytesTotal: 4.2e9, filesDone: 41, filesTotal: 120, rate: 21e6 });
  const page = await start(env, baseState({ game: { status: 'busy' }, queue, task: running }));
  await page.locator('#dl').click();
  await page.waitForFunction(() => document.querySelector('#page .page-title')?.textContent === 'DOWNLOADS');
  assert.deepEqual(await labels(page), ['Game 1.5.0', 'Aurora Sky 2.0', 'Old Freighters']);
  assert.deepEqual(await acts(page), ['Downloading 25%', 'Paused', 'Queued']);
  assert.match(await side(page), /41 of 120 chunks · 21\.0 MB\/s[\s\S]*Done\s*1\.1 GB of 4\.2 GB\s*Time left\s*3 min/);
  assert.match(await text(page, '#page-prompts'), /Enter\s*Pause\s*X\s*Cancel\s*Esc\s*Back/);
  assert.doesNotMatch(await text(page, '#page-prompts'), /Tabs/);
  await page.keyboard.press('s');
  assert.match(await side(page), /Paused\. Everything downloaded so far is kept; it carries on from there\./);
  assert.match(await text(page, '#page-prompts'), /Enter\s*Resume/);
  await page.keyboard.press('s');
  assert.match(await side(page), /Waiting for the one before it\./);
  await page.keyboard.press('w');
  await clearSent(page);
  await page.keyboard.press('Enter');
  await page.keyboard.press('x');
  assert.deepEqual(await sent(page), [{ cmd: 'resume', id: 8 }, { cmd: 'cancel', id: 8 }]);
  // The game job finishes: its row is gone and focus stays on job 8.
  await push(page, baseState({ queue: queue.slice(1).map((j) => ({ ...j })), task: null }));
  assert.deepEqual(await labels(page), ['Aurora Sky 2.0', 'Old Freighters']);
  assert.equal(await focused(page), 'Aurora Sky 2.0');
  await clearSent(page);
  await page.keyboard.press('Enter');
  assert.deepEqual(await sent(page), [{ cmd: 'resume', id: 8 }]);
  // Verifying with files only, no rate: no time left.
  await push(page, baseState({ queue: [{ ...queue[0] }], task: task({ id: 7, phase: 'Verifying', filesDone: 3, filesTotal: 9 }) }));
  assert.deepEqual(await acts(page), ['Verifying']);
  assert.match(await side(page), /3 of 9 files/);
  assert.doesNotMatch(await side(page), /Time left|MB\/s/);
  await clearSent(page);
  await page.keyboard.press('Enter');
  assert.deepEqual(await sent(page), [{ cmd: 'pause', id: 7 }]);
  // Empty queue, with and without a last problem.
  await push(page, baseState({ taskError: 'Not enough disk space <b>' }));
  assert.deepEqual(await labels(page), ['Nothing downloading']);
  assert.deepEqual(await acts(page), ['Check for updates']);
  assert.match(await side(page), /Last problem: Not enough disk space <b>/);
  await push(page, baseState());
  assert.match(await side(page), /Game, addon and launcher updates show up here while they download\./);
  await clearSent(page);
  await page.keyboard.press('Enter');
  assert.deepEqual(await sent(page), [{ cmd: 'checkUpdates' }]);
  assertClean(null, page);
  await page.close();
});
