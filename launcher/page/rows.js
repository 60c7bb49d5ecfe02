// The row engine of the tabbed pages (SETTINGS, DATA, ADDONS, DOWNLOADS): tabs
// of rows on the left, the focused row explained on the right, prompts bottom
// right. A page definition gives, per tab, a function that builds its rows from
// the current state; a row is a plain object (label, desc, options, min/max,
// text, act/run, get/set/def, cost, needs, off, danger, info, note, alt, key).

import { app, h, $, prompts, showScreen, keycap } from './core.js';
import { settingsPage } from './settings.js';
import { dataPage, addonsPage, downloadsPage } from './pages.js';

const PAGES = { settings: settingsPage, data: dataPage, addons: addonsPage, downloads: downloadsPage };
const RUNNING_NOTE = 'Saved. The game picks this up the next time it starts.';

const pg = {
  name: null,
  tab: 0,
  focus: 0,      // index among focusable rows
  rows: [],      // focusable rows of the open tab
  els: [],       // their elements
  stale: false,  // a state arrived while a text input was being edited
};

export const isPage = (name) => name in PAGES;
export const pageState = () => ({ name: pg.name, tab: pg.tab, focus: pg.focus });

// ---------------------------------------------------------------------------
// Row kinds and values

const isRange = (r) => r.min != null && r.max != null;
const isChoice = (r) => Array.isArray(r.options);
const isText = (r) => !!r.text;
const isAction = (r) => r.act != null;
const rowKey = (r) => r.key || r.label;

export function greyed(r) {
  return !!r.off || (typeof r.needs === 'function' && !r.needs());
}

function shown(r) {
  return Math.round(Number(r.get()) * (r.scale || 1));
}

function optionIndex(r) {
  const v = r.get();
  const i = r.options.findIndex((o) => o[0] === v);
  return i < 0 ? 0 : i;
}

function canReset(r) {
  if (r.def === undefined || isText(r) || isAction(r)) return false;
  if (isRange(r)) return shown(r) !== Math.round(r.def * (r.scale || 1));
  return r.get() !== r.def;
}

function defaultText(r) {
  if (isChoice(r)) {
    const o = r.options.find((x) => x[0] === r.def);
    return o ? o[1] : String(r.def);
  }
  return Math.round(r.def * (r.scale || 1)) + (r.unit || '');
}

// ---------------------------------------------------------------------------
// Opening, closing, tabs

export function openPage(name, tab = 0) {
  pg.name = name;
  pg.tab = tab;
  pg.focus = 0;
  showScreen(name);
  render({ animate: !app.calm });
}

export function closePage() {
  if (app.editing) {
    app.editing.blur();
    return;
  }
  showScreen('home');
  const el = $('#menu').children[Math.max(0, app.menuFocus)];
  if (el) el.focus({ preventScroll: true });
}

export function switchTab(i) {
  const n = PAGES[pg.name].tabs.length;
  pg.tab = ((i % n) + n) % n;
  pg.focus = 0;
  render({ animate: false });
  $('#page .rows').scrollTop = 0;
}

// The state changed: draw the open page again, keeping the focused row (by its
// key, so focus stays on the same backup, add-on or job when a list shifts).
export function refreshPage() {
  if (!isPage(app.screen)) return;
  if (app.editing) {
    pg.stale = true;
    return;
  }
  render({ animate: false, keep: true });
}

// ---------------------------------------------------------------------------
// Drawing

function control(r, i) {
  if (isAction(r)) return h('span', { class: 'act' }, r.act);
  if (isText(r)) {
    const input = h('input', {
      type: 'text', class: 'text', value: r.get() ?? '', 'aria-label': r.label,
      spellcheck: 'false', maxlength: r.maxLength || null, tabindex: '-1',
    });
    input.addEventListener('focus', () => { app.editing = input; });
    input.addEventListener('blur', () => {
      if (app.editing === input) app.editing = null;
      if (input.value !== (r.get() ?? '')) {
        r.set(input.value);
        afterChange();
      }
      if (pg.stale) {
        pg.stale = false;
        render({ animate: false, keep: true });
      }
    });
    input.addEventListener('keydown', (e) => {
      if (e.key === 'Enter' || e.key === 'Escape') {
        e.preventDefault();
        e.stopPropagation();
        input.blur();
        focusRow(i);
      }
    });
    return input;
  }
  if (isChoice(r)) {
    const opt = r.options[optionIndex(r)];
    return h('span', { class: 'choice' },
      h('button', { type: 'button', class: 'arrow prev', tabindex: '-1', 'aria-label': 'Previous ' + r.label, 'data-d': '-1' }),
      h('span', { class: 'val' }, opt ? opt[1] : ''),
      h('button', { type: 'button', class: 'arrow next', tabindex: '-1', 'aria-label': 'Next ' + r.label, 'data-d': '1' }));
  }
  if (isRange(r)) {
    const v = shown(r);
    const fill = Math.max(0, Math.min(10, Math.round(((v - r.min) / (r.max - r.min)) * 10)));
    const bars = [];
    for (let j = 0; j < 10; j++) {
      const at = barValue(r, j);
      bars.push(h('button', {
        type: 'button', class: 'bar' + (j < fill ? ' on' : ''), tabindex: '-1', 'data-bar': j,
        'aria-label': r.label + ' ' + at + (r.unit || ''),
      }));
    }
    return h('span', { class: 'range' }, h('span', { class: 'bars' }, bars), h('span', { class: 'num' }, v + (r.unit || '')));
  }
  return null;
}

function barValue(r, j) {
  const raw = r.min + ((j + 1) / 10) * (r.max - r.min);
  return Math.max(r.min, Math.min(r.max, Math.round(raw / r.step) * r.step));
}

function rowElement(r, i, animate) {
  const el = h('div', {
    class: 'row' + (isAction(r) && r.danger ? ' danger' : '') + (animate ? ' rise' : ''),
    tabindex: '-1',
    'data-key': rowKey(r),
    style: animate ? `--d:${Math.min(i, 12) * 18}ms` : null,
  }, h('span', { class: 'row-label' }, r.label), h('span', { class: 'ctl' }, control(r, i)));
  el.addEventListener('mousemove', () => { if (pg.focus !== i && !app.editing) focusRow(i, { scroll: false }); });
  el.addEventListener('click', (e) => onRowClick(r, i, e));
  return el;
}

function render({ animate = false, keep = false } = {}) {
  const def = PAGES[pg.name];
  const S = app.S;
  const page = $('#page');
  const list = $('.rows', page);
  const prevKey = keep && pg.rows[pg.focus] ? rowKey(pg.rows[pg.focus]) : null;
  const hadFocus = list.contains(document.activeElement) || document.activeElement === document.body;
  const scroll = list.scrollTop;

  $('.page-title', page).textContent = def.title;
  const tabs = def.tabs;
  $('.tabs', page).replaceChildren(
    keycap('Q'),
    h('span', { class: 'tablist', role: 'tablist', 'aria-label': def.title.toLowerCase() + ' tabs' },
      tabs.map((t, i) => h('button', {
        type: 'button', role: 'tab', class: 'tab' + (i === pg.tab ? ' on' : ''), tabindex: '-1',
        'aria-selected': i === pg.tab ? 'true' : 'false', onclick: () => switchTab(i),
      }, t.name))),
    keycap('E'));
  page.classList.toggle('one-tab', tabs.length < 2);

  const all = tabs[pg.tab].rows(S);
  pg.rows = [];
  pg.els = [];
  const out = [];
  for (const r of all) {
    if (r.group) {
      out.push(h('h2', { class: 'group' + (animate ? ' rise' : '') }, r.group));
      continue;
    }
    const el = rowElement(r, pg.rows.length, animate);
    pg.rows.push(r);
    pg.els.push(el);
    out.push(el);
  }
  list.replaceChildren(...out);

  let idx = prevKey != null ? pg.rows.findIndex((r) => rowKey(r) === prevKey) : -1;
  if (idx < 0) idx = Math.min(pg.focus, pg.rows.length - 1);
  if (keep) list.scrollTop = scroll;
  focusRow(Math.max(0, idx), { dom: hadFocus || !keep, scroll: !keep || hadFocus });
}

// Greying and the focused row's texts can change with any edit.
function afterChange() {
  pg.rows.forEach((r, i) => {
    const el = pg.els[i];
    const grey = greyed(r);
    el.classList.toggle('grey', grey);
    if (grey) el.setAttribute('aria-disabled', 'true');
    else el.removeAttribute('aria-disabled');
    const ctl = $('.ctl', el);
    if (!isText(r) || document.activeElement !== $('input', ctl)) {
      const fresh = control(r, i);
      ctl.replaceChildren(...(fresh ? [fresh] : []));
    }
  });
  paintSide();
  paintPrompts();
}

export function focusRow(i, { dom = true, scroll = true } = {}) {
  if (!pg.rows.length) return;
  pg.focus = Math.max(0, Math.min(pg.rows.length - 1, i));
  pg.els.forEach((el, j) => {
    el.classList.toggle('focus', j === pg.focus);
    const grey = greyed(pg.rows[j]);
    el.classList.toggle('grey', grey);
    if (grey) el.setAttribute('aria-disabled', 'true');
    else el.removeAttribute('aria-disabled');
  });
  const el = pg.els[pg.focus];
  if (dom && !app.editing && !app.confirmState) el.focus({ preventScroll: true });
  if (scroll) el.scrollIntoView({ block: 'nearest' });
  paintSide();
  paintPrompts();
}

function paintSide() {
  const side = $('#page .side');
  const r = pg.rows[pg.focus];
  if (!r) { side.replaceChildren(); return; }
  const def = PAGES[pg.name];
  let note = r.note || null;
  if (!note && def.runningNote && def.runningNote(pg.tab) && app.S.game && app.S.game.status === 'running') note = RUNNING_NOTE;
  const pairs = [];
  if (r.def !== undefined && !isText(r)) pairs.push(['Default', defaultText(r)]);
  if (r.cost) {
    pairs.push(['Performance', h('span', { class: 'cost', role: 'img', 'aria-label': r.cost + ' of 4' },
      [0, 1, 2, 3].map((j) => h('span', { class: j < r.cost ? 'on' : '' })))]);
  }
  if (typeof r.needs === 'function' && !r.needs()) pairs.push(['Needs', r.needsText || 'Ray tracing on']);
  for (const p of r.info || []) pairs.push(p);
  side.replaceChildren(...[
    h('h2', { class: 'side-title' }, r.label),
    r.desc ? h('p', { class: 'side-desc' }, r.desc) : null,
    note ? h('p', { class: 'side-note' }, note) : null,
    pairs.length ? h('dl', { class: 'side-info' }, pairs.map(([k, v]) => [h('dt', null, k), h('dd', null, v ?? '')])) : null,
  ].filter(Boolean));
}

function paintPrompts() {
  const r = pg.rows[pg.focus];
  const grey = !r || greyed(r);
  const multi = PAGES[pg.name].tabs.length > 1;
  prompts($('#page-prompts'), [
    r && isAction(r) && !grey && { keys: ['Enter'], label: r.actLabel || r.act, run: () => change(r, 1) },
    r && isText(r) && !grey && { keys: ['Enter'], label: 'Edit', run: () => change(r, 1) },
    r && (isChoice(r) || isRange(r)) && !grey && { keys: ['←', '→'], label: 'Change', run: () => change(r, 1) },
    r && r.alt && { keys: [r.alt[0]], label: r.alt[1], run: r.alt[2] },
    multi && { keys: ['Q', 'E'], label: 'Tabs', run: () => switchTab(pg.tab + 1) },
    r && pg.name === 'settings' && canReset(r) && { keys: ['R'], label: 'Reset', run: () => reset(r) },
    { keys: ['Esc'], label: 'Back', run: closePage },
  ]);
}

// ---------------------------------------------------------------------------
// Changing rows

export function change(r, d) {
  if (!r || greyed(r)) return;
  if (isAction(r)) {
    r.run();
    return;
  }
  if (isText(r)) {
    const input = $('input', pg.els[pg.rows.indexOf(r)]);
    if (input) { input.focus(); input.select(); }
    return;
  }
  if (isChoice(r)) {
    const n = r.options.length;
    r.set(r.options[(optionIndex(r) + d + n) % n][0]);
  } else if (isRange(r)) {
    const cur = shown(r);
    const next = Math.max(r.min, Math.min(r.max, cur + d * r.step));
    // A value stored outside the page's range stays until moved inwards.
    if ((d > 0 && next <= cur) || (d < 0 && next >= cur)) return;
    r.set(next / (r.scale || 1));
  } else {
    return;
  }
  afterChange();
}

function setBar(r, j) {
  if (greyed(r)) return;
  r.set(barValue(r, j) / (r.scale || 1));
  afterChange();
}

function reset(r) {
  if (pg.name !== 'settings' || !canReset(r)) return;
  r.set(r.def);
  afterChange();
}

function onRowClick(r, i, e) {
  if (e.target.closest('input')) return;
  focusRow(i, { scroll: false });
  if (greyed(r)) return;
  const arrow = e.target.closest('[data-d]');
  const bar = e.target.closest('[data-bar]');
  if (arrow) change(r, Number(arrow.dataset.d));
  else if (bar) setBar(r, Number(bar.dataset.bar));
  else if (isChoice(r) || isAction(r) || isText(r)) change(r, 1);
}

// ---------------------------------------------------------------------------
// Keys

export function pageKey(k, e) {
  const r = pg.rows[pg.focus];
  switch (k) {
    case 'arrowup': case 'w': focusRow(pg.focus - 1); break;
    case 'arrowdown': case 's': focusRow(pg.focus + 1); break;
    case 'arrowleft': case 'a':
      if (r && (isChoice(r) || isRange(r))) change(r, -1);
      break;
    case 'arrowright': case 'd':
      if (r && (isChoice(r) || isRange(r))) change(r, 1);
      break;
    case 'enter': case ' ':
      // Buttons outside the rows (the downloads indicator, the title bar)
      // activate themselves.
      if (e.target instanceof HTMLButtonElement && !$('#page .rows').contains(e.target)) return;
      change(r, 1);
      break;
    case 'q': case 'e': case 'tab': {
      // One tab: nothing to switch to, and no Tabs prompt either.
      if (PAGES[pg.name].tabs.length < 2) break;
      const back = k === 'q' || (k === 'tab' && e.shiftKey);
      switchTab(pg.tab + (back ? -1 : 1));
      break;
    }
    case 'r':
      if (pg.name !== 'settings') return;
      reset(r);
      break;
    case 'escape': case 'backspace': closePage(); break;
    case 'x': case 'delete': case 'u': {
      const cap = { x: 'X', delete: 'Del', u: 'U' }[k];
      if (!r || !r.alt || r.alt[0] !== cap) return;
      r.alt[2]();
      break;
    }
    default:
      return;
  }
  e.preventDefault();
}
