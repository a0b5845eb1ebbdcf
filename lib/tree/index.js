'use strict';
// Hashing whole trees for programs: the walk and the batches run in a worker
// thread, so the caller's event loop stays free; cancellable with an
// AbortSignal and reporting progress on the way.

const nodePath = require('node:path');
const { Worker } = require('node:worker_threads');
const { threadVariableProblem } = require('./environment');
const { encodeName, decodeName } = require('./names');
// hash.js loads the native module, which ends the process on a bad
// worker-count variable: loaded on first use, after that check.
const hash = () => require('./hash');

const WORKER = nodePath.join(__dirname, 'worker.js');

function abortReason(signal) {
  return signal.reason ?? Object.assign(new Error('This operation was aborted'), { name: 'AbortError', code: 'ABORT_ERR' });
}

// Runs one job in a fresh worker; resolves to the job's result.
function runJob(job, { signal, onProgress } = {}) {
  return new Promise((resolve, reject) => {
    if (signal?.aborted) return reject(abortReason(signal));
    const problem = threadVariableProblem();
    if (problem !== null) return reject(Object.assign(new Error(problem), { code: 'ERR_INVALID_ENV' }));
    const worker = new Worker(WORKER, { workerData: job });
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
        if (onProgress && !settled) onProgress({ phase: message.phase, files: message.files, hashed: message.hashed });
      } else if (message.type === 'done') {
        finish(resolve, message.result);
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
  const { exclude, gitignore = false, follow = false, all = false, excludeFiles, signal, onProgress } = options;
  const job = {
    kind: 'hash',
    targets: [{ path: root, display: '', required: true }],
    options: {
      exclude: list(exclude, 'exclude'),
      excludeFiles: list(excludeFiles, 'excludeFiles'),
      gitignore: Boolean(gitignore),
      follow: Boolean(follow),
      all: Boolean(all),
    },
  };
  return runJob(job, { signal, onProgress });
}

/**
 * Verifies manifest entries against the files under `root` (paths relative
 * to it, absolute ones as they are). Resolves to { ok, results }, one result
 * per entry: { path, status: 'ok' | 'failed' | 'unreadable', reason? }.
 */
async function checkTree(manifest, root = '.', options = {}) {
  checkRoot(root);
  if (!Array.isArray(manifest)) throw new TypeError('The "manifest" argument must be an array of [path, digest] entries');
  const entries = manifest.map((entry, i) => {
    if (!Array.isArray(entry) || typeof entry[0] !== 'string' || typeof entry[1] !== 'string') {
      throw new TypeError(`manifest entry ${i} is not a [path, digest] array of strings`);
    }
    return [entry[0], entry[1]];
  });
  const results = await runJob({ kind: 'check', entries, root }, options);
  return { ok: results.every((r) => r.status === 'ok'), results };
}

/**
 * Hashes targets [{ path, display, required }] as hashTree hashes its root:
 * a directory's files are listed below `display`, a file as `display`; a
 * required target that cannot be read rejects. Resolves to { manifest, root,
 * skipped }. `excludeFiles` may hold paths or { dev, ino } identities.
 */
function hashTargets(targets, options = {}) {
  const { signal, onProgress, ...walk } = options;
  return runJob({ kind: 'hash', targets, options: walk }, { signal, onProgress });
}

module.exports = {
  hashTree,
  checkTree,
  hashTargets,
  manifestRoot: (entries) => hash().rootOf(entries),
  sortByPath: (items, key) => hash().sortByBytes(items, key),
  compareBytes: (a, b) => hash().compareBytes(a, b),
  pathBytes: encodeName,
  pathFromBytes: decodeName,
  runJob,
};
