// What the first-hour journey needs around the launcher: the update server as
// deployed (scripts/demo_servers.py: nginx and the reference server), a feed
// published with the release tools, and a look at what the server and the
// game folder hold.
'use strict';
const { spawn, execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { waitFor } = require('./launcher_process');

const root = path.resolve(__dirname, '../../../../..');

// nginx and the reference server on loopback; resolves once they answer.
async function startServers(feed, work) {
  const child = spawn('python3', [path.join(root, 'scripts/demo_servers.py'), '--feed', feed, '--work', work],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  let out = '';
  child.stdout.on('data', (c) => { out += c.toString('utf8'); });
  const base = await waitFor(() => (out.includes('\n') ? out.split('\n')[0] : null), 'the servers', 200000);
  return {
    base,
    stop: () => new Promise((resolve) => {
      if (child.exitCode !== null) return resolve();
      child.once('exit', resolve);
      child.kill('SIGTERM');
    }),
    // Every answer so far: { end, start, status, bytes, uri } (times in seconds).
    log: () => {
      const file = path.join(work, 'logs', 'nginx-access.log');
      if (!fs.existsSync(file)) return [];
      return fs.readFileSync(file, 'utf8').split('\n').filter(Boolean).map((line) => {
        const m = /^(\S+) (\S+) (\d+) (\d+) "(.*)"$/.exec(line);
        return m ? { end: +m[1], start: +m[1] - +m[2], status: +m[3], bytes: +m[4], uri: m[5] } : null;
      }).filter(Boolean);
    },
    // Rows of an SQL query on the server's database, through Python's sqlite3.
    query: (sql) => JSON.parse(execFileSync('python3', ['-c',
      'import json,sqlite3,sys; c=sqlite3.connect(sys.argv[1]); print(json.dumps(c.execute(sys.argv[2]).fetchall()))',
      path.join(work, 'data', 'server.db'), sql]).toString()),
  };
}

// Incompressible bytes, written a mebibyte at a time.
function randomFile(file, size) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  const fd = fs.openSync(file, 'w');
  for (let done = 0; done < size;) {
    const block = crypto.randomBytes(Math.min(1 << 20, size - done));
    fs.writeSync(fd, block);
    done += block.length;
  }
  fs.closeSync(fd);
}

function sha256(buffer) {
  return crypto.createHash('sha256').update(buffer).digest('hex');
}

function fileSha256(file) {
  return sha256(fs.readFileSync(file));
}

function publish(args) {
  execFileSync('python3', args.map((a, i) => (i === 0 ? path.join(root, a) : a)), { stdio: ['ignore', 'ignore', 'inherit'] });
}

// The objects of a published manifest that lie verified in the staging area
// of `game`: what a resumed install must not fetch again.
function verifiedStaged(game, manifest) {
  const staged = new Set();
  const chunkSize = manifest.chunkSize || 1048576;
  for (const f of manifest.files) {
    const file = path.join(game, '.staging', 'files', f.path);
    if (!fs.existsSync(file)) continue;
    const bytes = fs.readFileSync(file);
    (f.chunks || []).forEach((hash, i) => {
      const part = bytes.subarray(i * chunkSize, Math.min(f.size, (i + 1) * chunkSize));
      if (part.length && sha256(part) === hash) staged.add(hash);
    });
  }
  const chunks = path.join(game, '.staging', 'chunks');
  if (fs.existsSync(chunks)) {
    for (const name of fs.readdirSync(chunks)) {
      if (/^[0-9a-f]{64}$/.test(name) && fileSha256(path.join(chunks, name)) === name) staged.add(name);
    }
  }
  return staged;
}

// The object hash an access-log URI names, or null.
function objectOf(uri) {
  const last = uri.split('/').pop();
  return /^[0-9a-f]{64}$/.test(last) ? last : null;
}

module.exports = { root, startServers, randomFile, sha256, fileSha256, publish, verifiedStaged, objectOf };
