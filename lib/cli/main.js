'use strict';
// The `tov-engine` command: manifest, check, diff and tokens, built on the
// nine functions of the package and its tree module.

const { CliError, describeFailure } = require('./errors');
const { HELP } = require('./help');
const { rawArguments } = require('./args');
const { Io, oneLine } = require('./io');

const VERSION = require('../../package.json').version;

// Each command's module is loaded when it runs: a run pays for its own.
const COMMANDS = {
  manifest: () => require('./commands/manifest').manifestCommand,
  check: () => require('./commands/check').checkCommand,
  diff: () => require('./commands/diff').diffCommand,
  tokens: () => require('./commands/tokens').tokensCommand,
};

// A module that cannot load (most likely the native addon is not built)
// is named in one line.
function load(loader) {
  try {
    return loader();
  } catch (err) {
    throw new CliError(String(err && err.message).split('\n')[0]);
  }
}

async function dispatch(argv, io) {
  const [first, ...rest] = argv;
  if (first === undefined) throw new CliError("missing command (see 'tov-engine --help')");
  if (first === '-h' || first === '--help' || first === 'help') {
    const topic = rest[0];
    if (topic !== undefined && !HELP[topic]) throw new CliError(`unknown command '${topic}' (see 'tov-engine --help')`);
    io.out(HELP[topic || 'main']);
    return 0;
  }
  if (first === '-V' || first === '--version') {
    io.out(`tov-engine ${VERSION} (${load(() => require('../../index.js')).nativeVersion()})\n`);
    return 0;
  }
  if (!Object.hasOwn(COMMANDS, first)) {
    const what = first.startsWith('-') ? `unknown option '${first}'` : `unknown command '${first}'`;
    throw new CliError(`${what} (see 'tov-engine --help')`);
  }
  return load(COMMANDS[first])(rest, io);
}

/**
 * Runs the command line `argv` (without node and the script) and resolves to
 * the exit status. Every failure becomes one line on standard error.
 * `streams` may replace stdout, stderr and stdin, and set progressDelay (ms).
 */
async function main(argv, streams = {}) {
  const io = new Io(streams);
  try {
    return await dispatch(argv, io);
  } catch (err) {
    io.progress.clear();
    const message = err instanceof CliError ? err.message : describeFailure(err, 'stopped');
    io.stderr.write(`tov-engine: ${oneLine(message)}\n`);
    return 2;
  }
}

module.exports = { main, HELP, rawArguments };
