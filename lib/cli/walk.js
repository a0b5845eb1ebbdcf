'use strict';
// Finds the files under the PATH arguments and hashes them in batches.
//
// What counts as a file follows batchFileHash: a path whose metadata, with
// symbolic links followed, describes a regular file. Links to directories
// are followed too, except into a directory that is already being walked
// (a loop). Names are visited in byte order so the output is stable.

const fs = require('node:fs');
const nodePath = require('node:path');
const { batchFileHash } = require('../../index.js');
const { CliError, describeFsError } = require('./errors');
const { compareBytes } = require('./format');

const SKIPPED_DIRS = new Set(['.git', 'node_modules']);
const BATCH_SIZE = 2048;

function statKey(st) {
  return `${st.dev}:${st.ino}`;
}

function inChain(chain, key) {
  for (let link = chain; link; link = link.parent) if (link.key === key) return true;
  return false;
}

function joinDisplay(base, name) {
  if (base === '') return name;
  return base.endsWith('/') ? base + name : `${base}/${name}`;
}

// Checks one PATH argument before anything is hashed, so that a typo fails
// the whole command at once instead of producing a partial manifest.
function statArgument(arg) {
  if (arg === '') throw new CliError("'': No such file or directory");
  let st;
  try {
    st = fs.statSync(arg, { bigint: true });
  } catch (err) {
    throw new CliError(`${arg}: ${describeFsError(err)}`);
  }
  if (!st.isFile() && !st.isDirectory()) {
    throw new CliError(`${arg}: not a regular file or directory`);
  }
  return st;
}

/**
 * Lists the files of one PATH argument as { fsPath, display } pairs sorted by
 * display path. Display paths are the argument joined with the relative path
 * (as `find ARG` prints them), or the bare relative path when `relative` is
 * set. Options: all (walk .git and node_modules too), exclude (an absolute
 * path to leave out), warn(text), onProgress(filesFound).
 */
function listFiles(arg, options = {}) {
  const { relative = false, all = false, exclude = null, warn = () => {} } = options;
  const onProgress = options.onProgress || (() => {});
  const st = statArgument(arg);
  if (st.isFile()) return [{ fsPath: arg, display: arg }];

  const files = [];
  const keep = (fsPath, display) => {
    if (exclude !== null && nodePath.resolve(fsPath) === exclude) return;
    files.push({ fsPath, display });
    if ((files.length & 1023) === 0) onProgress(files.length);
  };
  const stack = [{ fsDir: arg, display: relative ? '' : arg, chain: { key: statKey(st), parent: null } }];
  while (stack.length > 0) {
    const dir = stack.pop();
    let dirents;
    try {
      dirents = fs.readdirSync(dir.fsDir, { withFileTypes: true, encoding: 'buffer' });
    } catch (err) {
      if (dir.chain.parent === null) throw new CliError(`${arg}: ${describeFsError(err)}`);
      warn(`cannot read directory ${dir.display || '.'}: ${describeFsError(err)}`);
      continue;
    }
    const subdirs = [];
    for (const dirent of dirents) {
      const name = dirent.name.toString('utf8');
      const fsPath = joinDisplay(dir.fsDir, name);
      const display = joinDisplay(dir.display, name);
      // The native functions take JavaScript strings, so a name that is not
      // UTF-8 could not be passed back to the file system intact.
      if (!Buffer.from(name, 'utf8').equals(dirent.name)) {
        warn(`skipped a name that is not valid UTF-8 in ${dir.display || '.'}`);
        continue;
      }
      if (!all && SKIPPED_DIRS.has(name)) continue;
      if (dirent.isFile()) {
        keep(fsPath, display);
        continue;
      }
      // Node resolves an unknown entry type itself; FIFOs, sockets and devices
      // are never hashed.
      if (!dirent.isDirectory() && !dirent.isSymbolicLink()) continue;
      let target;
      try {
        target = fs.statSync(fsPath, { bigint: true });
      } catch {
        continue; // a broken link, or one that vanished: batchFileHash skips it too
      }
      if (target.isFile()) {
        keep(fsPath, display);
      } else if (target.isDirectory()) {
        const key = statKey(target);
        if (inChain(dir.chain, key)) {
          warn(`skipped ${display}: symbolic link loop`);
          continue;
        }
        subdirs.push({ fsDir: fsPath, display, chain: { key, parent: dir.chain } });
      }
    }
    // Reverse so that the stack pops subdirectories in name order.
    for (let i = subdirs.length - 1; i >= 0; i--) stack.push(subdirs[i]);
  }
  files.sort((a, b) => compareBytes(a.display, b.display));
  return files;
}

/**
 * Hashes listed files with batchFileHash, a batch at a time, and returns
 * [display, digest] entries in list order. Files that batchFileHash leaves
 * out (unreadable, or gone since the walk) are reported through warn.
 */
function hashFiles(files, options = {}) {
  const { warn = () => {}, onProgress = () => {}, batchSize = BATCH_SIZE } = options;
  const entries = [];
  for (let start = 0; start < files.length; start += batchSize) {
    const batch = files.slice(start, start + batchSize);
    const results = batchFileHash(batch.map((f) => f.fsPath));
    // The results are the kept paths in input order: walk both in step.
    let r = 0;
    for (const file of batch) {
      if (r < results.length && results[r][0] === file.fsPath) {
        entries.push([file.display, results[r][1]]);
        r++;
      } else {
        warn(`cannot read ${file.display} (skipped)`);
      }
    }
    onProgress(Math.min(start + batchSize, files.length), files.length);
  }
  return entries;
}

module.exports = { listFiles, hashFiles, statArgument, SKIPPED_DIRS, BATCH_SIZE };
