// The full-window starfield behind every screen.
//
// In the launcher's window the field is drawn natively behind the page (its
// web view paints without the GPU, and a full-window canvas redrawn every
// frame cost most of a core there): the page then only tells the window what
// moves the field (the focused menu entry, the screen, reduced motion, a
// task's progress, the jump) and shows through a transparent background.
// Elsewhere (browser mode, the demo) the page draws it on its canvas.
//
// The page's canvas draws every animation frame while the window has focus
// (at most N a second with "?fps=N"), at most 10 frames a second while it does
// not, and none while the page is hidden (minimised) or while the game runs:
// the player's game must never compete with it. After a few minutes without
// input the field eases to a stop and draws nothing until the next input
// (starmath.js). The vignette is applied to each star's brightness rather
// than painted over the canvas, so a frame costs one clear and the stars.
//
// Test hook: "?starTest=SEED,STEPS,STOP,FOCUS" seeds the stars, advances the
// clock by exactly 1/STEPS s a frame (the pointer ignored), stops after STOP
// frames (0: never) and, when given, holds the menu focus at FOCUS; the
// window takes the same text from VANTOR_STARFIELD_TEST.

import { app, onFieldChange } from './core.js';
import { Field, makeRandom, SEGMENT, TINTS } from './starmath.js';

const UNFOCUSED_INTERVAL_MS = 100;

const loop = {
  start: 0,
  last: 0,
  frames: 0,
  running: false,        // the page's state lets the field move
  idle: false,           // running, but resting and still: no frames until an input
  raf: 0,
  timer: 0,
  maxFps: 0,             // 0: every animation frame while focused
};

let canvas, ctx, field, width = 0, height = 0, dpr = 1;
let native = null;       // the window's starfield(text), when it draws the field
let test = null;         // { seed, steps, stop, focus } from the test hook
let sentInputs = '';
let sentShades = '';
let shadeTimer = 0;

// The page's dark translucent panels: they look black on the page, so the
// window, which lays the field under the page's pixels, is told where they
// dim it. A new dark panel in launcher.css belongs in this list.
const SHADED = '.cap, .tb-dl, #banner, .text, .field input, .btn, #toast, #confirm, .confirm-box';
const tintStyles = TINTS.map((c) => `rgb(${c.join(',')})`);

export function parseStarTest(text) {
  if (!text) return null;
  const [seed, steps, stop, focus] = text.split(',').map((v) => (v === '' || v == null ? null : Number(v)));
  if (!Number.isFinite(seed) || !(steps > 0)) return null;
  return { seed, steps, stop: stop > 0 ? stop : 0, focus: Number.isInteger(focus) ? focus : null };
}

// Seconds on the field's clock: real time, or whole steps under the test hook.
function clock() {
  return test ? loop.frames / test.steps : (performance.now() - loop.start) / 1000;
}

function inputs() {
  const S = app.S;
  const task = S && S.task;
  return {
    menuFocus: test && test.focus != null ? test.focus : app.menuFocus,
    home: app.screen === 'home',
    calm: app.calm,
    progress: task && task.bytesTotal > 0 ? task.bytesDone / task.bytesTotal : null,
  };
}

function resize() {
  dpr = Math.min(2, window.devicePixelRatio || 1);
  width = window.innerWidth;
  height = window.innerHeight;
  canvas.width = Math.round(width * dpr);
  canvas.height = Math.round(height * dpr);
  field.resize(width, height);
  if (!loop.running) drawFrame(0);
}

export function initStarfield(el) {
  canvas = el;
  const params = new URLSearchParams(location.search);
  test = parseStarTest(params.get('starTest'));
  const q = params.get('fps');
  if (q && Number(q) > 0) loop.maxFps = Number(q);
  loop.start = performance.now();
  const webview = window.chrome && window.chrome.webview;
  if (webview && typeof webview.starfield === 'function') {
    native = webview.starfield;
    document.documentElement.classList.add('native-stars');
    onFieldChange(updateStarfield);
    updateStarfield();
    new MutationObserver(shadesChanged).observe(document.body, {
      subtree: true, childList: true, attributes: true, attributeFilter: ['class', 'hidden', 'style'],
    });
    window.addEventListener('resize', shadesChanged);
    for (const el of document.querySelectorAll('#toast, #confirm')) el.addEventListener('transitionend', shadesChanged);
    shadesChanged();
    return;
  }
  ctx = canvas.getContext('2d', { alpha: false });
  field = new Field(makeRandom(test ? test.seed : null));
  onFieldChange(updateStarfield);
  window.addEventListener('resize', resize);
  window.addEventListener('pointermove', (e) => {
    if (!test) field.pointer(e.clientX, e.clientY);
    wake();
  });
  document.addEventListener('pointerleave', () => field.pointer(null, null));
  for (const type of ['pointerdown', 'keydown', 'wheel']) window.addEventListener(type, wake, { passive: true });
  document.addEventListener('visibilitychange', updateStarfield);
  window.addEventListener('focus', () => { wake(); updateStarfield(); });
  window.addEventListener('blur', updateStarfield);
  resize();
  updateStarfield();
}

// The alpha of a dark background colour ("rgb(...)" or "rgba(...)"), or 0
// for a light one (the page's own pixels show those).
function darkAlpha(color) {
  const m = /rgba?\(([^)]*)\)/.exec(color);
  if (!m) return 0;
  const [r, g, b, a = 1] = m[1].split(',').map(Number);
  return Math.max(r, g, b) <= 48 ? a : 0;
}

function shadesChanged() {
  if (shadeTimer) return;
  // One look per burst of changes, after the page has laid itself out.
  shadeTimer = setTimeout(() => {
    shadeTimer = 0;
    const list = [];
    for (const el of document.querySelectorAll(SHADED)) {
      const box = el.getBoundingClientRect();
      if (box.width <= 0 || box.height <= 0) continue;
      const style = getComputedStyle(el);
      const alpha = darkAlpha(style.backgroundColor) * Number(style.opacity);
      if (alpha < 0.02) continue;
      list.push([box.x, box.y, box.width, box.height, Math.round(alpha * 100) / 100].map((v) => Math.round(v * 100) / 100));
    }
    const text = JSON.stringify({ shades: list });
    if (text !== sentShades) {
      sentShades = text;
      native(text);
    }
  }, 50);
}

export function jump() {
  if (native) {
    native(JSON.stringify({ jump: true }));
    return;
  }
  field.jump = 1;
  wake();
}

// An input: a resting field moves again.
function wake() {
  if (!field) return;
  field.input(clock());
  if (loop.idle) {
    loop.idle = false;
    loop.last = performance.now();
    schedule();
  }
}

// Whether the starfield should be moving at all right now.
function shouldRun() {
  if (document.hidden) return false;
  if (app.S && app.S.game && app.S.game.status === 'running') return false;
  return true;
}

// Starts, throttles or stops the frame loop to match the window's state; in
// the window, tells it what moves the field when that changed.
export function updateStarfield() {
  if (native) {
    const text = JSON.stringify({ ...inputs(), running: !(app.S && app.S.game && app.S.game.status === 'running') });
    if (text !== sentInputs) {
      sentInputs = text;
      native(text);
    }
    return;
  }
  const run = shouldRun();
  if (run && !loop.running) {
    loop.running = true;
    loop.idle = false;
    loop.last = performance.now();
    schedule();
  } else if (!run && loop.running) {
    loop.running = false;
    loop.idle = false;
    cancelAnimationFrame(loop.raf);
    clearTimeout(loop.timer);
    loop.raf = 0;
    loop.timer = 0;
  } else if (run && loop.timer && document.hasFocus()) {
    // Focus came back while waiting out an unfocused pause: draw now.
    clearTimeout(loop.timer);
    loop.timer = 0;
    schedule();
  }
}

function schedule() {
  if (!loop.running || loop.idle || loop.raf || loop.timer) return;
  const focused = document.hasFocus();
  const interval = !focused ? UNFOCUSED_INTERVAL_MS : loop.maxFps ? 1000 / loop.maxFps : 0;
  const wait = interval ? loop.last + interval - performance.now() - 2 : 0;
  if (wait > 0) {
    loop.timer = setTimeout(() => { loop.timer = 0; schedule(); }, wait);
  } else {
    loop.raf = requestAnimationFrame(tick);
  }
}

// The last 256 draw times (ms), for the page benchmark.
const drawTimes = new Float32Array(256);

function tick() {
  loop.raf = 0;
  if (!loop.running) return;
  if (test && test.stop && loop.frames >= test.stop) return;
  const t = performance.now();
  const dt = test ? 1 / test.steps : Math.min(0.05, Math.max(0, (t - loop.last) / 1000));
  loop.last = t;
  drawFrame(dt);
  drawTimes[loop.frames & 255] = performance.now() - t;
  loop.frames++;
  // At rest the last frame stays on screen until an input wakes the field.
  if (field.still(clock())) loop.idle = true;
  else schedule();
}

function drawFrame(dt) {
  field.step(dt, clock(), inputs());
  ctx.setTransform(1, 0, 0, 1, 0, 0);
  ctx.globalAlpha = 1;
  ctx.fillStyle = '#000';
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
  ctx.lineCap = 'round';
  const out = field.out;
  let tint = -1;
  for (let o = 0; o < field.count * SEGMENT; o += SEGMENT) {
    if (out[o + 6] !== tint) {
      tint = out[o + 6];
      ctx.strokeStyle = tintStyles[tint];
    }
    const ex = out[o], ey = out[o + 1], hx = out[o + 2], hy = out[o + 3];
    const lw = out[o + 4], b = out[o + 5];
    ctx.globalAlpha = 0.32 * b;
    ctx.lineWidth = lw;
    ctx.beginPath();
    ctx.moveTo(ex, ey);
    ctx.lineTo(hx, hy);
    ctx.stroke();
    ctx.globalAlpha = b;
    ctx.lineWidth = lw * 0.9;
    ctx.beginPath();
    ctx.moveTo(ex + (hx - ex) * 0.7, ey + (hy - ey) * 0.7);
    ctx.lineTo(hx, hy);
    ctx.stroke();
  }
}

// For the benchmark and tests: frames drawn so far, whether the loop runs (and
// is not resting), the speed, the last draw times, and who draws the field.
export function starfieldStats() {
  const n = Math.min(loop.frames, 256);
  return {
    frames: loop.frames,
    running: loop.running && !loop.idle,
    resting: loop.idle,
    speed: field ? field.speed : 0,
    drawMs: Array.from(drawTimes.subarray(0, n)),
    native: native != null,
  };
}
