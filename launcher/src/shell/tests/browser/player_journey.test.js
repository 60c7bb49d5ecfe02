// A player's first evening, end to end: the real launcher in browser mode with
// its built-in page, a feed published by the release tool holding the stand-in
// game, and Chromium clicking what a player clicks. INSTALL puts the release in
// the game folder, PLAY starts the game and shows PLAYING until it ends, and
// QUIT ends the launcher with 0.
//
//   LAUNCHER=/path/to/vantor-launcher FAKEGAME=/path/to/Vantor node --test player_journey.test.js
'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');
const { waitFor, privateEnv, startLauncher } = require('./launcher_process');

const root = path.resolve(__dirname, '../../../../..');
const chromiumArgs = ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync'];

let dir;
let app;
let browser;

before(async () => {
  assert.ok(process.env.LAUNCHER && process.env.FAKEGAME, 'set LAUNCHER and FAKEGAME');
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vantor-journey-'));

  // The release: the stand-in game and a text file, published as a release tool user would.
  const source = path.join(dir, 'source');
  fs.mkdirSync(source);
  fs.copyFileSync(process.env.FAKEGAME, path.join(source, 'Vantor'));
  fs.chmodSync(path.join(source, 'Vantor'), 0o755);
  fs.writeFileSync(path.join(source, 'README.txt'), 'Astrane: Vantor test release\n');
  execFileSync('python3', [path.join(root, 'tools/release/make_release.py'), source, path.join(dir, 'feed'),
    '--version', '1.0.0', '--build', '1', '--notes', 'First light'], { stdio: 'ignore' });

  // The launcher's game folder lies beside its executable: a copy of its own keeps the build tree clean.
  fs.mkdirSync(path.join(dir, 'launcher'));
  const exe = path.join(dir, 'launcher', 'vantor-launcher');
  fs.copyFileSync(process.env.LAUNCHER, exe);
  fs.chmodSync(exe, 0o700);

  const env = privateEnv(dir, { VANTOR_UPDATE_FEED: path.join(dir, 'feed') });
  delete env.VANTOR_LAUNCHER_UI;
  delete env.VANTOR_FAKEGAME_HOLD_MS;
  // The game stays up until the test lets it go: no clock decides what the page shows.
  fs.mkdirSync(path.join(dir, 'data', 'Vantor'), { recursive: true });
  fs.writeFileSync(path.join(dir, 'data', 'Vantor', 'launcher.json'),
    JSON.stringify({ launchOptions: '--wait-for ' + path.join(dir, 'game-may-end') }));

  app = startLauncher(exe, env);
  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: chromiumArgs });
});

after(async () => {
  if (browser) await browser.close();
  if (app) {
    fs.writeFileSync(path.join(dir, 'game-may-end'), '');
    await app.stop();
  }
  fs.rmSync(dir, { recursive: true, force: true });
});

test('install, play and quit from the page', async () => {
  const address = await app.address();
  const page = await browser.newPage({ viewport: { width: 1280, height: 760 } });
  // Whatever the launcher's Content-Security-Policy stops the page from doing.
  await page.addInitScript(() => {
    window.blocked = [];
    document.addEventListener('securitypolicyviolation',
      (e) => window.blocked.push(`${e.effectiveDirective} ${e.blockedURI} ${e.sourceFile}:${e.lineNumber}`));
  });
  await page.goto(address);

  const install = page.getByRole('button', { name: 'INSTALL', exact: true });
  await install.waitFor({ timeout: 30000 });
  await install.click();
  await page.getByText('Game updated to 1.0.0').waitFor({ timeout: 60000 });
  const game = path.join(dir, 'launcher', 'game');
  assert.ok(fs.readFileSync(path.join(game, 'Vantor')).equals(fs.readFileSync(process.env.FAKEGAME)),
    'the installed game is the published one');
  assert.equal(fs.readFileSync(path.join(game, 'README.txt'), 'utf8'), 'Astrane: Vantor test release\n');

  // The page lives within its Content-Security-Policy: its fonts, styles and
  // scripts all load, and nothing it does is blocked.
  const fonts = await page.evaluate(() => document.fonts.ready.then(() => [...document.fonts]
    .map((f) => `${f.family} ${f.status}`)));
  assert.ok(fonts.length >= 3 && fonts.every((f) => !f.endsWith(' error')), 'fonts: ' + fonts);
  assert.ok(fonts.some((f) => f.endsWith(' loaded')), 'no font loaded: ' + fonts);
  assert.equal(await page.evaluate(() => getComputedStyle(document.body).backgroundColor === 'rgba(0, 0, 0, 0)'), false,
    'the style sheet did not apply');
  assert.deepEqual(await page.evaluate(() => window.blocked), []);

  const play = page.getByRole('button', { name: 'PLAY', exact: true });
  await play.click();
  await page.getByRole('button', { name: 'PLAYING', exact: true }).waitFor({ timeout: 30000 });
  // The game writes its record (in one rename) once it holds the game lock, maybe after PLAYING shows.
  const recordFile = path.join(dir, 'data', 'Vantor', 'logs', 'fakegame.json');
  await waitFor(() => fs.existsSync(recordFile), 'the game\'s record');
  const record = JSON.parse(fs.readFileSync(recordFile, 'utf8'));
  assert.ok(record.args.includes('--wait-for'), 'the launch options reach the game');

  fs.writeFileSync(path.join(dir, 'game-may-end'), '');
  await play.waitFor({ timeout: 30000 });

  assert.deepEqual(await page.evaluate(() => window.blocked), []);
  await page.getByRole('button', { name: 'QUIT', exact: true }).click();
  await waitFor(() => app.exited !== null, 'the launcher to end', 20000);
  assert.equal(app.exited, 0);
});
