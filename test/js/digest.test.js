'use strict';
// SHA-256 of Buffers and strings: FIPS 180-4 vectors, padding boundaries,
// byte views, string encoding, and agreement with node:crypto.
const { describe, test } = require('node:test');
const assert = require('node:assert/strict');

const addon = require('../..');
const { EMPTY_DIGEST, sha256Hex: reference, xorshift32: prng } = require('../support');

const HEX_DIGEST = /^[0-9a-f]{64}$/;

function randomBytes(next, length) {
  const bytes = Buffer.allocUnsafe(length);
  for (let i = 0; i < length; i += 1) bytes[i] = next() & 0xff;
  return bytes;
}

describe('FIPS 180-4 example vectors', () => {
  const vectors = [
    ['', EMPTY_DIGEST],
    ['abc', 'ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad'],
    [
      'abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq',
      '248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1',
    ],
    [
      'abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu',
      'cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1',
    ],
    ['a'.repeat(1000000), 'cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0'],
  ];

  for (const [text, digest] of vectors) {
    const label = text.length > 20 ? `${text.slice(0, 12)}... (${text.length} bytes)` : JSON.stringify(text);
    test(`${label}`, () => {
      assert.equal(addon.sha256(Buffer.from(text)), digest);
      assert.equal(addon.sha256String(text), digest);
    });
  }
});

describe('padding boundaries', () => {
  test('55, 56, 63, 64 and 65 bytes match node:crypto', () => {
    for (const length of [55, 56, 63, 64, 65]) {
      for (const fill of [0x00, 0x61, 0x80, 0xff]) {
        const bytes = Buffer.alloc(length, fill);
        assert.equal(addon.sha256(bytes), reference(bytes), `${length} bytes of 0x${fill.toString(16)}`);
      }
      const text = 'x'.repeat(length);
      assert.equal(addon.sha256String(text), reference(text), `${length} characters`);
    }
  });

  test('every length up to four blocks matches node:crypto', () => {
    const next = prng(0x5eed);
    const source = randomBytes(next, 260);
    for (let length = 0; length <= source.length; length += 1) {
      const bytes = source.subarray(0, length);
      assert.equal(addon.sha256(bytes), reference(bytes), `${length} bytes`);
      const text = bytes.toString('latin1');
      assert.equal(addon.sha256String(text), reference(Buffer.from(text)), `${length} characters`);
    }
  });

  test('distinct inputs around a boundary give distinct digests', () => {
    const digests = new Set();
    for (let length = 50; length <= 70; length += 1) digests.add(addon.sha256(Buffer.alloc(length)));
    assert.equal(digests.size, 21);
  });
});

describe('empty input', () => {
  test('every empty form digests as zero bytes', () => {
    const big = Buffer.alloc(1024, 0x41);
    const empties = [
      Buffer.alloc(0),
      Buffer.from(''),
      Buffer.from(new ArrayBuffer(0)),
      big.subarray(512, 512),
      big.subarray(1024),
    ];
    for (const empty of empties) assert.equal(addon.sha256(empty), EMPTY_DIGEST);
    assert.equal(addon.sha256String(''), EMPTY_DIGEST);
  });

  test('a view whose memory was transferred away digests as zero bytes', () => {
    const view = new Uint8Array(16).fill(7);
    structuredClone(view.buffer, { transfer: [view.buffer] });
    assert.equal(view.byteLength, 0);
    assert.equal(addon.sha256(view), EMPTY_DIGEST);
  });
});

describe('byte views', () => {
  test('a subarray of a larger Buffer digests only its own bytes', () => {
    const next = prng(99);
    const whole = randomBytes(next, 4096);
    for (const [start, end] of [[1, 2], [3, 70], [13, 913], [64, 128], [4000, 4096], [0, 4095]]) {
      const view = whole.subarray(start, end);
      assert.equal(addon.sha256(view), reference(Buffer.from(view)), `[${start}, ${end})`);
    }
    assert.notEqual(addon.sha256(whole.subarray(1)), addon.sha256(whole));
  });

  test('a Buffer sharing an ArrayBuffer at an offset digests its window', () => {
    const backing = new ArrayBuffer(300);
    new Uint8Array(backing).forEach((_, i, array) => {
      array[i] = i & 0xff;
    });
    const window = Buffer.from(backing, 37, 200);
    assert.equal(addon.sha256(window), reference(new Uint8Array(backing, 37, 200)));
  });

  test('plain Uint8Array and other typed views digest the bytes they cover', () => {
    const backing = new Uint8Array(64).map((_, i) => i * 3);
    const views = [
      new Uint8Array(backing.buffer, 5, 40),
      new Uint16Array(backing.buffer, 8, 10),
      new Float64Array(backing.buffer, 16, 3),
      new DataView(backing.buffer, 7, 33),
    ];
    for (const view of views) {
      const bytes = new Uint8Array(view.buffer, view.byteOffset, view.byteLength);
      assert.equal(addon.sha256(view), reference(bytes), view.constructor.name);
    }
  });

  test('a Buffer over a SharedArrayBuffer digests its bytes', () => {
    const shared = new SharedArrayBuffer(100);
    const bytes = Buffer.from(shared);
    bytes.fill('shared');
    assert.equal(addon.sha256(bytes), reference(Buffer.from(bytes)));
  });

  test('the digested Buffer is not modified', () => {
    const next = prng(1234);
    const bytes = randomBytes(next, 1000);
    const copy = Buffer.from(bytes);
    addon.sha256(bytes);
    assert.deepEqual(bytes, copy);
  });
});

describe('string digests', () => {
  test('non-ASCII text digests as its UTF-8 bytes', () => {
    const texts = [
      'caf\u00e9',
      '\u00fcber na\u00efve',
      '\u4e2d\u6587\u6587\u672c',
      '\u{1F600}\u{1F680} emoji',
      'mixed \u0000 nul and \u00e9',
      '\u{10FFFF}\uFFFF\uFEFF',
      '\u00e9'.repeat(1000),
    ];
    for (const text of texts) {
      const expected = reference(Buffer.from(text, 'utf8'));
      assert.equal(addon.sha256String(text), expected, JSON.stringify(text));
      assert.equal(addon.sha256(Buffer.from(text)), expected);
    }
  });

  test('lone surrogates digest as the replacement character, as Buffer.from encodes them', () => {
    const texts = ['\ud800', '\udfff', 'a\ud83dz', '\ude00\ud83d', 'x'.repeat(100) + '\ud800'];
    for (const text of texts) {
      assert.equal(addon.sha256String(text), addon.sha256(Buffer.from(text)), JSON.stringify(text));
      assert.equal(addon.sha256String(text), addon.sha256String(text.replace(/[\ud800-\udfff]/g, '\ufffd')));
    }
  });

  test('a Latin-1 character is not digested as its one-byte form', () => {
    assert.notEqual(addon.sha256String('\u00e9'), reference(Buffer.from([0xe9])));
    assert.equal(addon.sha256String('\u00e9'), reference(Buffer.from([0xc3, 0xa9])));
  });
});

describe('result form and random agreement', () => {
  test('results are 64 lowercase hex characters', () => {
    const next = prng(42);
    for (let i = 0; i < 200; i += 1) {
      const bytes = randomBytes(next, i * 7);
      const digest = addon.sha256(bytes);
      assert.match(digest, HEX_DIGEST);
      assert.match(addon.sha256String(bytes.toString('hex')), HEX_DIGEST);
    }
  });

  test('random Buffers of random lengths match node:crypto', () => {
    const next = prng(20240601);
    for (let i = 0; i < 400; i += 1) {
      const length = next() % 3000;
      const bytes = randomBytes(next, length);
      assert.equal(addon.sha256(bytes), reference(bytes), `case ${i}, ${length} bytes`);
    }
  });

  test('random strings match node:crypto', () => {
    const next = prng(777);
    const alphabet = ['a', 'Z', '9', ' ', '\n', '\u00e9', '\u20ac', '\u{1F600}', '\u0000', '\ud800'];
    for (let i = 0; i < 300; i += 1) {
      let text = '';
      const length = next() % 200;
      for (let j = 0; j < length; j += 1) text += alphabet[next() % alphabet.length];
      assert.equal(addon.sha256String(text), reference(Buffer.from(text)), JSON.stringify(text));
    }
  });

  test('a multi-megabyte Buffer at an odd offset matches node:crypto', () => {
    const next = prng(5);
    const large = randomBytes(next, (8 << 20) + 129);
    const view = large.subarray(3, large.length - 5);
    assert.equal(addon.sha256(view), reference(view));
  });

  test('repeated calls give the same digest', () => {
    const bytes = Buffer.from('repeat me');
    const first = addon.sha256(bytes);
    for (let i = 0; i < 10000; i += 1) assert.equal(addon.sha256(bytes), first);
  });
});
