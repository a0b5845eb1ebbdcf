#!/usr/bin/env node
'use strict';

// The native module ends the process while loading on a bad worker-count
// variable; say so in one line instead.
const { threadVariableProblem } = require('../lib/tree/environment.js');

const problem = threadVariableProblem();
if (problem !== null) {
  process.stderr.write(`tov-engine: ${problem}\n`);
  process.exit(2);
}

let main;
let rawArguments;
let describeFsError;
try {
  ({ main, rawArguments } = require('../lib/cli/main.js'));
  ({ describeFsError } = require('../lib/cli/errors.js'));
} catch (err) {
  // Most likely the native addon is not built; say so in one line.
  process.stderr.write(`tov-engine: ${String(err && err.message).split('\n')[0]}\n`);
  process.exit(2);
}

// A closed pipe (`tov-engine manifest | head`) is not an error worth a trace.
process.stdout.on('error', (err) => {
  if (err.code === 'EPIPE') process.exit(process.exitCode ?? 0);
  process.stderr.write(`tov-engine: standard output: ${describeFsError(err)}\n`);
  process.exit(2);
});

main(rawArguments()).then((status) => {
  process.exitCode = status;
});
