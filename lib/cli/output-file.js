'use strict';
// The file named by -o: written to a temporary file beside it and renamed
// into place only when complete, so that a full disk, a file-size limit or
// a signal leaves an older manifest as it was and no partial file behind.
// A target that is not a regular file (/dev/null, a FIFO, a terminal) is
// written in place, as a shell redirection writes it: it cannot be replaced.

const fs = require('node:fs');
const nodePath = require('node:path');
const { CliError, describeFsError } = require('./errors');

const SIGNALS = ['SIGINT', 'SIGTERM', 'SIGHUP'];

class OutputFile {
  constructor(file) {
    if (file === '') throw new CliError("option '--output' needs a file name");
    this.file = file;
    this.temp = null;
    let st = null;
    try {
      st = fs.statSync(file);
    } catch (err) {
      if (err.code !== 'ENOENT') throw this.failure(err);
    }
    if (st !== null && st.isDirectory()) throw this.failure({ code: 'EISDIR' });
    try {
      if (st !== null && !st.isFile()) {
        this.fd = fs.openSync(file, 'w');
        return;
      }
      // Beside the file a link points to, so that the rename keeps the link.
      this.target = st === null ? file : fs.realpathSync(file);
      const dir = nodePath.dirname(this.target);
      const base = nodePath.basename(this.target);
      this.temp = nodePath.join(dir, `.${base}.${process.pid}.${Math.random().toString(36).slice(2, 8)}.tmp`);
      this.fd = fs.openSync(this.temp, 'wx', st === null ? 0o666 : st.mode & 0o7777);
    } catch (err) {
      throw this.failure(err);
    }
    // A signal ends the run as it would have without the handler, minus
    // the temporary file.
    this.onSignal = (signal) => {
      this.abandon();
      process.kill(process.pid, signal);
    };
    for (const s of SIGNALS) process.once(s, this.onSignal);
  }

  failure(err) {
    return new CliError(`${this.file}: ${describeFsError(err)}`);
  }

  // What the walk must leave out: the target and the temporary file.
  paths() {
    return this.temp === null ? [this.file] : [this.file, this.temp];
  }

  release() {
    if (this.onSignal) for (const s of SIGNALS) process.removeListener(s, this.onSignal);
    this.onSignal = null;
    if (this.fd !== null) fs.closeSync(this.fd);
    this.fd = null;
  }

  /** Writes `bytes` and puts the file in place; on failure, leaves none. */
  commit(bytes) {
    try {
      for (let at = 0; at < bytes.length; ) at += fs.writeSync(this.fd, bytes, at, bytes.length - at);
      if (this.temp !== null) fs.fsyncSync(this.fd);
      const fd = this.fd;
      this.fd = null;
      fs.closeSync(fd);
      if (this.temp !== null) fs.renameSync(this.temp, this.target);
      this.temp = null;
    } catch (err) {
      this.abandon();
      throw this.failure(err);
    } finally {
      this.release();
    }
  }

  abandon() {
    try {
      if (this.fd !== null) fs.closeSync(this.fd);
    } catch {
      // Closing can fail only for a descriptor already gone.
    }
    this.fd = null;
    if (this.temp !== null) fs.rmSync(this.temp, { force: true });
    this.temp = null;
    this.release();
  }
}

module.exports = { OutputFile };
