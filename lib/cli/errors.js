'use strict';

// An error meant for the user: printed as one line, exit status 2.
class CliError extends Error {
  constructor(message) {
    super(message);
    this.name = 'CliError';
  }
}

// Turns a file-system error into the short text a shell tool would print.
function describeFsError(err) {
  const texts = {
    ENOENT: 'No such file or directory',
    EACCES: 'Permission denied',
    EPERM: 'Operation not permitted',
    EISDIR: 'Is a directory',
    ENOTDIR: 'Not a directory',
    ELOOP: 'Too many levels of symbolic links',
    ENAMETOOLONG: 'File name too long',
    EMFILE: 'Too many open files',
  };
  return texts[err && err.code] || (err && err.message) || String(err);
}

module.exports = { CliError, describeFsError };
