'use strict';
// The tree jobs, run in a worker thread so that the caller's event loop stays
// free while batches are hashed. The thread loads the native module itself.

const fs = require('node:fs');
const nodePath = require('node:path');
const { parentPort, workerData } = require('node:worker_threads');
const { fsName } = require('./names');
const { systemText } = require('./errors');
const { walkDirectory, leaveOutSet } = require('./walk');
const { hashFiles, rootOf, sortByBytes } = require('./hash');
const cache = require('./cache');

const progress = (phase, files, hashed) => parentPort.postMessage({ type: 'progress', phase, files, hashed });

// An error that ends the job, with a code like the file system's own.
function jobError(path, err) {
  return Object.assign(new Error(`${path}: ${systemText(err)}`), { code: err.code });
}

/**
 * targets: [{ path, display, required }]. A directory's files are listed
 * below `display`; a file target is listed as `display`. A required target
 * that cannot be read ends the job; any other is skipped as a failure.
 */
async function hashJob({ targets, options }) {
  const skipped = [];
  const skip = (path, reason, failed) => skipped.push({ path, reason, failed });
  const walkOptions = { ...options, leaveOut: leaveOutSet(options.excludeFiles || []) };
  let files = [];
  for (const target of targets) {
    let st;
    try {
      st = fs.statSync(fsName(target.path));
    } catch (err) {
      if (target.required) throw jobError(target.path, err);
      skip(target.display, systemText(err), true);
      continue;
    }
    if (st.isFile()) {
      // A file listed relative to itself goes by its own name.
      files.push({ fsPath: target.path, display: target.display || nodePath.basename(target.path) });
    } else if (st.isDirectory()) {
      let found;
      try {
        found = walkDirectory(target, walkOptions, skip, (n) => progress('scanning', files.length + n, 0));
      } catch (err) {
        if (target.required) throw jobError(target.path, err);
        skip(target.display, systemText(err), true);
        continue;
      }
      files = files.concat(sortByBytes(found, (f) => f.display));
    } else if (target.required) {
      throw Object.assign(new Error(`${target.path}: not a regular file or directory`), { code: 'EINVAL' });
    } else {
      skip(target.display, 'not a regular file', false);
    }
  }
  progress('hashing', files.length, 0);
  // The content cache (cache.js) answers files whose metadata did not move.
  const cached = cache.begin(options.cache, targets, files, options);
  const hashed = await hashFiles(cached ? cached.pending : files, { onProgress: (done, total) => progress('hashing', total, done) });
  const outcomes = cached ? cached.finish(hashed) : hashed;
  const entries = [];
  outcomes.forEach(({ digest, reason }, i) => {
    if (digest !== undefined) entries.push([files[i].display, digest]);
    else skip(files[i].display, reason, true);
  });
  const result = { manifest: entries, root: rootOf(entries), skipped };
  if (cached) result.cache = { reused: cached.hits, warnings: cached.warnings };
  return result;
}

// Entries' paths are read relative to `root`, absolute ones as they are.
async function checkJob({ entries, root }) {
  const files = entries.map(([path]) => ({
    fsPath: nodePath.isAbsolute(path) ? path : nodePath.join(root, path),
    display: path,
  }));
  progress('hashing', files.length, 0);
  const outcomes = await hashFiles(files, { onProgress: (done, total) => progress('hashing', total, done) });
  return outcomes.map(({ digest, reason }, i) => {
    const path = entries[i][0];
    if (digest === undefined) return { path, status: 'unreadable', reason };
    return { path, status: digest === String(entries[i][1]).toLowerCase() ? 'ok' : 'failed' };
  });
}

const JOBS = { hash: hashJob, check: checkJob };

JOBS[workerData.kind](workerData).then(
  (result) => parentPort.postMessage({ type: 'done', result }),
  (err) => parentPort.postMessage({ type: 'error', message: String(err.message), code: err.code }),
);
