'use strict';

const { describeFsError } = require('../tree/errors');

// An error meant for the user: printed as one line, exit status 2.
class CliError extends Error {
  constructor(message) {
    super(message);
    this.name = 'CliError';
  }
}

module.exports = { CliError, describeFsError };
