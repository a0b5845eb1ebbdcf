'use strict';
// File names are bytes, JavaScript strings are UTF-16. A name that is valid
// UTF-8 becomes its text; in one that is not, each byte outside a valid
// sequence becomes the lone surrogate U+DC80..U+DCFF (0xDC00 + byte), as
// Python's "surrogateescape" does. Valid UTF-8 never decodes to a lone
// surrogate, so the mapping is one-to-one and encodeName restores the bytes.

const nodePath = require('node:path');

const ESCAPED_BYTE = /(?<![\uD800-\uDBFF])[\uDC80-\uDCFF]/g;

// Length of the well-formed UTF-8 sequence at bytes[i], or 0.
function sequenceLength(bytes, i) {
  const b = bytes[i];
  if (b < 0x80) return 1;
  const cont = (k, lo = 0x80, hi = 0xbf) => i + k < bytes.length && bytes[i + k] >= lo && bytes[i + k] <= hi;
  if (b >= 0xc2 && b <= 0xdf) return cont(1) ? 2 : 0;
  if (b >= 0xe0 && b <= 0xef) {
    const lo = b === 0xe0 ? 0xa0 : 0x80;
    const hi = b === 0xed ? 0x9f : 0xbf;
    return cont(1, lo, hi) && cont(2) ? 3 : 0;
  }
  if (b >= 0xf0 && b <= 0xf4) {
    const lo = b === 0xf0 ? 0x90 : 0x80;
    const hi = b === 0xf4 ? 0x8f : 0xbf;
    return cont(1, lo, hi) && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

function decodeName(bytes) {
  const text = bytes.toString('utf8');
  // Every invalid byte decodes to U+FFFD, so a name without one is valid.
  if (!text.includes('\uFFFD') || Buffer.from(text, 'utf8').equals(bytes)) return text;
  let out = '';
  let start = 0;
  for (let i = 0; i < bytes.length; ) {
    const n = sequenceLength(bytes, i);
    if (n > 0) {
      i += n;
      continue;
    }
    out += bytes.toString('utf8', start, i) + String.fromCharCode(0xdc00 + bytes[i]);
    start = ++i;
  }
  return out + bytes.toString('utf8', start);
}

function encodeName(text) {
  if (text.isWellFormed()) return Buffer.from(text, 'utf8');
  const parts = [];
  let last = 0;
  for (const m of text.matchAll(ESCAPED_BYTE)) {
    parts.push(Buffer.from(text.slice(last, m.index), 'utf8'), Buffer.of(m[0].charCodeAt(0) - 0xdc00));
    last = m.index + 1;
  }
  parts.push(Buffer.from(text.slice(last), 'utf8'));
  return Buffer.concat(parts);
}

// What to hand the file system for a decoded name: the string itself when it
// is plain text, the original bytes otherwise.
function fsName(text) {
  return text.isWellFormed() ? text : encodeName(text);
}

// Entries' paths are read relative to `root`, absolute ones as they are; a
// path is opened as written, so `l/../x` goes where the system takes it.
function joinAsWritten(root, path) {
  if (nodePath.isAbsolute(path)) return path;
  if (root === '.' || root === '') return path;
  return root.endsWith('/') || root.endsWith(nodePath.sep) ? root + path : `${root}/${path}`;
}

// Names NUL-joined for the native side: one string when every name is text
// (joining keeps a lone surrogate lone, so the whole tells), else the bytes.
function joinNames(names) {
  const joined = names.join('\0');
  if (joined.isWellFormed()) return joined;
  const parts = [];
  names.forEach((name, i) => {
    if (i > 0) parts.push(Buffer.of(0));
    parts.push(encodeName(name));
  });
  return Buffer.concat(parts);
}

module.exports = { decodeName, encodeName, fsName, joinAsWritten, joinNames };
