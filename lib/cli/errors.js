'use strict';

const util = require('node:util');

// An error meant for the user: printed as one line, exit status 2.
class CliError extends Error {
  constructor(message) {
    super(message);
    this.name = 'CliError';
  }
}

// The C library's texts for the errors a file command meets; Node's own
// messages ("EFBIG: file too large, write") read like a trace.
const TEXTS = {
  ENOENT: 'No such file or directory',
  EACCES: 'Permission denied',
  EPERM: 'Operation not permitted',
  EISDIR: 'Is a directory',
  ENOTDIR: 'Not a directory',
  ELOOP: 'Too many levels of symbolic links',
  ENAMETOOLONG: 'File name too long',
  EMFILE: 'Too many open files',
  ENFILE: 'Too many open files in system',
  EIO: 'Input/output error',
  EROFS: 'Read-only file system',
  ENOSPC: 'No space left on device',
  EDQUOT: 'Disk quota exceeded',
  EFBIG: 'File too large',
  EAGAIN: 'Resource temporarily unavailable',
  ENOMEM: 'Cannot allocate memory',
  EBUSY: 'Device or resource busy',
  ETXTBSY: 'Text file busy',
  EXDEV: 'Invalid cross-device link',
  EINVAL: 'Invalid argument',
};

// The text of an errno name that is not in the table, from libuv's own list.
function uvText(err) {
  if (typeof err.errno !== 'number' || err.errno >= 0) return null;
  const entry = util.getSystemErrorMap().get(err.errno);
  if (!entry) return null;
  return entry[1].charAt(0).toUpperCase() + entry[1].slice(1);
}

/** Turns a file-system error into the short text a shell tool would print. */
function describeFsError(err) {
  if (!err || typeof err !== 'object') return String(err);
  return TEXTS[err.code] || uvText(err) || String(err.message);
}

// Errors that carry nothing but a code: a thread or a resource the system
// refused. Node reports a worker that could not start as its bare errno name.
const BARE_CODE = /^E[A-Z0-9]+$/;

/**
 * An error from the hashing machinery as one line that says what was being
 * done: `doing` is the activity ("hashing files").
 */
function describeFailure(err, doing) {
  const message = String(err && err.message !== undefined ? err.message : err);
  const code = err && typeof err.code === 'string' ? err.code : '';
  if (code === 'ERR_WORKER_INIT_FAILED' || BARE_CODE.test(message)) {
    const name = BARE_CODE.test(message) ? message : BARE_CODE.test(code) ? code : '';
    const text = name ? `${TEXTS[name] || name} (${name})` : message;
    return `${doing}: could not start a thread: ${text}`;
  }
  if (code === 'ERR_WORKER_OUT_OF_MEMORY') return `${doing}: out of memory`;
  if (BARE_CODE.test(code) && !message.includes(':')) return `${doing}: ${describeFsError(err)}`;
  return message;
}

module.exports = { CliError, describeFsError, describeFailure };
