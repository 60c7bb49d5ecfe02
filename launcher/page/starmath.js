// The starfield's motion, without drawing: where every star is, how fast the
// field flies and what each frame shows, as a list of streaks. starfield.js
// draws them on the page's canvas; the launcher's window draws the same field
// natively behind the page (launcher/src/shell/starfield.cpp follows this file
// step for step, and a test compares the two).
//
// No DOM here, so it also runs under Node for that comparison.

export const COUNT = 560;
export const TINTS = [[255, 255, 255], [214, 228, 255], [186, 208, 255], [255, 240, 225]];
// Speed factor of each home menu entry: PLAY, ADDONS, SETTINGS, DATA, QUIT.
export const FACTORS = [1, 0.5, 0.38, 0.26, 0.06];
// An animation nobody watches rests: this long after the last input the
// field eases to a stop (and stops drawing) until the next one. Three minutes
// is longer than anyone reads a detail line or watches a download start, and
// far shorter than a laptop's own idle timers.
export const REST_AFTER_S = 180;
// Below this speed a resting field counts as still.
const STILL_SPEED = 0.0005;

// Numbers in [0, 1): Math.random, or a small seeded generator (mulberry32)
// for tests that compare frames.
export function makeRandom(seed) {
  if (seed == null) return Math.random;
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

// Per visible star, 7 numbers: tail x, y, head x, y (CSS pixels), line width,
// brightness b and tint index. Each is drawn as a faint full streak (alpha
// 0.32 b, the width) and a bright head over the 30 % nearest the head (alpha
// b, 0.9 of the width), with round caps.
export const SEGMENT = 7;

export class Field {
  constructor(random = Math.random) {
    this.random = random;
    this.jump = 0;
    this.speed = 0;
    this.vx = 0; this.vy = 0;      // vanishing point, CSS pixels
    this.px = null; this.py = null; // pointer
    this.width = 0; this.height = 0;
    this.lastInput = 0;            // seconds on the field's clock
    this.stars = [];
    for (let i = 0; i < COUNT; i++) this.stars.push(this.newStar(false));
    // Stars grouped by tint, so a frame sets a colour four times, not 1120.
    this.byTint = TINTS.map((_, t) => this.stars.filter((s) => s.tint === t));
    this.out = new Float64Array(COUNT * SEGMENT);
    this.count = 0;
  }

  newStar(far) {
    const r = this.random;
    const angle = r() * Math.PI * 2;
    const radius = 0.04 + Math.pow(r(), 0.7) * 1.4;
    return {
      x: Math.cos(angle) * radius,
      y: Math.sin(angle) * radius,
      z: far ? 1.0 + r() * 0.2 : 0.02 + r() * 1.2,
      w: 0.6 + r() * 0.9,
      tint: (r() * 4) | 0,
    };
  }

  respawn(s) {
    const n = this.newStar(true);
    s.x = n.x; s.y = n.y; s.z = n.z; s.w = n.w;
  }

  resize(width, height) {
    this.width = width;
    this.height = height;
    if (!this.vx) { this.vx = width / 2; this.vy = height / 2; }
  }

  pointer(x, y) { this.px = x; this.py = y; }

  input(t) { this.lastInput = t; }

  resting(t) { return t - this.lastInput >= REST_AFTER_S; }

  // Resting and slowed to a stop: nothing moves until the next input.
  still(t) { return this.resting(t) && this.speed < STILL_SPEED && this.jump === 0; }

  // The speed the field eases towards. `inputs`: menuFocus (-1 before the
  // first focus), home (the home screen shows), calm (reduced motion),
  // progress (0..1 while a task has a byte total, else null).
  target(t, inputs) {
    if (this.resting(t)) return 0;
    const a = inputs.calm ? 1 : Math.min(1, t / 2.2);
    const factor = inputs.menuFocus < 0 ? 0.24 : FACTORS[inputs.menuFocus] ?? 0.24;
    const want = 0.02 + 0.22 * factor;
    let target = want * (0.2 + 0.8 * a * a) + this.jump * this.jump * 1.2;
    if (inputs.progress != null) target = 0.05 + 0.3 * Math.min(1, inputs.progress);
    if (!inputs.home) target *= 0.35;
    if (inputs.calm) target = Math.min(target, 0.03);
    return target;
  }

  // Moves the field on by dt seconds (at most 0.05) at time t (seconds since
  // the field started) and fills `out` with the frame's streaks.
  step(dt, t, inputs) {
    this.jump = Math.max(0, this.jump - 0.9 * dt);
    if (inputs.calm) this.jump = 0;
    // A resting field slows gently; otherwise it follows the menu briskly.
    const k = this.jump > 0 ? 6 : this.resting(t) ? 0.7 : 4;
    this.speed += (this.target(t, inputs) - this.speed) * (1 - Math.exp(-k * dt));
    const speed = this.speed;
    const width = this.width, height = this.height;

    // The vanishing point drifts away from the pointer.
    const cx = width / 2, cy = height / 2;
    const tx = this.px == null ? cx : cx - (this.px - cx) * 0.06;
    const ty = this.py == null ? cy : cy - (this.py - cy) * 0.06;
    const e = 1 - Math.exp(-2 * dt);
    this.vx += (tx - this.vx) * e;
    this.vy += (ty - this.vy) * e;

    const f = 0.55 * Math.max(width, height) * 0.35;
    const fade = Math.min(1, 0.8 * t + 0.15) * 0.38;
    const move = speed * dt * 0.55 + 0.004 * dt;
    const streak = 0.003 + speed * 0.05;
    const vx = this.vx, vy = this.vy;
    // Vignette: full brightness in the middle, darker towards the corners.
    const vr2 = 1 / (cx * cx + cy * cy);
    const out = this.out;
    let n = 0;
    for (let tint = 0; tint < 4; tint++) {
      const list = this.byTint[tint];
      for (let i = 0; i < list.length; i++) {
        const s = list[i];
        s.z -= move;
        let hx = vx + (s.x / s.z) * f;
        let hy = vy + (s.y / s.z) * f;
        if (s.z <= 0.015 || hx < -80 || hy < -80 || hx > width + 80 || hy > height + 80) {
          this.respawn(s);
          hx = vx + (s.x / s.z) * f;
          hy = vy + (s.y / s.z) * f;
        }
        const near = Math.min(1, Math.max(0, 1.15 - s.z));
        const dx = hx - cx, dy = hy - cy;
        const vig = 1 - 0.7 * Math.min(1, (dx * dx + dy * dy) * vr2);
        const b = near * near * fade * vig;
        if (b < 0.02) continue;
        const tz = Math.min(1.3, s.z + streak);
        const o = n * SEGMENT;
        out[o] = vx + (s.x / tz) * f;
        out[o + 1] = vy + (s.y / tz) * f;
        out[o + 2] = hx;
        out[o + 3] = hy;
        out[o + 4] = s.w * (0.5 + 1.6 * near);
        out[o + 5] = b;
        out[o + 6] = tint;
        n++;
      }
    }
    this.count = n;
  }
}
