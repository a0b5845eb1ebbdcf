'use strict';
// Shared by the JavaScript, stress and benchmark tests: the addon under test,
// plain JavaScript references for every function, seeded generators and
// temporary directories.
//
// TOV_ADDON names another build of the addon (for example one built with
// AddressSanitizer); by default the package root is loaded.
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const addonPath = process.env.TOV_ADDON ? path.resolve(process.env.TOV_ADDON) : path.join(__dirname, '..', '..');

function loadAddon() {
  return require(addonPath);
}

const VERSION = 'tov-engine-native/1.0.0';
const EMPTY_DIGEST = 'e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855';

// The token rule's worked examples: [text, estimate] and
// [text, budget, kept prefix]. Both the addon and the benchmark's JavaScript
// peers must give exactly these.
const TOKEN_COUNT_EXAMPLES = [
  ['', 0],
  [' \t\r\n', 0],
  ['\f', 1],
  ['\v', 1],
  ['hello world', 2],
  ['hello, world!', 4],
  ['foo_bar123', 1],
  ['__init__', 1],
  ['a+b', 3],
  ['foo.bar()', 5],
  ['3.14', 3],
  ['1,000,000', 5],
  ["don't", 3],
  ['  hello   world  ', 2],
  ['x\0y', 3],
  ['\u00e9', 2],
  ['\u00fcber', 3],
  ['na\u00efve', 4],
  ['\u4e2d\u6587', 6],
  ['\u65e5\u672c', 6],
  ['\u{1F600}', 4],
  ['\u{1F680}', 4],
  ['@[`{', 4],
];

const TRUNCATION_EXAMPLES = [
  ['hello world', 0, ''],
  ['   ', 0, ''],
  ['   ', 1, '   '],
  ['', 5, ''],
  ['hello world', 1, 'hello '],
  ['hello world', 2, 'hello world'],
  ['abc  def  ', 1, 'abc  '],
  ['abc  def  ', 2, 'abc  def  '],
  ['a, b', 2, 'a, '],
  ['foo.bar', 2, 'foo.'],
  ['a-b-c', 3, 'a-b'],
  ['a-b-c', 4, 'a-b-'],
  ['\u00e9a', 2, '\u00e9'],
  ['a\u00e9', 3, 'a\u00e9'],
];

function sha256Hex(bytes) {
  return crypto.createHash('sha256').update(bytes).digest('hex');
}

// The bytes the addon sees for a string: UTF-8, lone surrogates replaced.
function utf8(text) {
  return Buffer.from(text, 'utf8');
}

function isWord(byte) {
  return (
    (byte >= 0x30 && byte <= 0x39) || (byte >= 0x41 && byte <= 0x5a) || (byte >= 0x61 && byte <= 0x7a) || byte === 0x5f
  );
}

function isBlank(byte) {
  return byte === 0x20 || byte === 0x09 || byte === 0x0a || byte === 0x0d;
}

function countTokensOfBytes(bytes) {
  let count = 0;
  let previousWord = false;
  for (const byte of bytes) {
    const word = isWord(byte);
    if (word ? !previousWord : !isBlank(byte)) count++;
    previousWord = word;
  }
  return count >>> 0;
}

// Byte index of the first token that would exceed the budget, or the byte
// length when the whole text fits.
function tokenCutIndex(bytes, budget) {
  if (budget === 0) return 0;
  let count = 0;
  let previousWord = false;
  for (let i = 0; i < bytes.length; i++) {
    const byte = bytes[i];
    const word = isWord(byte);
    if (word ? !previousWord : !isBlank(byte)) {
      if (count + 1 > budget) return i;
      count++;
    }
    previousWord = word;
  }
  return bytes.length;
}

// The budget walk, then back to the start of the character it stopped in.
function truncateReference(text, budget) {
  const bytes = utf8(text);
  let cut = tokenCutIndex(bytes, budget);
  while (cut > 0 && cut < bytes.length && (bytes[cut] & 0xc0) === 0x80) cut--;
  return bytes.subarray(0, cut).toString('utf8');
}

// Entries with at least two items, as [key bytes, value bytes, input index].
function manifestPairs(manifest) {
  const pairs = [];
  manifest.forEach((entry, index) => {
    if (entry.length >= 2) pairs.push([utf8(entry[0]), utf8(entry[1]), index]);
  });
  return pairs;
}

function merkleRootReference(manifest) {
  const pairs = manifestPairs(manifest);
  pairs.sort((a, b) => Buffer.compare(a[0], b[0]) || a[2] - b[2]);
  const lines = [];
  for (const [key, value] of pairs) lines.push(Buffer.concat([key, Buffer.from(':'), value]));
  const text = [];
  lines.forEach((line, i) => {
    if (i > 0) text.push(Buffer.from('\n'));
    text.push(line);
  });
  return sha256Hex(Buffer.concat(text));
}

// Keys compare as bytes; the last occurrence of a key wins. Lists sorted,
// since their order is not part of the result.
function merkleDiffReference(first, second) {
  const table = (manifest) => {
    const map = new Map();
    for (const [key, value] of manifestPairs(manifest)) map.set(key.toString('latin1'), value.toString('latin1'));
    return map;
  };
  const a = table(first);
  const b = table(second);
  const back = (key) => Buffer.from(key, 'latin1').toString('utf8');
  const added = [];
  const modified = [];
  const deleted = [];
  for (const [key, value] of b) {
    if (!a.has(key)) added.push(back(key));
    else if (a.get(key) !== value) modified.push(back(key));
  }
  for (const key of a.keys()) if (!b.has(key)) deleted.push(back(key));
  return { added: added.sort(), modified: modified.sort(), deleted: deleted.sort() };
}

// The order inside each change list is unspecified, so compare sorted copies.
function sortedDiff(result) {
  return {
    added: [...result.added].sort(),
    modified: [...result.modified].sort(),
    deleted: [...result.deleted].sort(),
  };
}

// What batchFileHash keeps for a path: a regular file (links followed) that
// can be read whole.
function batchReference(paths) {
  const out = [];
  for (const p of paths) {
    try {
      if (!fs.statSync(p).isFile()) continue;
      // The path comes back through UTF-8, so lone surrogates come back replaced.
      out.push([utf8(p).toString('utf8'), sha256Hex(fs.readFileSync(p))]);
    } catch {
      // unreadable or not a usable path: left out, as the addon does
    }
  }
  return out;
}

// A conversion failure: an Error carrying the status name as its code, and the
// given message when one is given.
function assertConversionError(fn, code, message) {
  assert.throws(fn, (error) => {
    assert.ok(error instanceof Error);
    assert.equal(error.code, code);
    if (message !== undefined) assert.equal(error.message, message);
    return true;
  });
}

function makeTempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), `tov-${prefix}-`));
}

// Safe to call when the directory was never made.
function removeTempDir(dir) {
  if (dir) fs.rmSync(dir, { recursive: true, force: true });
}

// Writes a file below `dir`, making the directories on the way.
function writeFileIn(dir, name, contents) {
  const file = path.join(dir, name);
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, contents);
  return file;
}

// Deterministic generators, so that a failing run can be repeated with its
// seed. Each test keeps the generator it was written with: its inputs depend
// on the exact sequence.

// xorshift32: a function returning the next unsigned 32-bit value. A zero
// seed stays zero.
function xorshift32(seed) {
  let state = seed >>> 0;
  return () => {
    state ^= state << 13;
    state >>>= 0;
    state ^= state >>> 17;
    state ^= state << 5;
    state >>>= 0;
    return state;
  };
}

// mulberry32: `next` gives a float in [0, 1).
function mulberry32(seed) {
  let state = seed >>> 0;
  const next = () => {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = state;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
  const int = (n) => Math.floor(next() * n);
  const pick = (items) => items[int(items.length)];
  return { next, int, pick };
}

// The stress tests' generator: xorshift32 that never starts at zero.
function makeRandom(seed) {
  const next = xorshift32(seed >>> 0 || 1);
  return {
    seed,
    u32: next,
    int: (n) => next() % n,
    pick: (items) => items[next() % items.length],
    chance: (p) => next() / 0x100000000 < p,
  };
}

function seedFromEnv() {
  const fromEnv = Number(process.env.TOV_STRESS_SEED);
  return Number.isInteger(fromEnv) && fromEnv > 0 ? fromEnv : (Date.now() % 0x7fffffff) + 1;
}

const WINDOWS = process.platform === 'win32';
// The Windows leg of CI runs under Wine, whose message texts are its own
// (for example "File not found." for code 2).
const UNDER_WINE = WINDOWS && process.env.TOV_UNDER_WINE === '1';

// What follows process.execPath to run a script file where no child_process
// translation helps (a shell, a script of its own): Deno asks for its
// permissions up front.
const RUN_SCRIPT = process.versions.deno ? ['run', '-A'] : [];

// The text of a system error as the module reports it, "<the system's
// text> (os error <code>)": `linux` and `windows` are each [the system's
// text, the code]. Under Wine only the form and the Windows code can be
// checked, so a pattern comes back.
function systemErrorMessage(linux, windows) {
  if (!WINDOWS) return `${linux[0]} (os error ${linux[1]})`;
  if (UNDER_WINE) return new RegExp(`^\\S.*\\S \\(os error ${windows[1]}\\)$`);
  return `${windows[0]} (os error ${windows[1]})`;
}

// The rejection message of a read that failed with a system error: `linux`
// and `windows` are each [the system's text, the code]. Under Wine only the
// form and the Windows code can be checked, so a pattern comes back.
function readErrorMessage(linux, windows) {
  if (!WINDOWS) return `Read error: ${linux[0]} (os error ${linux[1]})`;
  if (UNDER_WINE) return new RegExp(`^Read error: \\S.*\\S \\(os error ${windows[1]}\\)$`);
  return `Read error: ${windows[0]} (os error ${windows[1]})`;
}

// Why a path holding NUL is refused, in the words of the system at hand.
const NUL_IN_PATH = WINDOWS ? 'strings passed to WinAPI cannot contain NULs' : 'paths cannot contain NUL bytes';

module.exports = {
  WINDOWS,
  RUN_SCRIPT,
  NUL_IN_PATH,
  UNDER_WINE,
  readErrorMessage,
  systemErrorMessage,
  TOKEN_COUNT_EXAMPLES,
  TRUNCATION_EXAMPLES,
  addonPath,
  loadAddon,
  VERSION,
  EMPTY_DIGEST,
  sha256Hex,
  utf8,
  isWord,
  isBlank,
  countTokensOfBytes,
  tokenCutIndex,
  truncateReference,
  merkleRootReference,
  merkleDiffReference,
  sortedDiff,
  batchReference,
  assertConversionError,
  makeTempDir,
  removeTempDir,
  writeFileIn,
  xorshift32,
  mulberry32,
  makeRandom,
  seedFromEnv,
};
