// The home screen: menu with the primary action, detail line, progress block,
// patch notes, status corner and prompts; the launcher update banner, the
// downloads indicator and the close request, which live in the frame.

import {
  app, send, h, $, setText, setContent, gb, mins, mbps, percent, prompts, confirmBox,
} from './core.js';
import { jump, updateStarfield } from './starfield.js';
import { openPage } from './rows.js';

const ENTRIES = ['play', 'addons', 'settings', 'data', 'quit'];
const LABELS = { addons: 'ADDONS', settings: 'SETTINGS', data: 'DATA', quit: 'QUIT' };

let playPending = false;

// ---------------------------------------------------------------------------
// Primary action, by game status

export function primary(S) {
  const st = S.game && S.game.status;
  switch (st) {
    case 'ready':
    case 'dev':
      return { label: 'PLAY', verb: 'Play', run: playSequence };
    case 'update':
      return { label: 'UPDATE', verb: 'Update', run: () => send('install', { play: true }) };
    case 'not_installed':
      return { label: 'INSTALL', verb: 'Install', run: () => send('install') };
    case 'running':
      return { label: 'PLAYING', run: null };
    case 'busy': {
      const job = (S.queue || []).find((j) => j.kind === 'game' || j.kind === 'repair');
      if (job && job.paused) return { label: 'RESUME', verb: 'Resume', run: () => send('resume', { id: job.id }) };
      if (job && !job.active) return { label: 'QUEUED', run: null };
      return { label: job && job.kind === 'repair' ? 'VERIFYING' : 'UPDATING', run: null };
    }
    default:
      return { label: 'INSTALL', run: null };
  }
}

function playSequence() {
  if (playPending) return;
  jump();
  if (app.calm) {
    send('play');
    return;
  }
  const flash = $('#flash');
  flash.classList.remove('go');
  void flash.offsetWidth;
  flash.classList.add('go');
  playPending = true;
  setTimeout(() => { playPending = false; send('play'); }, 450);
}

// ---------------------------------------------------------------------------
// Menu

export function buildMenu() {
  const nav = $('#menu');
  nav.replaceChildren(...ENTRIES.map((id, i) =>
    h('button', {
      type: 'button',
      class: 'entry',
      'data-entry': id,
      style: `--i:${i}`,
      onclick: () => { focusEntry(i); pick(); },
      onmouseenter: () => focusEntry(i),
    }, h('span', { class: 'entry-label' }, LABELS[id] || ''))));
}

export function focusEntry(i, moveDom = true) {
  app.menuFocus = (i + ENTRIES.length) % ENTRIES.length;
  updateStarfield();
  renderHome();
  if (moveDom && app.screen === 'home') {
    const el = $('#menu').children[app.menuFocus];
    if (el && document.activeElement !== el) el.focus({ preventScroll: true });
  }
}

export function pick() {
  const S = app.S;
  if (!S) return;
  const id = ENTRIES[app.menuFocus];
  if (id === 'play') {
    const p = primary(S);
    if (p.run) p.run();
  } else if (id === 'quit') {
    closeRequest();
  } else {
    openPage(id);
  }
}

// ---------------------------------------------------------------------------
// Close request

export function closeRequest() {
  const task = app.S && app.S.task;
  if (task && task.kind !== 'backup') {
    confirmBox('Stop and quit?',
      'The download stops. Everything already downloaded is kept, and it carries on from there next time.',
      [['Keep going', 'primary', null], ['Quit', 'danger', () => send('close')]]);
  } else {
    send('close');
  }
}

// ---------------------------------------------------------------------------
// Detail line

function versionText(g) {
  const parts = ['Version ', [g.version]];
  if (g.build) parts.push(' · build ' + g.build);
  return parts;
}

// A list of plain strings and [bold] strings.
function detailParts(S, entry) {
  const g = S.game || {};
  const feed = S.feed || {};
  switch (entry) {
    case 'play':
      switch (g.status) {
        case 'ready': {
          const p = versionText(g);
          if (feed.ok) p.push(' · up to date');
          return p;
        }
        case 'dev':
          return g.version ? ['Dev build · ', ...versionText(g)] : ['Dev build · local'];
        case 'update': {
          const p = ['Version ', [g.latestVersion], ' is ready'];
          if (g.downloadSize) p.push(' · up to ' + gb(g.downloadSize));
          return p;
        }
        case 'not_installed': {
          const p = ['Version ', [g.latestVersion]];
          if (g.downloadSize) p.push(' · ' + gb(g.downloadSize) + ' download');
          return p;
        }
        case 'running':
          return ['The game is running. Settings changed here apply next time it starts.'];
        case 'busy':
          return [];
        default:
          // Until the feed has been checked, make no claim about the server.
          if (feed.checking || (feed.configured && !feed.checked)) return ['Looking for the game…'];
          if (feed.configured && feed.ok) return ['The update server has no game release yet.'];
          if (feed.configured) {
            // A transfer error already says it ("Can't reach the update server (error 6)"): once is enough.
            const reach = "Can't reach the update server";
            if (feed.error && feed.error.startsWith(reach)) return [feed.error];
            return [reach + (feed.error ? ': ' + feed.error : '')];
          }
          return ['No update server is set up for this copy.'];
      }
    case 'addons': {
      const n = ((S.addons && S.addons.installed) || []).filter((a) => a.enabled).length;
      return n ? [n + ' addon' + (n > 1 ? 's' : '') + ' on'] : ['Custom content: new people, sounds, textures and more'];
    }
    case 'settings':
      return ['Display, graphics, audio, online and the launcher'];
    case 'data':
      return ['Saves, backups, game files and logs'];
    case 'quit':
      return ['Close the launcher'];
    default:
      return [];
  }
}

let detailTimer = 0;

function renderDetail(S) {
  const el = $('#detail');
  const parts = detailParts(S, ENTRIES[Math.max(0, app.menuFocus)]);
  const key = JSON.stringify(parts);
  if (el._want === key) return;
  el._want = key;
  const fill = () => {
    el.classList.remove('fading');
    el.replaceChildren(...parts.map((p) => (Array.isArray(p) ? h('b', null, p[0]) : p)));
  };
  clearTimeout(detailTimer);
  if (!el.textContent) {
    fill();
  } else {
    el.classList.add('fading');
    detailTimer = setTimeout(fill, 180);
  }
}

// ---------------------------------------------------------------------------
// Progress block and patch notes

function renderProgress(S) {
  const box = $('#progress');
  const task = S.task;
  const show = !!task && (task.kind === 'game' || task.kind === 'repair');
  box.hidden = !show;
  if (!show) return;
  const fill = $('.pfill', box);
  const bar = $('.pbar', box);
  const total = task.bytesTotal || 0;
  const done = task.bytesDone || 0;
  bar.classList.toggle('sweep', !total);
  fill.style.width = total ? ((done / total) * 100).toFixed(1) + '%' : '';
  const items = [];
  if (total) {
    items.push(percent(done, total) + '%');
    items.push(gb(done) + ' of ' + gb(total));
  } else if (task.filesTotal) {
    items.push((task.filesDone || 0) + ' of ' + task.filesTotal + ' files');
  }
  if (task.rate > 0) {
    items.push(mbps(task.rate));
    const left = total ? (total - done) / task.rate : 0;
    if (left > 1) items.push(mins(left) + ' left');
  }
  const line = $('.pline', box);
  setContent(line, JSON.stringify([task.phase, items]), () => {
    const out = [h('b', null, task.phase || 'Working')];
    for (const it of items) out.push(' · ', it);
    return out;
  });
}

function renderNotes(S) {
  const ul = $('#notes');
  const st = S.game && S.game.status;
  const notes = ((S.game && S.game.notes) || []).slice(0, 4);
  const show = (st === 'update' || st === 'not_installed') && app.menuFocus === 0 && notes.length > 0;
  ul.hidden = !show;
  if (show) setContent(ul, JSON.stringify(notes), () => notes.map((n) => h('li', null, String(n))));
}

// ---------------------------------------------------------------------------
// Status corner

function renderCorner(S) {
  const el = $('#corner');
  const lines = [];
  const acct = S.account || {};
  if (acct.signedIn) lines.push(['Signed in as ' + acct.username]);
  const server = S.server || {};
  if (server && typeof server === 'object' && server.name) {
    lines.push([String(server.name) + ' · ' + (server.playerCount || 0) + ' of ' + (server.maxPlayers || 0) + ' pilots online']);
  }
  const feed = S.feed || {};
  let dot = null, word = null;
  if (S.task) { dot = 'pulse'; word = 'Working'; }
  else if (feed.checking) { dot = 'pulse'; word = 'Checking for updates'; }
  else if (feed.ok) { dot = 'on'; word = 'Online'; }
  else if (!feed.configured) { dot = 'none'; word = 'Offline mode'; }
  else if (feed.checked) { dot = 'warn'; word = 'Offline'; }
  if (word) lines.push([word, dot]);
  const g = S.game || {};
  let ver = 'Launcher ' + ((S.launcher && S.launcher.version) || '');
  if (g.version) ver += ' · Game ' + g.version + (g.build ? ' (' + g.build + ')' : '');
  lines.push([ver]);
  setContent(el, JSON.stringify(lines), () => lines.map(([text, dotClass], i) =>
    h('p', { class: 'corner-line' + (i === lines.length - 1 ? ' corner-ver' : '') },
      dotClass ? h('span', { class: 'dot ' + dotClass, 'aria-hidden': 'true' }) : null, text)));
}

// ---------------------------------------------------------------------------
// Launcher update banner

export function bannerShown(S) {
  return !!(S && S.launcher && S.launcher.updateAvailable && !S.task);
}

function renderBanner(S) {
  const el = $('#banner');
  const show = bannerShown(S);
  el.hidden = !show;
  if (!show) return;
  setContent($('.banner-text', el), S.launcher.latest, () =>
    ['Launcher ', h('b', null, String(S.launcher.latest || '')), ' is ready']);
}

// ---------------------------------------------------------------------------
// Downloads indicator

export function renderIndicator(S) {
  const btn = $('#dl');
  const queue = S.queue || [];
  btn.hidden = queue.length === 0;
  if (!queue.length) return;
  const job = queue.find((j) => j.active) || queue[0];
  const task = S.task;
  let pct = null;
  if (job.active && task && task.bytesTotal > 0) pct = percent(task.bytesDone, task.bytesTotal);
  let text = (job.paused ? 'Paused · ' : '') + job.label;
  if (pct != null) text += '  ' + pct + '%';
  if (queue.length > 1) text += '  +' + (queue.length - 1);
  setText($('.dl-text', btn), text);
  btn.setAttribute('aria-label', 'Downloads: ' + text);
  const width = pct != null ? pct : job.paused ? 0 : 100;
  $('.dl-fill', btn).style.width = width + '%';
  btn.classList.toggle('paused', !!job.paused);
}

// ---------------------------------------------------------------------------
// Prompts and the whole home screen

export function cancelShown(S) {
  return !!(S && S.task && S.task.kind !== 'launcher');
}

function renderPrompts(S) {
  const p = primary(S);
  const onPlay = app.menuFocus === 0;
  let enter = null;
  if (onPlay && p.run) enter = { keys: ['Enter'], label: p.verb, run: pick };
  if (!onPlay) enter = { keys: ['Enter'], label: 'Select', run: pick };
  prompts($('#home-prompts'), [
    cancelShown(S) && { keys: ['X'], label: 'Cancel', run: () => send('cancel') },
    { keys: ['↑', '↓'], label: 'Choose', run: () => focusEntry(app.menuFocus + 1) },
    enter,
  ]);
}

export function renderHome() {
  const S = app.S;
  if (!S) return;
  const p = primary(S);
  const first = $('#menu').children[0];
  if (first) {
    setText(first.firstChild, p.label);
    first.classList.toggle('disabled', !p.run);
    if (p.run) first.removeAttribute('aria-disabled');
    else first.setAttribute('aria-disabled', 'true');
  }
  [...$('#menu').children].forEach((el, i) => {
    const on = i === app.menuFocus;
    el.classList.toggle('focus', on);
    if (on) el.setAttribute('aria-current', 'true');
    else el.removeAttribute('aria-current');
  });
  renderDetail(S);
  renderProgress(S);
  renderNotes(S);
  renderCorner(S);
  renderBanner(S);
  renderIndicator(S);
  renderPrompts(S);
}

export function homeKey(k, e) {
  const S = app.S;
  switch (k) {
    case 'arrowup': case 'w':
      focusEntry(app.menuFocus - 1); break;
    case 'arrowdown': case 's':
      focusEntry(app.menuFocus + 1); break;
    case 'enter': case ' ':
      // A focused button (a menu entry, the indicator, a title bar button)
      // activates itself.
      if (e.target instanceof HTMLButtonElement) return;
      pick(); break;
    case 'x':
      if (!cancelShown(S)) return;
      send('cancel'); break;
    case 'u':
      if (!bannerShown(S)) return;
      send('updateLauncher'); break;
    default:
      return;
  }
  e.preventDefault();
}
