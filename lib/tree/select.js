'use strict';
// Which paths of a walk are left out by `exclude` patterns and, with
// `gitignore`, by the files git reads: the selection of `git ls-files
// --cached --others --exclude-standard`.
//
// The patterns are the ignore package's; around it this file does what git
// does and the package does not know:
// - names are bytes: every path and pattern is matched in its one-char-per-
//   byte (latin1) form, so `?` and a bracket expression take one byte and
//   `*` never stops inside a multibyte name, as in git;
// - case counts unless the repository sets core.ignoreCase, and then only
//   ASCII letters fold, as in git;
// - rule sets are levels: the deepest .gitignore with an opinion on a path
//   decides, then the ones above, .git/info/exclude, core.excludesFile.
//   A path is tested on its own (never through its parents): the walk does
//   not enter an excluded directory, so reaching a path means its parents
//   stand, whatever a level above would say of them;
// - files git tracks are listed whatever the rules say, so an excluded
//   directory holding tracked files is entered for those files only;
// - a .gitignore is read only if it is a regular file and not a link (git
//   refuses linked ones), and only up to a size this process can match in
//   reasonable time.

const fs = require('node:fs');
const nodePath = require('node:path');
const os = require('node:os');
const { spawnSync } = require('node:child_process');
const ignore = require('ignore');
const { decodeName, encodeName, fsName } = require('./names');
const { systemText } = require('./errors');

// The ignore package tests a path through its parents and caches every
// answer; a walk needs the single-path test underneath (it already knows
// the parents) and no cache that grows with the tree. That test is not
// public, hence the exact pin of the package and this check.
function ruleSet(patterns) {
  const ig = ignore({ ignorecase: false, allowRelativePaths: true }).add(patterns);
  if (typeof ig._rules?.test !== 'function') throw new Error('the ignore package lacks its single-path test; reinstall it at the pinned version');
  return ig._rules;
}

// Past these a rules file is not applied (a failure in the skip list). Each
// rule costs a compiled expression (about 3 KB) and a test per path (about a
// microsecond here, some 20 times git's): 300,000 rules took gigabytes and
// minutes where git takes a moment. Real files stay far below; the total
// bounds a tree of many files.
const MAX_RULES_BYTES = 1 << 20;
const MAX_RULES = 10000;
const MAX_TREE_RULES = 50000;

const UTF8_BOM = Buffer.from([0xef, 0xbb, 0xbf]);
const MIB = 1 << 20;
const NOFOLLOW = fs.constants.O_NOFOLLOW ?? 0;
const NONBLOCK = fs.constants.O_NONBLOCK ?? 0;

// A rules file left unapplied on purpose: `failed` when git would have
// applied it, so that the selection differs from git's.
class RulesError extends Error {
  constructor(message, failed) {
    super(`rules not applied: ${message}`);
    this.failed = failed;
  }
}
const LINKED = 'a symbolic link (git reads none in the tree)';

// Reads a rules file as bytes, never blocking on a FIFO or reading a device.
// Returns null when there is no such file.
function readRules(file, { noFollow }) {
  let fd;
  try {
    if (noFollow && NOFOLLOW === 0 && fs.lstatSync(fsName(file)).isSymbolicLink()) throw new RulesError(LINKED, false);
    fd = fs.openSync(fsName(file), fs.constants.O_RDONLY | NONBLOCK | (noFollow ? NOFOLLOW : 0));
  } catch (err) {
    if (err.code === 'ENOENT' || err.code === 'ENOTDIR') return null;
    if (err.code === 'ELOOP' && noFollow) throw new RulesError(LINKED, false);
    throw err;
  }
  try {
    const st = fs.fstatSync(fd);
    if (!st.isFile()) throw new RulesError('not a regular file', false);
    if (st.size > MAX_RULES_BYTES) throw new RulesError(`larger than ${MAX_RULES_BYTES / MIB} MiB`, true);
    const buf = Buffer.alloc(Math.min(st.size, MAX_RULES_BYTES) + 1);
    let n = 0;
    for (let got; n < buf.length && (got = fs.readSync(fd, buf, n, buf.length - n, null)) > 0; ) n += got;
    if (n > MAX_RULES_BYTES) throw new RulesError(`larger than ${MAX_RULES_BYTES / MIB} MiB`, true);
    return buf.subarray(0, n);
  } finally {
    fs.closeSync(fd);
  }
}

// Under core.ignoreCase git folds ASCII letters only; folding both sides to
// lower case does that, where the package's own option would fold Latin-1
// letters too (which, in byte form, are parts of UTF-8 sequences).
function asciiLower(text) {
  return text.replace(/[A-Z]+/g, (s) => s.toLowerCase());
}

function lineCount(bytes) {
  let lines = bytes.length > 0 && bytes[bytes.length - 1] !== 10 ? 1 : 0;
  for (let i = bytes.indexOf(10); i !== -1 && lines <= MAX_RULES; i = bytes.indexOf(10, i + 1)) lines++;
  return lines;
}

function compileRules(bytes, foldCase) {
  const start = bytes.subarray(0, 3).equals(UTF8_BOM) ? 3 : 0;
  let text = bytes.toString('latin1', start);
  if (foldCase) text = asciiLower(text).replaceAll('[:upper:]', '[:alpha:]');
  return ruleSet(text);
}

// A name's one-char-per-byte form; ASCII is its own.
const NOT_ASCII = /[^\x00-\x7f]/;
const byteForm = (text) => (NOT_ASCII.test(text) ? encodeName(text).toString('latin1') : text);

// git's answer for a path from the levels, deepest first; within a level the
// last matching rule wins (the package's part).
function excludedBy(levels, path) {
  for (let level = levels; level !== null; level = level.parent) {
    const { ignored, unignored } = level.rules.test(path.slice(level.base.length), 'regex');
    if (ignored) return true;
    if (unignored) return false;
  }
  return false;
}

function gitRun(args, cwd) {
  let r;
  try {
    r = spawnSync('git', args, { cwd, encoding: 'buffer', maxBuffer: 1 << 30, stdio: ['ignore', 'pipe', 'pipe'], windowsHide: true });
  } catch (err) {
    return { error: err.message };
  }
  if (r.error) return { error: r.error.code === 'ENOENT' ? 'git not found' : systemText(r.error) };
  return { status: r.status, stdout: r.stdout, stderr: r.stderr.toString().trim().split('\n').pop() };
}

function configValue(text, key) {
  let value;
  for (const entry of text.split('\0')) {
    const nl = entry.indexOf('\n');
    if ((nl === -1 ? entry : entry.slice(0, nl)).toLowerCase() === key) value = nl === -1 ? 'true' : entry.slice(nl + 1);
  }
  return value;
}

// What git knows of the work tree: the files it tracks below `dir` (paths
// relative to it, in byte form), core.ignoreCase and core.excludesFile.
// Null when git is missing or fails; the rules still apply then.
function askGit(dir, note) {
  const cwd = fsName(dir);
  const listed = gitRun(['ls-files', '-z', '--cached'], cwd);
  if (listed.error || listed.status !== 0) {
    note(`git could not list the tracked files (${listed.error || listed.stderr}): tracked files that match a rule are left out`);
    return null;
  }
  const trackedFiles = new Set();
  const trackedDirs = new Set();
  for (const path of listed.stdout.toString('latin1').split('\0')) {
    if (path === '') continue;
    trackedFiles.add(path);
    for (let cut = path.lastIndexOf('/'); cut > 0; cut = path.lastIndexOf('/', cut - 1)) {
      const parent = path.slice(0, cut);
      if (trackedDirs.has(parent)) break;
      trackedDirs.add(parent);
    }
  }
  const config = gitRun(['config', '-z', '--get-regexp', '^core\\.(ignorecase|excludesfile)$'], cwd);
  const text = config.status === 0 ? config.stdout.toString() : '';
  const foldCase = /^(true|yes|on|1)$/i.test(configValue(text, 'core.ignorecase') ?? '');
  let excludesFile = configValue(text, 'core.excludesfile');
  if (excludesFile?.startsWith('~/')) excludesFile = nodePath.join(os.homedir(), excludesFile.slice(2));
  if (excludesFile === undefined) {
    const xdg = process.env.XDG_CONFIG_HOME || nodePath.join(os.homedir(), '.config');
    excludesFile = nodePath.join(xdg, 'git', 'ignore');
  }
  return { trackedFiles, trackedDirs, foldCase, excludesFile };
}

const KEEP_ALL = { root: null, enter: () => null, entry: () => true };

/**
 * The selection for one walked directory.
 * `skip(path, reason, failed)` hears of rules files that were not applied.
 * The walk calls `enter` once per listed directory and `entry` per entry;
 * states are opaque to it.
 */
function openSelection(target, { exclude = null, gitignore = false }, skip) {
  const excluded = exclude && exclude.length > 0 ? ruleSet(exclude.map(byteForm)) : null;
  if (excluded === null && !gitignore) return KEEP_ALL;
  let git = null;
  let prefix = '';
  let out = false;
  let treeRules = 0;

  // The level a rules file adds above `parent`, or `parent` when it adds none.
  const load = (file, base, shownAs, inTree, parent) => {
    try {
      const bytes = readRules(file, { noFollow: inTree });
      if (bytes === null) return parent;
      const lines = lineCount(bytes);
      if (lines > MAX_RULES) throw new RulesError(`more than ${MAX_RULES} lines`, true);
      treeRules += lines;
      if (treeRules > MAX_TREE_RULES) throw new RulesError(`more than ${MAX_TREE_RULES} lines of rules in all`, true);
      return { rules: compileRules(bytes, git?.foldCase), base, parent };
    } catch (err) {
      if (err instanceof RulesError) skip(shownAs, err.message, err.failed);
      else skip(shownAs, `rules not applied: ${systemText(err)}`, true);
      return parent;
    }
  };

  let levels = null;
  if (gitignore) {
    const top = repositoryTop(target.path);
    if (top !== null) {
      git = askGit(target.path, (reason) => skip(target.display || '.', reason, false));
      if (git !== null) levels = load(git.excludesFile, '', git.excludesFile, false, levels);
      const info = nodePath.join(top.path, '.git', 'info', 'exclude');
      levels = load(info, '', info, false, levels);
      // The rules of the directories from the top down to the walked one,
      // which may itself lie in an excluded directory.
      let dir = top.path;
      for (const part of top.below) {
        const file = nodePath.join(dir, '.gitignore');
        levels = load(file, prefix, file, true, levels);
        dir = nodePath.join(dir, part);
        prefix += `${byteForm(part)}/`;
        if (!out && excludedBy(levels, git?.foldCase ? asciiLower(prefix) : prefix)) out = true;
      }
    }
  }

  return {
    root: { rel: '', levels, out },

    // A directory's state once listed: its own .gitignore joins the levels.
    enter(state, list, fsDir, display) {
      if (!gitignore || state.out) return state;
      // Another repository (a submodule or not) inside: git lists none of
      // its files.
      if (state.rel !== '' && list.some((e) => e.name === '.git')) {
        skip(display, 'a git repository inside the walked one, left out as git does', false);
        return { ...state, out: true };
      }
      if (!list.some((e) => e.name === '.gitignore')) return state;
      const shownAs = display === '' ? '.gitignore' : `${display}/.gitignore`;
      const entered = load(`${fsDir}/.gitignore`, prefix + (state.rel && `${state.rel}/`), shownAs, true, state.levels);
      return entered === state.levels ? state : { ...state, levels: entered };
    },

    // Null if the entry is left out; else, for a directory, the state to
    // enter it with. `text` is the name as names.js decodes it.
    entry(state, text, isDir) {
      if (!gitignore && excluded === null) return isDir ? state : true;
      const name = byteForm(text);
      // git keeps its own directory out of every listing, whatever `all` says.
      if (gitignore && name === '.git') return null;
      const rel = state.rel === '' ? name : `${state.rel}/${name}`;
      const path = isDir ? `${rel}/` : rel;
      if (excluded !== null && excluded.test(path, 'regex').ignored) return null;
      let out = state.out;
      if (gitignore && !out && state.levels !== null) out = excludedBy(state.levels, git?.foldCase ? asciiLower(prefix + path) : prefix + path);
      // Excluded, or inside an excluded directory: only what git tracks.
      if (out && (git === null || !(isDir ? git.trackedDirs : git.trackedFiles).has(rel))) return null;
      return isDir ? { rel, levels: state.levels, out } : true;
    },
  };
}

// The top of the git work tree holding `dir` and the names from there down
// to it, or null outside any.
function repositoryTop(dir) {
  let real;
  try {
    real = decodeName(fs.realpathSync(fsName(dir), { encoding: 'buffer' }));
  } catch {
    return null;
  }
  let top = real;
  while (!fs.existsSync(fsName(nodePath.join(top, '.git')))) {
    const parent = nodePath.dirname(top);
    if (parent === top) return null;
    top = parent;
  }
  const below = nodePath.relative(top, real);
  return { path: top, below: below === '' ? [] : below.split(nodePath.sep) };
}

module.exports = { openSelection, MAX_RULES, MAX_TREE_RULES };
