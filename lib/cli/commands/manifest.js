'use strict';

const fs = require('node:fs');
const { pathBytes } = require('../../tree/index.js');
const { parse, WALK_OPTIONS, CACHE_OPTIONS } = require('../args');
const { CliError, describeFsError } = require('../errors');
const format = require('../format');
const { HELP } = require('../help');
const { readList } = require('../io');
const { OutputFile } = require('../output-file');
const { walkOptions, hashWithProgress, reportFailures, displayOf } = require('../walking');
const { checkManifests } = require('./check');

// Options of `manifest`; others may join the walk's (WALK_OPTIONS).
const OPTIONS = {
  ...WALK_OPTIONS,
  ...CACHE_OPTIONS,
  json: { type: 'boolean' },
  output: { type: 'string', short: 'o' },
  relative: { type: 'boolean' },
  'files-from': { type: 'string' },
  null: { type: 'boolean', short: '0' },
  check: { type: 'boolean' },
};

// Checks one PATH argument before anything is hashed, so that a typo fails
// the whole command at once instead of producing a partial manifest.
function statArgument(arg) {
  if (arg === '') throw new CliError("'': No such file or directory");
  let st;
  try {
    st = fs.statSync(arg.isWellFormed() ? arg : pathBytes(arg));
  } catch (err) {
    throw new CliError(`${arg}: ${describeFsError(err)}`);
  }
  if (!st.isFile() && !st.isDirectory()) throw new CliError(`${arg}: not a regular file or directory`);
  return st;
}

async function manifestCommand(args, io) {
  const { values, positionals } = parse(args, OPTIONS, 'manifest');
  if (values.help) return io.out(HELP.manifest), 0;
  if (values.check) return checkManifests(positionals, { quiet: values.quiet, status: false }, io);
  io = io.with({ quiet: values.quiet, verbose: values.verbose });
  const listed = values['files-from'];
  const targets = positionals.map((p) => {
    // A file is listed by its name as given; a directory's files below it.
    const isFile = statArgument(p).isFile();
    return { path: p, display: isFile ? p : values.relative ? '' : displayOf(p), required: true };
  });
  if (listed === '') throw new CliError("option '--files-from' needs a file name");
  if (values.null && listed === undefined) throw new CliError("option '-0' needs --files-from");
  // Opened before anything is read or hashed, so that a bad target fails
  // at once; put in place only at the end.
  const output = values.output === undefined ? null : new OutputFile(values.output);
  let result;
  try {
    if (listed !== undefined) {
      for (const name of await readList(listed, io, values.null)) targets.push({ path: name, display: name, required: false });
    } else if (targets.length === 0) {
      targets.push({ path: '.', display: '', required: true });
    }
    // `manifest . > MANIFEST`: the shell made the file before the walk.
    const identity = output ? null : io.stdoutIdentity();
    const excludeFiles = output ? output.paths() : identity ? [identity] : [];
    result = await hashWithProgress(targets, { ...walkOptions(values, excludeFiles), text: !values.json }, io);
  } catch (err) {
    if (output) output.abandon();
    throw err;
  }
  const text = values.json ? pathBytes(format.manifestJson(result.manifest, result.root)) : result.text;
  if (output) output.commit(text);
  else io.out(text);
  return reportFailures(result.skipped, io, 'the manifest is incomplete').length > 0 ? 1 : 0;
}

module.exports = { manifestCommand, OPTIONS };
