'use strict';
// The --gitignore and --exclude selection against git's own: random
// repositories, then the disagreements found before, one by one.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { walkDirectory } = require('../../lib/tree/walk');
const { compareWithGit, gitSelection, gitEnvironment } = require('../support/random-repo');
const { makeTempDir, removeTempDir, makeRandom, WINDOWS } = require('../support');
const { MAX_RULES, MAX_TREE_RULES } = require('../../lib/tree/select');

const CLI = path.join(__dirname, '..', '..', 'bin', 'tov-engine.js');
const NO_GIT = spawnSync('git', ['--version']).status !== 0 && 'git is not installed';

let tmp;
let savedEnv;
before(() => {
  tmp = makeTempDir('gitignore');
  savedEnv = { ...process.env };
  // The walk asks git too: both see the same configuration, none of the user's.
  Object.assign(process.env, gitEnvironment(path.join(tmp, 'home')));
});
after(() => {
  process.env = savedEnv;
  removeTempDir(tmp);
});

function write(file, content) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, content);
}

function walk(dir, options = {}) {
  const skipped = [];
  const files = walkDirectory({ path: dir, display: '' }, { gitignore: true, ...options }, (p, reason, failed) => skipped.push({ path: p, reason, failed }), () => {});
  return { files: files.map((f) => f.display).sort(), skipped };
}

describe('--gitignore selects what git ls-files --cached --others --exclude-standard lists', { skip: NO_GIT }, () => {
  it('in random repositories', () => {
    // A fixed seed, so that a failure here repeats; the stress test varies it.
    compareWithGit(makeRandom(20261210), tmp, 150, (dir) => walk(dir).files);
  });
});

// A repository with `files` (path: content) and `rules` (path: .gitignore
// text, or bytes), `forced` files added though ignored.
function repository(name, { files = [], rules = {}, forced = [], config = [] }) {
  const dir = path.join(tmp, name);
  fs.mkdirSync(dir, { recursive: true });
  const git = (...args) => assert.equal(spawnSync('git', args, { cwd: dir }).status, 0, `git ${args.join(' ')}`);
  git('init', '-q');
  for (const [key, value] of config) git('config', key, value);
  for (const f of files) write(path.join(dir, f), f);
  for (const [f, text] of Object.entries(rules)) write(path.join(dir, f), text);
  if (forced.length > 0) git('add', '-f', '--', ...forced);
  return dir;
}

describe('the disagreements with git found before', { skip: NO_GIT }, () => {
  it('match case-sensitively, unless the repository sets core.ignoreCase', () => {
    const files = ['Core/main.c', 'core', 'README.O', 'a.o', 'keep.LOG', 'x.log', 'Straße.TXT'];
    const rules = { '.gitignore': 'core\n*.o\n*.txt\n' };
    const dir = repository('case', { files, rules });
    assert.deepEqual(walk(dir).files, ['.gitignore', 'Core/main.c', 'README.O', 'Straße.TXT', 'keep.LOG', 'x.log']);
    assert.deepEqual(walk(dir).files, gitSelection(dir, process.env));
    // --exclude is case-sensitive too, whatever git is told.
    assert.deepEqual(walk(dir, { gitignore: false, exclude: ['*.log'] }).files.filter((f) => /log/i.test(f)), ['keep.LOG']);
    const folded = repository('case-folded', { files, rules, config: [['core.ignoreCase', 'true']] });
    assert.deepEqual(walk(folded).files, ['.gitignore', 'keep.LOG', 'x.log']);
    assert.deepEqual(walk(folded).files, gitSelection(folded, process.env));
    assert.deepEqual(walk(folded, { exclude: ['*.LOG'] }).files, ['.gitignore', 'x.log']);
  });

  it('take `?` and a bracket expression as one byte, `*` as any bytes', () => {
    const files = ['é.txt', 'e.txt', 'éé.txt', 'ab.md', 'é.md', 'x/日本.c', 'x/日.c', 'x/d.c'];
    const dir = repository('bytes', { files, rules: { '.gitignore': '?.txt\n???.md\nx/*\n!x/???.c\n[é]?.md\n' } });
    assert.deepEqual(walk(dir).files, ['.gitignore', 'ab.md', 'x/日.c', 'é.txt', 'éé.txt']);
    assert.deepEqual(walk(dir).files, gitSelection(dir, process.env));
    assert.deepEqual(walk(dir, { gitignore: false, exclude: ['?.txt', '*.md'] }).files, ['.gitignore', 'x/d.c', 'x/日.c', 'x/日本.c', 'é.txt', 'éé.txt']);
  });

  it('enter a directory that a deeper .gitignore re-includes, and no file below an excluded one', () => {
    const files = ['d/keep/x', 'd/keep/sub/y', 'd/other/z', 'd/top', 'e/f/g', 'e/h'];
    const rules = { '.gitignore': 'd/*\ne/\n!e/h\n', 'd/.gitignore': '!keep/\n', 'e/.gitignore': '!*\n' };
    const dir = repository('reinclude', { files, rules });
    assert.deepEqual(walk(dir).files, ['.gitignore', 'd/keep/sub/y', 'd/keep/x']);
    assert.deepEqual(walk(dir).files, gitSelection(dir, process.env));
  });

  it('keep tracked files that match a rule, below an excluded directory too', () => {
    const files = ['build/a.js', 'build/new.js', 'build/deep/b.js', 'app.log', 'new.log', 'src/c.js'];
    const dir = repository('tracked', { files, rules: { '.gitignore': 'build/\n*.log\n!build/new.js\n' }, forced: ['build/deep/b.js', 'app.log'] });
    assert.deepEqual(walk(dir).files, ['.gitignore', 'app.log', 'build/deep/b.js', 'src/c.js']);
    assert.deepEqual(walk(dir).files, gitSelection(dir, process.env));
    // Walked from inside the excluded directory: its tracked files only.
    assert.deepEqual(walk(path.join(dir, 'build')).files, ['deep/b.js']);
  });

  it('leave out other repositories inside and .git itself, as git does', () => {
    const dir = repository('nested', { files: ['a', 'inner/b'] });
    assert.equal(spawnSync('git', ['init', '-q'], { cwd: path.join(dir, 'inner') }).status, 0);
    const { files, skipped } = walk(dir, { all: true });
    assert.deepEqual(files, ['a']);
    assert.deepEqual(skipped, [{ path: 'inner', reason: 'a git repository inside the walked one, left out as git does', failed: false }]);
  });
});

describe('.gitignore files git would not read or this walk cannot afford', () => {
  it('are not read through a link or when not a regular file, with a note', { skip: WINDOWS && 'no links or FIFOs', timeout: 20000 }, () => {
    const dir = path.join(tmp, 'odd-rules');
    for (const d of ['linked', 'zero', 'fifo']) fs.mkdirSync(path.join(dir, d), { recursive: true });
    fs.writeFileSync(path.join(dir, 'rules'), '*\n');
    for (const f of ['linked/a', 'zero/b', 'fifo/c']) fs.writeFileSync(path.join(dir, f), '');
    fs.symlinkSync('../rules', path.join(dir, 'linked', '.gitignore'));
    fs.symlinkSync('/dev/zero', path.join(dir, 'zero', '.gitignore'));
    assert.equal(spawnSync('mkfifo', [path.join(dir, 'fifo', '.gitignore')]).status, 0);
    // In a process of its own: a walk that reads the FIFO or the device
    // blocks or grows for ever, and only a kill ends it.
    const r = spawnSync(process.execPath, [CLI, 'manifest', '--gitignore', '--json'], { cwd: dir, timeout: 20000, encoding: 'utf8' });
    assert.equal(r.status, 0, r.stderr);
    assert.deepEqual(JSON.parse(r.stdout).manifest.map((e) => e[0]), ['fifo/c', 'linked/.gitignore', 'linked/a', 'rules', 'zero/b']);
    assert.deepEqual(r.stderr.split('\n').filter((line) => line.includes('rules')), [
      'tov-engine: warning: skipped fifo/.gitignore: rules not applied: not a regular file',
      'tov-engine: warning: skipped linked/.gitignore: rules not applied: a symbolic link (git reads none in the tree)',
      'tov-engine: warning: skipped zero/.gitignore: rules not applied: a symbolic link (git reads none in the tree)',
    ]);
  });

  it('are refused past their size, as a failure of one line', { timeout: 60000 }, () => {
    const dir = path.join(tmp, 'huge-rules');
    fs.mkdirSync(path.join(dir, 'sub'), { recursive: true });
    const lines = Array.from({ length: 300000 }, (_, i) => `p${i}`);
    fs.writeFileSync(path.join(dir, '.gitignore'), `${lines.join('\n')}\n`);
    fs.writeFileSync(path.join(dir, 'sub', '.gitignore'), `${lines.slice(0, MAX_RULES + 1).join('\n')}`);
    fs.writeFileSync(path.join(dir, 'p1'), '');
    const { files, skipped } = walk(dir);
    assert.deepEqual(files, ['.gitignore', 'p1', 'sub/.gitignore']);
    assert.deepEqual(skipped, [
      { path: '.gitignore', reason: 'rules not applied: larger than 1 MiB', failed: true },
      { path: 'sub/.gitignore', reason: `rules not applied: more than ${MAX_RULES} lines`, failed: true },
    ]);
    // Many files within the limit each, too many in all: comments count.
    const many = path.join(tmp, 'many-rules');
    const comments = `${'#\n'.repeat(MAX_RULES - 1)}p1\n`;
    for (let i = 0; i * (MAX_RULES - 1) <= MAX_TREE_RULES; i++) write(path.join(many, `d${i}`, '.gitignore'), comments);
    for (let i = 0; i * (MAX_RULES - 1) <= MAX_TREE_RULES; i++) write(path.join(many, `d${i}`, 'p1'), '');
    const result = walk(many);
    assert.equal(result.skipped.length, 1);
    assert.match(result.skipped[0].reason, /more than 50000 lines of rules in all/);
    assert.equal(result.files.filter((f) => f.endsWith('p1')).length, 1);
  });
});
