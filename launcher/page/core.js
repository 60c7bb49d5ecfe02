// Shared pieces of the launcher page: its variables, the bridge's send, text
// formatting, toasts, the confirm box, prompt bars and a small element builder.
// Every text that comes from the state is set as text, never parsed as markup.

// ---------------------------------------------------------------------------
// Page variables (one instance for the whole page)

export const app = {
  S: null,              // the latest state document; null until the first push
  screen: 'home',       // home, settings, data, addons, downloads or account
  calm: false,          // reduced motion in force
  lastEdit: -1e9,       // page-clock time of the last local edit
  saveTimer: 0,         // pending settings save
  menuFocus: -1,        // focused home menu entry; -1 before the first state
  editing: null,        // the text input that has focus
  acctMode: 'create',
  acctOnboarding: false,
  confirmState: null,   // { index, buttons, els, restore }
  demo: false,          // running without a bridge, on built-in states
};

export const now = () => performance.now();

// ---------------------------------------------------------------------------
// Bridge

let transport = () => {};

export function setTransport(fn) { transport = fn; }

// Commands before which a pending settings edit must reach the launcher, so a
// change made just before quitting, playing or resetting is never lost or
// overwritten.
const FLUSH_BEFORE = new Set(['close', 'play', 'install', 'resetSettings']);

export function send(cmd, data = {}) {
  if (FLUSH_BEFORE.has(cmd)) flushSettings();
  if (cmd === 'resetSettings') app.lastEdit = -1e9;  // the reset state must not be masked
  transport(JSON.stringify({ cmd, ...data }));
}

// Game settings are saved 150 ms after the last change; preferences at once.
export function settingsEdited() {
  app.lastEdit = now();
  clearTimeout(app.saveTimer);
  app.saveTimer = setTimeout(() => {
    app.saveTimer = 0;
    app.lastEdit = now();
    send('setSettings', { settings: app.S.settings });
  }, 150);
}

export function flushSettings() {
  if (!app.saveTimer) return;
  clearTimeout(app.saveTimer);
  app.saveTimer = 0;
  app.lastEdit = now();
  transport(JSON.stringify({ cmd: 'setSettings', settings: app.S.settings }));
}

export function prefsEdited() {
  app.lastEdit = now();
  send('setPrefs', { prefs: app.S.prefs });
}

// ---------------------------------------------------------------------------
// Elements

// h('div', {class: 'x', onclick: f}, 'text', child): strings become text nodes.
export function h(tag, props, ...kids) {
  const el = document.createElement(tag);
  if (props) {
    for (const [k, v] of Object.entries(props)) {
      if (v == null || v === false) continue;
      if (k === 'class') el.className = v;
      else if (k === 'text') el.textContent = v;
      else if (k.startsWith('on')) el.addEventListener(k.slice(2), v);
      // Through the style object, not the attribute: a Content-Security-Policy
      // without 'unsafe-inline' (browser mode's) drops inline style attributes.
      else if (k === 'style') el.style.cssText = String(v);
      else el.setAttribute(k, v === true ? '' : String(v));
    }
  }
  for (const kid of kids.flat(Infinity)) {
    if (kid == null || kid === false) continue;
    el.append(kid instanceof Node ? kid : String(kid));
  }
  return el;
}

export const $ = (sel, root = document) => root.querySelector(sel);

// Sets an element's text only when it differs, so an unchanged state causes no
// layout or repaint.
export function setText(el, text) {
  if (el.textContent !== text) el.textContent = text;
}

// Replaces an element's children when the description of its content changed.
export function setContent(el, key, build) {
  if (el._key === key) return false;
  el._key = key;
  el.replaceChildren(...[build()].flat().filter((n) => n != null));
  return true;
}

export function keycap(text) {
  return h('span', { class: 'cap' }, text);
}

// ---------------------------------------------------------------------------
// Formatting

export function gb(bytes) {
  const n = Number(bytes) || 0;
  if (n >= 1e9) return (n / 1e9).toFixed(1) + ' GB';
  return (n >= 1e8 ? (n / 1e6).toFixed(0) : (n / 1e6).toFixed(1)) + ' MB';
}

export function mins(seconds) {
  if (seconds < 60) return Math.max(1, Math.round(seconds)) + ' s';
  if (seconds < 3600) return Math.round(seconds / 60) + ' min';
  return (seconds / 3600).toFixed(1) + ' h';
}

export function mbps(rate) {
  return (rate / 1e6).toFixed(1) + ' MB/s';
}

export function percent(done, total) {
  return Math.floor((done / total) * 100);
}

// ---------------------------------------------------------------------------
// Toast: bottom centre, hidden 3200 ms after the latest one

let toastTimer = 0;

export function toast(text) {
  const el = $('#toast');
  el.textContent = String(text ?? '');
  el.classList.add('show');
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => el.classList.remove('show'), 3200);
}

// ---------------------------------------------------------------------------
// Confirm box

// `onDismiss` (optional) runs when the box is left with Escape, or closed
// because what it asked about went away, instead of by one of its buttons.
export function confirmBox(title, text, buttons, { onDismiss = null, tag = '' } = {}) {
  const root = $('#confirm');
  $('#confirm-title').textContent = title;
  $('#confirm-text').textContent = text;
  const row = $('.confirm-buttons', root);
  const els = buttons.map(([label, style, action], i) =>
    h('button', {
      type: 'button',
      class: 'btn ' + (style || ''),
      onclick: () => chooseConfirm(i),
      onmouseenter: () => focusConfirm(i),
    }, label));
  row.replaceChildren(...els);
  app.confirmState = { index: 0, buttons, els, restore: document.activeElement, onDismiss, tag };
  root.hidden = false;
  $('#screens').inert = true;
  $('#titlebar').inert = true;
  els[0].focus();
}

export function focusConfirm(i) {
  const c = app.confirmState;
  if (!c) return;
  c.index = (i + c.els.length) % c.els.length;
  c.els[c.index].focus();
}

export function closeConfirm() {
  const c = app.confirmState;
  if (!c) return;
  app.confirmState = null;
  $('#confirm').hidden = true;
  $('#screens').inert = false;
  $('#titlebar').inert = false;
  // The element that had focus may have been redrawn by a state meanwhile.
  const back = c.restore && c.restore.isConnected ? c.restore
    : $('#screens .screen:not([hidden]) .row.focus, #menu .entry.focus');
  if (back) back.focus({ preventScroll: true });
}

export function dismissConfirm() {
  const c = app.confirmState;
  if (!c) return;
  closeConfirm();
  if (c.onDismiss) c.onDismiss();
}

export function chooseConfirm(i) {
  const c = app.confirmState;
  if (!c) return;
  const action = c.buttons[i][2];
  closeConfirm();
  if (action) action();
}

// ---------------------------------------------------------------------------
// Prompt bars: [{keys: ['Enter'], label, run}], falsy entries skipped

export function prompts(el, list) {
  const items = list.filter(Boolean);
  const key = JSON.stringify(items.map((p) => [p.keys, p.label]));
  // The actions are closures over the current state: keep them fresh even when
  // the look is unchanged.
  el._runs = items.map((p) => p.run);
  if (el._key === key) return;
  el._key = key;
  el.replaceChildren(...items.map((p, i) =>
    h('button', {
      type: 'button',
      class: 'prompt',
      tabindex: '-1',
      onclick: () => el._runs[i] && el._runs[i](),
    }, p.keys.map((k) => keycap(k)), h('span', { class: 'prompt-label' }, p.label))));
}

// ---------------------------------------------------------------------------
// Screens: one visible at a time, cross-faded while the starfield stays

const SECTIONS = { home: 'home', account: 'account' };

function sectionFor(name) {
  return document.getElementById(SECTIONS[name] || 'page');
}

// What moves the starfield (the screen, reduced motion) reaches it here.
let fieldChanged = () => {};
export function onFieldChange(fn) { fieldChanged = fn; }

export function showScreen(name) {
  const old = sectionFor(app.screen);
  const next = sectionFor(name);
  app.screen = name;
  fieldChanged();
  if (old === next) return;
  old.classList.remove('entering');
  old.classList.add('leaving');
  old.inert = true;
  setTimeout(() => {
    old.classList.remove('leaving');
    if (sectionFor(app.screen) !== old) old.hidden = true;
  }, 300);
  next.classList.remove('leaving');
  next.hidden = false;
  next.inert = false;
  next.classList.remove('entering');
  void next.offsetWidth;
  next.classList.add('entering');
}

// ---------------------------------------------------------------------------
// Reduced motion: the preference or the system's wish

const systemCalm = window.matchMedia ? window.matchMedia('(prefers-reduced-motion: reduce)') : null;

export function applyCalm() {
  const S = app.S;
  app.calm = !!((S && S.prefs && S.prefs.reduceMotion) || (systemCalm && systemCalm.matches));
  document.documentElement.classList.toggle('calm', app.calm);
  fieldChanged();
}
