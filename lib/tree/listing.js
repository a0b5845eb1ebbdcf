'use strict';
// Manifest entries kept as columns: names, and the digests as 64 lower-case
// hex digits each, one after another. Tens of thousands of entries cost a
// few strings or Buffers instead of an array and two strings each, and go to
// the native side without being taken apart and joined again. A listing
// grows a part at a time, as a manifest is read.

const { joinNames } = require('./names');
const { threadVariableProblem } = require('./environment');

const DIGEST = 64;
const NUL = Buffer.of(0);

// The native splitter of checksum lines, where this build has it and the
// native module can load; else null.
let splitter;
function splitChecksums() {
  if (splitter === undefined) {
    splitter = null;
    // The native module would end the process on a bad worker count.
    if (threadVariableProblem() !== null) return null;
    try {
      splitter = require('../native/extensions.js').load().splitChecksums ?? null;
    } catch {
      // Without the native module every line is read in JavaScript.
    }
  }
  return splitter;
}

// A part holds `count` entries from `start` on: `names` (an array, or null
// until asked for) and `joined` (NUL-joined as joinNames gives them: a
// string, or a Buffer of the bytes; null until asked for, or when a name
// holds a NUL), `digests` a string or a Buffer.
class Listing {
  constructor() {
    this.parts = [];
    this.count = 0;
  }

  /**
   * The entries of the lines at the start of `bytes` (lines split at line
   * feeds) that have the form this package writes, "<64 hex digits>  <path>"
   * with a UTF-8 path, taken apart natively. Returns how many bytes they
   * took with their line feeds (one more than `bytes` when every line was
   * one), 0 when the first line is not one or the native module is missing.
   */
  addLines(bytes) {
    const columns = splitChecksums()?.(bytes);
    if (!columns) return 0;
    const [joined, digests, count, taken] = columns;
    this.push({ count, joined, names: null, digests });
    return taken;
  }

  /** Entries one name at a time, with their lower-case digests. */
  addNames(names, digests) {
    if (names.length > 0) this.push({ count: names.length, joined: null, names, digests: digests.join('') });
  }

  push(part) {
    part.start = this.count;
    this.parts.push(part);
    this.count += part.count;
  }

  /** Entries `start` to `end` as a listing of their own (parts are shared). */
  slice(start = 0, end = this.count) {
    const out = new Listing();
    for (const part of this.parts) {
      const from = Math.max(start, part.start) - part.start;
      const to = Math.min(end, part.start + part.count) - part.start;
      if (from >= to) continue;
      if (from === 0 && to === part.count) out.push({ ...part });
      else out.addNames(namesOf(part).slice(from, to), [digestText(part).slice(from * DIGEST, to * DIGEST)]);
    }
    return out;
  }

  names() {
    const names = [];
    for (const part of this.parts) for (const name of namesOf(part)) names.push(name);
    return names;
  }

  /** The digests, 64 characters each without a separator (a string or a Buffer). */
  digests() {
    if (this.parts.length === 1) return this.parts[0].digests;
    if (this.parts.every((part) => typeof part.digests === 'string')) return this.parts.map((part) => part.digests).join('');
    return Buffer.concat(this.parts.map((part) => (typeof part.digests === 'string' ? Buffer.from(part.digests, 'latin1') : part.digests)));
  }

  /**
   * The names NUL-joined for the native side, as joinNames gives them;
   * null when a name holds a NUL and would split in two there.
   */
  joinedNames() {
    const pieces = this.parts.map(joinedOf);
    if (pieces.includes(null)) return null;
    if (pieces.length === 1 && (typeof pieces[0] !== 'string' || pieces[0].isWellFormed())) return pieces[0];
    if (pieces.every((piece) => typeof piece === 'string')) {
      const joined = pieces.join('\0');
      if (joined.isWellFormed()) return joined;
    }
    const bytes = [];
    pieces.forEach((piece, i) => {
      if (i > 0) bytes.push(NUL);
      bytes.push(typeof piece === 'string' ? (piece.isWellFormed() ? Buffer.from(piece) : joinNames(this.parts[i].names)) : piece);
    });
    return Buffer.concat(bytes);
  }

  entries() {
    const entries = new Array(this.count);
    for (const part of this.parts) {
      const digests = digestText(part);
      namesOf(part).forEach((name, i) => {
        entries[part.start + i] = [name, digests.slice(i * DIGEST, i * DIGEST + DIGEST)];
      });
    }
    return entries;
  }
}

// A part's names as an array: the native side's are well-formed UTF-8.
function namesOf(part) {
  part.names ??= part.joined.toString().split('\0');
  return part.names;
}

function joinedOf(part) {
  if (part.joined === null && !part.names.some((name) => name.includes('\0'))) part.joined = part.names.join('\0');
  return part.joined;
}

function digestText(part) {
  if (typeof part.digests !== 'string') part.digests = part.digests.toString('latin1');
  return part.digests;
}

module.exports = { Listing };
