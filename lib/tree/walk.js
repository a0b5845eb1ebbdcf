'use strict';
// Finds the files to hash under each target, in byte order of their paths.
//
// Links: a link to a file counts as that file; a link to a directory is not
// entered unless `follow` is set (as git, rsync and fd do), and then never
// into a directory that is already being walked (a loop). What is left out
// by design (excluded paths, FIFOs, sockets, devices, links not followed)
// and what could not be read are both reported, the latter as failures.

const fs = require('node:fs');
const nodePath = require('node:path');
const ignore = require('ignore');
const { decodeName, fsName } = require('./names');
const { systemText } = require('./errors');

const SKIPPED_DIRS = new Set(['.git', 'node_modules']);

// Node's entries are right; some hosts hand back Buffers instead of entries
// when names are asked for as bytes. Those get a plain listing and one lstat
// per name, which costs about three times as much on a large tree.
let direntsWork = true;

function listDir(dir) {
  if (direntsWork) {
    const list = fs.readdirSync(dir, { withFileTypes: true, encoding: 'buffer' });
    if (list.length === 0 || (typeof list[0].isFile === 'function' && Buffer.isBuffer(list[0].name))) {
      return list.map((d) => ({ raw: d.name, type: typeOf(d) }));
    }
    direntsWork = false;
  }
  return fs.readdirSync(dir, { encoding: 'buffer' }).map((raw) => ({ raw, type: null }));
}

// Of a directory entry or of file metadata: both answer the same questions.
function typeOf(st) {
  if (st.isFile()) return 'file';
  if (st.isDirectory()) return 'dir';
  if (st.isSymbolicLink()) return 'link';
  return 'other';
}

function join(base, name) {
  if (base === '') return name;
  return base.endsWith('/') ? base + name : `${base}/${name}`;
}

function readIgnoreFile(file) {
  try {
    return ignore().add(fs.readFileSync(fsName(file), 'utf8'));
  } catch (err) {
    if (err.code === 'ENOENT' || err.code === 'ENOTDIR') return null;
    throw err;
  }
}

// The rule sets of .gitignore files above the walked directory, up to the
// top of the repository that holds it, and its .git/info/exclude: git reads
// them all for any path below.
function repositoryLevels(dir) {
  let real;
  try {
    real = fs.realpathSync(fsName(dir));
  } catch {
    return { levels: null, prefix: '' };
  }
  let top = real;
  while (!fs.existsSync(nodePath.join(top, '.git'))) {
    const parent = nodePath.dirname(top);
    if (parent === top) return { levels: null, prefix: '' };
    top = parent;
  }
  let levels = null;
  const push = (ig, base) => {
    if (ig) levels = { ig, base, parent: levels };
  };
  push(readIgnoreFile(nodePath.join(top, '.git', 'info', 'exclude')), '');
  const below = nodePath.relative(top, real);
  const parts = below === '' ? [] : below.split(nodePath.sep);
  let base = '';
  for (let i = 0; i < parts.length; i++) {
    push(readIgnoreFile(nodePath.join(top, ...parts.slice(0, i), '.gitignore')), base);
    base += `${parts[i]}/`;
  }
  // The walked directory's own .gitignore is read when it is listed.
  return { levels, prefix: base };
}

// The deepest rule set with an opinion decides; within one set the last
// matching rule wins (the ignore package's job).
function ignoredBy(levels, pathFromTop, isDir) {
  const p = isDir ? `${pathFromTop}/` : pathFromTop;
  for (let level = levels; level !== null; level = level.parent) {
    const { ignored, unignored } = level.ig.test(p.slice(level.base.length));
    if (ignored) return true;
    if (unignored) return false;
  }
  return false;
}

function keyOf(st) {
  return `${st.dev}:${st.ino}`;
}

function inChain(chain, key) {
  for (let link = chain; link; link = link.parent) if (link.key === key) return true;
  return false;
}

/**
 * Walks one directory target. `target.path` is where to read, `target.display`
 * what its paths start with ('' for paths relative to it). Returns the files
 * as { fsPath, display } sorted by display bytes; `skip(display, reason,
 * failed)` hears of everything left out that is not excluded.
 */
function walkDirectory(target, options, skip, onFound) {
  const { all = false, follow = false, exclude = null, gitignore = false, leaveOut = null } = options;
  const files = [];
  const excluded = exclude && exclude.length > 0 ? ignore().add(exclude) : null;
  const repo = gitignore ? repositoryLevels(target.path) : { levels: null, prefix: '' };
  const rootKey = follow ? keyOf(fs.statSync(fsName(target.path))) : null;
  const stack = [
    { fsDir: target.path, display: target.display, rel: '', levels: repo.levels, chain: { key: rootKey, parent: null } },
  ];
  while (stack.length > 0) {
    const dir = stack.pop();
    let list;
    try {
      list = listDir(fsName(dir.fsDir));
    } catch (err) {
      if (dir.rel === '') throw err;
      skip(dir.display, systemText(err), true);
      continue;
    }
    let levels = dir.levels;
    if (gitignore && list.some((e) => e.raw.length === 10 && e.raw.toString('latin1') === '.gitignore')) {
      try {
        const ig = readIgnoreFile(join(dir.fsDir, '.gitignore'));
        if (ig) levels = { ig, base: repo.prefix + (dir.rel && `${dir.rel}/`), parent: levels };
      } catch (err) {
        skip(join(dir.display, '.gitignore'), `rules not applied: ${systemText(err)}`, true);
      }
    }
    const subdirs = [];
    for (const { raw, type: listedType } of list) {
      const name = decodeName(raw);
      if (!all && SKIPPED_DIRS.has(name)) continue;
      const fsPath = join(dir.fsDir, name);
      const display = join(dir.display, name);
      const rel = dir.rel === '' ? name : `${dir.rel}/${name}`;
      let type = listedType;
      let target = null;
      try {
        if (type === null) type = typeOf(fs.lstatSync(fsName(fsPath)));
        if (type === 'link' || (follow && type === 'dir')) target = fs.statSync(fsName(fsPath));
      } catch (err) {
        if (err.code === 'ENOENT' && type === 'link') skip(display, 'broken symbolic link', false);
        else if (err.code === 'ELOOP') skip(display, 'symbolic link loop', false);
        else skip(display, systemText(err), true);
        continue;
      }
      const resolved = type === 'link' ? typeOf(target) : type;
      const asDir = resolved === 'dir' && (type === 'dir' || follow);
      if (excluded !== null && excluded.ignores(asDir ? `${rel}/` : rel)) continue;
      if (levels !== null && ignoredBy(levels, repo.prefix + rel, asDir)) continue;
      if (resolved === 'file') {
        if (leaveOut !== null && leaveOut.matches(name, fsPath)) continue;
        files.push({ fsPath, display });
        if ((files.length & 1023) === 0) onFound(files.length);
      } else if (asDir) {
        const key = target === null ? null : keyOf(target);
        if (key !== null && inChain(dir.chain, key)) {
          skip(display, 'symbolic link loop', false);
          continue;
        }
        subdirs.push({ fsDir: fsPath, display, rel, levels, chain: { key, parent: dir.chain } });
      } else if (resolved === 'dir') {
        skip(display, 'symbolic link to a directory, not followed', false);
      } else {
        skip(display, 'not a regular file', false);
      }
    }
    // Reversed so that the stack pops subdirectories in name order.
    for (let i = subdirs.length - 1; i >= 0; i--) stack.push(subdirs[i]);
  }
  return files;
}

// Files to leave out by identity (the manifest being written or compared),
// checked only for entries that carry the same name; a bare { dev, ino }
// (standard output) has no name, so every file is checked against it.
function leaveOutSet(items) {
  const byName = new Map();
  const anyName = [];
  for (const p of items) {
    if (typeof p === 'object' && p !== null) {
      anyName.push(`${p.dev}:${p.ino}`);
      continue;
    }
    try {
      const st = fs.statSync(fsName(p));
      const name = nodePath.basename(p);
      if (!byName.has(name)) byName.set(name, []);
      byName.get(name).push(keyOf(st));
    } catch {
      // A file that does not exist cannot turn up in the walk.
    }
  }
  if (byName.size === 0 && anyName.length === 0) return null;
  return {
    matches(name, fsPath) {
      const keys = anyName.length > 0 ? anyName.concat(byName.get(name) || []) : byName.get(name);
      if (keys === undefined) return false;
      try {
        return keys.includes(keyOf(fs.statSync(fsName(fsPath))));
      } catch {
        return false;
      }
    },
  };
}

module.exports = { walkDirectory, leaveOutSet, SKIPPED_DIRS };
