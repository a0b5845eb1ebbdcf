'use strict';
// Token estimate and truncation, checked against worked examples and
// against a byte-at-a-time reference written here.
const { describe, test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');

const addon = require('../..');
const {
  isWord,
  isBlank,
  countTokensOfBytes: referenceCount,
  tokenCutIndex: referenceCut,
  xorshift32: prng,
  TOKEN_COUNT_EXAMPLES,
  TRUNCATION_EXAMPLES,
} = require('../support');

const WORD = 'word';
const BLANK = 'blank';
const SYMBOL = 'symbol';

function byteClass(byte) {
  if (isWord(byte)) return WORD;
  if (isBlank(byte)) return BLANK;
  return SYMBOL;
}

const isContinuation = (byte) => (byte & 0xc0) === 0x80;

// Checks one truncation against the reference walk and the stated properties.
function checkTruncation(text, budget) {
  const normalised = Buffer.from(text).toString();
  const bytes = Buffer.from(normalised);
  const result = addon.truncateToTokens(text, budget);
  const label = `${JSON.stringify(text)} at ${budget}`;
  assert.equal(typeof result, 'string', label);
  assert.equal(Buffer.from(result).toString(), result, `result is valid text: ${label}`);
  assert.ok(normalised.startsWith(result), `result is a prefix: ${label}`);
  const kept = Buffer.from(result);
  assert.ok(referenceCount(kept) <= budget, `estimate within budget: ${label}`);
  const cut = referenceCut(bytes, budget);
  if (cut === bytes.length) {
    assert.equal(result, normalised, `nothing cut: ${label}`);
  } else if (!isContinuation(bytes[cut])) {
    assert.deepEqual(kept, bytes.subarray(0, cut), `cut on a character boundary: ${label}`);
    assert.equal(referenceCount(kept), budget, `a cut uses the whole budget: ${label}`);
  } else {
    assert.ok(kept.length < cut, `a cut inside a character keeps less: ${label}`);
  }
  if (budget >= referenceCount(bytes)) assert.equal(result, normalised, `budget covers text: ${label}`);
  return result;
}

const WORD_CHARS = 'abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_';
const PUNCTUATION = '!"#$%&\'()*+,-./:;<=>?@[\\]^`{|}~';
const ODD_PIECES = [
  '\0', '\x01', '\x1f', '\x7f', '\v', '\f', '\t', '\n', '\r', ' ',
  '\u0080', '\u00e9', '\u00fc', '\u07ff', '\u0800', '\u20ac', '\u4e2d', '\uffff',
  '\u{1F600}', '\u{10FFFF}', '\u0430', '\u00df',
];

function randomText(next, pieces) {
  let text = '';
  for (let i = 0; i < pieces; i += 1) {
    const choice = next() % 10;
    if (choice < 3) {
      const length = 1 + (next() % (next() % 8 === 0 ? 70 : 10));
      for (let j = 0; j < length; j += 1) text += WORD_CHARS[next() % WORD_CHARS.length];
    } else if (choice < 5) {
      const length = 1 + (next() % (next() % 8 === 0 ? 40 : 3));
      text += ' \t\n\r'[next() % 4].repeat(length);
    } else if (choice < 7) {
      text += PUNCTUATION[next() % PUNCTUATION.length];
    } else {
      text += ODD_PIECES[next() % ODD_PIECES.length];
    }
  }
  return text;
}

describe('countTokens: examples', () => {
  for (const [text, expected] of TOKEN_COUNT_EXAMPLES) {
    test(`${JSON.stringify(text)} counts ${expected}`, () => {
      assert.equal(addon.countTokens(text), expected);
    });
  }
});

describe('countTokens: byte classes', () => {
  test('every ASCII character alone, doubled, between letters and repeated', () => {
    for (let code = 0; code < 128; code += 1) {
      const ch = String.fromCharCode(code);
      const kind = byteClass(code);
      const label = `0x${code.toString(16)}`;
      const alone = { [WORD]: 1, [BLANK]: 0, [SYMBOL]: 1 }[kind];
      const doubled = { [WORD]: 1, [BLANK]: 0, [SYMBOL]: 2 }[kind];
      const between = { [WORD]: 1, [BLANK]: 2, [SYMBOL]: 3 }[kind];
      const repeated = { [WORD]: 1, [BLANK]: 0, [SYMBOL]: 37 }[kind];
      assert.equal(addon.countTokens(ch), alone, label);
      assert.equal(addon.countTokens(ch + ch), doubled, label);
      assert.equal(addon.countTokens(`a${ch}a`), between, label);
      assert.equal(addon.countTokens(ch.repeat(37)), repeated, label);
      const longBetween = `${'a'.repeat(20)}${ch}${'b'.repeat(20)}`;
      assert.equal(addon.countTokens(longBetween), between, `${label} inside long runs`);
    }
  });

  test('vertical tab and form feed are symbols, not blanks', () => {
    assert.equal(addon.countTokens('a\vb'), 3);
    assert.equal(addon.countTokens('a\fb'), 3);
    assert.equal(addon.countTokens('\v\f\v\f\v\f\v\f\v\f'), 10);
  });

  test('every byte of a non-ASCII character is a symbol, never a word byte or blank', () => {
    // Covers every lead byte of two-byte characters and every continuation byte,
    // each next to word bytes so that a high byte taken as a word byte shows.
    let text = '';
    for (let cp = 0x80; cp <= 0x7ff; cp += 1) text += `ab${String.fromCodePoint(cp)}_ `;
    assert.equal(addon.countTokens(text), 4 * (0x7ff - 0x80 + 1));
    for (const cp of [0x800, 0x1000, 0x2020, 0x4e2d, 0xd7ff, 0xe000, 0xfffd, 0xffff, 0x10000, 0x1f600, 0x10ffff]) {
      const ch = String.fromCodePoint(cp);
      const width = Buffer.byteLength(ch);
      assert.equal(addon.countTokens(ch), width, `U+${cp.toString(16)}`);
      assert.equal(addon.countTokens(`x${ch}y `.repeat(10)), 10 * (width + 2), `U+${cp.toString(16)} repeated`);
    }
  });

  test('a lone surrogate counts as the three bytes of its replacement', () => {
    assert.equal(addon.countTokens('\ud800'), 3);
    assert.equal(addon.countTokens('a\udfffb'), 5);
  });
});

describe('countTokens: block boundaries', () => {
  test('texts of 7, 8, 9, 15, 16 and 17 bytes', () => {
    const patterns = ['a!b c_d\u00e9', 'ab  !!__x-y.z', '!?', 'word', ' '];
    for (const length of [7, 8, 9, 15, 16, 17]) {
      for (const pattern of patterns) {
        const bytes = Buffer.from(pattern.repeat(20)).subarray(0, length);
        const text = bytes.toString('latin1');
        assert.equal(addon.countTokens(text), referenceCount(Buffer.from(text)), `${JSON.stringify(text)}`);
      }
    }
  });

  test('a word run across the end of the first 8-byte block counts once', () => {
    assert.equal(addon.countTokens('!!!!!!abcd!!!!!!'), 13);
    assert.equal(addon.countTokens('      abcd      '), 1);
    assert.equal(addon.countTokens('      abcdefghijk'), 1);
    assert.equal(addon.countTokens('-------abcdefghijklmnopqrstuvwxyz0123456789'), 8);
  });

  test('word runs ending and starting at every offset of long texts', () => {
    for (let offset = 0; offset < 80; offset += 1) {
      for (const tailLength of [0, 1, 7, 8, 9, 31, 32, 33, 63, 64, 65]) {
        const text = `${' '.repeat(offset)}${'w'.repeat(tailLength)}!${'z'.repeat(offset)}`;
        const expected = referenceCount(Buffer.from(text));
        assert.equal(addon.countTokens(text), expected, `offset ${offset}, run ${tailLength}`);
      }
    }
  });

  test('every prefix of a long random text', () => {
    const next = prng(31337);
    const bytes = Buffer.from(randomText(next, 300));
    // Latin-1 keeps one character per byte, so each prefix is a byte prefix.
    const text = bytes.toString('latin1');
    for (let length = 0; length <= text.length; length += 1) {
      const prefix = text.slice(0, length);
      assert.equal(addon.countTokens(prefix), referenceCount(Buffer.from(prefix)), `prefix of ${length}`);
    }
  });
});

describe('countTokens: random texts', () => {
  test('matches the byte rule for texts of every size', () => {
    const next = prng(0xc0ffee);
    for (let round = 0; round < 600; round += 1) {
      const text = randomText(next, round % 120);
      assert.equal(addon.countTokens(text), referenceCount(Buffer.from(text)), JSON.stringify(text));
    }
  });

  test('matches the byte rule on a text of several megabytes', () => {
    const next = prng(8);
    const parts = [];
    for (let i = 0; i < 200; i += 1) parts.push(randomText(next, 1000));
    const text = parts.join('');
    assert.equal(addon.countTokens(text), referenceCount(Buffer.from(text)));
  });

  test('large uniform texts', () => {
    assert.equal(addon.countTokens('a '.repeat(1000000)), 1000000);
    assert.equal(addon.countTokens('!'.repeat(1 << 20)), 1 << 20);
    assert.equal(addon.countTokens('x'.repeat(1 << 20)), 1);
    assert.equal(addon.countTokens(' '.repeat(1 << 20)), 0);
  });

  test('results are non-negative integers', () => {
    for (const text of ['', 'a', '\u{1F600}'.repeat(1000), 'hello world']) {
      const count = addon.countTokens(text);
      assert.ok(Number.isInteger(count) && count >= 0);
    }
  });
});

describe('truncateToTokens: examples', () => {
  for (const [text, budget, expected] of TRUNCATION_EXAMPLES) {
    test(`${JSON.stringify(text)} at ${budget} gives ${JSON.stringify(expected)}`, () => {
      assert.equal(addon.truncateToTokens(text, budget), expected);
    });
  }
});

describe('truncateToTokens: cutting rules', () => {
  test('a budget of 0 always gives the empty string', () => {
    for (const text of ['', ' ', '\t\n', 'word', '!', '\u00e9', '\u{1F600}', 'a '.repeat(1000)]) {
      assert.equal(addon.truncateToTokens(text, 0), '', JSON.stringify(text));
    }
  });

  test('a budget at or above the estimate returns the text unchanged', () => {
    for (const text of ['hello world  ', '  lead', 'x\0y', 'na\u00efve \u{1F600}\n', '\v\f']) {
      const estimate = addon.countTokens(text);
      for (const budget of [estimate, estimate + 1, 4294967295]) {
        if (budget === 0) continue;
        assert.equal(addon.truncateToTokens(text, budget), text, `${JSON.stringify(text)} at ${budget}`);
      }
    }
  });

  test('word runs are kept whole or not at all; blanks before the cut stay', () => {
    assert.equal(addon.truncateToTokens('  alpha  beta', 1), '  alpha  ');
    assert.equal(addon.truncateToTokens('alpha_beta_gamma delta', 1), 'alpha_beta_gamma ');
    assert.equal(addon.truncateToTokens('x'.repeat(100) + '!', 1), 'x'.repeat(100));
    assert.equal(addon.truncateToTokens('\n\n\n!', 1), '\n\n\n!');
  });

  test('a cut inside a multi-byte character keeps valid text', () => {
    assert.equal(addon.truncateToTokens('a\u00e9', 2), 'a');
    for (const text of ['a\u{1F600}', 'a\u20ac', '\u00e9\u00e9', 'ab \u4e2d\u6587', '\u{1F600}\u{1F600}']) {
      for (let budget = 1; budget <= addon.countTokens(text); budget += 1) checkTruncation(text, budget);
    }
  });

  test('a lone surrogate is kept as its replacement character', () => {
    assert.equal(addon.truncateToTokens('\ud800x', 10), '\ufffdx');
    assert.equal(addon.truncateToTokens('x \udc00 y', 4), 'x \ufffd ');
  });

  test('long texts are cut after the last whole word within the budget', () => {
    const text = 'word '.repeat(200000);
    assert.equal(addon.truncateToTokens(text, 1000), 'word '.repeat(1000));
    assert.equal(addon.truncateToTokens(text, 199999), 'word '.repeat(199999));
    assert.equal(addon.truncateToTokens(text, 200000), text);
  });
});

describe('truncateToTokens: random texts against the reference walk', () => {
  test('every budget from 0 to past the estimate', () => {
    const next = prng(0xfeed);
    for (let round = 0; round < 150; round += 1) {
      const text = randomText(next, 1 + (round % 40));
      const estimate = referenceCount(Buffer.from(text));
      for (let budget = 0; budget <= estimate + 2; budget += 1) checkTruncation(text, budget);
    }
  });

  test('random budgets on longer texts', () => {
    const next = prng(271828);
    for (let round = 0; round < 200; round += 1) {
      const text = randomText(next, 50 + (next() % 400));
      const estimate = referenceCount(Buffer.from(text));
      checkTruncation(text, 1 + (next() % (estimate + 1)));
    }
  });
});

// Large kept prefixes are handed back without copying the argument's
// characters; small ones, and texts whose conversion changed something, are
// copied. Both must give the same text.
describe('truncateToTokens: large prefixes', () => {
  // Some hundreds of KiB of mixed text with characters of every UTF-8 length,
  // surrogate pairs included, so that counting units for the kept part is
  // exercised on every side of the cut.
  function largeText(seed, extra = '') {
    const next = prng(seed);
    const parts = [];
    for (let i = 0; i < 300; i += 1) parts.push(randomText(next, 200), extra);
    return parts.join('');
  }

  function checkBudgets(text) {
    const estimate = referenceCount(Buffer.from(text));
    for (const share of [0.03, 0.2, 0.26, 0.5, 0.77, 0.999]) {
      checkTruncation(text, Math.max(1, Math.floor(estimate * share)));
    }
  }

  test('mixed text with astral characters, cut at many depths', () => {
    checkBudgets(largeText(11));
    checkBudgets(largeText(12, '\u{1F600}'));
  });

  test('a lone surrogate is still replaced in a large result', () => {
    const text = largeText(13, '\ud83d');
    checkBudgets(text);
    const result = addon.truncateToTokens(text, Math.floor(addon.countTokens(text) / 2));
    assert.ok(result.includes('\ufffd'));
    const loneSurrogate = /[\ud800-\udbff](?![\udc00-\udfff])|(?<![\ud800-\udbff])[\udc00-\udfff]/;
    assert.ok(!loneSurrogate.test(result));
  });

  test('a replacement character that was in the text is kept as it was', () => {
    checkBudgets(largeText(14, '\ufffd'));
  });

  test('later changes to String.prototype.slice are never called', () => {
    const text = largeText(15);
    const budget = Math.floor(addon.countTokens(text) / 2);
    const expected = addon.truncateToTokens(text, budget);
    const original = String.prototype.slice;
    let called = 0;
    // eslint-disable-next-line no-extend-native
    String.prototype.slice = function slice() {
      called += 1;
      return 'replaced';
    };
    let result;
    try {
      result = addon.truncateToTokens(text, budget);
    } finally {
      // eslint-disable-next-line no-extend-native
      String.prototype.slice = original;
    }
    assert.equal(called, 0);
    assert.equal(result, expected);
    checkTruncation(text, budget);
  });
  test('a String.prototype.slice replaced before loading cannot stand for the result', () => {
    // Each in a child of its own, so that the module captures the replacement.
    // Long enough to be read in several windows, which are sliced too.
    const long = 'word é '.repeat(300000);
    const expected = JSON.stringify([addon.countTokens(long), addon.sha256String(long)]);
    const replacements = [
      '() => 42', "() => 'word '.repeat(59999)", '() => { throw 1; }', 'function () { return this; }',
    ];
    for (const replacement of replacements) {
      const script = `
        String.prototype.slice = ${replacement};
        const addon = require(${JSON.stringify(require.resolve('../..'))});
        const result = addon.truncateToTokens('word '.repeat(100000), 60000);
        const long = 'word é '.repeat(300000);
        const whole = JSON.stringify([addon.countTokens(long), addon.sha256String(long)]);
        process.stdout.write(String(result === 'word '.repeat(60000) && whole === ${JSON.stringify(expected)}));`;
      const child = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 30000 });
      assert.equal(child.status, 0, child.stderr);
      assert.equal(child.stdout, 'true', replacement);
    }
  });
});

describe('truncateToTokens: budget conversion', () => {
  // Node-API converts numbers to unsigned 32 bits as ToUint32 does, which is
  // what `>>> 0` computes; the budget is whatever that gives.
  const text = 'one two three four five';
  const budgets = [
    1.9, 0.5, 2.999, -0, -1, -2.5, NaN, Infinity, -Infinity,
    2 ** 32, 2 ** 32 + 1, 2 ** 32 + 2.7, -(2 ** 32) + 3, 1e300, Number.MAX_SAFE_INTEGER, Number.MIN_VALUE,
  ];

  test('fractional, negative, non-finite and large budgets do not throw', () => {
    for (const budget of budgets) {
      assert.doesNotThrow(() => addon.truncateToTokens(text, budget), String(budget));
    }
  });

  test('each budget acts as its unsigned 32-bit conversion', () => {
    for (const budget of budgets) {
      assert.equal(
        addon.truncateToTokens(text, budget),
        addon.truncateToTokens(text, budget >>> 0),
        String(budget),
      );
    }
  });

  test('the usual conversions, spelled out', () => {
    assert.equal(addon.truncateToTokens(text, 1.9), 'one ');
    assert.equal(addon.truncateToTokens(text, -1), text);
    assert.equal(addon.truncateToTokens(text, NaN), '');
    assert.equal(addon.truncateToTokens(text, 2 ** 32 + 2), 'one two ');
  });
});
