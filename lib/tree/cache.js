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
// byte order named in the header), in blocks that a run reads at once:
//   magic "TOVSTATC", u32 version, u32 record size, u8 byte order ('L'/'B'),
//   three zero bytes, u32 root length, u32 entry count, u32 names length;
//   the records (statFiles' layout, 8-aligned), the 32-byte SHA-256 digests,
//   the root's bytes, the paths below the root in UTF-8 joined by NULs (no
//   path holds one); then the SHA-256 of everything before it.

const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const nodePath = require('node:path');
const { decodeName, encodeName, fsName } = require('./names');
const { systemText } = require('./errors');

const MAGIC = Buffer.from('TOVSTATC', 'latin1');
const VERSION = 2;
const RECORD = 48;
const KIND_AT = 40;
const REGULAR = 1;
const DIGEST = 32;
const BYTE_ORDER = os.endianness() === 'LE' ? 0x4c : 0x42;
const HEADER = 32;

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

const ROOT_LENGTH_AT = 20;
const COUNT_AT = 24;
const NAMES_LENGTH_AT = 28;

/**
 * entries: { keys: [path below the root], records, digests, names }, the
 * records (RECORD bytes each) and digests (DIGEST bytes each) of entry i at
 * i * RECORD and i * DIGEST; `names`, if given, the keys' block as written
 * (then `count` may stand for `keys`).
 */
function encode(rootBytes, { keys, records, digests, names = Buffer.from(keys.join('\0'), 'utf8'), count = keys.length }) {
  const buf = Buffer.allocUnsafe(HEADER + count * (RECORD + DIGEST) + rootBytes.length + names.length + DIGEST);
  buf.fill(0, 0, HEADER);
  MAGIC.copy(buf, 0);
  buf.writeUInt32LE(VERSION, 8);
  buf.writeUInt32LE(RECORD, 12);
  buf[16] = BYTE_ORDER;
  buf.writeUInt32LE(rootBytes.length, ROOT_LENGTH_AT);
  buf.writeUInt32LE(count, COUNT_AT);
  buf.writeUInt32LE(names.length, NAMES_LENGTH_AT);
  let at = HEADER;
  at += records.copy(buf, at, 0, count * RECORD);
  at += digests.copy(buf, at, 0, count * DIGEST);
  at += rootBytes.copy(buf, at);
  at += names.copy(buf, at);
  crypto.createHash('sha256').update(buf.subarray(0, at)).digest().copy(buf, at);
  return buf;
}

class Corrupt extends Error {}

/**
 * Parses a cache file made for `rootBytes`: { keys, records, words, digests,
 * count } (records as bytes and as 32-bit words, RECORD bytes per entry), or
 * throws with why it cannot be used.
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
  const rootLength = buf.readUInt32LE(ROOT_LENGTH_AT);
  const count = buf.readUInt32LE(COUNT_AT);
  const namesLength = buf.readUInt32LE(NAMES_LENGTH_AT);
  const rootAt = HEADER + count * (RECORD + DIGEST);
  const namesAt = rootAt + rootLength;
  if (namesAt + namesLength !== end) throw new Corrupt('corrupt');
  if (!buf.subarray(rootAt, namesAt).equals(rootBytes)) throw new Corrupt('made for another directory');
  const names = buf.subarray(namesAt, end);
  let separators = 0;
  for (let at = names.indexOf(0); at !== -1; at = names.indexOf(0, at + 1)) separators++;
  if (count === 0 ? namesLength !== 0 : separators !== count - 1) throw new Corrupt('corrupt');
  // Records are compared a word at a time, which wants them aligned.
  let records = buf.subarray(HEADER, HEADER + count * RECORD);
  if (records.byteOffset % 4 !== 0) records = Buffer.from(records);
  const words = new Int32Array(records.buffer, records.byteOffset, records.length / 4);
  const digests = buf.subarray(HEADER + count * RECORD, rootAt);
  // The keys as strings only for the walk that looks them up itself.
  let keys = null;
  return {
    get keys() {
      keys ??= count === 0 ? [] : names.toString('utf8').split('\0');
      return keys;
    },
    records,
    words,
    digests,
    names,
    count,
  };
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

const WORDS = RECORD / 4;
const EMPTY = { keys: [], records: Buffer.alloc(0), words: new Int32Array(0), digests: Buffer.alloc(0), names: Buffer.alloc(0), count: 0 };

function sameWords(a, aAt, b, bAt) {
  for (let k = 0; k < WORDS; k++) if (a[aAt + k] !== b[bAt + k]) return false;
  return true;
}

function readCache(location, rootBytes) {
  let buf;
  try {
    buf = fs.readFileSync(location);
  } catch (err) {
    if (err.code === 'ENOENT') return { old: EMPTY, identity: null, problem: null };
    return { old: EMPTY, identity: null, problem: systemText(err) };
  }
  const identity = identityOf(location);
  try {
    return { old: decode(buf, rootBytes), identity, problem: null };
  } catch (err) {
    if (!(err instanceof Corrupt)) throw err;
    return { old: EMPTY, identity, problem: err.message };
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

// Old entries by key. Files usually come in the order the last run wrote
// them, so the entry after the last one found is tried before the map,
// which is built only when that fails.
class Index {
  constructor(old) {
    this.keys = old.keys;
    this.next = 0;
    this.map = null;
  }

  find(key) {
    let i = this.next;
    if (this.keys[i] !== key) {
      if (this.map === null) this.map = new Map(this.keys.map((k, j) => [k, j]));
      i = this.map.get(key) ?? -1;
      if (i < 0) return -1;
    }
    this.next = i + 1;
    return i;
  }
}

// Fills a buffer from pieces of others and from hex digests, a run of
// pieces that continue each other at a time (most entries follow the one
// before them, in the old file and in the new).
class Copier {
  constructor(target) {
    this.target = target;
    this.source = null;
    this.from = 0;
    this.to = 0;
    this.length = 0;
    this.digits = [];
    this.digitsTo = 0;
  }

  copy(source, from, to, length) {
    if (source === this.source && from === this.from + this.length && to === this.to + this.length) {
      this.length += length;
      return;
    }
    if (this.length > 0) this.source.copy(this.target, this.to, this.from, this.from + this.length);
    Object.assign(this, { source, from, to, length });
  }

  hex(digits, to) {
    if (to !== this.digitsTo + (this.digits.length * digits.length) / 2) this.writeDigits();
    if (this.digits.length === 0) this.digitsTo = to;
    this.digits.push(digits);
  }

  writeDigits() {
    if (this.digits.length > 0) this.target.write(this.digits.join(''), this.digitsTo, 'hex');
    this.digits = [];
  }

  done() {
    this.copy(null, 0, 0, 0);
    this.writeDigits();
    return this.target;
  }
}

// Records are compared with times below the probe a whole step apart; those
// whose high word lies this far below the probe's pass without BigInts.
const SAFE_MARGIN = 2n ** 32n + 2000000000n;
const HIGH = BYTE_ORDER === 0x4c ? 1 : 0;

class Store {
  constructor(target, location, walksNodeModules, warn) {
    this.prefix = target.path.endsWith('/') ? target.path : `${target.path}/`;
    const realRoot = realPath(target.path);
    this.rootBytes = encodeName(realRoot);
    this.location = location || defaultLocation(realRoot, walksNodeModules);
    this.warn = warn;
    const loaded = readCache(this.location, this.rootBytes);
    if (loaded.problem) warn(`cache ${this.location} ignored (${loaded.problem}); hashing every file`);
    this.old = loaded.old;
    this.index = new Index(this.old);
    this.hex = null;
    this.identity = loaded.identity;
    try {
      this.probe = probeClock(this.location);
    } catch (err) {
      this.probe = null;
      warn(`cache ${this.location} cannot be written (${systemText(err)}); it stays as it is`);
    }
    // Per member (a file of this root, in the order the run met them): its
    // key, the old entry that answered it (-1: none), its position in the
    // run, and the list and slot of the metadata taken before it was read.
    this.keys = [];
    this.kept = [];
    this.positions = [];
    this.lists = [];
    this.slots = [];
    // Whether every member so far is the old entry of its number, and
    // whether each of those answered it.
    this.sameKeys = true;
    this.inOrder = true;
  }

  // The old digest of entry i, as hex: the whole block is turned at once.
  digest(i) {
    if (this.hex === null) this.hex = this.old.digests.toString('hex');
    return this.hex.slice(i * 64, i * 64 + 64);
  }

  /**
   * Adds a member whose metadata (taken before any read of it) is in `list`
   * at `slot`; returns the old entry that answers it, or -1.
   */
  add(key, position, list, slot, leftOut) {
    const m = this.keys.length;
    this.keys.push(key);
    this.positions.push(position);
    this.lists.push(list);
    this.slots.push(slot);
    let i = this.index.find(key);
    if (i !== m) this.sameKeys = false;
    if (i >= 0) {
      const at = slot * WORDS;
      if (list.errors[slot] !== 0 || list.records[slot * RECORD + KIND_AT] !== REGULAR) i = -1;
      else if (!sameWords(this.old.words, i * WORDS, list.words, at) || leftOut(list.words, at)) i = -1;
    }
    if (i !== m) this.inOrder = false;
    this.kept.push(i);
    return i;
  }

  // Whether a record's times lie a whole step of their file system before
  // the probe (see `trusted`); most do by far, and are told by their words.
  trustedAt(list, slot) {
    const w = list.words;
    const at = slot * WORDS;
    if (w[at + 6 + HIGH] < this.safeHigh && w[at + 8 + HIGH] < this.safeHigh) return true;
    return trusted(list.records.subarray(slot * RECORD, slot * RECORD + RECORD), this.probe);
  }

  /**
   * Writes the entries for the next run: what was kept, what was read
   * safely (`after`: the lists and slots of the metadata taken after the
   * read, by position), and what a concurrent run kept that agrees with
   * this run's metadata. Written whole beside the cache and renamed over
   * it: a reader sees the old file or the new one, never a part.
   */
  write(outcomes, after) {
    if (this.probe === null) return;
    const n = this.keys.length;
    if (this.inOrder && n === this.old.count) return; // the file as it is
    this.safeHigh = Number((this.probe - SAFE_MARGIN) >> 32n);
    const theirs = this.concurrent();
    const theirIndex = theirs && new Index(theirs);
    const records = new Copier(Buffer.allocUnsafe(n * RECORD));
    const digests = new Copier(Buffer.allocUnsafe(n * DIGEST));
    const keys = [];
    for (let m = 0; m < n; m++) {
      const list = this.lists[m];
      const slot = this.slots[m];
      const i = this.kept[m];
      const e = keys.length;
      if (i >= 0) {
        records.copy(this.old.records, i * RECORD, e * RECORD, RECORD);
        digests.copy(this.old.digests, i * DIGEST, e * DIGEST, DIGEST);
      } else {
        if (list.errors[slot] !== 0 || list.records[slot * RECORD + KIND_AT] !== REGULAR) continue;
        const position = this.positions[m];
        const digest = outcomes[position];
        const again = after.lists[position];
        const againSlot = after.slots[position];
        const readSafely =
          typeof digest === 'string' &&
          again !== undefined &&
          again.errors[againSlot] === 0 &&
          sameWords(list.words, slot * WORDS, again.words, againSlot * WORDS) &&
          this.trustedAt(list, slot);
        if (readSafely) {
          digests.hex(digest, e * DIGEST);
        } else {
          const t = theirIndex ? theirIndex.find(this.keys[m]) : -1;
          if (t < 0 || !sameWords(theirs.words, t * WORDS, list.words, slot * WORDS)) continue;
          digests.copy(theirs.digests, t * DIGEST, e * DIGEST, DIGEST);
        }
        records.copy(list.records, slot * RECORD, e * RECORD, RECORD);
      }
      keys.push(this.keys[m]);
    }
    // The same files as last time: their names' block as it was.
    const names = this.sameKeys && keys.length === this.old.count ? this.old.names : undefined;
    this.replace({ keys, records: records.done(), digests: digests.done(), names });
  }

  /**
   * Writes the entries a native walk returned for the next run ({ names,
   * records, digests, count, unchanged }), unless they are the file's own.
   */
  writeEntries(entries) {
    if (this.probe === null || entries.unchanged) return;
    this.replace(entries);
  }

  // Written whole beside the cache and renamed over it.
  replace(entries) {
    const file = temporaryName(this.location);
    try {
      fs.writeFileSync(file, encode(this.rootBytes, entries), { flag: 'wx' });
      fs.renameSync(file, this.location);
    } catch (err) {
      this.warn(`cache ${this.location} not written (${systemText(err)})`);
      fs.rmSync(file, { force: true });
    }
  }

  // What a run that wrote the cache meanwhile kept, so that both runs' work
  // survives; null when nobody did.
  concurrent() {
    if (identityOf(this.location) === this.identity) return null;
    const { old } = readCache(this.location, this.rootBytes);
    return old.count === 0 ? null : old;
  }
}

// Whether a record's device and inode are among `identities` ([dev, ino]):
// compared as the words the record holds them in.
function leftOutBy(identities) {
  if (identities.length === 0) return () => false;
  const words = new Int32Array(new BigUint64Array(identities.flatMap(([dev, ino]) => [BigInt(dev), BigInt(ino)])).buffer);
  return (record, at) => {
    for (let k = 0; k < words.length; k += 4) {
      if (record[at] === words[k] && record[at + 1] === words[k + 1] && record[at + 2] === words[k + 2] && record[at + 3] === words[k + 3]) return true;
    }
    return false;
  };
}

let native = null;
// The metadata of `paths` (never empty) as { records, words, errors }. A run
// that ends early leaves some unawaited: their failures are not its own.
function statFiles(paths) {
  if (native === null) native = require('../native/extensions.js').load();
  const metadata = native.statFiles(paths.join('\0')).then(({ records, errors }) => ({
    records: Buffer.from(records.buffer, records.byteOffset, records.length),
    words: new Int32Array(records.buffer, records.byteOffset, records.length / 4),
    errors,
  }));
  metadata.catch(() => {});
  return metadata;
}

// Lists of files whose metadata is asked for at once, as the hashing's.
const FIRST_LIST = 128;
const LIST_SIZE = 2048;
const LISTS_IN_FLIGHT = 4;
const NO_LIST = Promise.resolve(null);

/**
 * A cached run: files are added in walk order; their metadata is queried a
 * list at a time while the walk goes on, and each list, once back, hands the
 * pipeline ({ add(path), addKnown(digest), added, full, drain() }) the
 * digests the cache answers and the paths it does not. A file's metadata is
 * always taken before the pipeline gets it, and every probe of the clock
 * before the first query. `hashed(positions, outcomes)` hears of each
 * list the pipeline hashed, whose metadata is then taken again; `finish`
 * writes the caches.
 */
class CachedRun {
  constructor(stores, pipeline, leaveOut, warnings) {
    this.stores = stores;
    this.pipeline = pipeline;
    this.leftOut = leftOutBy(leaveOut);
    this.warnings = warnings;
    this.hits = 0;
    this.added = 0;
    this.paths = [];
    this.owners = [];
    this.queued = [];
    // Per position: the path of a file a store waits to hear about.
    this.reading = [];
    this.afterQueries = [];
    this.error = null;
  }

  // The store a file belongs to: the first root it lies under. Names that
  // are not text cannot be queried and are simply hashed.
  ownerOf(fsPath) {
    for (const store of this.stores) if (fsPath.startsWith(store.prefix)) return fsPath.isWellFormed() ? store : null;
    return null;
  }

  add(fsPath) {
    this.paths.push(fsPath);
    this.owners.push(this.ownerOf(fsPath));
    if (this.paths.length >= (++this.added <= LIST_SIZE ? FIRST_LIST : LIST_SIZE)) this.flush();
  }

  flush() {
    if (this.paths.length === 0) return;
    const { paths, owners } = this;
    this.paths = [];
    this.owners = [];
    const asked = [];
    for (let i = 0; i < paths.length; i++) if (owners[i] !== null) asked.push(paths[i]);
    this.queued.push({ paths, owners, metadata: asked.length > 0 ? statFiles(asked) : NO_LIST });
  }

  get full() {
    return this.queued.length >= LISTS_IN_FLIGHT;
  }

  async drain() {
    while (this.queued.length >= LISTS_IN_FLIGHT) await this.settle(this.queued.shift());
  }

  async settle({ paths, owners, metadata }) {
    const list = await metadata.catch((err) => {
      throw (this.error = err);
    });
    const { pipeline } = this;
    let slot = 0;
    for (let i = 0; i < paths.length; i++) {
      const store = owners[i];
      if (pipeline.full) await pipeline.drain();
      if (store === null) {
        pipeline.add(paths[i]);
        continue;
      }
      const position = pipeline.added;
      const kept = store.add(paths[i].slice(store.prefix.length), position, list, slot++, this.leftOut);
      if (kept >= 0) {
        pipeline.addKnown(store.digest(kept));
        this.hits++;
      } else {
        this.reading[position] = paths[i];
        pipeline.add(paths[i]);
      }
    }
  }

  // Every file added so far goes to the pipeline.
  async end() {
    this.flush();
    while (this.queued.length > 0) await this.settle(this.queued.shift());
  }

  hashed(positions, outcomes) {
    const paths = [];
    const taken = [];
    for (let i = 0; i < positions.length; i++) {
      const path = this.reading[positions[i]];
      if (path !== undefined && typeof outcomes[i] === 'string') {
        paths.push(path);
        taken.push(positions[i]);
      }
    }
    if (paths.length === 0) return;
    const query = statFiles(paths).then((list) => ({ list, taken }));
    query.catch(() => {});
    this.afterQueries.push(query);
  }

  // A file's metadata moved while it was read: hashed, but not kept.
  async finish(outcomes) {
    const after = { lists: [], slots: [] };
    for (const { list, taken } of await Promise.all(this.afterQueries)) {
      taken.forEach((position, slot) => {
        after.lists[position] = list;
        after.slots[position] = slot;
      });
    }
    for (const store of this.stores) store.write(outcomes, after);
  }
}

/**
 * Starts a cached run of `targets` feeding `pipeline`, or returns null when
 * there is no cache. `option`: false, or { location } (null for the default
 * one); `leaveOut`: identities ([dev, ino]) the hashing leaves out, never
 * answered from the cache. Only directory targets have a cache, each its
 * own; with a location named, the first one alone.
 */
function open(option, targets, pipeline, { all = false, leaveOut = [] } = {}) {
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
  return new CachedRun(stores, pipeline, leaveOut, warnings);
}

/**
 * The cache of one directory target for a native walk: `known`, the old
 * entries and the clock for walkTree (null when the cache cannot be used at
 * all), the warnings so far, and `finish(entries)` to write what the walk
 * returned for the next run.
 */
function openForWalk(option, target, { all = false } = {}) {
  const warnings = [];
  const warn = (text) => warnings.push(text);
  let store;
  try {
    store = new Store(target, option.location, all, warn);
  } catch (err) {
    warn(`cache for ${target.path} not used (${systemText(err)})`);
    return { known: null, warnings, finish() {} };
  }
  const { old } = store;
  return {
    known: { names: old.names, records: old.records, digests: old.digests, count: old.count, probe: store.probe },
    warnings,
    finish: (entries) => store.writeEntries(entries),
  };
}

module.exports = { open, openForWalk, defaultLocation, encode, decode, rootBytesOf, trusted, RECORD };
