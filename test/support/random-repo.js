'use strict';
// Random git repositories for comparing the walk's --gitignore selection with
// git's own: nested .gitignore files with negations, directory, anchored and
// `**` patterns, bracket expressions, case variants, multibyte and invalid
// UTF-8 names, .git/info/exclude, a global excludes file, core.ignoreCase,
// and files tracked though ignored.

const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { decodeName } = require('../../lib/tree/names');

const b = (text) => Buffer.from(text, 'utf8');
const DIRS = ['d1', 'D1', 'sub', 'keep', 'build', 'é', 'deep'].map(b);
const FILES = ['a', 'A', 'x.txt', 'X.TXT', 'y.log', 'Y.LOG', 'é.txt', 'É.txt', 'ß', '日本.md', 'c.o', 'C.O', 'keep', 'ab.txt']
  .map(b)
  .concat([Buffer.from([0xff, 0x2e, 0x62]), Buffer.from([0x63, 0xe9])]);
const PATTERNS = [
  '*.txt', '*.TXT', '*.log', '*.o', '*.O', '?.txt', '??.txt', '?', 'a', 'A', 'keep', 'keep/', '/keep', 'd1', 'd1/', '/d1/',
  'd1/*', 'd1/**', '**/keep', 'sub/**/a', '**/x.txt', 'deep/*/a', '[a-c]*', '[!a]*', '[A-Z]*', '[[:upper:]]*', '*[é]*',
  'é*', 'é/', 'É*', '*.[oO]', 'build/', 'ß', '日*', '*/', 'sub/*', '/*.md', '*b', '\\!x', 'x.txt/',
].map(b).concat([Buffer.from([0xff, 0x2a]), Buffer.from([0x63, 0x3f])]);

function write(file, data) {
  fs.mkdirSync(typeof file === 'string' ? path.dirname(file) : file.subarray(0, file.lastIndexOf(0x2f)), { recursive: true });
  fs.writeFileSync(file, data);
}

function git(args, cwd, env, input) {
  const r = spawnSync('git', args, { cwd, env, input, encoding: 'buffer' });
  if (r.status !== 0) throw new Error(`git ${args.join(' ')}: ${r.stderr}`);
  return r.stdout;
}

// The environment both git and the walk run under: no user's or system's
// configuration, a home of the test's own for the global excludes file.
function gitEnvironment(home) {
  return { ...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, '.config'), GIT_CONFIG_NOSYSTEM: '1', GIT_CONFIG_GLOBAL: path.join(home, 'gitconfig') };
}

function rules(rnd) {
  const lines = [];
  for (let n = 1 + rnd.int(5); n > 0; n--) {
    const pattern = rnd.pick(PATTERNS);
    lines.push(rnd.chance(0.25) ? Buffer.concat([b('!'), pattern]) : pattern);
  }
  return Buffer.concat(lines.flatMap((line) => [line, b('\n')]));
}

/** Builds a random repository in `dir`; returns what git lists, as strings. */
function randomRepository(rnd, dir, env) {
  fs.mkdirSync(dir, { recursive: true });
  git(['init', '-q'], dir, env);
  // core.ignoreCase belongs to file systems where names differ in more than
  // case; names that differ only in case would confuse git itself there.
  const foldCase = rnd.chance(0.2);
  if (foldCase) git(['config', 'core.ignoreCase', 'true'], dir, env);
  const key = (name) => (foldCase ? Buffer.from(name.toString('latin1').toLowerCase(), 'latin1') : name);
  const files = [];
  const keys = [];
  const spelled = new Map();
  for (let n = 4 + rnd.int(20); n > 0; n--) {
    const parts = [];
    for (let depth = rnd.int(4); depth > 0; depth--) parts.push(rnd.pick(DIRS));
    parts.push(rnd.pick(FILES));
    const rel = Buffer.concat(parts.flatMap((p, i) => (i === 0 ? [p] : [b('/'), p])));
    const k = key(rel);
    if (keys.some((f) => f.equals(k) || k.subarray(0, f.length + 1).equals(Buffer.concat([f, b('/')])))) continue;
    if (keys.some((f) => f.subarray(0, k.length + 1).equals(Buffer.concat([k, b('/')])))) continue;
    // A directory's spelling is the first one used.
    const cuts = [];
    for (let i = rel.indexOf(0x2f); i !== -1; i = rel.indexOf(0x2f, i + 1)) cuts.push(i);
    if (cuts.some((i) => (spelled.get(k.subarray(0, i).toString('latin1')) ?? rel.subarray(0, i).toString('latin1')) !== rel.subarray(0, i).toString('latin1'))) continue;
    for (const i of cuts) spelled.set(k.subarray(0, i).toString('latin1'), rel.subarray(0, i).toString('latin1'));
    files.push(rel);
    keys.push(k);
    write(Buffer.concat([b(`${dir}/`), rel]), 'x');
  }
  const dirs = [Buffer.alloc(0), ...new Set(files.flatMap((f) => {
    const cuts = [];
    for (let i = f.indexOf(0x2f); i !== -1; i = f.indexOf(0x2f, i + 1)) cuts.push(f.subarray(0, i).toString('latin1'));
    return cuts;
  }))].map((d) => (typeof d === 'string' ? Buffer.from(d, 'latin1') : d));
  for (const d of dirs) {
    if (rnd.chance(0.45)) write(Buffer.concat([b(`${dir}/`), d, b(d.length ? '/.gitignore' : '.gitignore')]), rules(rnd));
  }
  if (rnd.chance(0.4)) fs.appendFileSync(path.join(dir, '.git', 'info', 'exclude'), rules(rnd));
  const global = path.join(env.XDG_CONFIG_HOME, 'git', 'ignore');
  if (rnd.chance(0.2)) write(global, rules(rnd));
  else fs.rmSync(global, { force: true });
  const forced = files.filter(() => rnd.chance(0.1));
  // Names go in as bytes: some are not UTF-8, which an argument cannot carry.
  const forcedList = Buffer.concat(forced.flatMap((f) => [f, Buffer.of(0)]));
  if (forced.length > 0) git(['--literal-pathspecs', 'add', '-f', '--pathspec-from-file=-', '--pathspec-file-nul'], dir, env, forcedList);
  return gitSelection(dir, env);
}

function gitSelection(dir, env) {
  const out = git(['ls-files', '-z', '--cached', '--others', '--exclude-standard'], dir, env);
  const names = [];
  for (let start = 0, end; (end = out.indexOf(0, start)) !== -1; start = end + 1) names.push(decodeName(out.subarray(start, end)));
  return names.sort();
}

/**
 * Builds `count` random repositories under `base` in turn and asserts that
 * `select(dir)` (sorted paths) equals git's list for each. The process
 * environment must be `gitEnvironment`'s, since the walk asks git too.
 */
function compareWithGit(rnd, base, count, select) {
  for (let i = 0; i < count; i++) {
    const dir = path.join(base, `r${i}`);
    const expected = randomRepository(rnd, dir, process.env);
    assert.deepEqual(select(dir), expected, `repository ${i} of seed ${rnd.seed} (${dir})`);
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

module.exports = { compareWithGit, gitSelection, gitEnvironment };
