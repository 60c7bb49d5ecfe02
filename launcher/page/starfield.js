// The full-window starfield behind every screen.
//
// It draws every animation frame while the window has focus (at most N a
// second with "?fps=N", as the launcher's window asks), at most 10 frames a
// second while it does not, and none while the page is hidden (minimised) or
// while the game runs: the player's game must never compete with it. The
// vignette is applied to each star's brightness rather than painted over the
// canvas, so a frame costs one clear and the stars, nothing else.

import { app } from './core.js';

const COUNT = 560;
const TINTS = ['255,255,255', '214,228,255', '186,208,255', '255,240,225'];
// Speed factor of each home menu entry: PLAY, ADDONS, SETTINGS, DATA, QUIT.
const FACTORS = [1, 0.5, 0.38, 0.26, 0.06];
const UNFOCUSED_INTERVAL_MS = 100;

const field = {
  jump: 0,
  speed: 0,
  vx: 0, vy: 0,          // vanishing point, CSS pixels
  px: null, py: null,    // pointer
  start: 0,
  last: 0,
  frames: 0,
  running: false,
  raf: 0,
  timer: 0,
  maxFps: 0,             // 0: every animation frame while focused
};

let canvas, ctx, stars, width = 0, height = 0, dpr = 1;
// Stars grouped by tint, so each frame sets a colour four times, not 1120.
let byTint = [];

function newStar(far) {
  const angle = Math.random() * Math.PI * 2;
  const r = 0.04 + Math.pow(Math.random(), 0.7) * 1.4;
  return {
    x: Math.cos(angle) * r,
    y: Math.sin(angle) * r,
    z: far ? 1.0 + Math.random() * 0.2 : 0.02 + Math.random() * 1.2,
    w: 0.6 + Math.random() * 0.9,
    tint: (Math.random() * 4) | 0,
  };
}

function respawn(s) {
  const n = newStar(true);
  s.x = n.x; s.y = n.y; s.z = n.z; s.w = n.w;
}

function resize() {
  dpr = Math.min(2, window.devicePixelRatio || 1);
  width = window.innerWidth;
  height = window.innerHeight;
  canvas.width = Math.round(width * dpr);
  canvas.height = Math.round(height * dpr);
  if (!field.vx) { field.vx = width / 2; field.vy = height / 2; }
  if (!field.running) drawFrame(0);
}

export function initStarfield(el) {
  canvas = el;
  ctx = canvas.getContext('2d', { alpha: false });
  stars = Array.from({ length: COUNT }, () => newStar(false));
  byTint = TINTS.map((_, t) => stars.filter((s) => s.tint === t));
  field.start = performance.now();
  const q = new URLSearchParams(location.search).get('fps');
  if (q && Number(q) > 0) field.maxFps = Number(q);
  window.addEventListener('resize', resize);
  window.addEventListener('pointermove', (e) => { field.px = e.clientX; field.py = e.clientY; });
  document.addEventListener('pointerleave', () => { field.px = null; field.py = null; });
  document.addEventListener('visibilitychange', updateStarfield);
  window.addEventListener('focus', updateStarfield);
  window.addEventListener('blur', updateStarfield);
  resize();
  updateStarfield();
}

export function jump() {
  field.jump = 1;
}

// Whether the starfield should be drawing at all right now.
function shouldRun() {
  if (document.hidden) return false;
  if (app.S && app.S.game && app.S.game.status === 'running') return false;
  return true;
}

// Starts, throttles or stops the frame loop to match the window's state.
export function updateStarfield() {
  const run = shouldRun();
  if (run && !field.running) {
    field.running = true;
    field.last = performance.now();
    schedule();
  } else if (!run && field.running) {
    field.running = false;
    cancelAnimationFrame(field.raf);
    clearTimeout(field.timer);
    field.raf = 0;
    field.timer = 0;
  } else if (run && field.timer && document.hasFocus()) {
    // Focus came back while waiting out an unfocused pause: draw now.
    clearTimeout(field.timer);
    field.timer = 0;
    schedule();
  }
}

function schedule() {
  if (!field.running || field.raf || field.timer) return;
  const focused = document.hasFocus();
  const interval = !focused ? UNFOCUSED_INTERVAL_MS : field.maxFps ? 1000 / field.maxFps : 0;
  const wait = interval ? field.last + interval - performance.now() - 2 : 0;
  if (wait > 0) {
    field.timer = setTimeout(() => { field.timer = 0; schedule(); }, wait);
  } else {
    field.raf = requestAnimationFrame(tick);
  }
}

// The last 256 draw times (ms), for the page benchmark.
const drawTimes = new Float32Array(256);

function tick() {
  field.raf = 0;
  if (!field.running) return;
  const t = performance.now();
  const dt = Math.min(0.05, Math.max(0, (t - field.last) / 1000));
  field.last = t;
  drawFrame(dt);
  drawTimes[field.frames & 255] = performance.now() - t;
  field.frames++;
  schedule();
}

function targetSpeed() {
  const S = app.S;
  const calm = app.calm;
  const t = (performance.now() - field.start) / 1000;
  const a = calm ? 1 : Math.min(1, t / 2.2);
  const factor = app.menuFocus < 0 ? 0.24 : FACTORS[app.menuFocus] ?? 0.24;
  const want = 0.02 + 0.22 * factor;
  let target = want * (0.2 + 0.8 * a * a) + field.jump * field.jump * 1.2;
  const task = S && S.task;
  if (task && task.bytesTotal > 0) target = 0.05 + 0.3 * Math.min(1, task.bytesDone / task.bytesTotal);
  if (app.screen !== 'home') target *= 0.35;
  if (calm) target = Math.min(target, 0.03);
  return target;
}

function drawFrame(dt) {
  const t = (performance.now() - field.start) / 1000;
  field.jump = Math.max(0, field.jump - 0.9 * dt);
  if (app.calm) field.jump = 0;
  const k = field.jump > 0 ? 6 : 4;
  field.speed += (targetSpeed() - field.speed) * (1 - Math.exp(-k * dt));
  const speed = field.speed;

  // The vanishing point drifts away from the pointer.
  const cx = width / 2, cy = height / 2;
  const tx = field.px == null ? cx : cx - (field.px - cx) * 0.06;
  const ty = field.py == null ? cy : cy - (field.py - cy) * 0.06;
  const e = 1 - Math.exp(-2 * dt);
  field.vx += (tx - field.vx) * e;
  field.vy += (ty - field.vy) * e;

  const f = 0.55 * Math.max(width, height) * 0.35;
  const fade = Math.min(1, 0.8 * t + 0.15) * 0.38;
  const move = speed * dt * 0.55 + 0.004 * dt;
  const streak = 0.003 + speed * 0.05;
  const vx = field.vx, vy = field.vy;
  // Vignette: full brightness in the middle, darker towards the corners.
  const vr2 = 1 / (cx * cx + cy * cy);

  ctx.setTransform(1, 0, 0, 1, 0, 0);
  ctx.globalAlpha = 1;
  ctx.fillStyle = '#000';
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
  ctx.lineCap = 'round';

  for (let tint = 0; tint < 4; tint++) {
    ctx.strokeStyle = `rgb(${TINTS[tint]})`;
    const list = byTint[tint];
    for (let i = 0; i < list.length; i++) {
      const s = list[i];
      s.z -= move;
      let hx = vx + (s.x / s.z) * f;
      let hy = vy + (s.y / s.z) * f;
      if (s.z <= 0.015 || hx < -80 || hy < -80 || hx > width + 80 || hy > height + 80) {
        respawn(s);
        hx = vx + (s.x / s.z) * f;
        hy = vy + (s.y / s.z) * f;
      }
      const near = Math.min(1, Math.max(0, 1.15 - s.z));
      const dx = hx - cx, dy = hy - cy;
      const vig = 1 - 0.7 * Math.min(1, (dx * dx + dy * dy) * vr2);
      const b = near * near * fade * vig;
      if (b < 0.02) continue;
      const tz = Math.min(1.3, s.z + streak);
      const ex = vx + (s.x / tz) * f;
      const ey = vy + (s.y / tz) * f;
      const lw = s.w * (0.5 + 1.6 * near);
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
}

// For the benchmark and tests: frames drawn so far and whether the loop runs.
export function starfieldStats() {
  const n = Math.min(field.frames, 256);
  return { frames: field.frames, running: field.running, speed: field.speed, drawMs: Array.from(drawTimes.subarray(0, n)) };
}
