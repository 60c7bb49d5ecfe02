// The DATA, ADDONS and DOWNLOADS pages, built from the row engine. Every
// control sends a command, some after a confirm box.

import { app, send, now, gb, mins, mbps, percent, confirmBox, closeConfirm } from './core.js';
import { switchTab } from './rows.js';

// ---------------------------------------------------------------------------
// DATA

// "2026-12-03_210212" reads "2026-12-03  21:02"; a backup taken before a
// restore ("..._before_restore") says so.
export function backupLabel(name) {
  const m = /^(\d{4}-\d{2}-\d{2})_(\d{2})(\d{2})(\d{2})(.*)$/s.exec(String(name));
  if (!m) return String(name);
  return m[1] + '  ' + m[2] + ':' + m[3] + (m[5] ? '  (before a restore)' : '');
}

function saves(S) {
  const sv = S.saves && typeof S.saves === 'object' ? S.saves : {};
  const paths = S.paths || {};
  const rows = [
    {
      label: 'Saves folder', act: 'Open', run: () => send('openFolder', { which: 'saves' }),
      desc: 'Where your progress is kept. Updates never touch it.',
      info: [['Folder', paths.saves || ''], ['Files', String(sv.files || 0)], ['Size', gb(sv.bytes || 0)]],
    },
    {
      label: 'Back up saves now', act: 'Back up', run: () => send('backupSaves'),
      desc: 'Copies all your saves into a dated backup. The newest 20 backups are kept.',
    },
    {
      label: 'Backups folder', act: 'Open', run: () => send('openFolder', { which: 'backups' }),
      desc: 'All backups, one folder each.',
    },
  ];
  const backups = Array.isArray(sv.backups) ? sv.backups : [];
  if (backups.length) {
    rows.push({ group: 'Backups' });
    for (const b of backups) {
      rows.push({
        key: 'backup:' + b.name,
        label: backupLabel(b.name), act: 'Restore', danger: true,
        desc: 'Put this backup back in place of your current saves (' + (b.files || 0) + ' files, ' + gb(b.bytes || 0) +
          '). Your current saves are backed up first, so this can be undone.',
        run: () => confirmBox('Restore this backup?',
          'Your current saves are replaced. They are backed up first, so you can go back.',
          [['Keep current', 'primary', null], ['Restore', 'danger', () => send('restoreBackup', { name: b.name })]]),
      });
    }
  }
  return rows;
}

function gameTab(S) {
  const g = S.game || {};
  const running = g.status === 'running';
  return [
    {
      label: 'Check for updates', act: 'Check', run: () => send('checkUpdates'),
      desc: 'Ask the update server for new versions of the game and the launcher.',
    },
    {
      label: 'Verify and repair', act: 'Verify', run: () => send('repair'), off: !!g.dev || running,
      desc: g.dev ? 'This is a dev build: rebuild it instead.'
        : 'Checks every game file against the release and downloads any that are missing or damaged.',
    },
    {
      label: 'Clear shader cache', act: 'Clear', run: () => send('clearCache'), off: running,
      desc: 'Deletes compiled shaders. The next start takes a little longer while they are rebuilt. Try it if graphics look wrong after a driver update.',
    },
    {
      label: 'Game folder', act: 'Open', run: () => send('openFolder', { which: 'game' }),
      desc: 'Where the game is installed.',
      info: [['Folder', (S.paths && S.paths.game) || ''],
        ['Version', g.version ? g.version + (g.build ? ' (build ' + g.build + ')' : '') : 'not installed']],
    },
  ];
}

// A repair whose check found more to download than it fetches unasked waits
// for the player: the question stays open until answered, and goes away by
// itself when the repair ends some other way (cancelled from DOWNLOADS).
function count(n, one, many) {
  return n + ' ' + (n === 1 ? one : many);
}

export function repairQuestionText(q) {
  const parts = [];
  if (q.damaged) parts.push(count(q.damaged, 'damaged file', 'damaged files'));
  if (q.missing) parts.push(count(q.missing, 'missing file', 'missing files'));
  if (q.updated) parts.push(count(q.updated, 'file changed by the new release', 'files changed by the new release'));
  const found = parts.length ? parts.join(', ') : 'files to replace';
  return 'The check found ' + found + '. Repairing downloads ' + gb(q.bytes) +
    '; nothing is downloaded until you say so.';
}

// Answered, and the answer still on its way: the states until it lands may
// carry the same question.
let repairAnswered = false;

export function askRepair(S) {
  const q = S.repair;
  const open = app.confirmState && app.confirmState.tag === 'repair';
  if (q && q.asking) {
    if (open || app.confirmState || repairAnswered) return;
    const answer = (proceed) => {
      repairAnswered = true;
      send('repairAnswer', { proceed });
    };
    confirmBox('Repair downloads ' + gb(q.bytes), repairQuestionText(q),
      [['Not now', 'primary', () => answer(false)], ['Repair', '', () => answer(true)]],
      { onDismiss: () => answer(false), tag: 'repair' });
  } else {
    repairAnswered = false;
    if (open) closeConfirm();
  }
}

function support(S) {
  const rows = [
    {
      label: 'Logs', act: 'Open', run: () => send('openFolder', { which: 'logs' }),
      desc: 'The game and launcher logs. Send these along with any bug report.',
    },
    {
      label: 'Data folder', act: 'Open', run: () => send('openFolder', { which: 'data' }),
      desc: 'Settings, logs and caches.', info: [['Folder', (S.paths && S.paths.data) || '']],
    },
  ];
  if (S.mode === 'installed') {
    rows.push({
      label: 'Uninstall', act: 'Uninstall', danger: true, run: () => send('uninstall'),
      desc: 'Removes the game and the launcher from this PC (Windows asks you to confirm). You can keep your saves and settings for later.',
    });
  }
  rows.push({
    label: 'Reset all settings', act: 'Reset', danger: true,
    desc: 'Puts every game setting back to its default. Saves are not affected.',
    run: () => confirmBox('Reset all settings?', 'Display, graphics and audio go back to their defaults.',
      [['Cancel', 'primary', null], ['Reset', 'danger', () => send('resetSettings')]]),
  });
  return rows;
}

export const dataPage = {
  title: 'DATA',
  tabs: [
    { name: 'Saves', rows: saves },
    { name: 'Game', rows: gameTab },
    { name: 'Support', rows: support },
  ],
};

// ---------------------------------------------------------------------------
// ADDONS

const OPEN_ADDONS = () => send('openFolder', { which: 'addons' });

function installed(S) {
  const list = (S.addons && S.addons.installed) || [];
  const catalog = (S.addons && S.addons.catalog) || [];
  if (!list.length) {
    return [
      {
        label: 'No addons yet', act: 'Browse', run: () => switchTab(1),
        desc: 'Addons add or change content: people, sounds, textures, ships. Find some under Browse, or make your own (tools/release/addon_template).',
      },
      {
        label: 'Open the addons folder', act: 'Open', run: OPEN_ADDONS,
        desc: 'Where addons live. Each one is a folder with an addon.json.',
      },
    ];
  }
  const rows = list.map((a) => {
    const info = [['Version', a.version || '?'], ['By', a.author || '?'], ['Folder', a.path || '']];
    if (a.update) info.push(['Update', a.latest || '']);
    let note = null;
    if (a.update) note = a.queued ? 'Downloading the update…' : 'An update is ready: press U to get it.';
    else if (!a.managed) note = "Installed by hand: the launcher won't update it.";
    // Only an add-on the server offers can be installed again from Browse.
    const offered = catalog.some((c) => c.id === a.id);
    const removeText = 'Its files are deleted.' + (offered ? ' You can install it again from Browse.' : '');
    const alt = a.update && !a.queued
      ? ['U', 'Update', () => send('addonInstall', { addon: a.id })]
      : ['Del', 'Remove', () => confirmBox('Remove ' + (a.name || a.id) + '?', removeText,
        [['Keep', 'primary', null], ['Remove', 'danger', () => send('addonRemove', { addon: a.id })]])];
    return {
      key: 'addon:' + a.id,
      label: a.name || a.id,
      desc: a.description || 'No description.',
      options: [[false, 'Off'], [true, 'On']],
      get: () => !!a.enabled,
      set: (v) => {
        a.enabled = v;
        app.lastEdit = now();
        send('addonEnable', { addon: a.id, enabled: v });
      },
      info, note, alt,
    };
  });
  rows.push({ group: 'Folder' });
  rows.push({
    label: 'Open the addons folder', act: 'Open', run: OPEN_ADDONS,
    desc: 'Make your own: copy tools/release/addon_template here, then turn it on above.',
  });
  return rows;
}

function browse(S) {
  const catalog = (S.addons && S.addons.catalog) || [];
  if (!catalog.length) {
    const feed = S.feed || {};
    let label;
    if (feed.ok) label = 'Nothing on the server yet';
    else if (!feed.configured) label = 'No update server is set up for this copy.';
    else if (feed.checking || !feed.checked) label = 'Checking the server…';
    else label = "Can't reach the server";
    return [{
      label, act: 'Retry', run: () => send('checkUpdates'),
      desc: 'Addons published with tools/release/make_addon.py show up here.',
    }];
  }
  return catalog.map((c) => ({
    key: 'cat:' + c.id,
    label: c.name || c.id,
    act: c.queued ? 'Queued' : c.installed ? 'Installed' : 'Install · ' + gb(c.size || 0),
    off: !!(c.installed || c.queued),
    desc: c.description || 'No description.',
    info: [['Version', c.version || '?'], ['By', c.author || '?'], ['Size', gb(c.size || 0)]],
    run: () => send('addonInstall', { addon: c.id }),
  }));
}

export const addonsPage = {
  title: 'ADDONS',
  tabs: [
    { name: 'Installed', rows: installed },
    { name: 'Browse', rows: browse },
  ],
};

// ---------------------------------------------------------------------------
// DOWNLOADS

function queue(S) {
  const jobs = S.queue || [];
  const task = S.task;
  if (!jobs.length) {
    return [{
      label: 'Nothing downloading', act: 'Check for updates', run: () => send('checkUpdates'),
      desc: S.taskError ? 'Last problem: ' + S.taskError : 'Game, addon and launcher updates show up here while they download.',
    }];
  }
  return jobs.map((j) => {
    const active = !!j.active && !!task;
    const total = active ? task.bytesTotal || 0 : 0;
    let act, desc;
    const info = [];
    if (j.paused) {
      act = 'Paused';
      desc = 'Paused. Everything downloaded so far is kept; it carries on from there.';
    } else if (active) {
      act = (task.phase || 'Working') + (total ? ' ' + percent(task.bytesDone || 0, total) + '%' : '');
      desc = (task.filesDone || 0) + ' of ' + (task.filesTotal || 0) + (task.phase === 'Downloading' || task.phase === 'Searching' ? ' chunks' : ' files');
      if (task.rate > 0) desc += ' · ' + mbps(task.rate);
      if (total) {
        info.push(['Done', gb(task.bytesDone || 0) + ' of ' + gb(total)]);
        if (task.rate > 0) info.push(['Time left', mins((total - (task.bytesDone || 0)) / task.rate)]);
      }
    } else {
      act = 'Queued';
      desc = 'Waiting for the one before it.';
    }
    return {
      key: 'job:' + j.id,
      label: j.label,
      act,
      actLabel: j.paused ? 'Resume' : 'Pause',
      desc,
      info,
      run: () => send(j.paused ? 'resume' : 'pause', { id: j.id }),
      alt: ['X', 'Cancel', () => send('cancel', { id: j.id })],
    };
  });
}

export const downloadsPage = {
  title: 'DOWNLOADS',
  tabs: [{ name: 'Queue', rows: queue }],
};
