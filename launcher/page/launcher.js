// The launcher page's entry: the bridge to the launcher, the state intake, the
// title bar and the keyboard. The screens live in their own modules:
//   core.js      page variables, send, formatting, toast, confirm box, prompts
//   starfield.js the animated background (its motion in starmath.js)
//   mark.js      the title mark
//   home.js      home screen, banner, downloads indicator, close request
//   account.js   account screen
//   rows.js      the row engine of the tabbed pages
//   settings.js  the SETTINGS page;  pages.js  DATA, ADDONS and DOWNLOADS
//   demo.js      built-in states for working on the page without a launcher
// "?fps=N" caps the starfield's frame rate while the window has focus; by
// default every frame is drawn. The launcher's window draws the field itself
// (starfield.js), browser mode and the demo on the page's canvas.

import {
  app, now, send, $, toast, setTransport, dismissConfirm, chooseConfirm, focusConfirm, applyCalm,
} from './core.js';
import { initStarfield, updateStarfield, starfieldStats } from './starfield.js';
import { buildMark } from './mark.js';
import { buildMenu, renderHome, homeKey, closeRequest, focusEntry } from './home.js';
import { initAccount, openAccount, closeAccount, renderAccount, accountKey, onAccountResult } from './account.js';
import { isPage, refreshPage, pageKey, openPage } from './rows.js';
import { askRepair } from './pages.js';

// ---------------------------------------------------------------------------
// State intake

// What a tabbed page shows: when none of it changed, an open page is left
// alone (the downloads page is drawn on every state). The page edits its copy
// of the state in place, so the comparison is with that copy, not with the
// last push: a push that brings back the launcher's old value after an edit
// must redraw.
function watched(S) {
  const g = S.game || {};
  return JSON.stringify([
    S.settings, S.prefs, S.saves, g.status, g.version, g.build, S.addons,
    (S.queue || []).length, S.account, S.feed && S.feed.ok,
  ]);
}

let firstPainted = false;

export function onState(msg) {
  const prev = app.S;
  // Local edits win over pushes that crossed them in flight.
  if (prev && now() - app.lastEdit < 600) {
    msg.settings = prev.settings;
    msg.prefs = prev.prefs;
  }
  const changed = !prev || app.screen === 'downloads' || watched(msg) !== watched(prev);
  app.S = msg;
  applyCalm();
  document.documentElement.classList.toggle('native-drag', msg.nativeDrag === true);
  if (!prev) {
    if (!app.calm) $('#home').classList.add('enter');
    app.menuFocus = 0;
    focusEntry(0);
    const acct = msg.account || {};
    if (acct.available && !acct.signedIn && !(msg.prefs && msg.prefs.onboarded)) openAccount('create', true);
  }
  if (app.screen === 'account') renderAccount();
  renderHome();
  updateStarfield();
  if (isPage(app.screen) && changed) refreshPage();
  askRepair(msg);
  if (!firstPainted) {
    firstPainted = true;
    document.documentElement.classList.add('ready');
    requestAnimationFrame(() => performance.mark('home-painted'));
  }
}

function onMessage(msg) {
  if (!msg || typeof msg !== 'object') return;
  switch (msg.type) {
    case 'state': onState(msg); break;
    case 'toast': toast(msg.text); break;
    case 'account': onAccountResult(msg); break;
    default: break;
  }
}

// ---------------------------------------------------------------------------
// Title bar

function initTitlebar() {
  const bar = $('#titlebar');
  $('#tb-min').addEventListener('click', () => send('minimize'));
  $('#tb-close').addEventListener('click', () => closeRequest());
  $('#banner-go').addEventListener('click', () => send('updateLauncher'));
  $('#dl').addEventListener('click', () => {
    // Leaving the first-run account screen this way still counts as "later".
    if (app.screen === 'account') closeAccount(false);
    if (app.screen !== 'downloads') openPage('downloads');
  });
  bar.addEventListener('pointerdown', (e) => {
    if (e.button !== 0 || !app.S || app.S.nativeDrag !== false) return;
    if (e.target.closest('button')) return;
    send('drag');
  });
}

// ---------------------------------------------------------------------------
// Keyboard

function onKey(e) {
  if (e.ctrlKey || e.altKey || e.metaKey) return;
  if (app.editing || !app.S) return;
  const k = e.key.toLowerCase();
  if (app.confirmState) {
    confirmKey(k, e);
    return;
  }
  if (app.screen === 'account') accountKey(k, e);
  else if (app.screen === 'home') homeKey(k, e);
  else if (isPage(app.screen)) pageKey(k, e);
}

function confirmKey(k, e) {
  const c = app.confirmState;
  switch (k) {
    case 'arrowleft': case 'a': focusConfirm(c.index - 1); break;
    case 'arrowright': case 'd': case 'tab': focusConfirm(c.index + 1); break;
    case 'enter': case ' ': chooseConfirm(c.index); break;
    case 'escape': dismissConfirm(); break;
    default: return;
  }
  e.preventDefault();
}

// ---------------------------------------------------------------------------
// Start

async function start() {
  // Read by the page tests and the page benchmark.
  Object.defineProperty(window, 'vantorStarfield', { value: starfieldStats });
  initStarfield($('#stars'));
  buildMark($('#mark'));
  buildMenu();
  initAccount();
  initTitlebar();
  applyCalm();
  document.addEventListener('keydown', onKey);
  document.addEventListener('contextmenu', (e) => {
    if (!(e.target instanceof HTMLInputElement)) e.preventDefault();
  });
  const webview = window.chrome && window.chrome.webview;
  if (webview) {
    setTransport((text) => webview.postMessage(text));
    webview.addEventListener('message', (e) => onMessage(e.data));
    send('ready');
  } else {
    // Outside the launcher: built-in demo states, never in a real launcher.
    app.demo = true;
    const demo = await import('./demo.js');
    demo.startDemo(onMessage, setTransport);
  }
}

start();
