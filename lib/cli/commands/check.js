'use strict';

const fs = require('node:fs');
const { checkTree, manifestRoot, pathBytes } = require('../../tree/index.js');
const { parse } = require('../args');
const { CliError, describeFailure, describeFsError } = require('../errors');
const format = require('../format');
const { HELP } = require('../help');
const { sourceName } = require('../io');
const { progressText } = require('../progress');

const OPTIONS = {
  quiet: { type: 'boolean' },
  status: { type: 'boolean' },
  directory: { type: 'string', short: 'C' },
};

// Each root line must match the entries it covers; the problems as text.
function rootProblems({ entries, roots }, source) {
  const problems = [];
  let start = 0;
  for (const { line, root, end } of roots) {
    if (root !== manifestRoot(entries.slice(start, end))) {
      const where = line === null ? 'the root' : `the root on line ${line}`;
      const n = end - start;
      problems.push(`${source}: ${where} does not match the ${n} ${n === 1 ? 'entry' : 'entries'} it covers (edited or truncated?)`);
    }
    start = end;
  }
  return problems;
}

/**
 * Verifies each manifest operand against the files below `directory`
 * (the current one by default), printing as sha256sum -c does.
 */
async function checkManifests(operands, { quiet, status, directory = '.' }, io) {
  if (operands.length === 0) throw new CliError("check needs a MANIFEST (see 'tov-engine check --help')");
  if (operands.filter((o) => o === '-').length > 1) throw new CliError('standard input (-) can be named only once');
  if (directory === '') throw new CliError("option '--directory' needs a directory");
  let st;
  try {
    st = fs.statSync(directory.isWellFormed() ? directory : pathBytes(directory));
  } catch (err) {
    throw new CliError(`${directory}: ${describeFsError(err)}`);
  }
  if (!st.isDirectory()) throw new CliError(`${directory}: Not a directory`);
  io = io.with({ quiet });
  const parsed = [];
  for (const operand of operands) parsed.push({ source: sourceName(operand), manifest: await format.readManifest(operand, io) });
  let mismatched = 0;
  let unreadable = 0;
  let badRoots = 0;
  for (const { source, manifest } of parsed) {
    if (manifest.entries.length === 0 && manifest.roots.length === 0) {
      if (!status) io.error(`${source}: no checksum lines found`);
      badRoots++;
      continue;
    }
    const started = Date.now();
    const { results } = await checkTree(manifest.entries, directory, {
      onProgress: (event) => io.progress.update(progressText({ ...event, phase: 'checking' }, '', Date.now() - started)),
    }).catch((err) => {
      throw new CliError(describeFailure(err, 'checking files'));
    });
    const lines = [];
    for (const { path, status: result, reason } of results) {
      if (result === 'ok') {
        if (!quiet) lines.push(format.pathLine('', path) + ': OK');
        continue;
      }
      if (result === 'failed') mismatched++;
      else {
        unreadable++;
        if (!status) io.error(`${path}: ${reason}`);
      }
      lines.push(format.pathLine('', path) + (result === 'failed' ? ': FAILED' : ': FAILED open or read'));
    }
    const problems = rootProblems(manifest, source);
    badRoots += problems.length;
    if (manifest.roots.length > problems.length && !quiet) lines.push('# root: OK');
    if (problems.length > 0) lines.push('# root: FAILED');
    if (!status) {
      if (lines.length > 0) io.out(`${lines.join('\n')}\n`);
      for (const p of problems) io.error(p);
    }
  }
  if (!status) {
    const plural = (n, one, many) => `${n} ${n === 1 ? one : many}`;
    if (unreadable > 0) io.error(`WARNING: ${plural(unreadable, 'listed file', 'listed files')} could not be read`);
    if (mismatched > 0) io.error(`WARNING: ${plural(mismatched, 'computed checksum', 'computed checksums')} did NOT match`);
  }
  return mismatched + unreadable + badRoots > 0 ? 1 : 0;
}

async function checkCommand(args, io) {
  const { values, positionals } = parse(args, OPTIONS, 'check');
  if (values.help) return io.out(HELP.check), 0;
  const quiet = values.quiet || values.status;
  return checkManifests(positionals, { quiet, status: values.status, directory: values.directory }, io);
}

module.exports = { checkCommand, checkManifests, rootProblems, OPTIONS };
