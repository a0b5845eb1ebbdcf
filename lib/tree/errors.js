'use strict';

const util = require('node:util');

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

// The same text in the form the native functions report the system's
// errors, so that every skipped file reads alike whoever read it.
function systemText(err) {
  const text = describeFsError(err);
  return typeof err?.errno === 'number' ? `${text} (os error ${Math.abs(err.errno)})` : text;
}

module.exports = { TEXTS, describeFsError, systemText };
