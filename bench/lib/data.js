'use strict';
// In-memory inputs: source-like text and manifests. Everything is derived from
// a fixed seed so that every run times the same bytes.

const { mulberry32 } = require('../../test/support');

// Small, fast, seeded generator (the tests' mulberry32), called directly for
// a float in [0, 1).
function rng(seed) {
  const { next, int, pick } = mulberry32(seed);
  next.int = int;
  next.pick = pick;
  return next;
}

const KEYWORDS = [
  'const', 'let', 'function', 'return', 'if', 'else', 'for', 'while', 'class', 'import',
  'export', 'async', 'await', 'new', 'this', 'static', 'struct', 'fn', 'impl', 'def',
];
const WORDS = [
  'value', 'index', 'count', 'buffer', 'result', 'node', 'parent', 'child', 'offset', 'length',
  'path', 'file', 'hash', 'token', 'budget', 'entry', 'manifest', 'digest', 'cache', 'state',
  'item', 'list', 'map', 'key', 'size', 'error', 'data', 'input', 'output', 'options',
];
const OPERATORS = [
  ' = ', ' + ', ' - ', ' * ', ' / ', ' === ', ' !== ', ' && ', ' || ', ' => ', ' += ', ' < ',
  ' >= ', '.', '->', '::', ', ', ': ', '?.', ' ?? ',
];
const PROSE = [
  'the', 'cache', 'keeps', 'one', 'entry', 'per', 'file', 'so', 'that', 'later', 'runs',
  'can', 'skip', 'unchanged', 'inputs', 'and', 'report', 'what', 'moved', 'between', 'builds',
];
// Non-ASCII that shows up in real sources: accented prose, CJK comments,
// symbols and an emoji outside the Basic Multilingual Plane.
const NON_ASCII = ['café', 'naïve', 'über', 'señal', '変数', '処理の結果', '→', '✓', '°C', '🚀', 'Ω'];

function identifier(r) {
  const a = r.pick(WORDS);
  switch (r.int(4)) {
    case 0:
      return a;
    case 1:
      return a + r.pick(WORDS)[0].toUpperCase() + r.pick(WORDS).slice(1);
    case 2:
      return `${a}_${r.pick(WORDS)}`;
    default:
      return a + r.int(100);
  }
}

function number(r) {
  switch (r.int(3)) {
    case 0:
      return String(r.int(1000));
    case 1:
      return `${r.int(100)}.${r.int(1000)}`;
    default:
      return `0x${r.int(0x10000).toString(16)}`;
  }
}

function codeLine(r) {
  const parts = [];
  if (r() < 0.3) parts.push(r.pick(KEYWORDS), ' ');
  parts.push(identifier(r));
  const terms = 1 + r.int(4);
  for (let i = 0; i < terms; i++) {
    parts.push(r.pick(OPERATORS));
    const roll = r();
    if (roll < 0.55) parts.push(identifier(r));
    else if (roll < 0.8) parts.push(number(r));
    else if (roll < 0.9) parts.push(`'${r.pick(PROSE)} ${r.pick(PROSE)}'`);
    else parts.push(`${identifier(r)}(${identifier(r)}, ${number(r)})`);
  }
  parts.push(r() < 0.2 ? ' {' : ';');
  return parts.join('');
}

function commentLine(r) {
  const words = [];
  const n = 4 + r.int(10);
  for (let i = 0; i < n; i++) words.push(r() < 0.06 ? r.pick(NON_ASCII) : r.pick(PROSE));
  return `// ${words.join(' ')}${r() < 0.5 ? '.' : ''}`;
}

// Exactly `bytes` UTF-8 bytes of code-like lines: indentation with spaces and
// tabs, identifiers, numbers, operators, literals, comments with some
// non-ASCII text, and a few CRLF line ends.
function sourceText(bytes, seed = 1) {
  const r = rng(seed);
  const lines = [];
  let size = 0;
  for (;;) {
    const indent = r() < 0.1 ? '\t'.repeat(1 + r.int(2)) : ' '.repeat(2 * r.int(4));
    const body = r() < 0.2 ? commentLine(r) : r() < 0.07 ? '' : codeLine(r);
    const line = indent + body + (r() < 0.05 ? '\r\n' : '\n');
    const lineBytes = Buffer.byteLength(line, 'utf8');
    if (size + lineBytes > bytes) break;
    lines.push(line);
    size += lineBytes;
  }
  lines.push('x'.repeat(bytes - size));
  return lines.join('');
}

// A prefix of `text` that is exactly `bytes` UTF-8 bytes long, ending on a
// character boundary (padded with ASCII when a character would straddle it).
function utf8Prefix(text, bytes) {
  const buf = Buffer.from(text, 'utf8');
  let end = Math.min(bytes, buf.length);
  while (end > 0 && (buf[end] & 0xc0) === 0x80) end--;
  return buf.toString('utf8', 0, end) + 'y'.repeat(bytes - end);
}

function hexDigests(count, r) {
  const out = new Array(count);
  const bytes = new Uint8Array(32);
  for (let i = 0; i < count; i++) {
    for (let j = 0; j < 32; j++) bytes[j] = r.int(256);
    out[i] = Buffer.from(bytes).toString('hex');
  }
  return out;
}

function shuffle(items, r) {
  for (let i = items.length - 1; i > 0; i--) {
    const j = r.int(i + 1);
    [items[i], items[j]] = [items[j], items[i]];
  }
  return items;
}

const EXTENSIONS = ['ts', 'js', 'json', 'md', 'css', 'cc', 'h', 'rs'];

// Repository-like paths, each unique for a given index.
function manifestPath(index, r) {
  const pkg = `pkg-${r.int(40)}`;
  const dir = `${r.pick(WORDS)}/${r.pick(WORDS)}`;
  return `packages/${pkg}/src/${dir}/${r.pick(WORDS)}_${index}.${r.pick(EXTENSIONS)}`;
}

// Flat strings, as a manifest read back from JSON holds them.
function flatten(manifest) {
  return JSON.parse(JSON.stringify(manifest));
}

// `count` entries in random order.
function manifest(count, seed = 7) {
  const r = rng(seed);
  const digests = hexDigests(count, r);
  const entries = [];
  for (let i = 0; i < count; i++) entries.push([manifestPath(i, r), digests[i]]);
  return flatten(shuffle(entries, r));
}

// A later version of `first`: the given shares of keys are modified, deleted
// and (as new keys) added; the rest is unchanged.
function revise(first, { modified, deleted, added }, seed = 11) {
  const r = rng(seed);
  const n = first.length;
  const newDigests = hexDigests(Math.ceil(n * (modified + added) * 1.5) + 16, r);
  let nextDigest = 0;
  const digest = () => newDigests[nextDigest++ % newDigests.length];
  const second = [];
  const expected = { added: 0, modified: 0, deleted: 0 };
  for (const [key, value] of first) {
    if (r() < added) {
      second.push([manifestPath(n + expected.added, r), digest()]);
      expected.added++;
    }
    const roll = r();
    if (roll < deleted) {
      expected.deleted++;
    } else if (roll < deleted + modified) {
      second.push([key, digest()]);
      expected.modified++;
    } else {
      second.push([key, value]);
    }
  }
  return { second: flatten(second), expected };
}

module.exports = { rng, sourceText, utf8Prefix, manifest, revise };
