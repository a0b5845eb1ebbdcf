'use strict';
// Files on disk under the system's temporary directory. A set is kept between
// runs: its record (sizes and digests, written last) says what the files must
// hold, and every run reads each file back and checks it against the record.
// That read also puts the files in the page cache, so the timed runs measure
// hashing and system calls, not the disk.
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { rng } = require('./data');
const { sha256Hex } = require('../../test/support');

const LAYOUT_VERSION = 1;

function defaultRoot() {
  return path.join(os.tmpdir(), 'tov-engine-native-bench');
}

const SETS = {
  // Source-tree-like sizes: log-uniform between 256 bytes and 16 KiB.
  small: {
    count: 20000,
    describe: '20,000 files of 0.25 to 16 KiB',
    filePath: (dir, i) =>
      path.join(dir, `d${String(i % 100).padStart(2, '0')}`, `f${String(i).padStart(5, '0')}.src`),
    sizes(count) {
      const r = rng(20000);
      return Array.from({ length: count }, () => Math.round(256 * Math.pow(64, r())));
    },
  },
  large: {
    count: 8,
    describe: '8 files of 64 MiB',
    filePath: (dir, i) => path.join(dir, `big${i}.bin`),
    sizes: (count) => new Array(count).fill(64 * 1024 * 1024),
  },
};

function log(message) {
  process.stderr.write(`${message}\n`);
}

class Fixtures {
  constructor(root = defaultRoot()) {
    this.root = root;
    this.ready = new Map();
  }

  // Paths of a set, created or checked on first use in this run.
  paths(name) {
    if (!this.ready.has(name)) this.ready.set(name, this.prepare(name));
    return this.ready.get(name);
  }

  prepare(name) {
    const set = SETS[name];
    const dir = path.join(this.root, name);
    const recordPath = path.join(dir, 'record.json');
    const sizes = set.sizes(set.count);
    const paths = sizes.map((_, i) => set.filePath(dir, i));
    const started = Date.now();
    const record = this.readRecord(recordPath);
    if (record && record.version === LAYOUT_VERSION && this.matches(paths, sizes, record)) {
      log(`fixtures: reusing ${set.describe} in ${dir} (checked in ${Date.now() - started} ms)`);
      return paths;
    }
    log(`fixtures: writing ${set.describe} to ${dir} ...`);
    fs.rmSync(dir, { recursive: true, force: true });
    const digests = [];
    for (let i = 0; i < paths.length; i++) {
      fs.mkdirSync(path.dirname(paths[i]), { recursive: true });
      const data = crypto.randomBytes(sizes[i]);
      fs.writeFileSync(paths[i], data);
      digests.push(sha256Hex(data));
    }
    fs.writeFileSync(recordPath, JSON.stringify({ version: LAYOUT_VERSION, sizes, digests }));
    // Read back once so that the page cache holds what was just written.
    this.matches(paths, sizes, { sizes, digests });
    log(`fixtures: written in ${Date.now() - started} ms`);
    return paths;
  }

  readRecord(recordPath) {
    try {
      return JSON.parse(fs.readFileSync(recordPath, 'utf8'));
    } catch {
      return null;
    }
  }

  matches(paths, sizes, record) {
    if (!Array.isArray(record.sizes) || !Array.isArray(record.digests)) return false;
    if (record.sizes.length !== paths.length || record.digests.length !== paths.length) return false;
    for (let i = 0; i < paths.length; i++) {
      if (record.sizes[i] !== sizes[i]) return false;
      let data;
      try {
        data = fs.readFileSync(paths[i]);
      } catch {
        return false;
      }
      if (data.length !== sizes[i] || sha256Hex(data) !== record.digests[i]) return false;
    }
    return true;
  }

  // Expected digests of a set, from its record (valid once paths() returned).
  digests(name) {
    this.paths(name);
    return this.readRecord(path.join(this.root, name, 'record.json')).digests;
  }

  // Bytes in the first `count` files of a set (all of them by default).
  totalBytes(name, count = SETS[name].count) {
    return SETS[name].sizes(SETS[name].count).slice(0, count).reduce((a, b) => a + b, 0);
  }

  clean() {
    fs.rmSync(this.root, { recursive: true, force: true });
  }
}

module.exports = { Fixtures, defaultRoot, SETS };
