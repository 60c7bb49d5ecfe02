// The title mark: the game's name between its two suns, drawn in SVG, with a
// light sheen that crosses the letters now and then. The sheen is started by a
// timer and ends by itself, so nothing animates between two passes. A pass
// repaints the whole title some sixty times a second, which in the window
// (painting without the GPU) costs more than the starfield does: so like the
// field it rests while nobody watches, that is while the window is not the
// active one and once the field rests after minutes without input.

import { app } from './core.js';
import { REST_AFTER_S } from './starmath.js';

const NS = 'http://www.w3.org/2000/svg';
const SHEEN_EVERY_MS = 14000;

function svg(tag, attrs, ...kids) {
  const el = document.createElementNS(NS, tag);
  for (const [k, v] of Object.entries(attrs || {})) el.setAttribute(k, String(v));
  for (const kid of kids) el.append(kid);
  return el;
}

function stop(offset, color, opacity = 1) {
  return svg('stop', { offset, 'stop-color': color, 'stop-opacity': opacity });
}

function sun(id, cx, cy, core, glow, colors) {
  return [
    svg('radialGradient', { id: id + '-glow' },
      stop('0%', colors[1], 0.55), stop('35%', colors[1], 0.18), stop('100%', colors[1], 0)),
    svg('radialGradient', { id: id + '-core', cx: '42%', cy: '40%' },
      stop('0%', '#ffffff'), stop('55%', colors[0]), stop('100%', colors[1])),
    svg('circle', { cx, cy, r: glow, fill: `url(#${id}-glow)` }),
    svg('circle', { cx, cy, r: core, fill: `url(#${id}-core)` }),
  ];
}

export function buildMark(host, name = 'VANTOR', over = 'ASTRANE') {
  const W = 620, H = 150, cy = 92;
  const defs = svg('defs', {},
    svg('linearGradient', { id: 'mk-fill', x1: 0, y1: 0, x2: 0, y2: 1 },
      stop('0%', '#fffdf3'), stop('60%', '#f3f1ea'), stop('100%', '#d9c98a')),
    svg('linearGradient', { id: 'mk-line', x1: 0, y1: 0, x2: 1, y2: 0 },
      stop('0%', '#ffe81f', 0), stop('18%', '#ffe81f', 0.55), stop('50%', '#ffe81f', 0.15),
      stop('82%', '#ff9326', 0.55), stop('100%', '#ff9326', 0)),
    svg('linearGradient', { id: 'mk-sheen', x1: 0, y1: 0, x2: 1, y2: 0 },
      stop('0%', '#ffffff', 0), stop('50%', '#ffffff', 0.85), stop('100%', '#ffffff', 0)),
    svg('clipPath', { id: 'mk-clip' },
      svg('text', { x: W / 2, y: cy + 22, 'text-anchor': 'middle', class: 'mk-name', textLength: 372, lengthAdjust: 'spacingAndGlyphs' }, name)),
  );
  const left = sun('mk-sun1', 70, cy, 15, 58, ['#fff3a8', '#ffe81f']);
  const right = sun('mk-sun2', W - 70, cy, 9, 40, ['#ffd0a0', '#ff9326']);
  // Glows and gradients first, then the line, then the name over them.
  const root = svg('svg', { viewBox: `0 0 ${W} ${H}`, role: 'img', 'aria-label': 'Astrane: Vantor' },
    defs,
    ...left.slice(0, 2), ...right.slice(0, 2),
    svg('rect', { x: 40, y: cy + 34, width: W - 80, height: 1.2, fill: 'url(#mk-line)' }),
    left[2], left[3], right[2], right[3],
    svg('text', { x: W / 2, y: cy - 40, 'text-anchor': 'middle', class: 'mk-over' }, over),
    svg('text', { x: W / 2, y: cy + 22, 'text-anchor': 'middle', class: 'mk-name', fill: 'url(#mk-fill)', textLength: 372, lengthAdjust: 'spacingAndGlyphs' }, name),
    svg('g', { 'clip-path': 'url(#mk-clip)' },
      svg('rect', { class: 'mk-sheen', x: -140, y: 0, width: 140, height: H, fill: 'url(#mk-sheen)', transform: 'skewX(-20)' })),
  );
  host.replaceChildren(root);

  const sheen = root.querySelector('.mk-sheen');
  let timer = 0;
  let lastInput = performance.now();
  for (const type of ['pointermove', 'pointerdown', 'keydown', 'wheel']) {
    window.addEventListener(type, () => { lastInput = performance.now(); }, { passive: true });
  }
  const pass = () => {
    timer = setTimeout(pass, SHEEN_EVERY_MS);
    // No sheen while the game runs, while hidden or unwatched, or for reduced motion.
    if (document.hidden || !document.hasFocus() || performance.now() - lastInput >= REST_AFTER_S * 1000) return;
    if (app.calm || (app.S && app.S.game && app.S.game.status === 'running')) return;
    sheen.classList.remove('go');
    void sheen.getBBox();
    sheen.classList.add('go');
  };
  sheen.addEventListener('animationend', () => sheen.classList.remove('go'));
  timer = setTimeout(pass, 2600);
  return () => clearTimeout(timer);
}
