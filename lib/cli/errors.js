'use strict';

const { TEXTS, describeFsError } = require('../tree/errors');

// An error meant for the user: printed as one line, exit status 2.
class CliError extends Error {
  constructor(message) {
    super(message);
    this.name = 'CliError';
  }
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
