'use strict';
// Hashing streams. Chunks are handed to a native job that hashes them in
// order on a background thread, so the caller's thread goes straight back to
// reading the next chunk: reading and hashing overlap instead of taking
// turns, which is where the time of `stream.pipe(createHash(...))` goes.
// Large chunks are the exception: the job hashes them at once when nothing
// is queued before them, while the stream reads the next one in libuv's
// pool (see stream_job.h), and file streams are read in large chunks.
const native = require('../native/extensions.js').load();
const { viewBytes, encoder } = require('./index.js');
const { typeError, describe } = require('./errors.js');
const { setImmediate } = require('node:timers');

// Chunks smaller than this are gathered into one buffer first, so that a
// stream of tiny chunks does not pay a native call per chunk.
const SMALL_CHUNK = 16384;
const GATHER = 65536;
// When more than this is queued the writer waits until the queue is down to
// the low mark: memory stays bounded when hashing is slower than reading.
const HIGH_QUEUE = 8 * 1024 * 1024;
const LOW_QUEUE = 2 * 1024 * 1024;
// Chunks hashed at once leave nothing queued to wait for. After this many
// bytes without a wait the writer yields one turn of the event loop, so that
// a source yielding synchronously cannot hold the thread (and with it the
// timer of an abort signal) until it ends.
const TURN_BYTES = 8 * 1024 * 1024;
// A file stream is read in pieces of this size unless its owner chose one.
// At the default 64 KiB every piece costs a round trip to libuv's thread
// pool and a pass through the stream's machinery, which together take about
// as long as hashing it; at 1 MiB reading falls well below hashing.
const FILE_READ_SIZE = 1024 * 1024;
const FILE_DEFAULT_READ_SIZE = 65536;

function chunkBytes(chunk) {
  if (typeof chunk === 'string') return encoder.encode(chunk);
  const bytes = viewBytes(chunk);
  if (bytes === null) {
    throw typeError(
      `tov-engine-native/sha256: stream chunks must be strings, Buffers, TypedArrays or DataViews; got ${describe(chunk)}`,
    );
  }
  return bytes;
}

class BackgroundSha256 {
  #job = native.sha256StreamOpen();
  #gather = null;
  #gathered = 0;
  #sinceTurn = 0;

  // Hands a chunk over. Returns a promise to wait for before the next write
  // when much is queued, else undefined. Throws a TypeError for a chunk that
  // is not bytes or a string.
  write(chunk) {
    const bytes = chunkBytes(chunk);
    const size = bytes.length;
    if (size < SMALL_CHUNK) {
      let queued = 0;
      if (size > GATHER - this.#gathered) queued = this.#flush();
      this.#gather ??= new Uint8Array(GATHER);
      this.#gather.set(bytes, this.#gathered);
      this.#gathered += size;
      return this.#throttle(queued, size);
    }
    this.#flush();
    return this.#throttle(native.sha256StreamPush(this.#job, bytes), size);
  }

  // The hex digest of everything written, once it is hashed.
  finish() {
    this.#flush();
    return native.sha256StreamFinish(this.#job);
  }

  #flush() {
    if (this.#gathered === 0) return 0;
    const queued = native.sha256StreamPush(this.#job, this.#gather.subarray(0, this.#gathered));
    this.#gathered = 0;
    return queued;
  }

  #throttle(queued, size) {
    if (queued > HIGH_QUEUE) {
      this.#sinceTurn = 0;
      return native.sha256StreamWait(this.#job, LOW_QUEUE);
    }
    this.#sinceTurn += size;
    if (this.#sinceTurn < TURN_BYTES) return undefined;
    this.#sinceTurn = 0;
    return new Promise((resolve) => setImmediate(resolve));
  }
}

function isNodeReadable(source) {
  return typeof source.pipe === 'function' && typeof source.on === 'function' && typeof source.destroy === 'function';
}

let FileReadStream = null;

// Raises the read size of an fs.ReadStream that is still at the default and
// has not started. A read() asking for more than the high-water mark raises
// the mark to that size (it returns null here, as nothing is buffered yet),
// and a file stream reads the mark's worth at a time.
function widenFileReads(source) {
  FileReadStream ??= require('node:fs').ReadStream;
  if (
    typeof FileReadStream === 'function' &&
    source instanceof FileReadStream &&
    source.readableHighWaterMark === FILE_DEFAULT_READ_SIZE &&
    source.readableFlowing === null &&
    source.readableLength === 0 &&
    source.bytesRead === 0 &&
    !source.readableObjectMode
  ) {
    source.read(FILE_READ_SIZE);
  }
}

// One way to step through any accepted source: next() as an iterator's, and
// stop() to give the source up early (destroying or cancelling it).
function stepper(source) {
  if (source === null || (typeof source !== 'object' && typeof source !== 'function') || ArrayBuffer.isView(source)) {
    throw typeError(
      `tov-engine-native/sha256: hashStream() takes a readable stream, a web ReadableStream or an (async) iterable of chunks; got ${describe(source)}`,
    );
  }
  if (typeof source.getReader === 'function') {
    const reader = source.getReader();
    return {
      next: () => reader.read(),
      stop: (reason) => reader.cancel(reason).catch(() => {}),
      done: () => reader.releaseLock(),
    };
  }
  const make = source[Symbol.asyncIterator] ?? source[Symbol.iterator];
  if (typeof make !== 'function') {
    throw typeError(`tov-engine-native/sha256: hashStream() got ${describe(source)}, which is neither a stream nor iterable`);
  }
  const readable = isNodeReadable(source);
  if (readable) widenFileReads(source);
  const iterator = make.call(source);
  return {
    next: () => iterator.next(),
    // A Node stream is destroyed directly: a pending read of a stalled
    // stream would hold an iterator's return() back indefinitely.
    stop: () => {
      if (readable) source.destroy();
      else Promise.resolve(iterator.return?.()).catch(() => {});
    },
    done: () => {},
  };
}

function checkSignal(options) {
  if (options === undefined) return undefined;
  if (options === null || typeof options !== 'object') {
    throw typeError(`tov-engine-native/sha256: options must be an object; got ${describe(options)}`);
  }
  const { signal } = options;
  if (signal === undefined) return undefined;
  if (signal === null || typeof signal !== 'object' || typeof signal.addEventListener !== 'function' || !('aborted' in signal)) {
    throw typeError(`tov-engine-native/sha256: options.signal must be an AbortSignal; got ${describe(signal)}`);
  }
  return signal;
}

/**
 * The hex SHA-256 digest of everything `source` yields: a Node readable
 * stream, a web ReadableStream, or an async or sync iterable of chunks.
 */
async function hashStream(source, options) {
  const signal = checkSignal(options);
  const steps = stepper(source);
  let onAbort = null;
  let aborted = null;
  if (signal !== undefined) {
    aborted = new Promise((resolve, reject) => {
      onAbort = () => reject(signal.reason ?? abortError());
      if (signal.aborted) onAbort();
      else signal.addEventListener('abort', onAbort, { once: true });
    });
    aborted.catch(() => {});
  }
  const settle = (promise) => (aborted === null ? promise : Promise.race([promise, aborted]));
  const hasher = new BackgroundSha256();
  let finished = false;
  try {
    if (aborted !== null) await settle(Promise.resolve());
    for (;;) {
      const step = await settle(steps.next());
      if (step.done) break;
      const wait = hasher.write(step.value);
      if (wait !== undefined) await settle(wait);
    }
    finished = true;
    steps.done();
    return await settle(hasher.finish());
  } catch (error) {
    if (!finished) steps.stop(error);
    throw error;
  } finally {
    if (onAbort !== null) signal.removeEventListener('abort', onAbort);
  }
}

function abortError() {
  const error = new Error('The operation was aborted');
  error.name = 'AbortError';
  error.code = 'ABORT_ERR';
  return error;
}

// The digest a transform promises: settled once, by the end of the data or
// by the stream's failure; a rejection nobody asked for goes unreported.
function digestPromise() {
  let resolve;
  let reject;
  const promise = new Promise((res, rej) => {
    resolve = res;
    reject = rej;
  });
  promise.catch(() => {});
  return { promise, resolve, reject };
}

let Sha256Transform = null;

function transformClass() {
  if (Sha256Transform !== null) return Sha256Transform;
  const { Transform } = require('node:stream');
  Sha256Transform = class Sha256Transform extends Transform {
    #hasher = new BackgroundSha256();
    #digest = digestPromise();
    #hex = null;

    _transform(chunk, encoding, callback) {
      let wait;
      try {
        wait = this.#hasher.write(chunk);
      } catch (error) {
        callback(error);
        return;
      }
      if (wait === undefined) callback(null, chunk);
      else wait.then(() => callback(null, chunk), callback);
    }

    _flush(callback) {
      this.#hasher.finish().then((hex) => {
        this.#hex = hex;
        this.#digest.resolve(hex);
        callback();
      }, callback);
    }

    _destroy(error, callback) {
      if (this.#hex === null) this.#digest.reject(error ?? new Error('tov-engine-native/sha256: the stream was destroyed before its end'));
      callback(error);
    }

    /** The hex digest once every chunk has gone through; null before. */
    get hexDigest() {
      return this.#hex;
    }

    /** Resolves to the hex digest at the end; rejects if the stream fails first. */
    digest() {
      return this.#digest.promise;
    }
  };
  return Sha256Transform;
}

/** A Node Transform that passes its chunks through unchanged while hashing them. */
function createSha256Transform(options) {
  if (options !== undefined && (options === null || typeof options !== 'object')) {
    throw typeError(`tov-engine-native/sha256: options must be an object; got ${describe(options)}`);
  }
  const { transform, flush, final, destroy, ...rest } = options ?? {};
  const Class = transformClass();
  return new Class(rest);
}

/** A web TransformStream that passes its chunks through while hashing them; `digest()` gives the hex digest. */
function createSha256TransformStream() {
  const hasher = new BackgroundSha256();
  const digest = digestPromise();
  const stream = new TransformStream({
    transform(chunk, controller) {
      let wait;
      try {
        wait = hasher.write(chunk);
      } catch (error) {
        digest.reject(error);
        throw error;
      }
      controller.enqueue(chunk);
      return wait;
    },
    flush() {
      return hasher.finish().then(digest.resolve, (error) => {
        digest.reject(error);
        throw error;
      });
    },
    cancel(reason) {
      digest.reject(reason);
    },
  });
  Object.defineProperty(stream, 'digest', { value: () => digest.promise });
  return stream;
}

module.exports = { hashStream, createSha256Transform, createSha256TransformStream };
