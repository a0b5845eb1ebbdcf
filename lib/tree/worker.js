'use strict';
// The tree jobs, run in a worker thread so that the caller's event loop stays
// free. The walk runs here and hands each file to the hash pipeline as it is
// found; the hashing itself runs on the native pool, so the two overlap.

const fs = require('node:fs');
const nodePath = require('node:path');
const { parentPort, workerData } = require('node:worker_threads');
const { fsName, joinAsWritten } = require('./names');
const { systemText } = require('./errors');
const { walkFiles } = require('./walk');
const { HashPipeline, identitiesOf, rootOf, rootOfSorted, sortByBytes } = require('./hash');
const cache = require('./cache');

function progress(phase, files, pipeline) {
  const message = { type: 'progress', phase, files, hashed: pipeline.hashed, bytes: pipeline.bytes };
  if (phase === 'hashing' && pipeline.hashed === files) message.totalBytes = pipeline.bytes;
  parentPort.postMessage(message);
}

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
  // The files in the order they were handed to the pipeline, and the runs
  // of them that are sorted by path at the end (one per target).
  const displays = [];
  const runs = [];
  let walking = true;
  const leaveOut = identitiesOf(options.excludeFiles || []);
  const pipeline = new HashPipeline({
    leaveOut,
    onList: (positions, outcomes) => {
      if (cached) cached.hashed(positions, outcomes);
      progress(walking ? 'scanning' : 'hashing', displays.length, pipeline);
    },
  });
  // With a cache, files go to the pipeline through it, a list at a time
  // once their metadata is back.
  const cached = cache.open(options.cache, targets, pipeline, { all: options.all, leaveOut });
  const feed = cached || pipeline;
  const add = (fsPath) => feed.add(fsPath);
  for (const target of targets) {
    let st;
    try {
      st = fs.statSync(fsName(target.path));
    } catch (err) {
      if (target.required) throw jobError(target.path, err);
      skip(target.display, systemText(err), true);
      continue;
    }
    const start = displays.length;
    if (st.isFile()) {
      // A file listed relative to itself goes by its own name.
      displays.push(target.display || nodePath.basename(target.path));
      add(target.path);
    } else if (st.isDirectory()) {
      try {
        for (const { fsPath, display } of walkFiles(target, options, skip)) {
          displays.push(display);
          add(fsPath);
          if (feed.full) await feed.drain();
          if ((displays.length & 1023) === 0) progress('scanning', displays.length, pipeline);
        }
      } catch (err) {
        // A list that failed as a whole ends the job. Otherwise only the
        // target's own listing throws, before any file is found.
        if (err === pipeline.error || err === cached?.error) throw err;
        if (target.required) throw jobError(target.path, err);
        skip(target.display, systemText(err), true);
        continue;
      }
    } else if (target.required) {
      throw Object.assign(new Error(`${target.path}: not a regular file or directory`), { code: 'EINVAL' });
    } else {
      skip(target.display, 'not a regular file', false);
      continue;
    }
    runs.push({ start, end: displays.length });
  }
  walking = false;
  if (cached) await cached.end();
  progress('hashing', displays.length, pipeline);
  const outcomes = await pipeline.finish();
  progress('hashing', displays.length, pipeline);
  if (cached) await cached.finish(outcomes);

  const names = [];
  const digests = [];
  for (const { start, end } of runs) {
    const order = [];
    for (let i = start; i < end; i++) order.push(i);
    sortByBytes(order, (i) => displays[i]);
    for (const i of order) {
      const outcome = outcomes[i];
      if (typeof outcome === 'string') {
        names.push(displays[i]);
        digests.push(outcome);
      } else if (outcome !== null) {
        skip(displays[i], outcome.reason, true);
      }
    }
  }
  // Two strings cross to the caller's thread many times faster than the
  // entries as arrays (index.js takes them apart). No name holds a NUL.
  const result = {
    paths: names.join('\0'),
    digests: digests.join(''),
    count: names.length,
    // One target's entries are sorted already; several are merged by path.
    root: runs.length <= 1 ? rootOfSorted(names, digests) : rootOf(names.map((name, i) => [name, digests[i]])),
    skipped,
  };
  if (cached) result.cache = { reused: cached.hits, warnings: cached.warnings };
  return result;
}

async function checkJob({ count, paths: joined, digests: joinedDigests, root }) {
  const paths = count === 0 ? [] : joined.split('\0');
  const digests = count === 0 ? [] : joinedDigests.split('\0');
  const pipeline = new HashPipeline({ onList: () => progress('hashing', paths.length, pipeline) });
  progress('hashing', paths.length, pipeline);
  for (const path of paths) {
    pipeline.add(joinAsWritten(root, path));
    if (pipeline.full) await pipeline.drain();
  }
  const outcomes = await pipeline.finish();
  // One letter per entry (ok, failed, unreadable) and the reasons by index,
  // for the caller's thread to spell out against its own entries.
  const reasons = [];
  let statuses = '';
  outcomes.forEach((outcome, i) => {
    if (typeof outcome !== 'string') {
      statuses += 'u';
      reasons.push([i, outcome.reason]);
    } else {
      statuses += outcome === digests[i].toLowerCase() ? 'o' : 'f';
    }
  });
  return { statuses, reasons };
}

const JOBS = { hash: hashJob, check: checkJob };

JOBS[workerData.kind](workerData).then(
  (result) => parentPort.postMessage({ type: 'done', result }),
  (err) => parentPort.postMessage({ type: 'error', message: String(err.message), code: err.code }),
);
