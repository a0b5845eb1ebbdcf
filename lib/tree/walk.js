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
const { decodeName, fsName } = require('./names');
const { openSelection } = require('./select');
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
  const { all = false, follow = false, leaveOut = null } = options;
  const files = [];
  const select = openSelection(target, options, skip);
  const rootKey = follow ? keyOf(fs.statSync(fsName(target.path))) : null;
  const stack = [
    { fsDir: target.path, display: target.display, selected: select.root, chain: { key: rootKey, parent: null } },
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
    const selected = select.enter(dir.selected, list, dir.fsDir, dir.display);
    const subdirs = [];
    for (const { raw, type: listedType } of list) {
      const name = decodeName(raw);
      if (!all && SKIPPED_DIRS.has(name)) continue;
      const fsPath = join(dir.fsDir, name);
      const display = join(dir.display, name);
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
      const kept = select.entry(selected, raw, asDir);
      if (kept === null) continue;
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
        subdirs.push({ fsDir: fsPath, display, selected: kept, chain: { key, parent: dir.chain } });
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
// checked only for entries that carry the same name.
function leaveOutSet(paths) {
  const byName = new Map();
  for (const p of paths) {
    try {
      const st = fs.statSync(fsName(p));
      const name = nodePath.basename(p);
      if (!byName.has(name)) byName.set(name, []);
      byName.get(name).push(keyOf(st));
    } catch {
      // A file that does not exist cannot turn up in the walk.
    }
  }
  if (byName.size === 0) return null;
  return {
    matches(name, fsPath) {
      const keys = byName.get(name);
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
