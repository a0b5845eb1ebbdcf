'use strict';

const TEXTS = {
  ENOENT: 'No such file or directory',
  EACCES: 'Permission denied',
  EPERM: 'Operation not permitted',
  EISDIR: 'Is a directory',
  ENOTDIR: 'Not a directory',
  ELOOP: 'Too many levels of symbolic links',
  ENAMETOOLONG: 'File name too long',
  EMFILE: 'Too many open files',
  EIO: 'Input/output error',
  EROFS: 'Read-only file system',
  ENOSPC: 'No space left on device',
};

// Turns a file-system error into the short text a shell tool would print.
function describeFsError(err) {
  return TEXTS[err && err.code] || (err && err.message) || String(err);
}

// The same text in the form the native functions report the system's
// errors, so that every skipped file reads alike whoever read it.
function systemText(err) {
  const text = describeFsError(err);
  return typeof err?.errno === 'number' ? `${text} (os error ${Math.abs(err.errno)})` : text;
}

module.exports = { describeFsError, systemText };
