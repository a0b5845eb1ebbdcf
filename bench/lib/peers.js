'use strict';
// The plain JavaScript ways of doing what each native function does. They are
// written the way a careful Node.js developer would write them without the
// addon, and they must give the same answers: the suite checks that before it
// times anything.
const crypto = require('node:crypto');
const fs = require('node:fs');
const fsp = require('node:fs/promises');

function sha256Hex(data) {
  return crypto.createHash('sha256').update(data).digest('hex');
}

// The token rule's byte classes: ASCII letters, digits and underscore make
// up words; space, tab, line feed and carriage return are blanks.
function isWordByte(b) {
  return (b >= 0x30 && b <= 0x39) || (b >= 0x41 && b <= 0x5a) || (b >= 0x61 && b <= 0x7a) || b === 0x5f;
}

function isBlankByte(b) {
  return b === 0x20 || b === 0x0a || b === 0x09 || b === 0x0d;
}

// The token rule applied to the UTF-8 bytes: a run of word bytes is one
// token, every other non-blank byte is one token.
function countTokens(text) {
  const buf = Buffer.from(text, 'utf8');
  let count = 0;
  let previousWord = false;
  for (let i = 0; i < buf.length; i++) {
    const b = buf[i];
    const word = isWordByte(b);
    if (word ? !previousWord : !isBlankByte(b)) count++;
    previousWord = word;
  }
  return count;
}

// Index of the first byte whose token would exceed the budget, or -1 when the
// whole text fits.
function cutIndex(buf, budget) {
  if (budget === 0) return 0;
  let count = 0;
  let previousWord = false;
  for (let i = 0; i < buf.length; i++) {
    const b = buf[i];
    const word = isWordByte(b);
    if (word ? !previousWord : !isBlankByte(b)) {
      if (count + 1 > budget) return i;
      count++;
    }
    previousWord = word;
  }
  return -1;
}

function truncateToTokens(text, budget) {
  const buf = Buffer.from(text, 'utf8');
  const cut = cutIndex(buf, budget);
  return cut < 0 ? text : buf.toString('utf8', 0, cut);
}

// The same rule walked over the string's UTF-16 units with charCodeAt, the
// fastest plain way: no UTF-8 copy is made. A unit below 0x80 is its own
// byte; every other character is 2, 3 or 4 UTF-8 bytes (a surrogate pair 4,
// a lone surrogate 3, as U+FFFD), all of them symbol bytes.
function utf8Width(text, i, unit) {
  if (unit < 0x800) return 2;
  if (unit >= 0xd800 && unit <= 0xdbff && i + 1 < text.length) {
    const next = text.charCodeAt(i + 1);
    if (next >= 0xdc00 && next <= 0xdfff) return 4;
  }
  return 3;
}

function countTokensUnits(text) {
  let count = 0;
  let previousWord = false;
  for (let i = 0; i < text.length; i++) {
    const unit = text.charCodeAt(i);
    if (unit < 0x80) {
      const word = isWordByte(unit);
      if (word ? !previousWord : !isBlankByte(unit)) count++;
      previousWord = word;
    } else {
      const width = utf8Width(text, i, unit);
      count += width;
      if (width === 4) i++;
      previousWord = false;
    }
  }
  return count;
}

// Stops at the cut and slices there. A character whose bytes would not all
// fit is left out whole, as the native cut does. (Lone surrogates stay as
// they are here, where the native result has U+FFFD: the benchmark texts
// have none.)
function truncateToTokensUnits(text, budget) {
  if (budget === 0) return '';
  let count = 0;
  let previousWord = false;
  for (let i = 0; i < text.length; i++) {
    const unit = text.charCodeAt(i);
    if (unit < 0x80) {
      const word = isWordByte(unit);
      if (word ? !previousWord : !isBlankByte(unit)) {
        if (count >= budget) return text.slice(0, i);
        count++;
      }
      previousWord = word;
    } else {
      const width = utf8Width(text, i, unit);
      if (count + width > budget) return text.slice(0, i);
      count += width;
      if (width === 4) i++;
      previousWord = false;
    }
  }
  return text;
}

// Synchronous loop over the paths; unreadable paths and non-files are left
// out silently, as batchFileHash does.
function batchFileHash(paths) {
  const out = [];
  for (const path of paths) {
    try {
      const stat = fs.statSync(path);
      if (!stat.isFile()) continue;
      out.push([path, sha256Hex(fs.readFileSync(path))]);
    } catch {
      // Skipped, like the native batch.
    }
  }
  return out;
}

function merkleRoot(manifest) {
  const pairs = manifest.filter((entry) => entry.length >= 2);
  // Array#sort is stable, so equal keys keep their input order.
  pairs.sort((x, y) => (x[0] < y[0] ? -1 : x[0] > y[0] ? 1 : 0));
  return sha256Hex(pairs.map((entry) => `${entry[0]}:${entry[1]}`).join('\n'));
}

function merkleDiff(first, second) {
  const before = new Map();
  for (const entry of first) if (entry.length >= 2) before.set(entry[0], entry[1]);
  const after = new Map();
  for (const entry of second) if (entry.length >= 2) after.set(entry[0], entry[1]);
  const added = [];
  const modified = [];
  const deleted = [];
  for (const [key, value] of after) {
    const old = before.get(key);
    if (old === undefined) added.push(key);
    else if (old !== value) modified.push(key);
  }
  for (const key of before.keys()) if (!after.has(key)) deleted.push(key);
  return { added, modified, deleted };
}

function fileHashStream(path) {
  return new Promise((resolve, reject) => {
    const hash = crypto.createHash('sha256');
    hash.setEncoding('hex');
    let hex = '';
    fs.createReadStream(path)
      .on('error', reject)
      .pipe(hash)
      .on('error', reject)
      .on('data', (chunk) => {
        hex += chunk;
      })
      .on('end', () => resolve(hex));
  });
}

async function fileHashReadFile(path) {
  return sha256Hex(await fsp.readFile(path));
}

module.exports = {
  sha256Hex,
  countTokens,
  cutIndex,
  truncateToTokens,
  countTokensUnits,
  truncateToTokensUnits,
  batchFileHash,
  merkleRoot,
  merkleDiff,
  fileHashStream,
  fileHashReadFile,
};
