'use strict';
// Manifest text and JSON: writing them in the form `sha256sum -c` checks, and
// reading them back (sha256sum's own output included) for `diff`.

const { CliError } = require('./errors');
const { compareBytes, pathFromBytes, Listing, ROOT_PREFIX, escapePath, pathLine, manifestText } = require('../tree/index.js');
const { readChunks, sourceName, RECORD_LIMIT } = require('./io');

const HEX64 = /^[0-9a-fA-F]{64}$/;
const UNESCAPES = { '\\': '\\', n: '\n', r: '\r', 0: '\0' };

function unescapePath(text) {
  let out = '';
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (c !== '\\') {
      out += c;
      continue;
    }
    const next = UNESCAPES[text[++i]];
    if (next === undefined) return null;
    out += next;
  }
  return out;
}

// One entry per line keeps large manifests readable and diffable.
function manifestJson(entries, root) {
  if (entries.length === 0) return `{\n  "root": ${JSON.stringify(root)},\n  "manifest": []\n}\n`;
  const body = entries.map((e) => `    ${JSON.stringify([e[0], e[1]])}`).join(',\n');
  return `{\n  "root": ${JSON.stringify(root)},\n  "manifest": [\n${body}\n  ]\n}\n`;
}

function malformed(source, detail) {
  return new CliError(`${source}: malformed manifest: ${detail}`);
}

// Each character code's worth as a digit: 1 for 0-9 and a-f, 2 for A-F.
const HEX_KIND = new Uint8Array(128);
for (const c of '0123456789abcdef') HEX_KIND[c.charCodeAt(0)] = 1;
for (const c of 'ABCDEF') HEX_KIND[c.charCodeAt(0)] = 2;
const LOWER = 1;

// Whether a line starts with 64 hex digits: 0 if not, LOWER when none of
// them is upper case (the digest is used as it stands), 3 otherwise.
function hexPrefix(line) {
  let kinds = 0;
  for (let i = 0; i < 64; i++) {
    const c = line.charCodeAt(i);
    const kind = c < 128 ? HEX_KIND[c] : 0;
    if (kind === 0) return 0;
    kinds |= kind;
  }
  return kinds;
}

const TEXT_LINE = /^([0-9a-fA-F]{64}) [ *](.*)$/s;
const TAGGED_LINE = /^SHA256 \((.*)\) = ([0-9a-fA-F]{64})$/s;

// Each "# root:" line covers the entries since the one before it: a file that
// several runs appended to holds one root per run. Lines come one at a time,
// so a manifest of any length is read in memory for its entries only.
class TextParser {
  constructor(source) {
    this.source = source;
    this.listing = new Listing();
    // Entries read line by line, until they join the listing.
    this.names = [];
    this.digests = [];
    this.roots = [];
    this.number = 0;
  }

  get count() {
    return this.listing.count + this.names.length;
  }

  // The lines at the start of `bytes` that the native side takes apart at
  // once; the bytes they took (see Listing.addLines).
  lines(bytes) {
    this.flush();
    const before = this.listing.count;
    const taken = this.listing.addLines(bytes);
    this.number += this.listing.count - before;
    return taken;
  }

  // The entries read line by line join the listing.
  flush() {
    this.listing.addNames(this.names, this.digests);
    this.names = [];
    this.digests = [];
  }

  line(raw) {
    const index = this.number++;
    // Like sha256sum, tolerate manifests that went through a DOS editor.
    const line = raw.endsWith('\r') ? raw.slice(0, -1) : raw;
    if (line === '') return;
    if (line.startsWith('#')) {
      if (line.startsWith(ROOT_PREFIX)) {
        this.roots.push({ line: index + 1, root: line.slice(ROOT_PREFIX.length).trim(), end: this.count });
      }
      return;
    }
    const escaped = line.startsWith('\\');
    const body = escaped ? line.slice(1) : line;
    let digest;
    let path;
    let match = null;
    // The form this package writes, told without a regular expression; its
    // digest is lower-cased only when it holds upper case.
    const mark = body.charCodeAt(65);
    const hex = body.length > 66 && body.charCodeAt(64) === 0x20 && (mark === 0x20 || mark === 0x2a) ? hexPrefix(body) : 0;
    if (hex !== 0) {
      digest = hex === LOWER ? body.slice(0, 64) : body.slice(0, 64).toLowerCase();
      path = body.slice(66);
    } else if ((match = TEXT_LINE.exec(body))) {
      digest = match[1].toLowerCase();
      path = match[2];
    } else if ((match = TAGGED_LINE.exec(body))) {
      digest = match[2].toLowerCase();
      path = match[1];
    } else {
      throw malformed(this.source, `line ${index + 1} is not a "DIGEST  PATH" line`);
    }
    if (escaped) {
      path = unescapePath(path);
      if (path === null) throw malformed(this.source, `line ${index + 1} has a bad escape sequence`);
    }
    if (path === '') throw malformed(this.source, `line ${index + 1} has an empty path`);
    this.names.push(path);
    this.digests.push(digest);
  }

  result() {
    this.flush();
    return { listing: this.listing, roots: this.roots };
  }
}

/**
 * Feeds a text manifest's lines to a TextParser a block at a time: the
 * complete lines of each chunk are taken apart natively where they have the
 * common form, and decoded and split at once where not. The limits of
 * splitRecords hold: a line longer than RECORD_LIMIT bytes, or more empty
 * lines than that in a row, ends the read.
 */
class LineReader {
  constructor(source) {
    this.source = source;
    this.parser = new TextParser(source);
    this.carry = null;
    this.first = true;
    this.emptyRun = 0;
  }

  push(chunk) {
    let start = 0;
    if (this.carry !== null) {
      // The line the last chunk left unfinished, joined on its own: the
      // chunk itself is parsed where it lies.
      const end = chunk.indexOf(0x0a);
      if (end === -1) {
        this.carry = Buffer.concat([this.carry, chunk]);
        if (this.carry.length > RECORD_LIMIT) throw this.tooLong(this.parser.number + 1);
        return;
      }
      const line = Buffer.concat([this.carry, chunk.subarray(0, end)]);
      this.carry = null;
      this.block(line);
      start = end + 1;
    }
    const last = chunk.lastIndexOf(0x0a);
    if (last >= start) this.block(chunk.subarray(start, last));
    const rest = Math.max(start, last + 1);
    this.carry = rest < chunk.length ? Buffer.from(chunk.subarray(rest)) : null;
    if (this.carry !== null && this.carry.length > RECORD_LIMIT) throw this.tooLong(this.parser.number + 1);
  }

  end() {
    if (this.carry !== null) this.block(this.carry);
    return this.parser.result();
  }

  // Complete lines (the last one's line feed left off).
  block(bytes) {
    if (this.first) {
      if (bytes[0] === 0xef && bytes[1] === 0xbb && bytes[2] === 0xbf) bytes = bytes.subarray(3);
      this.first = false;
    }
    if (bytes.length > RECORD_LIMIT) this.checkLengths(bytes);
    // Runs of lines of the common form are taken apart natively; the lines
    // between them are read here, more at a time while runs stay short.
    let run = 1;
    for (let at = 0; at <= bytes.length; ) {
      const taken = this.parser.lines(bytes.subarray(at));
      if (taken > 0) this.emptyRun = 0;
      at += taken;
      if (at > bytes.length) break;
      run = taken > 0 ? 1 : run * 2;
      let end = at - 1;
      for (let n = 0; n < run && end < bytes.length; n++) {
        end = bytes.indexOf(0x0a, end + 1);
        if (end === -1) end = bytes.length;
      }
      this.read(bytes.subarray(at, end));
      at = end + 1;
    }
    this.parser.flush();
  }

  // Lines read one by one. A line feed is never part of a multibyte
  // sequence: they decode together as they would one by one.
  read(bytes) {
    for (const line of pathFromBytes(bytes).split('\n')) {
      if (line.length > 0) this.emptyRun = 0;
      else if (++this.emptyRun > RECORD_LIMIT) throw new CliError(`${this.source}: more than ${RECORD_LIMIT} empty lines in a row`);
      this.parser.line(line);
    }
  }

  checkLengths(bytes) {
    let start = 0;
    for (let n = 1; start <= bytes.length; n++) {
      let end = bytes.indexOf(0x0a, start);
      if (end === -1) end = bytes.length;
      if (end - start > RECORD_LIMIT) throw this.tooLong(this.parser.number + n);
      start = end + 1;
    }
  }

  tooLong(n) {
    return new CliError(`${this.source}: line ${n} is longer than ${RECORD_LIMIT} bytes`);
  }
}

function parseText(text, source) {
  const parser = new TextParser(source);
  const lines = text.split('\n');
  if (lines[lines.length - 1] === '') lines.pop();
  for (const line of lines) parser.line(line);
  return parser.result();
}

function parseJson(text, source) {
  let value;
  try {
    value = JSON.parse(text);
  } catch (err) {
    throw malformed(source, `invalid JSON (${err.message})`);
  }
  let list = value;
  let root = null;
  if (value !== null && typeof value === 'object' && !Array.isArray(value)) {
    list = value.manifest;
    if (value.root !== undefined) {
      if (typeof value.root !== 'string') throw malformed(source, '"root" is not a string');
      root = value.root;
    }
  }
  if (!Array.isArray(list)) {
    throw malformed(source, 'expected an array of [path, digest] or an object with "manifest"');
  }
  const names = [];
  const digests = [];
  list.forEach((entry, index) => {
    if (!Array.isArray(entry) || entry.length < 2 || typeof entry[0] !== 'string') {
      throw malformed(source, `entry ${index} is not a [path, digest] array`);
    }
    if (typeof entry[1] !== 'string' || !HEX64.test(entry[1])) {
      throw malformed(source, `entry ${index} has no 64-digit hex digest`);
    }
    names.push(entry[0]);
    digests.push(entry[1].toLowerCase());
  });
  const listing = new Listing();
  listing.addNames(names, digests);
  return { listing, roots: root === null ? [] : [{ line: null, root, end: listing.count }] };
}

// Reads either format; JSON is recognised by its first non-blank character,
// which can never start a checksum line. Names that are not UTF-8 are read
// as the walk reads them from the file system.
function parseManifest(buffer, source) {
  const bom = buffer[0] === 0xef && buffer[1] === 0xbb && buffer[2] === 0xbf;
  const text = pathFromBytes(bom ? buffer.subarray(3) : buffer);
  const first = text.trimStart()[0];
  return first === '{' || first === '[' ? parseJson(text, source) : parseText(text, source);
}

// A JSON manifest is parsed whole; past this it could not be one string.
const JSON_LIMIT = 256 << 20;
const BLANK = new Set([0x20, 0x09, 0x0a, 0x0d]);

/**
 * Reads a manifest operand (a file or '-') as a stream: text a line at a
 * time, JSON whole up to JSON_LIMIT bytes. Resolves to { listing, roots }:
 * the entries as a Listing, and each root line with the count of entries
 * before it (`end`). `onEntries`, if given, sees the listing of a text
 * manifest so far after each chunk (it grows in place), so that its files
 * can be checked while the rest is read.
 */
async function readManifest(operand, io, onEntries) {
  const source = sourceName(operand);
  // One iterator throughout: leaving a for-await loop would close it.
  const chunks = readChunks(operand, io);
  const next = async () => {
    const { done, value } = await chunks.next();
    return done ? null : value;
  };
  try {
    const seen = [];
    let kind = null;
    let size = 0;
    for (let chunk; kind === null && (chunk = await next()) !== null; ) {
      let i = size === 0 && chunk[0] === 0xef && chunk[1] === 0xbb && chunk[2] === 0xbf ? 3 : 0;
      seen.push(chunk);
      size += chunk.length;
      while (i < chunk.length && BLANK.has(chunk[i])) i++;
      if (i < chunk.length) kind = chunk[i] === 0x7b || chunk[i] === 0x5b ? 'json' : 'text';
      // Blank lines are nothing in a text manifest; many of them, no JSON.
      else if (size > RECORD_LIMIT) kind = 'text';
    }
    if (kind === 'json') {
      for (let chunk; (chunk = await next()) !== null; ) {
        size += chunk.length;
        if (size > JSON_LIMIT) throw malformed(source, `a JSON manifest larger than ${JSON_LIMIT >> 20} MiB (use the text form)`);
        seen.push(chunk);
      }
      return parseManifest(Buffer.concat(seen), source);
    }
    const lines = new LineReader(source);
    const push = (chunk) => {
      lines.push(chunk);
      onEntries?.(lines.parser.listing);
    };
    for (const chunk of seen) push(chunk);
    for (let chunk; (chunk = await next()) !== null; ) push(chunk);
    return lines.end();
  } finally {
    await chunks.return();
  }
}

module.exports = {
  compareBytes,
  escapePath,
  unescapePath,
  pathLine,
  manifestText,
  manifestJson,
  parseManifest,
  readManifest,
  ROOT_PREFIX,
};
