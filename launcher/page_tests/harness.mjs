// Test harness for the launcher page: a static server of the page folder on
// 127.0.0.1 (a free port), Debian's Chromium through playwright-core, a fake
// window.chrome.webview that records commands and lets the test push messages,
// and guards that fail a test on any console error or foreign request.

import http from 'node:http';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { createRequire } from 'node:module';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
export const repoRoot = path.resolve(here, '..', '..');
export const pageDir = path.join(repoRoot, 'launcher', 'page');
export const shotDir = path.join(repoRoot, 'build', 'page-screenshots');
const require = createRequire(import.meta.url);
const axeSource = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.woff2': 'font/woff2',
};

// Serves launcher/page/ the way the launcher does: fixed types, no caching,
// 404 for anything else.
export function startServer(root = pageDir) {
  return new Promise((resolve) => {
    const server = http.createServer((req, res) => {
      const url = new URL(req.url, 'http://x');
      let rel = decodeURIComponent(url.pathname).replace(/^\/+/, '') || 'index.html';
      const file = path.join(root, rel);
      const type = TYPES[path.extname(file)];
      if (!type || !file.startsWith(root + path.sep) || !fs.existsSync(file)) {
        res.writeHead(404, { 'Content-Type': 'application/octet-stream' });
        res.end();
        return;
      }
      res.writeHead(200, { 'Content-Type': type, 'Cache-Control': 'no-store' });
      fs.createReadStream(file).pipe(res);
    });
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      resolve({ origin: `http://127.0.0.1:${port}`, close: () => new Promise((r) => server.close(r)) });
    });
  });
}

// Playwright's launch gives the browser a fresh temporary profile (its
// --user-data-dir) and removes it on close.
export async function launchBrowser() {
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  return browser;
}

// Installed before the page's scripts: the bridge the launcher's web view gives.
function fakeBridge() {
  const listeners = [];
  window.__sent = [];
  window.chrome = window.chrome || {};
  window.chrome.webview = {
    postMessage(text) {
      if (typeof text !== 'string') throw new Error('postMessage takes the text of a JSON object');
      window.__sent.push(JSON.parse(text));
    },
    addEventListener(type, fn) { if (type === 'message') listeners.push(fn); },
    removeEventListener() {},
  };
  window.__push = (msg) => { for (const fn of listeners) fn({ data: msg }); };
}

// The launcher's window draws the starfield itself: its bridge has a
// starfield(text) call, recorded here as parsed messages.
function fakeNativeStars() {
  window.__stars = [];
  window.chrome.webview.starfield = (text) => window.__stars.push(JSON.parse(text));
}

// Opens the page with the fake bridge (or without, for the demo), collecting
// console errors and requests that leave the page's origin.
export async function openPage(env, { bridge = true, nativeStars = false, reducedMotion = 'reduce', query = '', hash = '', clock = false } = {}) {
  // A context per page: the fake clock and permissions stay with their test.
  const context = await env.browser.newContext({ viewport: { width: 1280, height: 760 }, reducedMotion });
  const page = await context.newPage();
  page.on('close', () => context.close().catch(() => {}));
  const problems = [];
  page.on('console', (m) => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
  page.on('pageerror', (e) => problems.push('page error: ' + e.message));
  page.on('request', (r) => {
    const u = r.url();
    if (!u.startsWith(env.server.origin + '/') && !u.startsWith('data:')) problems.push('foreign request: ' + u);
  });
  page.on('requestfailed', (r) => problems.push('failed request: ' + r.url()));
  page.on('response', (r) => { if (r.status() >= 400) problems.push(`HTTP ${r.status()}: ${r.url()}`); });
  if (bridge) await page.addInitScript(fakeBridge);
  if (bridge && nativeStars) await page.addInitScript(fakeNativeStars);
  if (clock) await page.clock.install();
  await page.goto(env.server.origin + '/index.html' + query + hash);
  page.problems = problems;
  return page;
}

export const sent = (page) => page.evaluate(() => window.__sent);
export const clearSent = (page) => page.evaluate(() => { window.__sent.length = 0; });
export const push = (page, msg) => page.evaluate((m) => window.__push(m), msg);
export const commands = async (page) => (await sent(page)).map((c) => c.cmd);

// Waits until the page is at rest: its fonts loaded, no screen fading out, the
// detail line not between two texts, and no animation or transition running
// that will end (a progress bar of unknown length and the status dot loop for
// ever). The page draws a pushed state before push() returns; what takes time
// is only its motion.
export async function settle(page) {
  await page.waitForFunction(() => document.fonts.status === 'loaded'
    && !document.querySelector('.screen.leaving, #detail.fading')
    && document.getAnimations().every((a) => a.playState !== 'running' || a.effect?.getTiming().iterations === Infinity));
}

export async function checkAxe(page, label) {
  await page.evaluate(axeSource);
  const result = await page.evaluate(async () => {
    // eslint-disable-next-line no-undef
    const r = await axe.run(document, { resultTypes: ['violations'] });
    return r.violations.map((v) => ({ id: v.id, impact: v.impact, nodes: v.nodes.map((n) => n.target.join(' ') + ' ' + n.failureSummary) }));
  });
  const bad = result.filter((v) => v.impact === 'serious' || v.impact === 'critical');
  if (bad.length) throw new Error(`axe on ${label}: ` + JSON.stringify(bad, null, 1));
  return result;
}

export async function screenshot(page, name) {
  fs.mkdirSync(shotDir, { recursive: true });
  const file = path.join(shotDir, name + '.png');
  await page.screenshot({ path: file });
  return file;
}

// One browser and one server per test file.
export async function setup() {
  const server = await startServer();
  const browser = await launchBrowser();
  return { server, browser, close: async () => { await browser.close(); await server.close(); } };
}

// ---------------------------------------------------------------------------
// States

export function defaultSettings() {
  return {
    audio: { ambience: 1.0, effects: 1.0, effectsMuted: false, master: 1.0, music: 0.5, musicMuted: false },
    display: { brightness: 1.0, frameGeneration: 'off', height: 900, showStats: true, vsync: false, width: 1600, windowMode: 'windowed' },
    graphics: {
      bloom: true, depthOfField: true, globalIllumination: true, godRays: true, grassDistance: 170.0, motionBlur: true,
      objectDetail: 1.0, rayReconstruction: true, rayTracing: true, terrainDetail: 1.0, upscaling: 'dlss_quality', volumetricClouds: true, volumetricFog: true,
    },
    online: { enabled: false, name: '', server: '' },
    version: 1,
  };
}

// A complete state document with everything idle and the game ready.
export function baseState(over = {}) {
  const s = {
    type: 'state',
    nativeDrag: false,
    game: { status: 'ready', version: '1.4.0', build: 311, dev: false, latestVersion: '1.4.0', latestBuild: 311, released: '2026-12-01', notes: [], downloadSize: 0 },
    launcher: { version: '1.0.0', latest: '1.0.0', updateAvailable: false },
    feed: { configured: true, checking: false, checked: true, ok: true, error: '' },
    server: {},
    queue: [],
    task: null,
    taskError: '',
    repair: null,
    prefs: { autoUpdateGame: true, channel: 'stable', checkForUpdates: true, downloadLimit: 0, launchOptions: '', onPlay: 'minimize', onboarded: true, reduceMotion: false },
    settings: defaultSettings(),
    saves: { files: 3, bytes: 120000, backups: [] },
    addons: { installed: [], catalog: [], folder: '/data/addons' },
    mode: 'portable',
    firstRun: false,
    account: { available: false, signedIn: false, username: '', busy: false, profile: {}, site: '' },
    paths: { game: '/games/vantor', data: '/data', saves: '/data/saves' },
  };
  return deepMerge(s, over);
}

function deepMerge(a, b) {
  for (const [k, v] of Object.entries(b)) {
    if (v && typeof v === 'object' && !Array.isArray(v) && a[k] && typeof a[k] === 'object' && !Array.isArray(a[k])) deepMerge(a[k], v);
    else a[k] = v;
  }
  return a;
}

export function task(over = {}) {
  return { id: 1, kind: 'game', label: 'Game 1.5.0', phase: 'Downloading', file: '', bytesDone: 0, bytesTotal: 0, filesDone: 0, filesTotal: 0, rate: 0, ...over };
}

// Problems the page caused; call at the end of each test.
export function assertClean(t, page) {
  if (page.problems.length) throw new Error('page problems:\n' + page.problems.join('\n'));
}

// Opens the page, pushes a first state and waits until the home screen shows it.
export async function start(env, state = baseState(), opts = {}) {
  const page = await openPage(env, opts);
  await push(page, state);
  await page.waitForFunction(() => document.querySelector('#menu .entry-label')?.textContent !== '');
  return page;
}

export const text = (page, sel) => page.locator(sel).first().innerText();
export const visibleScreen = (page) => page.evaluate(() =>
  [...document.querySelectorAll('#screens .screen')].filter((s) => !s.hidden && !s.classList.contains('leaving')).map((s) => s.id).join(','));
export const focusedRow = (page) => page.locator('#page .row.focus .row-label').innerText();
export const sidePanel = (page) => page.locator('#page .side').innerText();
export const promptText = (page, id) => page.locator(id).innerText();
