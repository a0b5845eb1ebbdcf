'use strict';
// Hashing targets without a worker thread where the native side walks the
// directories itself: the walk and the hashing run off this thread, in one
// pass, and the result comes back sorted and in one piece; with a content
// cache, the native walk asks it first (cache.js reads and writes the file).
// Rules that only the ignore package can apply (`exclude`, `gitignore`), and
// a cache over several targets, still take the worker's way (index.js).

const fs = require('node:fs');
const os = require('node:os');
const nodePath = require('node:path');
const { decodeName, encodeName, fsName } = require('./names');
const { identitiesOf, rootOf, rootOfSorted } = require('./hash');
const { ROOT_PREFIX } = require('./text');
const { systemText } = require('./errors');
// Loaded by runs that use a cache.
const cache = () => require('./cache');

const extensions = () => require('../native/extensions.js').load();

const CODES = new Map(Object.entries(os.constants.errno).map(([name, number]) => [number, name]));
const PROGRESS_EVERY_MS = 50;

/**
 * Whether hashTargets can run here for these walk options and targets: a
 * cache only for a single target (a directory's gets its cache; a file's
 * has none).
 */
function handles(options, targets) {
  if (options.exclude.length > 0 || options.gitignore) return false;
  if (options.cache && targets.length !== 1) return false;
  return available();
}

/** Whether this system walks and hashes natively at all. */
function available() {
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
 * What one call shares across its native jobs: the progress reports (the
 * counters of the job under way added to those done), and the stop that a
 * signal or a throwing progress callback sets off.
 */
class Session {
  constructor(native, { signal, onProgress }) {
    this.native = native;
    this.signal = signal;
    this.onProgress = onProgress;
    this.totals = { files: 0, hashed: 0, bytes: 0 };
    this.handle = null;
    this.stopped = null;
    this.stopping = new Promise((_, reject) => {
      this.rejectStop = reject;
    });
    this.stopping.catch(() => {});
    this.onAbort = () => this.stop(signal.reason);
    signal?.addEventListener('abort', this.onAbort, { once: true });
    this.timer = onProgress ? setInterval(() => this.emit(false), PROGRESS_EVERY_MS) : null;
  }

  stop(reason) {
    if (this.stopped) return;
    this.stopped = { reason };
    if (this.handle) this.native.walkCancel(this.handle);
    this.rejectStop(reason);
  }

  // The stop's reason, thrown, once one happened.
  check() {
    if (this.stopped) throw this.stopped.reason;
  }

  // Waits for `promise` or the stop, whichever comes first.
  race(promise) {
    return Promise.race([promise, this.stopping]);
  }

  // Runs one native job ([promise, handle] from `start`) to its end.
  async run(start) {
    const [promise, handle] = start();
    this.handle = handle;
    try {
      return await this.race(promise);
    } finally {
      this.handle = null;
    }
  }

  emit(final) {
    if (this.stopped || !this.onProgress) return;
    let [files, hashed, bytes, walking] = this.handle ? this.native.walkProgress(this.handle) : [0, 0, 0, 0];
    files += this.totals.files;
    hashed += this.totals.hashed;
    bytes += this.totals.bytes;
    // Until a walk has reported, the files are still being found.
    const scanning = !final && (this.handle ? walking : files === 0);
    const event = { phase: scanning ? 'scanning' : 'hashing', files, hashed, bytes };
    if (final) event.totalBytes = bytes;
    try {
      this.onProgress(event);
    } catch (err) {
      this.stop(err);
    }
  }

  // The last report, then the end of reports and of listening.
  finish() {
    this.check();
    this.emit(true);
    this.check();
  }

  close() {
    if (this.timer) clearInterval(this.timer);
    this.signal?.removeEventListener('abort', this.onAbort);
  }
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
  const session = new Session(native, { signal, onProgress });
  const { totals } = session;
  // A cache option always reports, even where no directory had a cache.
  let cacheReport = options.cache ? { reused: 0, warnings: [] } : null;
  const finish = (result) => {
    result.skipped = result.skipped.concat(failures);
    if (cacheReport) result.cache = cacheReport;
    session.finish();
    return result;
  };
  try {
    session.emit(false);
    let runs = 0;
    for (const target of targets) {
      session.check();
      let st;
      try {
        st = await session.race(fs.promises.stat(fsName(target.path)));
      } catch (err) {
        session.check();
        const text = systemText(err);
        if (target.required) throw jobError(target.path, text, err.code);
        skipped.push({ path: target.display, reason: text, failed: true });
        continue;
      }
      if (st.isFile()) {
        const display = target.display || nodePath.basename(target.path);
        const { outcomes, bytes } = await session.race(native.hashFiles([fsName(target.path)], leaveOut));
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
        const cached = options.cache ? cache().openForWalk(options.cache, target, { all: options.all }) : null;
        const result = await session.run(() =>
          native.walkTree(fsName(target.path), encodeName(target.display), options.all, options.follow, leaveOut, trailer, cached?.known),
        );
        if (cached) {
          if (result.cache) cached.finish(result.cache);
          cacheReport = { reused: result.cache ? result.cache.reused : 0, warnings: cached.warnings };
        }
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
    session.close();
  }
}

/**
 * checkTree (index.js): `count` files hashed and compared natively, their
 * paths NUL-joined (see joinNames) and their digests NUL-joined or 64
 * characters each. Resolves to the result the worker's job gives
 * ({ statuses, reasons }).
 */
async function checkNatively(paths, digests, count, { signal, onProgress }) {
  const native = extensions();
  const session = new Session(native, { signal, onProgress });
  try {
    const result = await session.run(() => native.checkFiles(paths, digests, count));
    session.totals.files = count;
    session.totals.hashed = count;
    session.totals.bytes = result.bytes;
    session.finish();
    return result;
  } finally {
    session.close();
  }
}

module.exports = { available, handles, hashNatively, checkNatively };
