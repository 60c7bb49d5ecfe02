// Demo mode, for working on the page without the launcher: loaded only when no
// bridge exists. The URL fragment picks a built-in state (#ready by default;
// #dev, #update, #not_installed, #running, #busy, #unavailable, #downloading,
// #paused, #signedin, #empty, #onboarding, #update_launcher, #repair_question) and the query string may name a page to open
// (?page=settings&tab=1, or just ?settings). "setSettings" and "setPrefs" are
// applied here; every other command answers with a "(demo) " toast.

import { openPage, isPage } from './rows.js';

function defaults() {
  return {
    display: { windowMode: 'windowed', width: 1600, height: 900, vsync: false, frameGeneration: 'off', brightness: 1.0, showStats: true },
    graphics: {
      upscaling: 'dlss_quality', rayTracing: true, globalIllumination: true, rayReconstruction: true,
      volumetricClouds: true, volumetricFog: true, godRays: true, bloom: true, motionBlur: true, depthOfField: true,
      terrainDetail: 1.0, objectDetail: 1.0, grassDistance: 170.0,
    },
    audio: { master: 1.0, music: 0.5, effects: 1.0, ambience: 1.0, musicMuted: false, effectsMuted: false },
    online: { enabled: false, name: '', server: '' },
    version: 1,
  };
}

function baseState() {
  return {
    type: 'state',
    nativeDrag: false,
    game: {
      status: 'ready', version: '0.9.4', build: 1287, dev: false, latestVersion: '0.9.4', latestBuild: 1287,
      released: '2026-11-28', downloadSize: 0,
      notes: ['Landing gear now casts shadows from both suns', 'Cabin lights follow the time of day',
        'Fixed a stutter when crossing cloud layers', 'Quieter wind at the north pole', 'Faster shader warm-up'],
    },
    launcher: { version: '1.0.0', latest: '1.0.0', updateAvailable: false },
    feed: { configured: true, checking: false, checked: true, ok: true, error: '' },
    server: { name: 'Vantor Prime', playerCount: 214, maxPlayers: 500 },
    queue: [],
    task: null,
    taskError: '',
    repair: null,
    prefs: { onPlay: 'minimize', checkForUpdates: true, autoUpdateGame: true, reduceMotion: false, onboarded: true, channel: 'stable', launchOptions: '', downloadLimit: 0 },
    settings: defaults(),
    saves: {
      files: 14, bytes: 3_412_000,
      backups: [
        { name: '2026-12-03_210212', files: 14, bytes: 3_400_000 },
        { name: '2026-12-01_183004_before_restore', files: 12, bytes: 2_950_000 },
        { name: '2026-11-20_090000', files: 9, bytes: 1_800_000 },
      ],
    },
    addons: {
      installed: [
        { id: 'dune-voices', name: 'Dune Voices', version: '1.2.0', author: 'Kesra', description: 'New voices for the desert traders.', enabled: true, managed: true, update: true, latest: '1.3.0', queued: false, path: '/home/pilot/.local/share/Vantor/addons/dune-voices' },
        { id: 'hull-decals', name: 'Hull Decals', version: '0.4', author: '', description: '', enabled: false, managed: false, update: false, latest: '', queued: false, path: '/home/pilot/.local/share/Vantor/addons/hull-decals' },
      ],
      catalog: [
        { id: 'dune-voices', name: 'Dune Voices', version: '1.3.0', author: 'Kesra', description: 'New voices for the desert traders.', size: 182_000_000, installed: true, queued: false },
        { id: 'aurora-sky', name: 'Aurora Sky', version: '2.0.1', author: 'Nightshift', description: 'Polar lights over the ice worlds.', size: 61_200_000, installed: false, queued: false },
        { id: 'old-freighters', name: 'Old Freighters', version: '1.0.0', author: 'Rusty Bolt', description: 'Three worn cargo ships for the spaceports.', size: 1_240_000_000, installed: false, queued: false },
      ],
      folder: '/home/pilot/.local/share/Vantor/addons',
    },
    mode: 'installed',
    firstRun: false,
    account: { available: true, signedIn: false, username: '', busy: false, profile: {}, site: 'https://play.vantor.example/install/' },
    paths: { game: '/home/pilot/Games/Vantor/game', data: '/home/pilot/.local/share/Vantor', saves: '/home/pilot/.local/share/Vantor/saves' },
  };
}

const downloading = (s) => {
  s.game.status = 'busy';
  s.game.latestVersion = '0.9.5';
  s.queue = [
    { id: 7, kind: 'game', label: 'Game 0.9.5', paused: false, active: true },
    { id: 8, kind: 'addon', label: 'Aurora Sky 2.0.1', paused: false, active: false },
  ];
  s.task = { id: 7, kind: 'game', label: 'Game 0.9.5', phase: 'Downloading', file: 'data/worlds.pak', bytesDone: 1_734_000_000, bytesTotal: 4_210_000_000, filesDone: 412, filesTotal: 1004, rate: 38_400_000 };
  s.addons.catalog[1].queued = true;
};

const VARIANTS = {
  ready: () => {},
  dev: (s) => { s.game.status = 'dev'; s.game.dev = true; s.mode = 'dev'; },
  update: (s) => { s.game.status = 'update'; s.game.latestVersion = '0.9.5'; s.game.latestBuild = 1302; s.game.downloadSize = 812_000_000; },
  not_installed: (s) => {
    s.game.status = 'not_installed'; s.game.version = ''; s.game.build = 0; s.game.downloadSize = 4_210_000_000;
    s.saves = { files: 0, bytes: 0, backups: [] };
  },
  running: (s) => { s.game.status = 'running'; },
  busy: (s) => {
    downloading(s);
    s.task = { ...s.task, phase: 'Verifying', bytesDone: 0, bytesTotal: 0, filesDone: 120, filesTotal: 1004, rate: 0, kind: 'repair' };
    s.queue[0] = { ...s.queue[0], kind: 'repair', label: 'Verify game files' };
  },
  unavailable: (s) => {
    s.game.status = 'unavailable'; s.game.version = ''; s.game.build = 0; s.game.latestVersion = '';
    s.feed = { configured: true, checking: false, checked: true, ok: false, error: 'Connection timed out (error 28)' };
    s.server = {};
    s.addons.catalog = [];
  },
  downloading,
  paused: (s) => {
    downloading(s);
    s.queue[0].paused = true;
    s.queue[0].active = false;
    s.task = null;
  },
  signedin: (s) => {
    s.account = { ...s.account, signedIn: true, username: 'Kestrel', profile: { referralCode: 'KES-4471', invited: 3 } };
    s.settings.online.enabled = true;
  },
  empty: (s) => { s.addons.installed = []; s.addons.catalog = []; },
  onboarding: (s) => { s.prefs.onboarded = false; s.firstRun = true; },
  update_launcher: (s) => { s.launcher.latest = '1.1.0'; s.launcher.updateAvailable = true; },
  repair_question: (s) => {
    VARIANTS.busy(s);
    s.task.phase = 'Comparing';
    s.repair = { asking: true, damaged: 2, missing: 1, updated: 0, bytes: 48_200_000 };
  },
};

let state = null;

function load(onMessage) {
  const name = decodeURIComponent(location.hash.slice(1)) || 'ready';
  state = baseState();
  (VARIANTS[name] || VARIANTS.ready)(state);
  onMessage(structuredClone(state));
}

export function startDemo(onMessage, setTransport) {
  setTransport((text) => {
    const cmd = JSON.parse(text);
    switch (cmd.cmd) {
      case 'ready':
        load(onMessage);
        return;
      case 'setSettings':
        state.settings = structuredClone(cmd.settings);
        break;
      case 'setPrefs':
        state.prefs = { ...state.prefs, ...cmd.prefs };
        break;
      case 'repairAnswer':
        state.repair = null;
        onMessage({ type: 'toast', text: '(demo) ' + (cmd.proceed ? 'repairing' : 'repair cancelled') });
        break;
      default:
        onMessage({ type: 'toast', text: '(demo) ' + cmd.cmd });
        return;
    }
    setTimeout(() => onMessage(structuredClone(state)), 30);
  });
  window.addEventListener('hashchange', () => load(onMessage));
  // Read by the page tests: what the stand-in launcher holds after a command.
  Object.defineProperty(window, 'vantorDemoState', { value: () => structuredClone(state) });
  const q = new URLSearchParams(location.search);
  const page = q.get('page') || [...q.keys()].find((k) => isPage(k));
  load(onMessage);
  if (page && isPage(page)) openPage(page, Number(q.get('tab')) || 0);
}
