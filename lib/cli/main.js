'use strict';
// The `tov-engine` command: manifest, check, diff and tokens, built on the
// nine functions of the package and its tree module.

const fs = require('node:fs');
const nodePath = require('node:path');
const { parseArgs } = require('node:util');
const native = require('../../index.js');
const { runJob, cacheOption } = require('../tree/index.js');
const { rootOf, sortByBytes } = require('../tree/hash');
const { decodeName, encodeName } = require('../tree/names');
const { CliError, describeFsError } = require('./errors');
const format = require('./format');
const { HELP } = require('./help');
const { Progress } = require('./progress');
const tokens = require('./tokens');

const VERSION = require('../../package.json').version;

// Control characters in a message (a file name with a line feed) would
// break the one-line error rule; bytes of a name that is not UTF-8 are
// shown as \xNN.
function oneLine(text) {
  return String(text)
    .replace(/[\x00-\x1f\x7f]/g, (c) =>
      c === '\n' ? '\\n' : c === '\r' ? '\\r' : c === '\t' ? '\\t' : `\\x${c.charCodeAt(0).toString(16).padStart(2, '0')}`,
    )
    .replace(/(?<![\uD800-\uDBFF])[\uDC80-\uDCFF]/g, (c) => `\\x${(c.charCodeAt(0) - 0xdc00).toString(16)}`);
}

function parseError(err, command) {
  const msg = String(err.message);
  let text;
  let m;
  if ((m = /^Unknown option '([^']*)'/.exec(msg))) text = `unknown option '${m[1]}'`;
  else if ((m = /^Option '(?:-\w, )?(-[^ ']+)(?: <value>)?' argument missing/.exec(msg))) text = `option '${m[1]}' needs a value`;
  else if ((m = /^Option '(?:-\w, )?(-[^ ']+)' does not take an argument/.exec(msg))) text = `option '${m[1]}' takes no value`;
  else if ((m = /^Option '(?:-\w, )?(-[^ ']+)' argument is ambiguous/.exec(msg))) {
    text = `option '${m[1]}' needs a value (write ${m[1]}=VALUE for a value that starts with '-')`;
  } else if ((m = /^Unexpected argument '([^']*)'/.exec(msg))) text = `unexpected argument '${m[1]}'`;
  else text = msg.split('\n')[0];
  const where = command ? `tov-engine ${command} --help` : 'tov-engine --help';
  return new CliError(`${text} (see '${where}')`);
}

function parse(args, options, command) {
  try {
    return parseArgs({
      args,
      options: { ...options, help: { type: 'boolean', short: 'h' } },
      allowPositionals: true,
      strict: true,
    });
  } catch (err) {
    throw parseError(err, command);
  }
}


class Io {
  constructor(options = {}) {
    const { stdout = process.stdout, stderr = process.stderr, stdin = process.stdin } = options;
    this.options = options;
    this.stdout = stdout;
    this.stderr = stderr;
    this.stdin = stdin;
    this.quiet = Boolean(options.quiet);
    this.progress = new Progress({ stream: stderr, quiet: this.quiet, delay: options.progressDelay });
  }

  withQuiet(quiet) {
    return new Io({ ...this.options, quiet });
  }

  // Text or bytes; names that are not UTF-8 go out as their bytes.
  out(text) {
    this.progress.clear();
    this.stdout.write(typeof text === 'string' && !text.isWellFormed() ? encodeName(text) : text);
  }

  // Failures are shown whatever -q says; notes and warnings are not.
  error(text) {
    this.progress.clear();
    this.stderr.write(`tov-engine: ${oneLine(text)}\n`);
  }

  note(text) {
    if (!this.quiet) this.error(text);
  }

  warn(text) {
    this.note(`warning: ${text}`);
  }
}

async function readStdin(stdin = process.stdin) {
  const chunks = [];
  for await (const chunk of stdin) chunks.push(chunk);
  return Buffer.concat(chunks);
}

function readOperand(operand, io) {
  if (operand === '-') return readStdin(io.stdin);
  try {
    return fs.readFileSync(operand);
  } catch (err) {
    throw new CliError(`${operand}: ${describeFsError(err)}`);
  }
}

// Checks one PATH argument before anything is hashed, so that a typo fails
// the whole command at once instead of producing a partial manifest.
function statArgument(arg) {
  if (arg === '') throw new CliError("'': No such file or directory");
  let st;
  try {
    st = fs.statSync(arg);
  } catch (err) {
    throw new CliError(`${arg}: ${describeFsError(err)}`);
  }
  if (!st.isFile() && !st.isDirectory()) throw new CliError(`${arg}: not a regular file or directory`);
  return st;
}

const WALK_OPTIONS = {
  all: { type: 'boolean' },
  follow: { type: 'boolean' },
  exclude: { type: 'string', multiple: true },
  gitignore: { type: 'boolean' },
  quiet: { type: 'boolean', short: 'q' },
};
// manifest and diff only: check's job is to read the bytes.
const CACHE_OPTIONS = { cache: { type: 'boolean' }, 'cache-location': { type: 'string' } };

function walkOptions(values, excludeFiles = []) {
  if (values['cache-location'] === '') throw new CliError("option '--cache-location' needs a file name");
  return {
    cache: cacheOption(values['cache-location'] ?? Boolean(values.cache)),
    all: Boolean(values.all),
    follow: Boolean(values.follow),
    exclude: values.exclude || [],
    gitignore: Boolean(values.gitignore),
    excludeFiles,
  };
}

// Hashes targets in the tree worker, drawing progress; prints the notes of
// what was left out by design and returns the result.
async function hashTargets(targets, options, io, label = '') {
  const at = label && ` ${label}:`;
  const result = await runJob(
    { kind: 'hash', targets, options },
    {
      onProgress: ({ phase, files, hashed }) =>
        io.progress.update(
          phase === 'scanning' ? `tov-engine: scanning${at} ${files} files` : `tov-engine: hashing${at} ${hashed}/${files} files`,
        ),
    },
  ).catch((err) => {
    throw new CliError(err.message);
  });
  for (const { path, reason, failed } of result.skipped) {
    if (failed) continue;
    const hint = /not followed$/.test(reason) ? ' (--follow enters it)' : '';
    io.warn(`skipped ${path}: ${reason}${hint}`);
  }
  for (const warning of result.cache?.warnings ?? []) io.warn(warning);
  return result;
}

function splitList(bytes, nul) {
  const names = [];
  const sep = nul ? 0 : 0x0a;
  let start = 0;
  for (let i = bytes.indexOf(sep); i !== -1; i = bytes.indexOf(sep, start)) {
    if (i > start) names.push(decodeName(bytes.subarray(start, i)));
    start = i + 1;
  }
  if (start < bytes.length) names.push(decodeName(bytes.subarray(start)));
  return names;
}

// The output file is opened before hashing, so that a bad target fails at
// once, and written only at the end, so that a failed run leaves an old
// manifest as it was.
function openOutput(file) {
  if (file === '') throw new CliError("option '--output' needs a file name");
  const existed = fs.existsSync(file);
  try {
    return { fd: fs.openSync(file, 'a'), file, existed };
  } catch (err) {
    throw new CliError(`${file}: ${describeFsError(err)}`);
  }
}

function finishOutput(output, bytes) {
  try {
    fs.ftruncateSync(output.fd, 0);
    fs.writeFileSync(output.fd, bytes);
  } catch (err) {
    throw new CliError(`${output.file}: ${describeFsError(err)}`);
  } finally {
    fs.closeSync(output.fd);
  }
}

function abandonOutput(output) {
  fs.closeSync(output.fd);
  if (!output.existed) fs.rmSync(output.file, { force: true });
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

async function manifestCommand(args, io) {
  const { values, positionals } = parse(
    args,
    {
      ...WALK_OPTIONS,
      ...CACHE_OPTIONS,
      json: { type: 'boolean' },
      output: { type: 'string', short: 'o' },
      relative: { type: 'boolean' },
      'files-from': { type: 'string' },
      null: { type: 'boolean', short: '0' },
      check: { type: 'boolean' },
    },
    'manifest',
  );
  if (values.help) return io.out(HELP.manifest), 0;
  if (values.check) return checkManifests(positionals, { quiet: values.quiet, status: false }, io);
  io = io.withQuiet(values.quiet);
  const listed = values['files-from'];
  const targets = positionals.map((p) => ({ path: p, display: values.relative ? '' : p, required: true }));
  for (const t of targets) if (statArgument(t.path).isFile()) t.display = t.path;
  if (listed === '') throw new CliError("option '--files-from' needs a file name");
  if (values.null && listed === undefined) throw new CliError("option '-0' needs --files-from");
  if (listed !== undefined) {
    for (const name of splitList(await readOperand(listed, io), values.null)) {
      targets.push({ path: name, display: name, required: false });
    }
  } else if (targets.length === 0) {
    targets.push({ path: '.', display: '', required: true });
  }
  const output = values.output === undefined ? null : openOutput(values.output);
  let result;
  try {
    result = await hashTargets(targets, walkOptions(values, output ? [output.file] : []), io);
  } catch (err) {
    if (output) abandonOutput(output);
    throw err;
  }
  const text = values.json ? format.manifestJson(result.manifest, result.root) : format.manifestText(result.manifest, result.root);
  if (output) finishOutput(output, text.isWellFormed() ? text : encodeName(text));
  else io.out(text);
  return reportFailures(result.skipped, io, 'the manifest is incomplete').length > 0 ? 1 : 0;
}

// Each root line must match the entries it covers; the problems as text.
function rootProblems({ entries, roots }, source) {
  const problems = [];
  let start = 0;
  for (const { line, root, end } of roots) {
    if (root !== rootOf(entries.slice(start, end))) {
      const where = line === null ? 'the root' : `the root on line ${line}`;
      const n = end - start;
      problems.push(`${source}: ${where} does not match the ${n} ${n === 1 ? 'entry' : 'entries'} it covers (edited or truncated?)`);
    }
    start = end;
  }
  return problems;
}

async function checkManifests(operands, { quiet, status }, io) {
  if (operands.length === 0) throw new CliError("check needs a MANIFEST (see 'tov-engine check --help')");
  if (operands.filter((o) => o === '-').length > 1) throw new CliError('standard input (-) can be named only once');
  io = io.withQuiet(quiet);
  const parsed = [];
  for (const operand of operands) {
    const source = operand === '-' ? 'standard input' : operand;
    parsed.push({ source, manifest: format.parseManifest(await readOperand(operand, io), source) });
  }
  let mismatched = 0;
  let unreadable = 0;
  let badRoots = 0;
  for (const { source, manifest } of parsed) {
    if (manifest.entries.length === 0 && manifest.roots.length === 0) {
      if (!status) io.error(`${source}: no checksum lines found`);
      badRoots++;
      continue;
    }
    const results = await runJob({ kind: 'check', entries: manifest.entries, root: '.' }, {
      onProgress: ({ hashed, files }) => io.progress.update(`tov-engine: checking ${hashed}/${files} files`),
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
  const { values, positionals } = parse(args, { quiet: { type: 'boolean' }, status: { type: 'boolean' } }, 'check');
  if (values.help) return io.out(HELP.check), 0;
  return checkManifests(positionals, { quiet: values.quiet || values.status, status: values.status }, io);
}

// A manifest operand may be any readable file, a pipe from process
// substitution included; only directories are walked.
function statOperand(operand) {
  if (operand === '') throw new CliError("'': No such file or directory");
  try {
    return fs.statSync(operand);
  } catch (err) {
    throw new CliError(`${operand}: ${describeFsError(err)}`);
  }
}

// A leading './' (sha256sum run with find .) is not part of a path.
function plainPath(path) {
  return path.replace(/^(?:\.\/+)+/, '');
}

async function loadSide(operand, other, values, io) {
  if (operand !== '-' && statOperand(operand).isDirectory()) {
    const leaveOut = other !== '-' && !statOperand(other).isDirectory() ? [other] : [];
    const targets = [{ path: operand, display: '', required: true }];
    const { manifest, skipped } = await hashTargets(targets, walkOptions(values, leaveOut), io, operand);
    return { entries: manifest, failed: skipped.filter((s) => s.failed) };
  }
  const source = operand === '-' ? 'standard input' : operand;
  const parsed = format.parseManifest(await readOperand(operand, io), source);
  for (const problem of rootProblems(parsed, source)) io.warn(problem);
  return { entries: parsed.entries, failed: [] };
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
  const { values, positionals } = parse(args, { ...WALK_OPTIONS, ...CACHE_OPTIONS, json: { type: 'boolean' } }, 'diff');
  if (values.help) return io.out(HELP.diff), 0;
  if (positionals.length !== 2) {
    throw new CliError(`diff needs two operands, OLD and NEW (see 'tov-engine diff --help')`);
  }
  const [oldOperand, newOperand] = positionals;
  if (oldOperand === '-' && newOperand === '-') throw new CliError('only one operand can be - (standard input)');
  // Both operands are checked before either is hashed.
  for (const operand of positionals) if (operand !== '-') statOperand(operand);
  io = io.withQuiet(values.quiet);
  const sides = [
    await loadSide(oldOperand, newOperand, values, io),
    await loadSide(newOperand, oldOperand, values, io),
  ];
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
  for (const list of [diff.added, diff.modified, diff.deleted]) sortByBytes(list);
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

function parseBudget(text) {
  if (!/^\d+$/.test(text) || Number(text) > 0xffffffff) {
    throw new CliError(`--budget must be a whole number from 0 to 4294967295, not '${text}'`);
  }
  return Number(text);
}

// Opens every FILE first: a missing last file must not follow partial output.
async function openInputs(files, io) {
  return Promise.all(
    files.map(async (file) => {
      if (file === '-') {
        if (io.stdin === process.stdin) return { file, read: tokens.reader(0) };
        const bytes = await readStdin(io.stdin);
        let at = 0;
        return { file, read: (buf) => { const n = bytes.copy(buf, 0, at); at += n; return n; } };
      }
      let fd;
      try {
        fd = fs.openSync(file, 'r');
        if (fs.fstatSync(fd).isDirectory()) throw Object.assign(new Error('Is a directory'), { code: 'EISDIR' });
      } catch (err) {
        if (fd !== undefined) fs.closeSync(fd);
        throw new CliError(`${file}: ${describeFsError(err)}`);
      }
      return { file, fd, read: tokens.reader(fd) };
    }),
  );
}

async function tokensCommand(args, io) {
  const { values, positionals } = parse(
    args,
    { budget: { type: 'string' }, json: { type: 'boolean' }, quiet: { type: 'boolean', short: 'q' } },
    'tokens',
  );
  if (values.help) return io.out(HELP.tokens), 0;
  const budget = values.budget === undefined ? null : parseBudget(values.budget);
  const files = positionals.length === 0 ? ['-'] : positionals;
  if (files.filter((f) => f === '-').length > 1) throw new CliError('standard input (-) can be named only once');
  if (budget !== null) {
    if (files.length > 1) throw new CliError('--budget takes at most one FILE');
    if (values.json) throw new CliError('--budget and --json cannot be combined');
  }
  const inputs = await openInputs(files, io);
  try {
    const readError = (input) => (err) => {
      throw new CliError(`${input.file}: ${describeFsError(err)}`);
    };
    if (budget !== null) {
      // Written as it is read: the kept text may be larger than a string,
      // and a slow reader of a pipe holds the reading back.
      const write = (data) => {
        if (!io.stdout.write(data)) return new Promise((resolve) => io.stdout.once('drain', resolve));
        return undefined;
      };
      try {
        await tokens.truncateStream(inputs[0].read, budget, write);
      } catch (err) {
        readError(inputs[0])(err);
      }
      return 0;
    }
    const counts = inputs.map((input) => {
      try {
        return tokens.countStream(input.read);
      } catch (err) {
        return readError(input)(err);
      }
    });
    const total = counts.reduce((a, b) => a + b, 0);
    if (values.json) {
      const list = files.map((path, i) => ({ path, tokens: counts[i] }));
      io.out(`${JSON.stringify({ files: list, total }, null, 2)}\n`);
    } else if (positionals.length === 0) {
      io.out(`${counts[0]}\n`);
    } else {
      const lines = files.map((f, i) => format.pathLine(`${counts[i]}  `, f));
      if (files.length > 1) lines.push(`${total}  total`);
      io.out(`${lines.join('\n')}\n`);
    }
    return 0;
  } finally {
    for (const input of inputs) if (input.fd !== undefined) fs.closeSync(input.fd);
  }
}

const COMMANDS = { manifest: manifestCommand, check: checkCommand, diff: diffCommand, tokens: tokensCommand };

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
    io.out(`tov-engine ${VERSION} (${native.nativeVersion()})\n`);
    return 0;
  }
  const command = Object.hasOwn(COMMANDS, first) ? COMMANDS[first] : null;
  if (command === null) {
    const what = first.startsWith('-') ? `unknown option '${first}'` : `unknown command '${first}'`;
    throw new CliError(`${what} (see 'tov-engine --help')`);
  }
  return command(rest, io);
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
    const message = err instanceof CliError ? err.message : err && err.message ? err.message : String(err);
    io.stderr.write(`tov-engine: ${oneLine(message)}\n`);
    return 2;
  }
}

module.exports = { main, HELP };
