'use strict';
// Hashing whole trees for programs: the walk and the batches run in a worker
// thread, so the caller's event loop stays free; cancellable with an
// AbortSignal and reporting progress on the way.

const nodePath = require('node:path');
const { Worker } = require('node:worker_threads');
const { threadVariableProblem } = require('./environment');
const { encodeName } = require('./names');

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

// `cache`: true for the default location, a file name, or false.
function cacheOption(value) {
  if (value === false || value === undefined) return false;
  if (value === true) return { location: null };
  if (typeof value === 'string' && value !== '') return { location: value };
  throw new TypeError('The "cache" option must be a boolean or a file name');
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
  const { exclude, gitignore = false, follow = false, all = false, excludeFiles, signal, onProgress, cache = false } = options;
  const job = {
    kind: 'hash',
    targets: [{ path: root, display: '', required: true }],
    options: {
      exclude: list(exclude, 'exclude'),
      excludeFiles: list(excludeFiles, 'excludeFiles'),
      gitignore: Boolean(gitignore),
      follow: Boolean(follow),
      all: Boolean(all),
      cache: cacheOption(cache),
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

module.exports = { hashTree, checkTree, pathBytes: encodeName, runJob, cacheOption };
