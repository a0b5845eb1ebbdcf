'use strict';
// Texts longer than the addon reads at once: digests, counts and cuts of
// texts of several windows, with pairs, lone surrogates, word runs and cuts
// placed on the window edges, and texts held as ropes and slices.
const { describe, test } = require('node:test');
const assert = require('node:assert/strict');

const { loadAddon, sha256Hex, utf8, countTokensOfBytes, truncateReference, mulberry32 } = require('../support');

const addon = loadAddon();

// The addon's windows grow to this many UTF-16 units; a cut's first window
// holds six units per token of its budget.
const WINDOW = 256 * 1024;

function check(text, budgets, label) {
  const bytes = utf8(text);
  assert.equal(addon.sha256String(text), sha256Hex(bytes), `${label}: digest`);
  const total = countTokensOfBytes(bytes);
  assert.equal(addon.countTokens(text), total, `${label}: count`);
  for (const budget of [...budgets, total - 1, total, total + 1]) {
    if (budget < 0) continue;
    const expected = truncateReference(text, budget);
    const got = addon.truncateToTokens(text, budget);
    assert.ok(got === expected, `${label}: cut at ${budget} keeps ${got.length} units, not ${expected.length}`);
  }
}

// Source-like text with some non-ASCII, several windows long.
function mixedText(units, seed) {
  const { int } = mulberry32(seed);
  const pieces = ['const ', 'value', '_count9', ' = ', '(x, y)', ';\n', '\t', '  ', 'caf\u00e9 ', '\u5909\u6570', '\u{1F680}', '// '];
  const parts = [];
  let length = 0;
  while (length < units) {
    const piece = pieces[int(pieces.length)];
    parts.push(piece);
    length += piece.length;
  }
  return parts.join('');
}

describe('long texts', () => {
  test('a text of many windows gives the digest, count and cuts of its UTF-8 bytes', () => {
    const text = mixedText(12 * 1024 * 1024, 3);
    check(text, [1, 1000, 123457, 1_000_003, 2_500_000], 'mixed text');
  });

  test('pairs, lone surrogates and word runs across window edges', () => {
    for (const piece of ['\u{1F600}', '\ud800', '\udfff', '\udbff\udbff', 'word_run', '\u00e9']) {
      const units = Array.from({ length: 3 * WINDOW + 100 }, () => '.');
      for (const edge of [WINDOW, 2 * WINDOW, 3 * WINDOW]) {
        for (const offset of [-2, -1, 0, 1]) units[edge + offset] = piece;
      }
      const text = units.join('');
      check(text, [1, WINDOW - 1, WINDOW, WINDOW + 1, 2 * WINDOW], JSON.stringify(piece));
    }
  });

  test('cuts that fall exactly on a window edge', () => {
    // Tokens of w units each: budget B cuts at w * B, which is the first,
    // second or third edge of a cut's windows when w is 6, 18 or 42.
    for (const width of [6, 18, 42]) {
      const text = `${'a'.repeat(width - 1)} `.repeat(4000);
      assert.equal(addon.truncateToTokens(text, 1000), text.slice(0, width * 1000), `width ${width}`);
    }
    // One-unit tokens at full-size windows: the cut is the edge itself, or
    // falls before a pair that straddles it.
    const dots = '.'.repeat(3 * WINDOW);
    assert.equal(addon.truncateToTokens(dots, WINDOW), dots.slice(0, WINDOW));
    assert.equal(addon.truncateToTokens(dots, 2 * WINDOW), dots.slice(0, 2 * WINDOW));
    const straddling = `${'.'.repeat(WINDOW - 1)}\u{1F600}${'.'.repeat(WINDOW)}`;
    assert.equal(addon.truncateToTokens(straddling, WINDOW + 2), straddling.slice(0, WINDOW - 1));
    assert.equal(addon.truncateToTokens(straddling, WINDOW + 3), straddling.slice(0, WINDOW + 1));
  });

  test('ropes and slices read as their flat copies', () => {
    const base = mixedText(3 * WINDOW, 9);
    let rope = '';
    for (let i = 0; i < 40; i++) rope += `${base.slice(i * 20000, i * 20000 + 19999)}\ud83d`;
    const sliced = base.slice(12345, base.length - 777);
    for (const [label, text] of [['rope', rope], ['slice', sliced]]) {
      const flat = Buffer.from(text, 'utf16le').toString('utf16le');
      assert.equal(addon.sha256String(text), addon.sha256String(flat), label);
      assert.equal(addon.countTokens(text), countTokensOfBytes(utf8(flat)), label);
      const total = addon.countTokens(flat);
      for (const budget of [7, total >> 2, total >> 1, total]) {
        assert.ok(addon.truncateToTokens(text, budget) === truncateReference(flat, budget), `${label} at ${budget}`);
      }
    }
  });
});
