'use strict';

const fs = require('node:fs');
const native = require('../../../index.js');
const { pathBytes, sortByPath } = require('../../tree/index.js');
const { parse, WALK_OPTIONS, CACHE_OPTIONS } = require('../args');
const { CliError, describeFsError } = require('../errors');
const format = require('../format');
const { HELP } = require('../help');
const { sourceName } = require('../io');
const { rootProblems } = require('./check');
const { walkOptions, hashWithProgress, reportFailures, displayOf } = require('../walking');

// Options of `diff`; others may join the walk's (WALK_OPTIONS).
const OPTIONS = { ...WALK_OPTIONS, ...CACHE_OPTIONS, json: { type: 'boolean' } };

// A manifest operand may be any readable file, a pipe from process
// substitution included; only directories are walked.
function statOperand(operand) {
  if (operand === '') throw new CliError("'': No such file or directory");
  try {
    return fs.statSync(operand.isWellFormed() ? operand : pathBytes(operand));
  } catch (err) {
    throw new CliError(`${operand}: ${describeFsError(err)}`);
  }
}

// A leading './' (sha256sum run with find .) is not part of a path.
function plainPath(path) {
  return path.replace(/^(?:\.\/+)+/, '');
}

// How a directory operand's paths are named against a manifest: as
// `manifest DIR` names them (DIR/a), unless no path of the manifest starts
// with DIR/, when it was made inside DIR and names them relative to it.
function namingAgainst(operand, entries) {
  const display = displayOf(operand);
  if (display === '') return '';
  const plain = plainPath(display);
  const prefix = plain.endsWith('/') ? plain : `${plain}/`;
  if (entries.length === 0 || entries.some(([p]) => plainPath(p).startsWith(prefix))) return display;
  return '';
}

async function readSide(operand, io) {
  const source = sourceName(operand);
  const parsed = await format.readManifest(operand, io);
  for (const problem of rootProblems(parsed, source)) io.warn(problem);
  return { entries: parsed.listing.entries(), failed: [] };
}

async function hashSide(operand, display, leaveOut, values, io) {
  const targets = [{ path: operand, display, required: true }];
  const { manifest, skipped } = await hashWithProgress(targets, walkOptions(values, leaveOut), io, operand);
  return { entries: manifest, failed: skipped.filter((s) => s.failed) };
}

// Keys of a manifest in a Map, the last duplicate winning as in merkleDiff.
function diffByMap(older, newer) {
  const a = new Map(older);
  const b = new Map(newer);
  const result = { added: [], modified: [], deleted: [] };
  for (const [key, value] of b) {
    if (!a.has(key)) result.added.push(key);
    else if (a.get(key) !== value) result.modified.push(key);
  }
  for (const key of a.keys()) if (!b.has(key)) result.deleted.push(key);
  return result;
}

// When one side's paths are all the other side's with one prefix in front
// (a manifest made from the parent directory), saying so saves a puzzle.
function prefixHint(older, newer, names) {
  const sides = [
    [older, newer, names[0], names[1]],
    [newer, older, names[1], names[0]],
  ];
  for (const [longer, shorter, longName, shortName] of sides) {
    if (longer.length === 0 || shorter.length === 0) continue;
    const first = longer[0][0];
    const keys = new Set(shorter.map((e) => e[0]));
    for (let i = first.indexOf('/'); i !== -1; i = first.indexOf('/', i + 1)) {
      const prefix = first.slice(0, i + 1);
      if (!longer.every((e) => e[0].startsWith(prefix))) break;
      const found = longer.filter((e) => keys.has(e[0].slice(prefix.length))).length;
      if (found * 2 >= Math.min(longer.length, shorter.length)) {
        return `hint: every path in ${longName} is a path of ${shortName} with '${prefix}' in front`;
      }
    }
  }
  return null;
}

async function diffCommand(args, io) {
  const { values, positionals } = parse(args, OPTIONS, 'diff');
  if (values.help) return io.out(HELP.diff), 0;
  if (positionals.length !== 2) {
    throw new CliError(`diff needs two operands, OLD and NEW (see 'tov-engine diff --help')`);
  }
  const [oldOperand, newOperand] = positionals;
  if (oldOperand === '-' && newOperand === '-') throw new CliError('only one operand can be - (standard input)');
  // Both operands are checked before either is read or hashed.
  const isDir = positionals.map((o) => o !== '-' && statOperand(o).isDirectory());
  io = io.with({ quiet: values.quiet, verbose: values.verbose });
  // Manifests first: how a directory's paths are named depends on them.
  const sides = [];
  for (let i = 0; i < 2; i++) if (!isDir[i]) sides[i] = await readSide(positionals[i], io);
  for (let i = 0; i < 2; i++) {
    if (!isDir[i]) continue;
    const other = positionals[1 - i];
    // Two directories compare relative to each, so copies compare equal.
    const display = isDir[1 - i] ? '' : namingAgainst(positionals[i], sides[1 - i].entries);
    const leaveOut = !isDir[1 - i] && other !== '-' ? [other] : [];
    sides[i] = await hashSide(positionals[i], display, leaveOut, values, io);
  }
  // What could not be read is no difference: it leaves the comparison on
  // both sides, an unreadable directory with everything below it.
  const unknown = new Set(sides.flatMap((s) => s.failed.map((f) => plainPath(f.path))));
  const known = (p) => {
    if (unknown.has(p)) return false;
    for (let i = p.indexOf('/'); i !== -1; i = p.indexOf('/', i + 1)) if (unknown.has(p.slice(0, i))) return false;
    return true;
  };
  const [older, newer] = sides.map((s) => {
    const entries = s.entries.map(([p, d]) => [plainPath(p), d]);
    return unknown.size === 0 ? entries : entries.filter(([p]) => known(p));
  });
  const wellFormed = [...older, ...newer].every((e) => e[0].isWellFormed());
  const diff = wellFormed ? native.merkleDiff(older, newer) : diffByMap(older, newer);
  for (const list of [diff.added, diff.modified, diff.deleted]) sortByPath(list);
  const differ = diff.added.length + diff.modified.length + diff.deleted.length > 0;
  if (values.json) {
    io.out(`${JSON.stringify({ added: diff.added, modified: diff.modified, deleted: diff.deleted }, null, 2)}\n`);
  } else if (differ) {
    const lines = [
      ...diff.added.map((p) => format.pathLine('A  ', p)),
      ...diff.modified.map((p) => format.pathLine('M  ', p)),
      ...diff.deleted.map((p) => format.pathLine('D  ', p)),
    ];
    io.out(`${lines.join('\n')}\n`);
  }
  if (diff.added.length > 0 && diff.deleted.length > 0) {
    const hint = prefixHint(older, newer, ['OLD', 'NEW']);
    if (hint !== null) io.note(hint);
  }
  const failed = sides.flatMap((s) => s.failed);
  if (reportFailures(failed, io, 'they are not compared').length > 0) return 2;
  return differ ? 1 : 0;
}

module.exports = { diffCommand, OPTIONS };
