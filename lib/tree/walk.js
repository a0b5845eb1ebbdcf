'use strict';
// Finds the files to hash under a directory target, depth first: each
// directory's entries in the order fs.readdir gives them (sorted by name on
// POSIX systems, where libuv sorts; the file system's own order on Windows),
// its subdirectories after its files, in that order. Callers sort the files
// by path; the notes on what was left out keep this order. (engine.js walks
// natively in the same order where the system allows.)
//
// Links: a link to a file counts as that file; a link to a directory is not
// entered unless `follow` is set (as git, rsync and fd do), and then never
// into a directory that is already being walked (a loop). What is left out
// by design (excluded paths, FIFOs, sockets, devices, links not followed)
// and what could not be read are both reported, the latter as failures.

const fs = require('node:fs');
const { decodeName, fsName } = require('./names');
const { systemText } = require('./errors');
const { openSelection } = require('./select');

const SKIPPED_DIRS = new Set(['.git', 'node_modules']);

// Names are listed as text, the cheap way. Every byte that is not UTF-8
// comes back as U+FFFD, so a directory showing one is listed again as
// bytes, and such names keep their bytes (see names.js). Some hosts hand
// back Buffers or names instead of entries; those get a plain listing and
// one lstat per name, which costs about three times as much on a large tree.
let direntsWork = true;

const isEntry = (d, nameType) => typeof d.isFile === 'function' && typeof d.name === nameType;

function listDir(dir) {
  if (direntsWork) {
    const list = fs.readdirSync(dir, { withFileTypes: true });
    if (list.length === 0 || isEntry(list[0], 'string')) {
      if (!list.some((d) => d.name.includes('\uFFFD'))) return list.map((d) => ({ name: d.name, type: typeOf(d) }));
      const bytes = fs.readdirSync(dir, { withFileTypes: true, encoding: 'buffer' });
      if (bytes.length === 0 || isEntry(bytes[0], 'object')) return bytes.map((d) => ({ name: decodeName(d.name), type: typeOf(d) }));
    }
    direntsWork = false;
  }
  return fs.readdirSync(dir, { encoding: 'buffer' }).map((raw) => ({ name: decodeName(raw), type: null }));
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

// Lists a directory below the root only if it is still the directory that
// its parent listed: a directory swapped for a link (to /etc, say) between
// the listing and now is not entered. The identity is taken without
// following links before and after the listing, so a swap during it is
// seen too. Returns null after noting the change.
function listUnchanged(dir, skip) {
  const path = fsName(dir.fsDir);
  const before = fs.lstatSync(path);
  if (!before.isDirectory()) {
    skip(dir.display, 'changed while the tree was walked', true);
    return null;
  }
  const list = listDir(path);
  const after = fs.lstatSync(path);
  if (!after.isDirectory() || keyOf(after) !== keyOf(before)) {
    skip(dir.display, 'changed while the tree was walked', true);
    return null;
  }
  return list;
}

function inChain(chain, key) {
  for (let link = chain; link; link = link.parent) if (link.key === key) return true;
  return false;
}

/**
 * Walks one directory target. `target.path` is where to read, `target.display`
 * what its paths start with ('' for paths relative to it). Yields the files
 * as { fsPath, display } in walk order; `skip(display, reason, failed)`
 * hears of everything left out that is not excluded. Throws when the target
 * itself cannot be listed, before yielding anything.
 */
function* walkFiles(target, options, skip) {
  const { all = false, follow = false } = options;
  const select = openSelection(target, options, skip);
  const rootKey = follow ? keyOf(fs.statSync(fsName(target.path))) : null;
  const stack = [
    { fsDir: target.path, display: target.display, root: true, selected: select.root, chain: { key: rootKey, parent: null } },
  ];
  while (stack.length > 0) {
    const dir = stack.pop();
    let list;
    try {
      // Links to directories are entered only when followed, and then by
      // their target's identity; the root is the caller's choice.
      list = dir.root || follow ? listDir(fsName(dir.fsDir)) : listUnchanged(dir, skip);
    } catch (err) {
      if (dir.root) throw err;
      skip(dir.display, systemText(err), true);
      continue;
    }
    if (list === null) continue;
    const selected = select.enter(dir.selected, list, dir.fsDir, dir.display);
    const subdirs = [];
    for (const { name, type: listedType } of list) {
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
      const kept = select.entry(selected, name, asDir);
      if (kept === null) continue;
      if (resolved === 'file') {
        yield { fsPath, display };
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
}

// The whole walk at once, for callers that want a list.
function walkDirectory(target, options, skip) {
  return [...walkFiles(target, options, skip)];
}

module.exports = { walkFiles, walkDirectory, SKIPPED_DIRS };
