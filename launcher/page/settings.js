// The SETTINGS page: the game's settings file and the launcher preferences.
// Game rows edit the page's copy of "settings" and save after 150 ms; launcher
// rows edit "prefs" and send them at once.

import { app, send, toast, settingsEdited, prefsEdited, applyCalm } from './core.js';
import { openAccount } from './account.js';

const ONOFF = [[false, 'Off'], [true, 'On']];
const PCT = { unit: ' %', scale: 100, step: 10 };
const SIZES = [[1280, 720], [1600, 900], [1920, 1080], [2560, 1440], [3440, 1440], [3840, 2160]];

function section(name) {
  const s = app.S.settings || (app.S.settings = {});
  return s[name] || (s[name] = {});
}

// A row bound to settings.<sec>.<key>.
function game(sec, key, row) {
  return {
    get: () => section(sec)[key],
    set: (v) => { section(sec)[key] = v; settingsEdited(); },
    ...row,
  };
}

// A row bound to prefs.<key>.
function pref(key, row) {
  return {
    get: () => (app.S.prefs || {})[key],
    set: (v) => {
      app.S.prefs[key] = v;
      if (key === 'reduceMotion') applyCalm();
      prefsEdited();
    },
    ...row,
  };
}

const rayTracing = () => section('graphics').rayTracing === true;

function display() {
  return [
    game('display', 'windowMode', {
      label: 'Window mode', options: [['windowed', 'Windowed'], ['borderless', 'Borderless']], def: 'windowed',
      desc: 'Borderless fills the screen and lets you switch to other windows instantly. F11 switches in game.',
    }),
    {
      label: 'Window size',
      options: SIZES.map(([w, h]) => [w + 'x' + h, w + ' × ' + h]),
      def: '1600x900',
      get: () => section('display').width + 'x' + section('display').height,
      set: (v) => {
        const [w, h] = v.split('x').map(Number);
        section('display').width = w;
        section('display').height = h;
        settingsEdited();
      },
      desc: 'The size of the game window in windowed mode.',
    },
    game('display', 'vsync', { label: 'V-sync', options: ONOFF, def: false, desc: 'Stops tearing at the cost of a little input delay.' }),
    game('display', 'frameGeneration', {
      label: 'Frame generation', options: [['off', 'Off'], ['2x', '2×'], ['3x', '3×'], ['4x', '4×']], def: 'off', cost: 1,
      desc: 'DLSS Frame Generation adds AI frames between rendered ones. Needs an RTX 40 series GPU; 3× and 4× need RTX 50.',
    }),
    game('display', 'brightness', {
      label: 'Brightness', min: 50, max: 150, ...PCT, def: 1.0,
      desc: 'Overall image brightness. Eye adaptation still opens up at night and in the cabin.',
    }),
    game('display', 'showStats', {
      label: 'Performance overlay', options: ONOFF, def: true,
      desc: 'Version, build and frame rate in the top left corner. F3 toggles it in game.',
    }),
  ];
}

function graphics() {
  const onoff = (key, label, cost, desc, extra) => game('graphics', key, { label, options: ONOFF, def: true, cost, desc, ...extra });
  const detail = (key, label, desc) => game('graphics', key, { label, min: 50, max: 200, ...PCT, def: 1.0, cost: 2, desc });
  return [
    game('graphics', 'upscaling', {
      label: 'Upscaling', cost: 3, def: 'dlss_quality',
      options: [['dlss_quality', 'DLSS Quality'], ['dlss_balanced', 'DLSS Balanced'], ['dlss_performance', 'DLSS Performance'],
        ['dlss_ultra_performance', 'DLSS Ultra Perf.'], ['dlaa', 'DLAA'], ['taa', 'TAA'], ['fxaa', 'FXAA'], ['off', 'Off']],
      desc: 'Renders fewer pixels and rebuilds the image. DLAA renders every pixel and is sharpest. DLSS needs an NVIDIA RTX GPU; others fall back to TAA.',
    }),
    { group: 'Lighting' },
    onoff('rayTracing', 'Ray tracing', 4, 'Ray traced shadows from both suns, ambient occlusion and bounce light. Needs a GPU with hardware ray tracing.'),
    onoff('globalIllumination', 'Global illumination', 3, 'Light bouncing off sand, stone and hull plating.', { needs: rayTracing }),
    onoff('rayReconstruction', 'Ray reconstruction', 1, 'The DLSS denoiser for ray traced light: sharper and more stable. RTX GPUs with DLSS or DLAA.', { needs: rayTracing }),
    onoff('godRays', 'Light shafts', 1, 'Beams of sunlight through clouds, arches and dust.'),
    onoff('bloom', 'Bloom', 1, 'The glow around the suns, engines and bright metal.'),
    { group: 'World' },
    onoff('volumetricClouds', 'Volumetric clouds', 3, 'Real 3D clouds you can fly through.'),
    onoff('volumetricFog', 'Volumetric fog', 2, 'Valley fog, mist over water and haze.'),
    detail('terrainDetail', 'Terrain detail', 'How far the ground keeps its finest detail.'),
    detail('objectDetail', 'Object detail', 'How far buildings, rocks and trees keep their detail.'),
    game('graphics', 'grassDistance', {
      label: 'Grass distance', min: 0, max: 300, step: 30, scale: 1, unit: ' m', def: 170, cost: 3,
      desc: 'How far away grass is drawn on green worlds.',
    }),
    { group: 'Camera' },
    onoff('motionBlur', 'Motion blur', 1, 'Blurs fast movement behind the ship. Some people find it uncomfortable.'),
    onoff('depthOfField', 'Depth of field', 1, 'Softens the background behind the ship in the chase camera.'),
  ];
}

function audio() {
  const vol = (key, label, def, desc) => game('audio', key, { label, min: 0, max: 100, ...PCT, def, desc });
  return [
    vol('master', 'Master volume', 1.0, 'Everything at once.'),
    vol('music', 'Music', 0.5, 'The score. It follows what you are doing: quiet on the ground, rising in flight. B mutes it in game; - and = change it.'),
    vol('effects', 'Effects', 1.0, 'Engines, landing gear, blasters, footsteps. N mutes effects in game.'),
    vol('ambience', 'Ambience', 1.0, 'Wind, desert and the world around you.'),
    game('audio', 'musicMuted', { label: 'Mute music', options: ONOFF, def: false, desc: 'Silence the score completely.' }),
    game('audio', 'effectsMuted', { label: 'Mute effects', options: ONOFF, def: false, desc: 'Silence effects and ambience.' }),
  ];
}

export function inviteLink(acct) {
  const code = acct.profile && acct.profile.referralCode;
  return (acct.site || '') + '?ref=' + encodeURIComponent(code);
}

function copyText(text) {
  const fallback = () => {
    const area = document.createElement('textarea');
    area.value = text;
    area.setAttribute('readonly', '');
    area.style.position = 'fixed';
    area.style.opacity = '0';
    document.body.append(area);
    area.select();
    let ok = false;
    try { ok = document.execCommand('copy'); } catch { ok = false; }
    area.remove();
    return ok;
  };
  if (navigator.clipboard && navigator.clipboard.writeText) {
    return navigator.clipboard.writeText(text).then(() => true, () => fallback());
  }
  return Promise.resolve(fallback());
}

function online() {
  const acct = app.S.account || {};
  const account = acct.signedIn
    ? {
      label: 'Account', act: 'Sign out ' + acct.username,
      desc: 'Signed in: other pilots see your name. Signing out keeps your settings; you can sign in again any time.',
      run: () => send('signOut'),
    }
    : {
      label: 'Account', act: acct.available ? 'Sign in' : 'Offline copy', off: !acct.available,
      desc: 'One pilot name for every server. Needed to play online.',
      run: () => openAccount('signin', false),
    };
  const profile = acct.profile && typeof acct.profile === 'object' ? acct.profile : {};
  const invite = profile.referralCode
    ? {
      label: 'Invite friends', act: 'Copy invite link',
      desc: 'Send this link: it downloads the game and remembers you invited them. ' + (profile.invited || 0) + ' pilot(s) joined with your link so far.',
      info: [['Link', inviteLink(acct)]],
      run: () => {
        const link = inviteLink(acct);
        copyText(link).then((ok) => toast(ok ? 'Invite link copied' : link));
      },
    }
    : { label: 'Invite friends', act: 'Sign in first', off: true, desc: 'Sign in to get your own invite link.' };
  return [
    account,
    invite,
    game('online', 'enabled', {
      label: 'Multiplayer', options: ONOFF, def: false,
      desc: 'Join the server when the game starts: other pilots fly, land and walk around you, with their names over their ships.',
    }),
    game('online', 'name', {
      label: 'Pilot name (offline servers)', text: true, maxLength: 256,
      desc: "The name shown on servers that don't need an account. Signed in, you always appear as your account name.",
    }),
    game('online', 'server', {
      label: 'Server', text: true, maxLength: 256,
      desc: 'Leave it empty to play on the update server, or enter the address of another server as host:port.',
    }),
  ];
}

// The download speed limits offered, in KiB/s (launcher.json's unit); a
// value set elsewhere (by hand, or another build) is offered too.
const LIMITS = [0, 256, 512, 1024, 2048, 5120, 10240, 25600, 51200];

export function limitText(kib) {
  if (!kib) return 'No limit';
  return kib >= 1024 ? +(kib / 1024).toFixed(1) + ' MB/s' : kib + ' KB/s';
}

function limitOptions() {
  const current = Number((app.S.prefs || {}).downloadLimit) || 0;
  const values = LIMITS.includes(current) ? LIMITS : [...LIMITS, current].sort((a, b) => a - b);
  return values.map((v) => [v, limitText(v)]);
}

function launcher() {
  return [
    pref('onPlay', {
      label: 'When the game starts', options: [['minimize', 'Minimise'], ['close', 'Close'], ['stay', 'Stay open']], def: 'minimize',
      desc: 'What the launcher does while you play. Minimised, it comes back when the game closes.',
    }),
    pref('checkForUpdates', { label: 'Check for updates', options: ONOFF, def: true, desc: 'Look for new versions of the game and launcher when the launcher opens.' }),
    pref('autoUpdateGame', { label: 'Update automatically', options: ONOFF, def: true, desc: 'Download game updates as soon as they are found.' }),
    pref('channel', { label: 'Update channel', options: [['stable', 'Stable'], ['beta', 'Beta']], def: 'stable', desc: 'Beta gets new builds first; they may be rougher.' }),
    pref('downloadLimit', {
      label: 'Download speed limit', options: limitOptions(), def: 0,
      desc: 'The most game and addon downloads may use together, so others on your connection keep theirs. Applies at once, also to a download in progress.',
    }),
    pref('reduceMotion', { label: 'Reduce motion', options: ONOFF, def: false, desc: 'A calmer starfield and no jump flash in the launcher.' }),
    pref('launchOptions', {
      label: 'Launch options', text: true,
      desc: 'Extra command line for the game, for example --skip-intro. Leave empty normally.',
    }),
  ];
}

export const settingsPage = {
  title: 'SETTINGS',
  tabs: [
    { name: 'Display', rows: display },
    { name: 'Graphics', rows: graphics },
    { name: 'Audio', rows: audio },
    { name: 'Online', rows: online },
    { name: 'Launcher', rows: launcher },
  ],
  // Display, Graphics, Audio and Online are read by the game when it starts.
  runningNote: (tab) => tab < 4,
};
