'use strict';
// The README's examples run as written and print what it shows.
//
// Conventions of the README:
// - every ```js block runs, in a fresh copy of the fixture project below,
//   as an ES module when it has an import statement and as CommonJS
//   otherwise (top-level await allowed in both); each `// prints: TEXT`
//   comment is one line the block prints, in order, and nothing else may
//   be printed;
// - every ```console block is a shell session run in such a copy: a line
//   starting with `$ ` is a command, the lines after it up to the next
//   command are what it prints (standard output and error together);
// - other blocks (```sh, ```text, ...) are shown, not run.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { makeTempDir, removeTempDir, WINDOWS } = require('../support');

const root = path.join(__dirname, '..', '..');
const hasSha256sum = spawnSync('sha256sum', ['--version']).status === 0;

// The project the examples work in.
const FIXTURE = {
  'hello.txt': 'hello\n',
  'notes.md': '# Notes\n\nSome notes.\n',
  LICENSE: 'Permission is hereby granted, free of charge, to any person.\n',
  'src/a.txt': 'abc',
  'src/back\\slash': 'x',
  'src/app.js': "const greeting = 'hello, world';\nconsole.log(greeting.toUpperCase());\n",
};

/** The runnable blocks of a Markdown text: { kind, line, body }. */
function blocks(markdown) {
  const found = [];
  const lines = markdown.split('\n');
  for (let i = 0; i < lines.length; i++) {
    const open = /^```(\w*)\s*$/.exec(lines[i]);
    if (!open) continue;
    const start = i;
    let end = i + 1;
    while (end < lines.length && lines[end] !== '```') end++;
    if (open[1] === 'js' || open[1] === 'console') {
      found.push({ kind: open[1], line: start + 1, body: lines.slice(start + 1, end).join('\n') });
    }
    i = end;
  }
  return found;
}

/** A console block as [{ command, output }]. */
function session(body) {
  const steps = [];
  for (const line of body.split('\n')) {
    if (line.startsWith('$ ')) steps.push({ command: line.slice(2), output: [] });
    else if (steps.length > 0) steps[steps.length - 1].output.push(line);
    else throw new Error(`output before any command: ${line}`);
  }
  return steps;
}

let tmp;
let shims;
let count = 0;

function project() {
  const dir = path.join(tmp, `p${++count}`);
  for (const [name, content] of Object.entries(FIXTURE)) {
    fs.mkdirSync(path.dirname(path.join(dir, name)), { recursive: true });
    fs.writeFileSync(path.join(dir, name), content);
  }
  fs.mkdirSync(path.join(dir, 'node_modules'));
  fs.symlinkSync(root, path.join(dir, 'node_modules', 'tov-engine-native'), 'dir');
  return dir;
}

function runJs(body) {
  const dir = project();
  const esm = /^import /m.test(body);
  const file = path.join(dir, esm ? 'example.mjs' : 'example.cjs');
  fs.writeFileSync(file, esm ? body : `(async () => {\n${body}\n})().catch((err) => { console.error(err); process.exitCode = 1; });\n`);
  const r = spawnSync(process.execPath, [file], { cwd: dir, encoding: 'utf8' });
  assert.equal(r.status, 0, r.stderr);
  const printed = r.stdout.split('\n');
  if (printed[printed.length - 1] === '') printed.pop();
  const expected = [...body.matchAll(/\/\/ prints: (.*)$/gm)].map((m) => m[1]);
  assert.deepEqual(printed, expected);
}

function runConsole(body) {
  const dir = project();
  const steps = session(body);
  // One shell, so that `echo $?` sees the command before it; a marker line
  // after each command splits the output.
  const script = steps.map((s) => `${s.command} 2>&1; __status=$?; printf '@@@\\n'; (exit $__status)`).join('\n');
  const env = { ...process.env, PATH: `${shims}${path.delimiter}${process.env.PATH}` };
  const r = spawnSync('sh', ['-c', script], { cwd: dir, encoding: 'utf8', env });
  const outputs = r.stdout.split('@@@\n');
  steps.forEach((step, i) => {
    assert.equal(outputs[i].replace(/\n$/, ''), step.output.join('\n'), `$ ${step.command}`);
  });
}

describe('README examples', { skip: WINDOWS && 'the sessions are POSIX shell' }, () => {
  const readme = fs.readFileSync(path.join(root, 'README.md'), 'utf8');
  const found = blocks(readme);

  before(() => {
    tmp = makeTempDir('readme');
    shims = path.join(tmp, 'bin');
    fs.mkdirSync(shims);
    const shim = path.join(shims, 'tov-engine');
    fs.writeFileSync(shim, `#!/bin/sh\nexec "${process.execPath}" "${path.join(root, 'bin', 'tov-engine.js')}" "$@"\n`);
    fs.chmodSync(shim, 0o755);
  });
  after(() => removeTempDir(tmp));

  it('has examples of both kinds', () => {
    assert.ok(found.some((b) => b.kind === 'js') && found.some((b) => b.kind === 'console'));
  });

  for (const block of found) {
    const skip = block.kind === 'console' && /sha256sum/.test(block.body) && !hasSha256sum && 'sha256sum is not installed';
    it(`${block.kind} block at line ${block.line}`, { skip }, () => {
      if (block.kind === 'js') runJs(block.body);
      else runConsole(block.body);
    });
  }
});

module.exports = { blocks, session };
