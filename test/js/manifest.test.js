'use strict';
// merkleRoot and merkleDiff seen from JavaScript: canonical text, byte order,
// duplicate handling, conversion errors, and random manifests checked against
// the small reference models in test/support.
const { describe, test } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const native = require('../..');
const {
  EMPTY_DIGEST,
  sha256Hex,
  utf8,
  merkleRootReference: referenceRoot,
  merkleDiffReference: referenceDiff,
  sortedDiff,
  mulberry32: makeRandom,
  assertConversionError,
} = require('../support');

const AB_DIGEST = '2bc11e86e8348c7c62f11e681435b5d013a262e5a9f3b8ce61c25831a516a45e';

const sha256Text = (text) => sha256Hex(utf8(text));

// Pieces chosen to stress byte order: ASCII around '.', '/', ':', case pairs,
// NUL and line feed, and multi-byte characters whose UTF-16 order differs
// from their UTF-8 order.
const KEY_PIECES = [
  'a', 'b', 'B', 'A', 'z', '_', '.', '/', ':', '-', '0', '9', ' ', '\n', '\0', '\x7f',
  'src', 'src/', 'lib', '.txt', 'é', 'ü', '\u00ff', '\u0100', '\u07ff', '\u0800',
  '\uFF21', '\uFFFD', '\uE000', '\u{1F600}', '\u{10000}', '\u{10FFFF}', '中',
];

function randomText(random, maxPieces) {
  let text = '';
  const pieces = random.int(maxPieces + 1);
  for (let i = 0; i < pieces; i++) text += random.pick(KEY_PIECES);
  return text;
}

function randomManifest(random, size, keyPool) {
  const manifest = [];
  for (let i = 0; i < size; i++) {
    const roll = random.next();
    if (roll < 0.04) {
      manifest.push([]);
    } else if (roll < 0.08) {
      manifest.push([random.pick(keyPool)]);
    } else {
      const value = random.next() < 0.5
        ? crypto.randomBytes(4).toString('hex')
        : randomText(random, 3);
      const entry = [random.pick(keyPool), value];
      if (random.next() < 0.05) entry.push('ignored', randomText(random, 2));
      manifest.push(entry);
    }
  }
  return manifest;
}

function randomKeyPool(random, size) {
  const pool = [];
  for (let i = 0; i < size; i++) {
    // Reuse an earlier key as a prefix now and then: shared prefixes are where
    // byte-wise ordering mistakes show.
    const base = pool.length > 0 && random.next() < 0.4 ? random.pick(pool) : '';
    pool.push(base + randomText(random, 6));
  }
  return pool;
}

describe('merkleRoot: canonical text', () => {
  test('an empty manifest hashes the empty text', () => {
    assert.equal(native.merkleRoot([]), EMPTY_DIGEST);
  });

  test('entries with fewer than two items are skipped', () => {
    assert.equal(native.merkleRoot([[]]), EMPTY_DIGEST);
    assert.equal(native.merkleRoot([['a']]), EMPTY_DIGEST);
    assert.equal(native.merkleRoot([['a'], [], ['b']]), EMPTY_DIGEST);
    assert.equal(native.merkleRoot([['a'], ['a', '1'], [], ['b', '2'], ['c']]), AB_DIGEST);
  });

  test('two entries give the same digest in either order', () => {
    assert.equal(native.merkleRoot([['a', '1'], ['b', '2']]), AB_DIGEST);
    assert.equal(native.merkleRoot([['b', '2'], ['a', '1']]), AB_DIGEST);
    assert.equal(sha256Text('a:1\nb:2'), AB_DIGEST);
  });

  test('a single entry is one line without a trailing line feed', () => {
    const root = native.merkleRoot([['a', '1']]);
    assert.equal(root, sha256Text('a:1'));
    assert.notEqual(root, sha256Text('a:1\n'));
  });

  test('items after the second are ignored', () => {
    assert.equal(native.merkleRoot([['a', '1', 'x']]), sha256Text('a:1'));
    assert.equal(native.merkleRoot([['b', '2', 'q', 'r'], ['a', '1', 'x']]), AB_DIGEST);
  });

  test('empty keys and values are kept', () => {
    assert.equal(native.merkleRoot([['', '']]), sha256Text(':'));
    assert.equal(native.merkleRoot([['a', ''], ['', 'x']]), sha256Text(':x\na:'));
  });

  test('there is no escaping: colons and line feeds are hashed as they are', () => {
    const joined = sha256Text('a:b:c');
    assert.equal(native.merkleRoot([['a:b', 'c']]), joined);
    assert.equal(native.merkleRoot([['a', 'b:c']]), joined);
    // One entry whose value carries a line feed collides with two entries.
    assert.equal(native.merkleRoot([['a', '1\nb:2']]), AB_DIGEST);
    assert.equal(native.merkleRoot([['a\nb', 'c']]), sha256Text('a\nb:c'));
  });

  test('NUL inside keys and values is data', () => {
    assert.equal(native.merkleRoot([['a\0b', '1']]), sha256Text('a\0b:1'));
    assert.notEqual(native.merkleRoot([['a\0b', '1']]), native.merkleRoot([['a', '1']]));
    assert.equal(native.merkleRoot([['a', '1\0']]), sha256Text('a:1\0'));
    assert.notEqual(native.merkleRoot([['a', '1\0']]), native.merkleRoot([['a', '1']]));
    // 'a' < 'a\0' < 'a\0b' < 'a\x01' byte-wise.
    const keys = ['a\x01', 'a\0b', 'a', 'a\0'];
    const manifest = keys.map((key, i) => [key, String(i)]);
    assert.equal(native.merkleRoot(manifest), sha256Text('a:2\na\0:3\na\0b:1\na\x01:0'));
  });

  test('values are verbatim: letter case and non-hex text matter', () => {
    const lower = native.merkleRoot([['f', 'abcdef']]);
    const upper = native.merkleRoot([['f', 'ABCDEF']]);
    assert.notEqual(lower, upper);
    assert.equal(upper, sha256Text('f:ABCDEF'));
    assert.equal(native.merkleRoot([['f', 'not a digest at all ']]), sha256Text('f:not a digest at all '));
  });

  test('keys are not trimmed or normalised', () => {
    assert.equal(native.merkleRoot([[' a ', '1']]), sha256Text(' a :1'));
    // Precomposed and decomposed e-acute are different byte strings.
    assert.notEqual(native.merkleRoot([['\u00e9', '1']]), native.merkleRoot([['e\u0301', '1']]));
  });

  test('lone surrogates reach the text as U+FFFD, like any UTF-8 conversion', () => {
    assert.equal(native.merkleRoot([['\uD800x', '\uDC00']]), sha256Text('\uFFFDx:\uFFFD'));
  });

  test('the result is 64 lowercase hex characters', () => {
    assert.match(native.merkleRoot([['k', 'v']]), /^[0-9a-f]{64}$/);
  });

  test('extra arguments are ignored', () => {
    assert.equal(native.merkleRoot([['a', '1'], ['b', '2']], 'extra', 5), AB_DIGEST);
  });
});

describe('merkleRoot: key order', () => {
  function rootOfLines(lines) {
    return sha256Text(lines.join('\n'));
  }

  test('uppercase sorts before lowercase', () => {
    assert.equal(native.merkleRoot([['a', '1'], ['B', '2']]), rootOfLines(['B:2', 'a:1']));
  });

  test('a key that is a prefix of another sorts first', () => {
    assert.equal(native.merkleRoot([['a.txt', '2'], ['a', '1']]), rootOfLines(['a:1', 'a.txt:2']));
  });

  test('a dot sorts before a slash', () => {
    assert.equal(
      native.merkleRoot([['a/b', '2'], ['a.txt', '1'], ['a', '0']]),
      rootOfLines(['a:0', 'a.txt:1', 'a/b:2']));
  });

  test('non-ASCII sorts after any ASCII byte', () => {
    assert.equal(
      native.merkleRoot([['\u00e9', '1'], ['\x7f', '2'], ['z', '3']]),
      rootOfLines(['z:3', '\x7f:2', '\u00e9:1']));
  });

  test('order is by UTF-8 bytes, not by UTF-16 code units', () => {
    // U+FF21 is EF BC A1 and U+1F600 is F0 9F 98 80 in UTF-8, so U+FF21 comes
    // first; in UTF-16 the surrogate D83D sorts before FF21.
    assert.ok('\u{1F600}' < '\uFF21');
    const native1 = native.merkleRoot([['\u{1F600}', '2'], ['\uFF21', '1']]);
    assert.equal(native1, rootOfLines(['\uFF21:1', '\u{1F600}:2']));
    assert.notEqual(native1, rootOfLines(['\u{1F600}:2', '\uFF21:1']));
    // The same holds for a private-use character against the first
    // supplementary one, and when the difference follows a shared prefix.
    assert.equal(
      native.merkleRoot([['p/\u{10000}', 'y'], ['p/\uE000', 'x']]),
      rootOfLines(['p/\uE000:x', 'p/\u{10000}:y']));
  });

  test('equal keys keep their input order', () => {
    const twoOne = native.merkleRoot([['a', '2'], ['a', '1']]);
    assert.equal(twoOne, rootOfLines(['a:2', 'a:1']));
    assert.notEqual(twoOne, native.merkleRoot([['a', '1'], ['a', '2']]));
    assert.equal(
      native.merkleRoot([['b', '0'], ['a', '2'], ['c', '9'], ['a', '1'], ['a', '3']]),
      rootOfLines(['a:2', 'a:1', 'a:3', 'b:0', 'c:9']));
  });

  test('stability holds for large inputs with few distinct keys', () => {
    const random = makeRandom(7);
    const keys = ['k', 'k/a', 'k.a', 'K', 'k\0', 'k\u00e9', 'k\u{1F600}', 'k\uFF21', ''];
    const manifest = [];
    for (let i = 0; i < 20000; i++) manifest.push([random.pick(keys), String(i)]);
    assert.equal(native.merkleRoot(manifest), referenceRoot(manifest));
  });

  test('long keys that differ only at the end', () => {
    const prefix = 'x'.repeat(5000) + '\u00e9'.repeat(1000);
    const manifest = [[prefix + 'b', '2'], [prefix + 'a', '1'], [prefix, '0'], [prefix + '\u{1F600}', '3']];
    assert.equal(native.merkleRoot(manifest), referenceRoot(manifest));
  });
});

describe('merkleRoot: conversion errors', () => {
  test('a string argument is not an array', () => {
    assertConversionError(() => native.merkleRoot('a:1'), 'InvalidArg', 'Given napi value is not an array');
  });

  test('a missing argument is not an array', () => {
    assertConversionError(() => native.merkleRoot(), 'InvalidArg', 'Given napi value is not an array');
  });

  test('an entry that is a number is not an array', () => {
    assertConversionError(() => native.merkleRoot([['a', '1'], 5]), 'InvalidArg', 'Given napi value is not an array');
  });

  test('an entry holding a number fails its text conversion', () => {
    assertConversionError(() => native.merkleRoot([['a', 1]]), 'StringExpected',
      'Failed to convert JavaScript value `Number 1 ` into rust type `String`');
  });

  test('conversion comes before skipping short entries', () => {
    assertConversionError(() => native.merkleRoot([[7]]), 'StringExpected',
      'Failed to convert JavaScript value `Number 7 ` into rust type `String`');
  });

  test('the first bad element is the one reported', () => {
    assertConversionError(() => native.merkleRoot([['a', null], 5]), 'StringExpected',
      'Failed to convert JavaScript value `Null` into rust type `String`');
  });

  test('a hole in an entry reads as undefined', () => {
    // eslint-disable-next-line no-sparse-arrays
    assertConversionError(() => native.merkleRoot([['a', , 'c']]), 'StringExpected',
      'Failed to convert JavaScript value `Undefined` into rust type `String`');
  });

  test('the module keeps working after conversion errors', () => {
    assert.throws(() => native.merkleRoot([['a', 1]]));
    assert.equal(native.merkleRoot([['a', '1'], ['b', '2']]), AB_DIGEST);
  });
});

describe('merkleRoot: random manifests', () => {
  test('agree with the reference model', () => {
    for (let seed = 1; seed <= 300; seed++) {
      const random = makeRandom(seed);
      const pool = randomKeyPool(random, 1 + random.int(60));
      const manifest = randomManifest(random, random.int(120), pool);
      assert.equal(native.merkleRoot(manifest), referenceRoot(manifest), `seed ${seed}`);
    }
  });

  test('agree with the reference model on a large manifest', () => {
    const random = makeRandom(4242);
    const pool = randomKeyPool(random, 30000);
    const manifest = randomManifest(random, 50000, pool);
    assert.equal(native.merkleRoot(manifest), referenceRoot(manifest));
  });

  test('do not depend on the order of entries with distinct keys', () => {
    const random = makeRandom(99);
    const keys = [...new Set(randomKeyPool(random, 500))];
    const manifest = keys.map((key) => [key, crypto.randomBytes(32).toString('hex')]);
    const root = native.merkleRoot(manifest);
    for (let round = 0; round < 5; round++) {
      const shuffled = [...manifest];
      for (let i = shuffled.length - 1; i > 0; i--) {
        const j = random.int(i + 1);
        [shuffled[i], shuffled[j]] = [shuffled[j], shuffled[i]];
      }
      assert.equal(native.merkleRoot(shuffled), root);
    }
  });
});

describe('merkleDiff: edge cases', () => {
  test('two empty manifests give three empty arrays', () => {
    const result = native.merkleDiff([], []);
    assert.deepEqual(result, { added: [], modified: [], deleted: [] });
  });

  test('own property names are added, modified, deleted, in that order', () => {
    assert.deepEqual(Object.getOwnPropertyNames(native.merkleDiff([], [])), ['added', 'modified', 'deleted']);
    assert.deepEqual(
      Object.getOwnPropertyNames(native.merkleDiff([['a', '1']], [['b', '2']])),
      ['added', 'modified', 'deleted']);
    const result = native.merkleDiff([], []);
    assert.equal(Object.getPrototypeOf(result), Object.prototype);
    for (const name of ['added', 'modified', 'deleted']) {
      assert.ok(Array.isArray(result[name]));
      assert.ok(Object.getOwnPropertyDescriptor(result, name).enumerable);
    }
  });

  test('an empty first manifest adds every distinct key of the second', () => {
    const result = sortedDiff(native.merkleDiff([], [['x', '1'], ['y', '2'], ['x', '3']]));
    assert.deepEqual(result, { added: ['x', 'y'], modified: [], deleted: [] });
  });

  test('an empty second manifest deletes every distinct key of the first', () => {
    const result = sortedDiff(native.merkleDiff([['x', '1'], ['y', '2'], ['y', '2']], []));
    assert.deepEqual(result, { added: [], modified: [], deleted: ['x', 'y'] });
  });

  test('added, modified and deleted are told apart', () => {
    const result = native.merkleDiff(
      [['a', '1'], ['b', '2'], ['c', '3']],
      [['a', '1'], ['b', '9'], ['d', '4']]);
    assert.deepEqual(result, { added: ['d'], modified: ['b'], deleted: ['c'] });
  });

  test('the last duplicate wins', () => {
    assert.deepEqual(native.merkleDiff([['a', '1']], [['a', '2'], ['a', '1']]),
      { added: [], modified: [], deleted: [] });
    assert.deepEqual(native.merkleDiff([['a', '1']], [['a', '1'], ['a', '2']]),
      { added: [], modified: ['a'], deleted: [] });
    assert.deepEqual(native.merkleDiff([['a', '2'], ['a', '1']], [['a', '1']]),
      { added: [], modified: [], deleted: [] });
    assert.deepEqual(native.merkleDiff([['a', '1'], ['a', '2']], [['a', '1']]),
      { added: [], modified: ['a'], deleted: [] });
  });

  test('a repeated key is listed once', () => {
    assert.deepEqual(native.merkleDiff([], [['x', '1'], ['x', '1']]),
      { added: ['x'], modified: [], deleted: [] });
    assert.deepEqual(native.merkleDiff([['x', '1'], ['x', '2']], [['x', '3'], ['x', '4']]),
      { added: [], modified: ['x'], deleted: [] });
  });

  test('keys compare exactly: case and separators matter', () => {
    assert.deepEqual(sortedDiff(native.merkleDiff([['A', '1']], [['a', '1']])),
      { added: ['a'], modified: [], deleted: ['A'] });
    assert.deepEqual(sortedDiff(native.merkleDiff([['dir/f', '1']], [['dir\\f', '1']])),
      { added: ['dir\\f'], modified: [], deleted: ['dir/f'] });
    assert.deepEqual(sortedDiff(native.merkleDiff([['\u00e9', '1']], [['e\u0301', '1']])),
      { added: ['e\u0301'], modified: [], deleted: ['\u00e9'] });
  });

  test('values compare exactly: letter case and length matter', () => {
    const digest = crypto.createHash('sha256').update('x').digest('hex');
    assert.deepEqual(native.merkleDiff([['f', digest]], [['f', digest.toUpperCase()]]),
      { added: [], modified: ['f'], deleted: [] });
    assert.deepEqual(native.merkleDiff([['f', '1']], [['f', '1\0']]),
      { added: [], modified: ['f'], deleted: [] });
    assert.deepEqual(native.merkleDiff([['f', '']], [['f', '']]),
      { added: [], modified: [], deleted: [] });
  });

  test('NUL, line feeds, empty and non-ASCII keys are ordinary keys', () => {
    const first = [['a\0b', '1'], ['', '2'], ['x\ny', '3'], ['\u{1F600}', '4']];
    const second = [['a', '1'], ['', '9'], ['x\ny', '3'], ['\u{1F600}', '4']];
    assert.deepEqual(sortedDiff(native.merkleDiff(first, second)),
      { added: ['a'], modified: [''], deleted: ['a\0b'] });
  });

  test('an entry with fewer than two items is absent', () => {
    assert.deepEqual(native.merkleDiff([['a', '1']], [['a']]),
      { added: [], modified: [], deleted: ['a'] });
    assert.deepEqual(native.merkleDiff([['a'], []], [['a', '1']]),
      { added: ['a'], modified: [], deleted: [] });
  });

  test('items after the second are ignored', () => {
    assert.deepEqual(native.merkleDiff([['a', '1', 'x']], [['a', '1', 'y']]),
      { added: [], modified: [], deleted: [] });
    assert.deepEqual(native.merkleDiff([['a', '1', 'x']], [['a', '2', 'x']]),
      { added: [], modified: ['a'], deleted: [] });
  });

  test('the result holds fresh strings and does not alias the arguments', () => {
    const first = [['k', '1']];
    const second = [['k', '2'], ['n', '3']];
    const result = native.merkleDiff(first, second);
    result.modified.push('junk');
    assert.deepEqual(first, [['k', '1']]);
    assert.deepEqual(second, [['k', '2'], ['n', '3']]);
    assert.deepEqual(sortedDiff(native.merkleDiff(first, second)),
      { added: ['n'], modified: ['k'], deleted: [] });
  });
});

describe('merkleDiff: conversion errors', () => {
  test('a string argument throws', () => {
    assertConversionError(() => native.merkleDiff('a', []), 'InvalidArg', 'Given napi value is not an array');
    assertConversionError(() => native.merkleDiff([], 'a'), 'InvalidArg', 'Given napi value is not an array');
  });

  test('a number argument throws', () => {
    assertConversionError(() => native.merkleDiff(5, []), 'InvalidArg', 'Given napi value is not an array');
    assertConversionError(() => native.merkleDiff([], 5), 'InvalidArg', 'Given napi value is not an array');
  });

  test('only one argument throws', () => {
    assertConversionError(() => native.merkleDiff([['a', '1']]), 'InvalidArg', 'Given napi value is not an array');
    assertConversionError(() => native.merkleDiff(), 'InvalidArg', 'Given napi value is not an array');
  });

  test('the first argument is converted before the second is looked at', () => {
    assertConversionError(() => native.merkleDiff([['a', 1]], 'not an array'), 'StringExpected',
      'Failed to convert JavaScript value `Number 1 ` into rust type `String`');
  });

  test('a bad item in the second manifest throws', () => {
    assertConversionError(() => native.merkleDiff([['a', '1']], [['a', '1'], [{ a: 1 }]]), 'StringExpected',
      'Failed to convert JavaScript value `Object {"a":1}` into rust type `String`');
  });

  test('extra arguments are ignored', () => {
    assert.deepEqual(native.merkleDiff([['a', '1']], [['a', '2']], 'extra'),
      { added: [], modified: ['a'], deleted: [] });
  });
});

describe('merkleDiff: random manifests', () => {
  function checkAgainstReference(first, second, label) {
    const result = native.merkleDiff(first, second);
    assert.deepEqual(Object.getOwnPropertyNames(result), ['added', 'modified', 'deleted'], label);
    // No key may appear twice, inside one list or across lists.
    const all = [...result.added, ...result.modified, ...result.deleted];
    assert.equal(new Set(all).size, all.length, label);
    assert.deepEqual(sortedDiff(result), referenceDiff(first, second), label);
  }

  test('agree with the Map-based reference', () => {
    for (let seed = 1; seed <= 300; seed++) {
      const random = makeRandom(1000 + seed);
      const pool = randomKeyPool(random, 1 + random.int(40));
      const first = randomManifest(random, random.int(80), pool);
      // Derive the second manifest from the first so that every kind of change occurs.
      const second = [];
      for (const entry of first) {
        const roll = random.next();
        if (roll < 0.15) continue;
        if (roll < 0.3 && entry.length >= 2) second.push([entry[0], entry[1] + '!']);
        else second.push([...entry]);
      }
      second.push(...randomManifest(random, random.int(20), pool));
      checkAgainstReference(first, second, `seed ${seed}`);
      checkAgainstReference(second, first, `seed ${seed} reversed`);
    }
  });

  test('agree with the reference on large manifests', () => {
    const random = makeRandom(77);
    const pool = randomKeyPool(random, 40000);
    checkAgainstReference(randomManifest(random, 60000, pool), randomManifest(random, 60000, pool), 'large');
  });

  test('a manifest compared with itself reports nothing', () => {
    const random = makeRandom(5);
    const manifest = randomManifest(random, 2000, randomKeyPool(random, 1500));
    assert.deepEqual(native.merkleDiff(manifest, manifest), { added: [], modified: [], deleted: [] });
  });

  test('repeated calls report the same sets', () => {
    const random = makeRandom(6);
    const pool = randomKeyPool(random, 300);
    const first = randomManifest(random, 400, pool);
    const second = randomManifest(random, 400, pool);
    const expected = sortedDiff(native.merkleDiff(first, second));
    for (let i = 0; i < 10; i++) assert.deepEqual(sortedDiff(native.merkleDiff(first, second)), expected);
  });
});
