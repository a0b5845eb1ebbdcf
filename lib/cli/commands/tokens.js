'use strict';

const fs = require('node:fs');
const { parse } = require('../args');
const { CliError, describeFsError } = require('../errors');
const format = require('../format');
const { HELP } = require('../help');
const tokens = require('../tokens');

async function readStdin(stdin) {
  const chunks = [];
  for await (const chunk of stdin) chunks.push(chunk);
  return Buffer.concat(chunks);
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

module.exports = { tokensCommand };
