// The Windows launcher's first steps under wine, in browser mode: a feed
// published by the release tool with the Windows stand-in game, served by
// nginx on the Linux side's loopback, and Chromium clicking what a player
// clicks. INSTALL puts the release in the game folder beside the launcher,
// PLAY starts the game and shows PLAYING until it ends, QUIT ends the
// launcher with 0.
//
//   LAUNCHER=build/windows/launcher/vantor-launcher.exe \
//   FAKEGAME=build/windows/tools/fakegame/bin/Vantor.exe node --test wine_journey.test.js
//
// WINEPREFIX names a prefix made by wineboot, with its wineserver kept up
// (scripts/wine_tests.sh runs it so).
'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');
const { waitFor, privateEnv, startLauncher } = require('./launcher_process');
const { root, startServers } = require('./journey_support');

const chromiumArgs = ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync'];

let dir;
let servers;
let app;
let browser;
let data;

// A Unix path as the Windows program names it: wine's Z: drive is the Unix root.
const windowsPath = (unix) => 'Z:' + unix;

// The prefix user's local application data: the launcher's data folder lies under it.
function localAppData(prefix) {
  const users = path.join(prefix, 'drive_c', 'users');
  const names = fs.readdirSync(users).filter((n) => n !== 'Public');
  assert.equal(names.length, 1, 'one user in the wine prefix: ' + names);
  return path.join(users, names[0], 'AppData', 'Local');
}

before(async () => {
  assert.ok(process.env.LAUNCHER && process.env.FAKEGAME, 'set LAUNCHER and FAKEGAME');
  assert.ok(process.env.WINEPREFIX, 'set WINEPREFIX (scripts/wine_tests.sh does)');
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vantor-wine-journey-'));

  const source = path.join(dir, 'source');
  fs.mkdirSync(source);
  fs.copyFileSync(process.env.FAKEGAME, path.join(source, 'Vantor.exe'));
  fs.writeFileSync(path.join(source, 'README.txt'), 'Astrane: Vantor test release\n');
  const feed = path.join(dir, 'feed');
  execFileSync('python3', [path.join(root, 'tools/release/make_release.py'), source, feed,
    '--version', '1.0.0', '--build', '1', '--notes', 'First light'], { stdio: 'ignore' });
  servers = await startServers(feed, path.join(dir, 'server'));

  // The game folder lies beside the executable: a copy of its own keeps the build tree clean.
  fs.mkdirSync(path.join(dir, 'launcher'));
  const exe = path.join(dir, 'launcher', 'vantor-launcher.exe');
  fs.copyFileSync(process.env.LAUNCHER, exe);

  const env = privateEnv(dir, { VANTOR_UPDATE_FEED: servers.base, WINEDEBUG: '-all' });
  delete env.VANTOR_LAUNCHER_UI;
  delete env.VANTOR_FAKEGAME_HOLD_MS;
  // The prefix is shared with the run's other wine tests: a data folder left
  // by one would change what this one sees.
  data = path.join(localAppData(process.env.WINEPREFIX), 'Vantor');
  fs.rmSync(data, { recursive: true, force: true });
  fs.mkdirSync(data, { recursive: true });
  // The game stays up until the test lets it go: no clock decides what the page shows.
  fs.writeFileSync(path.join(data, 'launcher.json'),
    JSON.stringify({ launchOptions: '--wait-for ' + windowsPath(path.join(dir, 'game-may-end')) }));

  app = startLauncher(exe, env, { runner: ['wine'] });
  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: chromiumArgs });
});

after(async () => {
  if (browser) await browser.close();
  if (app) {
    fs.writeFileSync(path.join(dir, 'game-may-end'), '');
    // Ending the wine client ends the Windows process it runs.
    if (app.exited === null) app.child.kill('SIGKILL');
    await app.ended;
  }
  if (servers) await servers.stop();
  if (data) fs.rmSync(data, { recursive: true, force: true });
  fs.rmSync(dir, { recursive: true, force: true });
});

test('install, play and quit from the page under wine', async () => {
  // wine's first start of a program in a cold prefix takes a while.
  const address = await waitFor(() => app.lines.find((l) => l.startsWith('http://'))
    || (app.exited !== null && 'ended with ' + app.exited), 'the printed address', 120000);
  assert.match(address, /^http:\/\/127\.0\.0\.1:\d+\/\?token=/);
  const page = await browser.newPage({ viewport: { width: 1280, height: 760 } });
  // Every step runs through wine on a machine that may be busy.
  page.setDefaultTimeout(60000);
  await page.goto(address);

  // The server offers accounts, so the page asks for one first; a player may decline.
  await page.locator('#account').waitFor({ state: 'visible', timeout: 60000 });
  await page.locator('#acct-back').click();
  await page.locator('#account').waitFor({ state: 'hidden', timeout: 30000 });
  const install = page.getByRole('button', { name: 'INSTALL', exact: true });
  await install.waitFor({ timeout: 60000 });
  await install.click();
  await page.getByText('Game updated to 1.0.0').waitFor({ timeout: 120000 });
  const game = path.join(dir, 'launcher', 'game');
  assert.ok(fs.readFileSync(path.join(game, 'Vantor.exe')).equals(fs.readFileSync(process.env.FAKEGAME)),
    'the installed game is the published one');
  assert.equal(fs.readFileSync(path.join(game, 'README.txt'), 'utf8'), 'Astrane: Vantor test release\n');
  // nginx logs an answer once it has gone out: wait for the line rather than expect it.
  await waitFor(() => servers.log().some((e) => e.uri.includes('/objects/') && e.status === 200),
    'the game\'s objects in nginx\'s log');

  const play = page.getByRole('button', { name: 'PLAY', exact: true });
  await play.click();
  await page.getByRole('button', { name: 'PLAYING', exact: true }).waitFor({ timeout: 60000 });
  // The game writes its record (in one rename) once it holds the game lock, maybe after PLAYING shows.
  const recordFile = path.join(data, 'logs', 'fakegame.json');
  await waitFor(() => fs.existsSync(recordFile), 'the game\'s record', 60000);
  const record = JSON.parse(fs.readFileSync(recordFile, 'utf8'));
  assert.ok(record.args.includes('--wait-for'), 'the launch options reach the game: ' + JSON.stringify(record.args));

  fs.writeFileSync(path.join(dir, 'game-may-end'), '');
  await play.waitFor({ timeout: 60000 });

  await page.getByRole('button', { name: 'QUIT', exact: true }).click();
  await waitFor(() => app.exited !== null, 'the launcher to end', 60000);
  assert.equal(app.exited, 0);
});
