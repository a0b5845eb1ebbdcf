'use strict';
// Hashing targets without a worker thread where the native side walks the
// directories itself: the walk and the hashing run off this thread, in one
// pass, and the result comes back sorted and in one piece. Rules that only
// the ignore package can apply (`exclude`, `gitignore`) and the content
// cache still take the worker's way (index.js).

const fs = require('node:fs');
const os = require('node:os');
const nodePath = require('node:path');
const { decodeName, encodeName, fsName } = require('./names');
const { identitiesOf, rootOf, rootOfSorted } = require('./hash');
const { ROOT_PREFIX } = require('./text');

const extensions = () => require('../native/extensions.js').load();

const CODES = new Map(Object.entries(os.constants.errno).map(([name, number]) => [number, name]));
const PROGRESS_EVERY_MS = 50;

/** Whether hashTargets can run here for these walk options. */
function handles(options) {
  if (options.exclude.length > 0 || options.gitignore || options.cache) return false;
  try {
    const native = extensions();
    return typeof native.canWalk === 'function' && native.canWalk();
  } catch {
    return false;
  }
}

const textOf = (name) => (typeof name === 'string' ? name : decodeName(name));

function splitNames(paths, count) {
  if (count === 0) return [];
  if (typeof paths === 'string') return paths.split('\0');
  const names = [];
  let start = 0;
  for (let end = paths.indexOf(0); end !== -1; start = end + 1, end = paths.indexOf(0, start)) {
    names.push(decodeName(paths.subarray(start, end)));
  }
  names.push(decodeName(paths.subarray(start)));
  return names;
}

// An error that ends the job, with a code like the file system's own.
function jobError(path, text, code) {
  return Object.assign(new Error(`${path}: ${text}`), { code });
}

/**
 * Runs one walk to its end, reporting progress through `report`; resolves
 * to what walkTree resolves to. `stop(reason)` set by the caller rejects
 * with the reason and cancels the walk.
 */
function walkOne(native, target, options, leaveOut, control, trailer) {
  const [promise, handle] = native.walkTree(fsName(target.path), encodeName(target.display), options.all, options.follow, leaveOut, trailer);
  control.cancel = () => native.walkCancel(handle);
  control.progress = () => native.walkProgress(handle);
  return promise.finally(() => {
    control.cancel = null;
    control.progress = null;
  });
}

/**
 * hashTargets (index.js) for options that `handles` accepts. Resolves to
 * the result the worker's job gives ({ paths, digests, count, root, skipped }),
 * or with `asText` for a single directory, to { text, count, root, skipped }
 * (see walkTree).
 */
async function hashNatively(targets, options, { signal, onProgress, asText = false }) {
  const native = extensions();
  const leaveOut = identitiesOf(options.excludeFiles);
  const skipped = [];
  const failures = [];
  const names = [];
  const digestParts = [];
  const totals = { files: 0, hashed: 0, bytes: 0 };
  const control = { cancel: null, progress: null };
  let stopped = null;

  // Progress: the counters of the walk under way added to those done.
  const emit = (final) => {
    if (stopped) return;
    let [files, hashed, bytes, walking] = control.progress ? control.progress() : [0, 0, 0, 0];
    files += totals.files;
    hashed += totals.hashed;
    bytes += totals.bytes;
    // Until a walk has reported, the files are still being found.
    const scanning = !final && (control.progress ? walking : files === 0);
    const event = { phase: scanning ? 'scanning' : 'hashing', files, hashed, bytes };
    if (final) event.totalBytes = bytes;
    try {
      onProgress(event);
    } catch (err) {
      stop(err);
    }
  };
  let stop;
  const stopping = new Promise((_, reject) => {
    stop = (reason) => {
      if (stopped) return;
      stopped = { reason };
      control.cancel?.();
      reject(reason);
    };
  });
  stopping.catch(() => {});
  const onAbort = () => stop(signal.reason);
  signal?.addEventListener('abort', onAbort, { once: true });
  const timer = onProgress ? setInterval(() => emit(false), PROGRESS_EVERY_MS) : null;
  try {
    if (onProgress) emit(false);
    let runs = 0;
    for (const target of targets) {
      if (stopped) throw stopped.reason;
      let st;
      try {
        st = await Promise.race([fs.promises.stat(fsName(target.path)), stopping]);
      } catch (err) {
        if (stopped) throw stopped.reason;
        const text = require('./errors').systemText(err);
        if (target.required) throw jobError(target.path, text, err.code);
        skipped.push({ path: target.display, reason: text, failed: true });
        continue;
      }
      if (st.isFile()) {
        const display = target.display || nodePath.basename(target.path);
        const { outcomes, bytes } = await Promise.race([native.hashFiles([fsName(target.path)], leaveOut), stopping]);
        totals.files++;
        totals.hashed++;
        totals.bytes += bytes;
        runs++;
        const [outcome] = outcomes;
        if (typeof outcome === 'string') {
          names.push(display);
          digestParts.push(outcome);
        } else if (outcome !== null) {
          failures.push({ path: display, reason: outcome.reason, failed: true });
        }
      } else if (st.isDirectory()) {
        const trailer = asText && targets.length === 1 ? ROOT_PREFIX : undefined;
        const result = await Promise.race([walkOne(native, target, options, leaveOut, control, trailer), stopping]);
        if (result.rootError !== undefined) {
          if (target.required) throw jobError(target.path, result.rootError, CODES.get(result.errno));
          skipped.push({ path: target.display, reason: result.rootError, failed: true });
          continue;
        }
        runs++;
        totals.files += result.found;
        totals.hashed += result.found;
        totals.bytes += result.bytes;
        for (let i = 0; i < result.skipped.length; i++) {
          const [path, reason, failed] = result.skipped[i];
          (i < result.walkSkips ? skipped : failures).push({ path: textOf(path), reason, failed });
        }
        if (result.text) return finish({ text: result.text, count: result.count, root: result.root, skipped });
        const found = splitNames(result.paths, result.count);
        if (targets.length === 1) {
          return finish({ paths: found.join('\0'), digests: result.digests, count: found.length, root: result.root, skipped });
        }
        for (const name of found) names.push(name);
        digestParts.push(result.digests);
      } else if (target.required) {
        throw jobError(target.path, 'not a regular file or directory', 'EINVAL');
      } else {
        skipped.push({ path: target.display, reason: 'not a regular file', failed: false });
      }
    }
    const digests = digestParts.join('');
    const digestAt = (i) => digests.slice(i * 64, i * 64 + 64);
    const root =
      runs <= 1 ? rootOfSorted(names, names.map((_, i) => digestAt(i))) : rootOf(names.map((name, i) => [name, digestAt(i)]));
    return finish({ paths: names.join('\0'), digests, count: names.length, root, skipped });
  } finally {
    if (timer) clearInterval(timer);
    signal?.removeEventListener('abort', onAbort);
  }

  function finish(result) {
    result.skipped = result.skipped.concat(failures);
    if (stopped) throw stopped.reason;
    if (onProgress) emit(true);
    if (stopped) throw stopped.reason;
    return result;
  }
}

module.exports = { handles, hashNatively };
