'use strict';
// Hashing targets for manifest and diff through the tree module, with the
// progress line and the notes on what was left out by design.

const { hashTargets } = require('../tree/index.js');
const { CliError, describeFailure } = require('./errors');
const { progressText } = require('./progress');

function walkOptions(values, excludeFiles = []) {
  return {
    all: Boolean(values.all),
    follow: Boolean(values.follow),
    exclude: values.exclude || [],
    gitignore: Boolean(values.gitignore),
    excludeFiles,
  };
}

const NOT_FOLLOWED = /not followed$/;

// Links to directories are common (a Node project has a dozen): one line
// says how many, --verbose names each. The rest is noted one by one.
function noteSkipped(skipped, io) {
  const links = [];
  for (const s of skipped) {
    if (s.failed) continue;
    if (NOT_FOLLOWED.test(s.reason)) links.push(s);
    else io.warn(`skipped ${s.path}: ${s.reason}`);
  }
  if (links.length === 1 || (io.verbose && links.length > 0)) {
    for (const { path, reason } of links) io.warn(`skipped ${path}: ${reason} (--follow enters it)`);
  } else if (links.length > 1) {
    io.warn(`skipped ${links.length} symbolic links to directories, not followed (--follow enters them, --verbose lists them)`);
  }
}

/**
 * Hashes targets, drawing progress labelled with `label`; notes what was
 * left out and resolves to { manifest, root, skipped }.
 */
async function hashWithProgress(targets, options, io, label = '') {
  const started = Date.now();
  const result = await hashTargets(targets, {
    ...options,
    onProgress: (event) => io.progress.update(progressText(event, label, Date.now() - started)),
  }).catch((err) => {
    throw new CliError(describeFailure(err, 'hashing files'));
  });
  noteSkipped(result.skipped, io);
  return result;
}

function reportFailures(skipped, io, what) {
  const failed = skipped.filter((s) => s.failed);
  for (const { path, reason } of failed) io.error(`${path}: ${reason}`);
  if (failed.length > 0) {
    const n = failed.length;
    io.error(`${n} ${n === 1 ? 'path' : 'paths'} could not be read; ${what}`);
  }
  return failed;
}

module.exports = { walkOptions, hashWithProgress, reportFailures, noteSkipped };

// '.', './' and the like name the current directory, whose paths are
// listed as they are: `manifest .` and `manifest` print the same lines.
const CURRENT_DIRECTORY = /^\.(?:\/+\.)*\/*$/;

/** What a directory argument's paths start with in a manifest. */
function displayOf(arg) {
  return CURRENT_DIRECTORY.test(arg) ? '' : arg;
}

module.exports.displayOf = displayOf;
