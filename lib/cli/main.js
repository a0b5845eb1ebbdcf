'use strict';
// The `tov-engine` command: manifest, diff and tokens, built on the nine
// functions of the package and nothing else.

const fs = require('node:fs');
const nodePath = require('node:path');
const { parseArgs } = require('node:util');
const native = require('../../index.js');
const { CliError, describeFsError } = require('./errors');
const format = require('./format');
const { Progress } = require('./progress');
const { listFiles, hashFiles, statArgument } = require('./walk');

const VERSION = require('../../package.json').version;

const HELP = {
  main: `Usage: tov-engine <command> [options]

Commands:
  manifest [PATH...]   hash files; print a manifest that sha256sum -c checks
  diff OLD NEW         compare two manifests or directories
  tokens [FILE...]     print token estimates, or cut text to a token budget

Options:
  -h, --help           show help ('tov-engine <command> --help' for a command)
  -V, --version        print the versions of the command and the native module

Exit status: 0 on success (diff: no differences), 1 when diff finds
differences, 2 on any error.
`,
  manifest: `Usage: tov-engine manifest [options] [PATH...]

Hashes every regular file under each PATH (default: the current directory)
and prints one "DIGEST  PATH" line per file, then one "# root: DIGEST" line
with the manifest's Merkle root. 'sha256sum -c' checks the output as it is:
it skips lines that start with '#'.

Files are found as batchFileHash finds them: symbolic links are followed
(links that loop back are skipped), only regular files are hashed, and files
that cannot be read are left out with a warning. Directories are walked in
byte order of names; .git and node_modules are skipped unless --all is given.
Paths are printed as sha256sum prints the same paths: each PATH joined with
the path below it. With no PATH they are relative to the current directory.
A path holding a backslash, line feed or carriage return is escaped and its
line starts with a backslash, as sha256sum does.

Options:
  --json             print {"root": DIGEST, "manifest": [[PATH, DIGEST], ...]}
  -o, --output FILE  write the manifest to FILE instead of standard output
  --relative         print paths relative to each directory PATH
  --all              also walk .git and node_modules directories
  -q, --quiet        no progress line and no warnings on standard error
  -h, --help         show this help
`,
  diff: `Usage: tov-engine diff [options] OLD NEW

Compares two manifests and prints each path that differs, sorted, as
  A  PATH    added: only in NEW
  M  PATH    modified: the digests differ
  D  PATH    deleted: only in OLD
added first, then modified, then deleted. OLD and NEW are each a manifest
file (the text of 'tov-engine manifest' or 'sha256sum', or JSON: the --json
shape or a plain [[PATH, DIGEST], ...] array), a directory (hashed now, with
paths relative to it, so two copies of a tree compare equal), or - for
standard input.

Exit status: 0 when equal, 1 when they differ, 2 on error.

Options:
  --json       print {"added": [...], "modified": [...], "deleted": [...]}
  --all        in directory operands, also walk .git and node_modules
  -q, --quiet  no progress line and no warnings on standard error
  -h, --help   show this help
`,
  tokens: `Usage: tov-engine tokens [options] [FILE...]

Prints the token estimate of each FILE as "COUNT  FILE", and "COUNT  total"
after two or more files. With no FILE, or with -, reads standard input (and
prints the count alone when no FILE was named). Each run of ASCII letters,
digits and underscores counts one token; every other byte of the UTF-8 text
counts one, except spaces, tabs, line feeds and carriage returns. Files are
read as UTF-8.

Options:
  --budget N   print the text cut to at most N tokens instead (one FILE at most)
  --json       print {"files": [{"path": FILE, "tokens": COUNT}, ...], "total": COUNT}
  -q, --quiet  accepted for symmetry; tokens draws no progress line
  -h, --help   show this help
`,
};

// Control characters in a message (a file name with a line feed) would
// break the one-line error rule.
function oneLine(text) {
  return String(text).replace(/[\x00-\x1f\x7f]/g, (c) =>
    c === '\n' ? '\\n' : c === '\r' ? '\\r' : c === '\t' ? '\\t' : `\\x${c.charCodeAt(0).toString(16).padStart(2, '0')}`,
  );
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

  out(text) {
    this.progress.clear();
    this.stdout.write(text);
  }

  warn(text) {
    if (this.quiet) return;
    this.progress.clear();
    this.stderr.write(`tov-engine: warning: ${oneLine(text)}\n`);
  }
}

async function readStdin(stdin = process.stdin) {
  const chunks = [];
  for await (const chunk of stdin) chunks.push(chunk);
  return Buffer.concat(chunks);
}

function walkAndHash(targets, io, { relative, all, exclude }) {
  const warn = (text) => io.warn(text);
  let files = [];
  for (const { path, asRelative } of targets) {
    const found = listFiles(path, {
      relative: relative || asRelative,
      all,
      exclude,
      warn,
      onProgress: (n) => io.progress.update(`tov-engine: scanning ${path}: ${files.length + n} files`),
    });
    files = files.length === 0 ? found : files.concat(found);
  }
  return hashFiles(files, {
    warn,
    onProgress: (done, total) => io.progress.update(`tov-engine: hashing ${done}/${total} files`),
  });
}

async function manifestCommand(args, io) {
  const { values, positionals } = parse(
    args,
    {
      json: { type: 'boolean' },
      output: { type: 'string', short: 'o' },
      relative: { type: 'boolean' },
      all: { type: 'boolean' },
      quiet: { type: 'boolean', short: 'q' },
    },
    'manifest',
  );
  if (values.help) return io.out(HELP.manifest), 0;
  io = io.withQuiet(values.quiet);
  const targets =
    positionals.length === 0 ? [{ path: '.', asRelative: true }] : positionals.map((p) => ({ path: p, asRelative: false }));
  // A typo in the last PATH must fail before minutes of hashing.
  for (const { path } of targets) statArgument(path);
  if (values.output === '') throw new CliError("option '--output' needs a file name");
  const exclude = values.output ? nodePath.resolve(values.output) : null;
  const entries = walkAndHash(targets, io, { relative: values.relative, all: values.all, exclude });
  const root = native.merkleRoot(entries);
  const text = values.json ? format.manifestJson(entries, root) : format.manifestText(entries, root);
  if (values.output) {
    io.progress.clear();
    try {
      fs.writeFileSync(values.output, text);
    } catch (err) {
      throw new CliError(`${values.output}: ${describeFsError(err)}`);
    }
  } else {
    io.out(text);
  }
  return 0;
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

async function loadSide(operand, io, { all, stdin }) {
  if (operand === '-') {
    return checkRoot(format.parseManifest(await readStdin(stdin), 'standard input'), 'standard input', io);
  }
  if (statOperand(operand).isDirectory()) {
    const files = listFiles(operand, {
      relative: true,
      all,
      warn: (t) => io.warn(t),
      onProgress: (n) => io.progress.update(`tov-engine: scanning ${operand}: ${n} files`),
    });
    return hashFiles(files, {
      warn: (t) => io.warn(t),
      onProgress: (done, total) => io.progress.update(`tov-engine: hashing ${operand}: ${done}/${total} files`),
    });
  }
  let buffer;
  try {
    buffer = fs.readFileSync(operand);
  } catch (err) {
    throw new CliError(`${operand}: ${describeFsError(err)}`);
  }
  return checkRoot(format.parseManifest(buffer, operand), operand, io);
}

// A root line that disagrees with the entries means the file was edited or
// cut short; the entries are still compared, but the user should know.
function checkRoot({ entries, root }, source, io) {
  if (root !== null && root !== native.merkleRoot(entries)) {
    io.warn(`${source}: the manifest's root does not match its entries (edited or truncated?)`);
  }
  return entries;
}

async function diffCommand(args, io) {
  const { values, positionals } = parse(
    args,
    { json: { type: 'boolean' }, all: { type: 'boolean' }, quiet: { type: 'boolean', short: 'q' } },
    'diff',
  );
  if (values.help) return io.out(HELP.diff), 0;
  if (positionals.length !== 2) {
    throw new CliError(`diff needs two operands, OLD and NEW (see 'tov-engine diff --help')`);
  }
  const [oldOperand, newOperand] = positionals;
  if (oldOperand === '-' && newOperand === '-') throw new CliError('only one operand can be - (standard input)');
  // Both operands are checked before either is hashed.
  for (const operand of positionals) if (operand !== '-') statOperand(operand);
  io = io.withQuiet(values.quiet);
  const older = await loadSide(oldOperand, io, { all: values.all, stdin: io.stdin });
  const newer = await loadSide(newOperand, io, { all: values.all, stdin: io.stdin });
  const diff = native.merkleDiff(older, newer);
  for (const list of [diff.added, diff.modified, diff.deleted]) list.sort(format.compareBytes);
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
  return differ ? 1 : 0;
}

function parseBudget(text) {
  if (!/^\d+$/.test(text) || Number(text) > 0xffffffff) {
    throw new CliError(`--budget must be a whole number from 0 to 4294967295, not '${text}'`);
  }
  return Number(text);
}

async function readText(file, io) {
  if (file === '-') return (await readStdin(io.stdin)).toString('utf8');
  try {
    return fs.readFileSync(file, 'utf8');
  } catch (err) {
    throw new CliError(`${file}: ${describeFsError(err)}`);
  }
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
    io.out(native.truncateToTokens(await readText(files[0], io), budget));
    return 0;
  }
  // Read everything first: a missing last file must not follow partial output.
  const texts = [];
  for (const file of files) texts.push(await readText(file, io));
  const counts = texts.map((t) => native.countTokens(t));
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
}

const COMMANDS = { manifest: manifestCommand, diff: diffCommand, tokens: tokensCommand };

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
