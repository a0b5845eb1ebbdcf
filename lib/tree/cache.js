'use strict';
// A content cache for tree runs: the digest of each file kept with the
// metadata it had when it was read, so that a later run reads only files
// whose metadata moved. It may cost time, never correctness: a digest is
// taken from it only when device, inode, size, modification and change time
// (in ns) and kind are all the same, and only for entries that were safe to
// trust when they were written (see `trusted`). Anything wrong with the file
// makes the run hash everything, after one warning.
//
// File layout (numbers little-endian, except the records, which are in the
// byte order named in the header):
//   magic "TOVSTATC", u32 version, u32 record size, u8 byte order ('L'/'B'),
//   varint root length, root bytes, varint entry count,
//   per entry: varint bytes shared with the previous path, varint length of
//   the rest, the rest, record (statFiles' layout), 32-byte SHA-256 digest;
//   then the SHA-256 of everything before it.

const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const nodePath = require('node:path');
const { decodeName, encodeName, fsName } = require('./names');
const { compareBytes } = require('./hash');
const { systemText } = require('./errors');

const MAGIC = Buffer.from('TOVSTATC', 'latin1');
const VERSION = 1;
const RECORD = 48;
const KIND_AT = 40;
const REGULAR = 1;
const DIGEST = 32;
const BYTE_ORDER = os.endianness() === 'LE' ? 0x4c : 0x42;
const HEADER = MAGIC.length + 9;

let native = null;
function statFiles(paths) {
  if (native === null) native = require('../native/extensions.js').load();
  return native.statFiles(paths);
}

// ---- where caches live ----

function userCacheDir() {
  const home = os.homedir();
  if (process.platform === 'win32') return process.env.LOCALAPPDATA || nodePath.join(home, 'AppData', 'Local');
  if (process.platform === 'darwin') return nodePath.join(home, 'Library', 'Caches');
  const xdg = process.env.XDG_CACHE_HOME;
  return xdg && nodePath.isAbsolute(xdg) ? xdg : nodePath.join(home, '.cache');
}

function inside(path, dir) {
  const rel = nodePath.relative(dir, path);
  return rel === '' || (!rel.startsWith('..') && !nodePath.isAbsolute(rel));
}

/**
 * One cache file per walked root: node_modules/.cache/tov-engine/ of the
 * nearest package above the root, as other tools keep theirs, unless the
 * walk itself would list it (`walksNodeModules` with the folder inside the
 * root); else the user's cache directory.
 */
function defaultLocation(realRoot, walksNodeModules = false) {
  const name = `${crypto.createHash('sha256').update(encodeName(realRoot)).digest('hex').slice(0, 32)}.cache`;
  for (let dir = realRoot; ; dir = nodePath.dirname(dir)) {
    if (fs.existsSync(nodePath.join(dir, 'package.json'))) {
      const folder = nodePath.join(dir, 'node_modules', '.cache', 'tov-engine');
      if (!(walksNodeModules && inside(folder, realRoot))) return nodePath.join(folder, name);
      break;
    }
    if (nodePath.dirname(dir) === dir) break;
  }
  return nodePath.join(userCacheDir(), 'tov-engine', name);
}

// ---- the file format ----

function varintSize(n) {
  let size = 1;
  while (n >= 0x80) {
    n = Math.floor(n / 0x80);
    size++;
  }
  return size;
}

function putVarint(buf, at, n) {
  while (n >= 0x80) {
    buf[at++] = (n % 0x80) | 0x80;
    n = Math.floor(n / 0x80);
  }
  buf[at++] = n;
  return at;
}

function sharedPrefix(a, b) {
  const n = Math.min(a.length, b.length);
  let i = 0;
  while (i < n && a[i] === b[i]) i++;
  return i;
}

/** entries: [{ key: string, buf, at }], record and digest at buf[at..at+80] */
function encode(rootBytes, entries) {
  const keys = entries.map((e) => Buffer.from(e.key, 'utf8'));
  let size = HEADER + varintSize(rootBytes.length) + rootBytes.length + varintSize(entries.length) + DIGEST;
  let previous = Buffer.alloc(0);
  const shares = new Array(entries.length);
  keys.forEach((key, i) => {
    const shared = sharedPrefix(previous, key);
    shares[i] = shared;
    const rest = key.length - shared;
    size += varintSize(shared) + varintSize(rest) + rest + RECORD + DIGEST;
    previous = key;
  });
  const buf = Buffer.alloc(size);
  MAGIC.copy(buf, 0);
  buf.writeUInt32LE(VERSION, 8);
  buf.writeUInt32LE(RECORD, 12);
  buf[16] = BYTE_ORDER;
  let at = putVarint(buf, HEADER, rootBytes.length);
  at += rootBytes.copy(buf, at);
  at = putVarint(buf, at, entries.length);
  entries.forEach((e, i) => {
    at = putVarint(buf, at, shares[i]);
    at = putVarint(buf, at, keys[i].length - shares[i]);
    at += keys[i].copy(buf, at, shares[i]);
    at += e.buf.copy(buf, at, e.at, e.at + RECORD + DIGEST);
  });
  crypto.createHash('sha256').update(buf.subarray(0, at)).digest().copy(buf, at);
  return buf;
}

class Corrupt extends Error {}

function reader(buf, end) {
  let at = 0;
  return {
    at: () => at,
    seek(n) {
      at = n;
    },
    varint() {
      let n = 0;
      for (let scale = 1; ; scale *= 0x80) {
        if (at >= end || scale > 2 ** 35) throw new Corrupt('corrupt');
        const b = buf[at++];
        n += (b & 0x7f) * scale;
        if (b < 0x80) return n;
      }
    },
    take(n) {
      if (n > end - at) throw new Corrupt('corrupt');
      at += n;
      return buf.subarray(at - n, at);
    },
  };
}

/**
 * Parses a cache file made for `rootBytes`: a Map of key (the path below
 * the root) to { key, record, digest }, or throws with why it cannot be used.
 */
function decode(buf, rootBytes) {
  if (buf.length < HEADER + DIGEST || !buf.subarray(0, MAGIC.length).equals(MAGIC)) {
    throw new Corrupt(buf.length < HEADER + DIGEST ? 'truncated' : 'not a cache file of this tool');
  }
  const version = buf.readUInt32LE(8);
  if (version !== VERSION) throw new Corrupt(`made by another version of the format (${version}, this is ${VERSION})`);
  const end = buf.length - DIGEST;
  const sum = crypto.createHash('sha256').update(buf.subarray(0, end)).digest();
  if (!sum.equals(buf.subarray(end))) throw new Corrupt('truncated or corrupt (checksum mismatch)');
  if (buf.readUInt32LE(12) !== RECORD || buf[16] !== BYTE_ORDER) throw new Corrupt('made on another kind of machine');
  const r = reader(buf, end);
  r.seek(HEADER);
  if (!r.take(r.varint()).equals(rootBytes)) throw new Corrupt('made for another directory');
  const count = r.varint();
  const entries = new Map();
  // Each path is built in place over the previous one.
  let path = Buffer.alloc(256);
  let length = 0;
  for (let i = 0; i < count; i++) {
    const shared = r.varint();
    const rest = r.take(r.varint());
    if (shared > length) throw new Corrupt('corrupt');
    if (shared + rest.length > path.length) path = Buffer.concat([path.subarray(0, shared), Buffer.alloc(rest.length * 2 + 256)]);
    rest.copy(path, shared);
    length = shared + rest.length;
    const key = path.toString('utf8', 0, length);
    entries.set(key, { key, buf, at: r.at() });
    r.take(RECORD + DIGEST);
  }
  if (r.at() !== end) throw new Corrupt('corrupt');
  return entries;
}

// ---- trust ----

const readI64 = BYTE_ORDER === 0x4c ? (b, at) => b.readBigInt64LE(at) : (b, at) => b.readBigInt64BE(at);

// The step of a time stamp as far as it shows: a file system that keeps
// whole seconds (or two, as FAT does) leaves the zeros.
function stepOf(ns) {
  for (const step of [2000000000n, 1000000000n, 1000000n, 1000n]) if (ns % step === 0n) return step;
  return 1n;
}

/**
 * Whether an entry read after the moment `probe` (ns, a time stamp the file
 * system gave a file made just before the metadata was taken) may be
 * trusted later: a write after the query lands at `probe` or later, so a
 * file whose times lie wholly before it cannot be changed again without one
 * of them moving. A file last touched in the same tick may still be written
 * within it, keeping its times; such an entry is not kept. The step of
 * the file's own time stamps widens the margin on a coarser file system.
 */
function trusted(record, probe) {
  const buf = Buffer.from(record.buffer, record.byteOffset, record.length);
  for (const at of [24, 32]) {
    const t = readI64(buf, at);
    if (t + stepOf(t) > probe) return false;
  }
  return true;
}

// ---- one run ----

function sameRecord(a, aAt, b, bAt) {
  for (let i = 0; i < RECORD; i++) if (a[aAt + i] !== b[bAt + i]) return false;
  return true;
}

function readCache(location, rootBytes) {
  let buf;
  try {
    buf = fs.readFileSync(location);
  } catch (err) {
    if (err.code === 'ENOENT') return { entries: new Map(), identity: null, problem: null };
    return { entries: new Map(), identity: null, problem: systemText(err) };
  }
  const identity = identityOf(location);
  try {
    return { entries: decode(buf, rootBytes), identity, problem: null };
  } catch (err) {
    if (!(err instanceof Corrupt)) throw err;
    return { entries: new Map(), identity, problem: err.message };
  }
}

function identityOf(path) {
  try {
    const st = fs.statSync(path, { bigint: true });
    return `${st.dev}:${st.ino}:${st.size}:${st.mtimeNs}:${st.ctimeNs}`;
  } catch {
    return null;
  }
}

function temporaryName(location) {
  return `${location}.${process.pid}.${crypto.randomBytes(6).toString('hex')}.tmp`;
}

// The file system's own clock, read just before the metadata queries: the
// birth time of a file made beside the cache (removed at once, so that a run
// that fails leaves nothing behind).
function probeClock(location) {
  fs.mkdirSync(nodePath.dirname(location), { recursive: true });
  const file = temporaryName(location);
  const fd = fs.openSync(file, 'wx');
  try {
    const st = fs.fstatSync(fd, { bigint: true });
    return st.mtimeNs < st.ctimeNs ? st.mtimeNs : st.ctimeNs;
  } finally {
    fs.closeSync(fd);
    fs.rmSync(file, { force: true });
  }
}

function realPath(path) {
  return decodeName(fs.realpathSync(fsName(path), { encoding: 'buffer' }));
}

// What a cache file records of the root it was made for.
function rootBytesOf(path) {
  return encodeName(realPath(path));
}

class Store {
  constructor(target, location, walksNodeModules, warn) {
    this.prefix = target.path.endsWith('/') ? target.path : `${target.path}/`;
    const realRoot = realPath(target.path);
    this.rootBytes = encodeName(realRoot);
    this.location = location || defaultLocation(realRoot, walksNodeModules);
    this.warn = warn;
    const loaded = readCache(this.location, this.rootBytes);
    if (loaded.problem) warn(`cache ${this.location} ignored (${loaded.problem}); hashing every file`);
    this.old = loaded.entries;
    this.identity = loaded.identity;
    try {
      this.probe = probeClock(this.location);
    } catch (err) {
      this.probe = null;
      warn(`cache ${this.location} cannot be written (${systemText(err)}); it stays as it is`);
    }
    this.members = []; // { index, key: the path below the root }
  }

  /**
   * Settles which members the old entries answer, setting their digests in
   * `known`. A file left out by identity is not answered: the hashing
   * leaves it out.
   */
  lookup(known, before, leftOut) {
    const { records, errors } = before;
    this.members.forEach((m, j) => {
      m.slot = j;
      m.at = j * RECORD;
      const old = this.old.get(m.key);
      if (old === undefined || errors[j] !== 0 || records[m.at + KIND_AT] !== REGULAR) return;
      if (!sameRecord(old.buf, old.at, records, m.at) || leftOut(records, m.at)) return;
      known[m.index] = old.buf.toString('hex', old.at + RECORD, old.at + RECORD + DIGEST);
      m.kept = old;
    });
    this.before = before;
  }

  /** Entries for the next run: what was kept, and what was read safely. */
  collect(outcomes, after, afterSlot) {
    const entries = [];
    const { records, errors } = this.before;
    for (const m of this.members) {
      if (m.kept) {
        entries.push(m.kept);
        continue;
      }
      const slot = afterSlot.get(m.index);
      const digest = outcomes[m.index];
      if (typeof digest !== 'string' || slot === undefined || errors[m.slot] !== 0) continue;
      if (after.errors[slot] !== 0 || !sameRecord(records, m.at, after.records, slot * RECORD)) continue;
      if (records[m.at + KIND_AT] !== REGULAR) continue;
      const entry = Buffer.alloc(RECORD + DIGEST);
      entry.set(records.subarray(m.at, m.at + RECORD));
      entry.write(digest, RECORD, 'hex');
      if (!trusted(entry, this.probe)) continue;
      entries.push({ key: m.key, buf: entry, at: 0 });
    }
    // Nothing to write when every entry came from the file as it is.
    this.unchanged = entries.length === this.old.size && entries.every((e) => this.old.get(e.key) === e);
    return entries;
  }

  // What a run that wrote the cache meanwhile kept stays, where it agrees
  // with the metadata this run saw (so both runs' work survives).
  mergeConcurrent(entries) {
    if (identityOf(this.location) === this.identity) return entries;
    const theirs = readCache(this.location, this.rootBytes).entries;
    if (theirs.size === 0) return entries;
    const mine = new Set(entries.map((e) => e.key));
    const { records, errors } = this.before;
    for (const m of this.members) {
      const other = theirs.get(m.key);
      if (mine.has(m.key) || other === undefined || errors[m.slot] !== 0) continue;
      if (sameRecord(other.buf, other.at, records, m.at)) entries.push(other);
    }
    return entries.sort((a, b) => compareBytes(a.key, b.key));
  }

  // Written whole beside the cache and renamed over it: a reader sees the
  // old file or the new one, never a part.
  write(entries) {
    if (this.probe === null || this.unchanged) return;
    const file = temporaryName(this.location);
    try {
      fs.writeFileSync(file, encode(this.rootBytes, this.mergeConcurrent(entries)), { flag: 'wx' });
      fs.renameSync(file, this.location);
    } catch (err) {
      this.warn(`cache ${this.location} not written (${systemText(err)})`);
      fs.rmSync(file, { force: true });
    }
  }
}

const readU64 = BYTE_ORDER === 0x4c ? (b, at) => b.readBigUInt64LE(at) : (b, at) => b.readBigUInt64BE(at);

// Whether a record's device and inode are among `identities` ([dev, ino]).
function leftOutBy(identities) {
  if (identities.length === 0) return () => false;
  const keys = new Set(identities.map(([dev, ino]) => `${BigInt(dev)}:${BigInt(ino)}`));
  return (records, at) => {
    const buf = Buffer.from(records.buffer, records.byteOffset + at, 16);
    return keys.has(`${readU64(buf, 0)}:${readU64(buf, 8)}`);
  };
}

/**
 * Starts a cached run over `files` ({ fsPath }, as the walk lists them).
 * `option`: false, or { location } (null for the default one); `leaveOut`:
 * identities ([dev, ino]) the hashing leaves out. Returns null when there is
 * no cache, else { known, hits, warnings, finish }: `known[i]` is the digest
 * of file i where the cache answers it; hash the others, then
 * `finish(outcomes)` (one per file: hex digest, { reason } or null) writes
 * the cache. Only directory targets have a cache, each its own; with a
 * location named, the first one alone.
 */
function begin(option, targets, files, { all = false, leaveOut = [] } = {}) {
  if (!option) return null;
  const warnings = [];
  const warn = (text) => warnings.push(text);
  const stores = [];
  for (const target of targets) {
    if (option.location && stores.length > 0) break;
    try {
      if (!fs.statSync(fsName(target.path)).isDirectory()) continue;
      stores.push(new Store(target, option.location, all, warn));
    } catch (err) {
      warn(`cache for ${target.path} not used (${systemText(err)})`);
    }
  }
  const known = new Array(files.length);
  if (stores.length === 0) return { known, hits: 0, warnings, finish: () => {} };

  // Each file belongs to the first root it lies under; names that are not
  // text cannot be queried and are simply hashed.
  const owner = new Array(files.length).fill(null);
  files.forEach((file, index) => {
    if (!file.fsPath.isWellFormed()) return;
    const store = stores.find((s) => file.fsPath.startsWith(s.prefix));
    if (store === undefined) return;
    owner[index] = store;
    store.members.push({ index, key: file.fsPath.slice(store.prefix.length) });
  });
  const leftOut = leftOutBy(leaveOut);
  for (const store of stores) {
    store.lookup(known, statFiles(store.members.map((m) => files[m.index].fsPath)), leftOut);
  }
  let hits = 0;
  for (const digest of known) if (digest !== undefined) hits++;

  function finish(outcomes) {
    // A file whose metadata moved while it was read is hashed but not kept.
    const again = [];
    for (let i = 0; i < files.length; i++) {
      if (known[i] === undefined && owner[i] !== null && typeof outcomes[i] === 'string') again.push(i);
    }
    const after = statFiles(again.map((i) => files[i].fsPath));
    const afterSlot = new Map(again.map((index, slot) => [index, slot]));
    for (const store of stores) store.write(store.collect(outcomes, after, afterSlot));
  }
  return { known, hits, warnings, finish };
}

module.exports = { begin, defaultLocation, encode, decode, rootBytesOf, trusted, RECORD };
