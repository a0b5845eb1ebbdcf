'use strict';
// Hashes listed files a batch at a time and builds manifests from bytes.

const fs = require('node:fs');
const { batchFileHash, fileHash, sha256, merkleRoot } = require('../../index.js');
const { encodeName } = require('./names');
const { systemText } = require('./errors');

const BATCH_SIZE = 2048;
// readFileSync refuses files above 2 GiB; larger ones are hashed in pieces.
const WHOLE_READ_LIMIT = 1 << 30;

// A name that is not UTF-8 cannot reach batchFileHash (it takes strings),
// so such a file is read here by its bytes.
function hashByBytes(path) {
  const bytes = encodeName(path);
  const size = fs.statSync(bytes).size;
  if (size <= WHOLE_READ_LIMIT) return sha256(fs.readFileSync(bytes));
  const hash = require('node:crypto').createHash('sha256');
  const fd = fs.openSync(bytes, 'r');
  try {
    const chunk = Buffer.allocUnsafe(1 << 24);
    for (let n; (n = fs.readSync(fd, chunk, 0, chunk.length, null)) > 0; ) hash.update(chunk.subarray(0, n));
  } finally {
    fs.closeSync(fd);
  }
  return hash.digest('hex');
}

// batchFileHash drops what it cannot read without a word; fileHash says why
// (or succeeds, when the file has become readable since).
async function hashDropped(path) {
  try {
    return { digest: await fileHash(path) };
  } catch (err) {
    return { reason: String(err.message).replace(/^Read error: /, '') };
  }
}

/**
 * Hashes `files` ({ fsPath }) and returns one outcome per file, in list
 * order: { digest } or { reason } for a file that could not be read.
 * onProgress(done, total) follows each batch.
 */
async function hashFiles(files, { onProgress = () => {}, batchSize = BATCH_SIZE } = {}) {
  const outcomes = [];
  for (let start = 0; start < files.length; start += batchSize) {
    const batch = files.slice(start, start + batchSize);
    const plain = batch.filter((f) => f.fsPath.isWellFormed()).map((f) => f.fsPath);
    const results = batchFileHash(plain);
    // The results are the kept paths in input order: walk both in step.
    let r = 0;
    for (const file of batch) {
      let outcome;
      if (!file.fsPath.isWellFormed()) {
        try {
          outcome = { digest: hashByBytes(file.fsPath) };
        } catch (err) {
          outcome = { reason: systemText(err) };
        }
      } else if (r < results.length && results[r][0] === file.fsPath) {
        outcome = { digest: results[r++][1] };
      } else {
        outcome = await hashDropped(file.fsPath);
      }
      outcomes.push(outcome);
    }
    onProgress(Math.min(start + batchSize, files.length), files.length);
  }
  return outcomes;
}

// Orders strings by their UTF-8 bytes, the order merkleRoot sorts by. Plain
// `<` compares UTF-16 code units, which puts U+E000..U+FFFF after the
// surrogate pairs of astral characters; UTF-8 puts them before.
function compareBytes(a, b) {
  const n = Math.min(a.length, b.length);
  for (let i = 0; i < n; i++) {
    let x = a.charCodeAt(i);
    let y = b.charCodeAt(i);
    if (x === y) continue;
    if (x >= 0xd800 && y >= 0xd800) {
      x = x >= 0xe000 ? x - 0x800 : x + 0x2000;
      y = y >= 0xe000 ? y - 0x800 : y + 0x2000;
    }
    return x < y ? -1 : 1;
  }
  return a.length - b.length;
}

// Sorts items by the bytes of key(item), escaped name bytes included; stable.
function sortByBytes(items, key = (x) => x) {
  if (items.every((x) => key(x).isWellFormed())) return items.sort((a, b) => compareBytes(key(a), key(b)));
  const keyed = items.map((item) => ({ item, bytes: encodeName(key(item)) }));
  keyed.sort((a, b) => Buffer.compare(a.bytes, b.bytes));
  for (let i = 0; i < items.length; i++) items[i] = keyed[i].item;
  return items;
}

// merkleRoot over the paths' bytes: merkleRoot itself when every path is
// text, and the same lines hashed with sha256 when some name is not UTF-8.
function rootOf(entries) {
  if (entries.every((e) => e[0].isWellFormed())) return merkleRoot(entries);
  const sorted = sortByBytes(entries.slice(), (e) => e[0]);
  const lines = [];
  sorted.forEach(([path, digest], i) => {
    if (i > 0) lines.push(Buffer.from('\n'));
    lines.push(encodeName(path), Buffer.from(`:${digest}`));
  });
  return sha256(Buffer.concat(lines));
}

module.exports = { hashFiles, rootOf, sortByBytes, compareBytes, BATCH_SIZE };
