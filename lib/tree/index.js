'use strict';
// Hashing whole trees for programs: the walk and the batches run in a worker
// thread, so the caller's event loop stays free; cancellable with an
// AbortSignal and reporting progress on the way.

const nodePath = require('node:path');
const { Worker } = require('node:worker_threads');
const { threadVariableProblem } = require('./environment');
const { encodeName, decodeName, joinAsWritten, joinNames } = require('./names');
const { Listing } = require('./listing');
const engine = require('./engine');
const text = require('./text');
// hash.js loads the native module, which ends the process on a bad
// worker-count variable: loaded on first use, after that check.
const hash = () => require('./hash');

const WORKER = nodePath.join(__dirname, 'worker.js');

function abortReason(signal) {
  return signal.reason ?? Object.assign(new Error('This operation was aborted'), { name: 'AbortError', code: 'ABORT_ERR' });
}

const STATUS = { o: 'ok', f: 'failed', u: 'unreadable' };

// Long lists cross between threads as joined strings, many times faster
// than as arrays of arrays. No path holds a NUL; a digest that does cannot
// match anyway, and is kept from splitting the list.
function pack(job) {
  if (job.kind !== 'check') return job;
  return { kind: 'check', root: job.root, count: job.names.length, paths: job.names.join('\0'), digests: job.digests.join('\0') };
}

// The worker's results come packed (see worker.js).
function unpack(job, result) {
  if (job.kind === 'check') return { statuses: result.statuses, reasons: new Map(result.reasons) };
  const { paths, digests, count, root, skipped, cache } = result;
  const names = count === 0 ? [] : paths.split('\0');
  const manifest = new Array(count);
  for (let i = 0; i < count; i++) manifest[i] = [names[i], digests.slice(i * 64, i * 64 + 64)];
  return cache ? { manifest, root, skipped, cache } : { manifest, root, skipped };
}

// Why a job cannot start: the signal's reason once aborted, or a bad
// worker-count variable (checked before the native module loads, which
// would end the process on it); null when it can.
function startProblem(signal) {
  if (signal?.aborted) return abortReason(signal);
  const problem = threadVariableProblem();
  return problem === null ? null : Object.assign(new Error(problem), { code: 'ERR_INVALID_ENV' });
}

// Runs one job in a fresh worker; resolves to the job's result. A progress
// callback that throws ends the job: the promise rejects with what it threw.
function runJob(job, { signal, onProgress } = {}) {
  return new Promise((resolve, reject) => {
    const problem = startProblem(signal);
    if (problem !== null) return reject(problem);
    const worker = new Worker(WORKER, { workerData: pack(job) });
    let settled = false;
    const finish = (fn, value) => {
      if (settled) return;
      settled = true;
      signal?.removeEventListener('abort', onAbort);
      fn(value);
    };
    const onAbort = () => {
      finish(reject, abortReason(signal));
      worker.terminate();
    };
    signal?.addEventListener('abort', onAbort, { once: true });
    worker.on('message', (message) => {
      if (message.type === 'progress') {
        if (!onProgress || settled) return;
        const { type, ...event } = message;
        try {
          onProgress(event);
        } catch (err) {
          finish(reject, err);
          worker.terminate();
        }
      } else if (message.type === 'done') {
        finish(resolve, unpack(job, message.result));
      } else {
        finish(reject, Object.assign(new Error(message.message), { code: message.code }));
      }
    });
    worker.on('error', (err) => finish(reject, err));
    worker.on('exit', (code) => finish(reject, new Error(`the tree worker stopped early (exit code ${code})`)));
  });
}

function list(value, name) {
  if (value === undefined) return [];
  const items = typeof value === 'string' ? [value] : value;
  if (!Array.isArray(items) || !items.every((x) => typeof x === 'string')) {
    throw new TypeError(`The "${name}" option must be a string or an array of strings`);
  }
  return items;
}

// `cache`: true for the default location, a file name, or false.
function cacheOption(value) {
  if (value === false || value === undefined) return false;
  if (value === true) return { location: null };
  if (typeof value === 'string' && value !== '') return { location: value };
  throw new TypeError('The "cache" option must be a boolean or a file name');
}

// Files to leave out by identity: paths, or { dev, ino } as fs.stat gives
// them (numbers or bigints), for a file that has no path to name it by.
function identities(value) {
  if (value === undefined) return [];
  const items = typeof value === 'string' ? [value] : value;
  const fits = (x) =>
    typeof x === 'string' ||
    (x !== null && typeof x === 'object' && ['dev', 'ino'].every((k) => typeof x[k] === 'bigint' || Number.isSafeInteger(x[k])));
  if (!Array.isArray(items) || !items.every(fits)) {
    throw new TypeError('The "excludeFiles" option must be an array of paths or { dev, ino } objects');
  }
  return items.map((x) => (typeof x === 'string' ? x : { dev: String(x.dev), ino: String(x.ino) }));
}

function walkOptions(options) {
  const { exclude, gitignore = false, follow = false, all = false, excludeFiles, cache = false } = options;
  return {
    exclude: list(exclude, 'exclude'),
    excludeFiles: identities(excludeFiles),
    gitignore: Boolean(gitignore),
    follow: Boolean(follow),
    all: Boolean(all),
    cache: cacheOption(cache),
  };
}

function checkRoot(root) {
  if (typeof root !== 'string' || root === '') throw new TypeError('The "root" argument must be a non-empty string');
}

/**
 * Hashes every file under `root` and resolves to { manifest, root, skipped }:
 * [path, digest] entries with paths relative to `root` in byte order, their
 * merkle root, and what was left out ({ path, reason, failed }).
 */
async function hashTree(root, options = {}) {
  checkRoot(root);
  return hashTargets([{ path: root, display: '', required: true }], options);
}

/**
 * hashTree over several targets ({ path, display, required }): a directory's
 * files are listed below `display`, a file as `display` (its own name when
 * that is ''). A required target that cannot be read rejects; any other is
 * skipped as a failure. Each target's files are sorted by path, targets in
 * the order given. With `text: true` the entries come as `text` instead of
 * `manifest`: a Buffer of the manifest's lines as sha256sum prints them and
 * the root line, for writing out as it is.
 */
async function hashTargets(targets, options = {}) {
  if (!Array.isArray(targets) || targets.length === 0) throw new TypeError('The "targets" argument must be a non-empty array');
  const checked = targets.map((t, i) => {
    if (t === null || typeof t !== 'object' || typeof t.path !== 'string' || t.path === '' || typeof (t.display ?? '') !== 'string') {
      throw new TypeError(`target ${i} must be { path, display, required }`);
    }
    return { path: t.path, display: t.display ?? '', required: Boolean(t.required) };
  });
  const { signal, onProgress } = options;
  const job = { kind: 'hash', targets: checked, options: walkOptions(options) };
  const asText = Boolean(options.text);
  const problem = startProblem(signal);
  if (problem !== null) throw problem;
  let result;
  if (engine.handles(job.options, checked)) {
    const packed = await engine.hashNatively(checked, job.options, { signal, onProgress, asText });
    if (packed.text) {
      const { text: lines, root, skipped, cache } = packed;
      return cache ? { text: lines, root, skipped, cache } : { text: lines, root, skipped };
    }
    result = unpack(job, packed);
  } else {
    result = await runJob(job, { signal, onProgress });
  }
  if (!asText) return result;
  const { manifest, ...rest } = result;
  return { text: encodeName(text.manifestText(manifest, result.root)), ...rest };
}

/**
 * Verifies manifest entries against the files under `root` (paths relative
 * to it, absolute ones as they are). Resolves to { ok, results }, one result
 * per entry: { path, status: 'ok' | 'failed' | 'unreadable', reason? }.
 */
async function checkTree(manifest, root = '.', options = {}) {
  checkRoot(root);
  if (!Array.isArray(manifest)) throw new TypeError('The "manifest" argument must be an array of [path, digest] entries');
  // Taken in one pass, so that a caller changing the array meanwhile
  // changes nothing here.
  const count = manifest.length;
  const names = new Array(count);
  const digests = new Array(count);
  for (let i = 0; i < count; i++) {
    const entry = manifest[i];
    if (!Array.isArray(entry) || typeof entry[0] !== 'string' || typeof entry[1] !== 'string') {
      throw new TypeError(`manifest entry ${i} is not a [path, digest] array of strings`);
    }
    names[i] = entry[0];
    digests[i] = entry[1].includes('\0') ? entry[1].replaceAll('\0', '\n') : entry[1];
  }
  const problem = startProblem(options.signal);
  if (problem !== null) throw problem;
  const { statuses, reasons } = await checkNames(names, digests, root, options);
  const results = names.map((path, i) => {
    const status = STATUS[statuses[i]];
    return status === 'unreadable' ? { path, status, reason: reasons.get(i) } : { path, status };
  });
  return { ok: results.every((r) => r.status === 'ok'), results };
}

// A name holding a NUL names no file (the system would read it cut short).
const NUL_IN_PATH = 'the path holds a NUL character';

// checkTree's work for names and digests (NUL-free) as arrays: resolves to
// { statuses, reasons }, a letter per entry (o, f, u) and a Map of the
// unreadable ones' reasons by index.
async function checkNames(names, digests, root, options) {
  const held = [];
  names.forEach((name, i) => name.includes('\0') && held.push(i));
  if (held.length > 0) return checkAround(held, names, digests, root, options);
  if (!engine.available()) return runJob({ kind: 'check', names, digests, root }, options);
  const paths = names.map((name) => joinAsWritten(root, name));
  return unpack({ kind: 'check' }, await engine.checkNatively(joinNames(paths), digests.join('\0'), names.length, options));
}

// The entries whose names hold a NUL are unreadable; the rest are checked.
async function checkAround(held, names, digests, root, options) {
  const skip = new Set(held);
  const keep = names.flatMap((_, i) => (skip.has(i) ? [] : [i]));
  const rest = await checkNames(keep.map((i) => names[i]), keep.map((i) => digests[i]), root, options);
  const statuses = Array.from(names, () => 'u');
  const reasons = new Map(held.map((i) => [i, NUL_IN_PATH]));
  keep.forEach((i, k) => {
    statuses[i] = rest.statuses[k];
    if (rest.reasons.has(k)) reasons.set(i, rest.reasons.get(k));
  });
  return { statuses: statuses.join(''), reasons };
}

/**
 * checkTree for the entries of a Listing (listing.js), without an array per
 * entry: resolves to { statuses, reasons } as checkNames does, by index.
 */
async function checkListing(listing, root = '.', options = {}) {
  checkRoot(root);
  const problem = startProblem(options.signal);
  if (problem !== null) throw problem;
  const joined = root === '.' && engine.available() ? listing.joinedNames() : null;
  if (joined === null) {
    const entries = listing.entries();
    return checkNames(entries.map((e) => e[0]), entries.map((e) => e[1]), root, options);
  }
  return unpack({ kind: 'check' }, await engine.checkNatively(joined, listing.digests(), listing.count, options));
}

module.exports = {
  hashTree,
  checkTree,
  checkListing,
  listingRoot: (listing) => hash().rootOfListing(listing),
  Listing,
  hashTargets,
  manifestRoot: (entries) => hash().manifestRoot(entries),
  sortByPath: (items, key) => hash().sortByBytes(items, key),
  compareBytes: (a, b) => hash().compareBytes(a, b),
  pathBytes: encodeName,
  pathFromBytes: decodeName,
  runJob,
  ROOT_PREFIX: text.ROOT_PREFIX,
  escapePath: text.escapePath,
  pathLine: text.pathLine,
  manifestText: text.manifestText,
};
