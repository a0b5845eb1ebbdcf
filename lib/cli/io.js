'use strict';
// Where the command's output goes and its input comes from: standard
// streams, one-line messages, and operands read as streams of records.

const fs = require('node:fs');
const { pathBytes, pathFromBytes } = require('../tree/index.js');
const { CliError, describeFsError } = require('./errors');
const { Progress } = require('./progress');

// Control characters in a message (a file name with a line feed) would
// break the one-line error rule; bytes of a name that is not UTF-8 are
// shown as \xNN.
function oneLine(text) {
  return String(text)
    .replace(/[\x00-\x1f\x7f]/g, (c) =>
      c === '\n' ? '\\n' : c === '\r' ? '\\r' : c === '\t' ? '\\t' : `\\x${c.charCodeAt(0).toString(16).padStart(2, '0')}`,
    )
    .replace(/(?<![\uD800-\uDBFF])[\uDC80-\uDCFF]/g, (c) => `\\x${(c.charCodeAt(0) - 0xdc00).toString(16)}`);
}

class Io {
  constructor(options = {}) {
    const { stdout = process.stdout, stderr = process.stderr, stdin = process.stdin } = options;
    this.options = options;
    this.stdout = stdout;
    this.stderr = stderr;
    this.stdin = stdin;
    this.quiet = Boolean(options.quiet);
    this.verbose = Boolean(options.verbose);
    this.progress = new Progress({ stream: stderr, quiet: this.quiet, delay: options.progressDelay });
  }

  with(changes) {
    return new Io({ ...this.options, ...changes });
  }

  // Text or bytes; names that are not UTF-8 go out as their bytes.
  out(text) {
    this.progress.clear();
    this.stdout.write(typeof text === 'string' && !text.isWellFormed() ? pathBytes(text) : text);
  }

  // Failures are shown whatever -q says; notes and warnings are not.
  error(text) {
    this.progress.clear();
    this.stderr.write(`tov-engine: ${oneLine(text)}\n`);
  }

  note(text) {
    if (!this.quiet) this.error(text);
  }

  warn(text) {
    this.note(`warning: ${text}`);
  }

  // The file standard output writes to, as { dev, ino }, when it is a
  // regular file (`manifest . > MANIFEST`): the walk must not list it.
  stdoutIdentity() {
    const fd = this.stdout === process.stdout ? 1 : this.stdout.fd;
    if (typeof fd !== 'number') return null;
    try {
      const st = fs.fstatSync(fd);
      return st.isFile() ? { dev: st.dev, ino: st.ino } : null;
    } catch {
      return null;
    }
  }
}

// The longest record (a manifest line, a listed path) read from an operand.
// Paths run past PATH_MAX, but nothing real comes near this; /dev/zero or a
// binary file given by mistake ends at once instead of filling memory.
const RECORD_LIMIT = 1 << 20;

function sourceName(operand) {
  return operand === '-' ? 'standard input' : operand;
}

// The chunks of an operand: a file (opened first, so that a bad name fails
// before anything else happens) or standard input for '-'.
function openChunks(operand, io) {
  if (operand === '-') return io.stdin;
  if (operand === '') throw new CliError("'': No such file or directory");
  let fd;
  try {
    fd = fs.openSync(operand.isWellFormed() ? operand : pathBytes(operand), 'r');
    if (fs.fstatSync(fd).isDirectory()) throw Object.assign(new Error('Is a directory'), { code: 'EISDIR' });
  } catch (err) {
    if (fd !== undefined) fs.closeSync(fd);
    throw new CliError(`${operand}: ${describeFsError(err)}`);
  }
  return fs.createReadStream(null, { fd, highWaterMark: 1 << 20 });
}

/**
 * Yields the records of `chunks` (an async iterable of Buffers), split at
 * `separator` (a byte) and without it. A record longer than `limit` ends the
 * read with an error, and so does a run of as many empty records (an endless
 * stream of separators).
 */
async function* splitRecords(chunks, source, { separator = 0x0a, limit = RECORD_LIMIT, what = 'line' } = {}) {
  const tooLong = (n) => new CliError(`${source}: ${what} ${n} is longer than ${limit} bytes`);
  let parts = [];
  let pending = 0;
  let count = 0;
  let emptyRun = 0;
  for await (const chunk of chunks) {
    let start = 0;
    for (let i = chunk.indexOf(separator); i !== -1; i = chunk.indexOf(separator, start)) {
      const piece = chunk.subarray(start, i);
      start = i + 1;
      count++;
      if (pending + piece.length > limit) throw tooLong(count);
      const record = pending === 0 ? piece : Buffer.concat([...parts, piece]);
      parts = [];
      pending = 0;
      if (record.length > 0) emptyRun = 0;
      else if (++emptyRun > limit) throw new CliError(`${source}: more than ${limit} empty ${what}s in a row`);
      yield record;
    }
    if (start < chunk.length) {
      pending += chunk.length - start;
      if (pending > limit) throw tooLong(count + 1);
      parts.push(Buffer.from(chunk.subarray(start)));
    }
  }
  if (pending > 0) yield Buffer.concat(parts);
}

// Read errors of an operand's stream, as one line naming it.
async function* guarded(chunks, operand) {
  try {
    yield* chunks;
  } catch (err) {
    if (err instanceof CliError) throw err;
    throw new CliError(`${sourceName(operand)}: ${describeFsError(err)}`);
  } finally {
    if (operand !== '-' && typeof chunks.destroy === 'function') chunks.destroy();
  }
}

/** The chunks of an operand, opened at once; read errors name it. */
function readChunks(operand, io) {
  return guarded(openChunks(operand, io), operand);
}

/** The names listed in a file, one per line or NUL-separated. */
async function readList(operand, io, nul) {
  const names = [];
  const options = { separator: nul ? 0 : 0x0a, what: nul ? 'name' : 'line' };
  for await (const record of splitRecords(readChunks(operand, io), sourceName(operand), options)) {
    if (record.length > 0) names.push(pathFromBytes(record));
  }
  return names;
}

module.exports = { Io, oneLine, readChunks, splitRecords, readList, sourceName, RECORD_LIMIT };
