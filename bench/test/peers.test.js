'use strict';
// The benchmark's own pieces: the JavaScript peers must compute what the
// native functions are defined to compute (or the ratios compare different
// work), the generated inputs must have the sizes and change counts the
// table claims, and the statistics and the openssl parser must read right.
//   node --test bench/test/
const { describe, test } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const peers = require('../lib/peers');
const data = require('../lib/data');
const { summarize, compare } = require('../lib/measure');
const { parseOpensslSpeed } = require('../lib/machine');
const {
  sha256Hex,
  makeTempDir,
  removeTempDir,
  TOKEN_COUNT_EXAMPLES,
  TRUNCATION_EXAMPLES,
} = require('../../test/support');

describe('token peers', () => {
  test('count the defined estimates', () => {
    for (const [text, expected] of TOKEN_COUNT_EXAMPLES) assert.equal(peers.countTokens(text), expected, JSON.stringify(text));
  });

  test('truncate to the defined prefixes', () => {
    for (const [text, budget, expected] of TRUNCATION_EXAMPLES) {
      assert.equal(peers.truncateToTokens(text, budget), expected, `${JSON.stringify(text)} / ${budget}`);
    }
  });

  test('the charCodeAt loops agree with the byte loops, pairs and lone surrogates included', () => {
    for (const [text] of TOKEN_COUNT_EXAMPLES) assert.equal(peers.countTokensUnits(text), peers.countTokens(text));
    for (const [text, budget, expected] of TRUNCATION_EXAMPLES) {
      assert.equal(peers.truncateToTokensUnits(text, budget), expected, `${JSON.stringify(text)} / ${budget}`);
    }
    const lone = `${data.sourceText(2000, 5)}x\ud800 \udc00y\ud83d`;
    assert.equal(peers.countTokensUnits(lone), peers.countTokens(lone));
    // Cuts inside multi-byte characters keep the characters before them.
    const text = `${data.sourceText(20000, 5)}\u00e9\u{1F600}x\u4e2d\u{1F600}`;
    const buf = Buffer.from(text);
    const total = peers.countTokens(text);
    for (let budget = total - 20; budget <= total + 1; budget++) {
      let cut = peers.cutIndex(buf, budget);
      if (cut < 0) cut = buf.length;
      while ((buf[cut] & 0xc0) === 0x80) cut--;
      assert.equal(peers.truncateToTokensUnits(text, budget), buf.toString('utf8', 0, cut), `budget ${budget}`);
    }
  });

  test('a cut result holds exactly the budget', () => {
    const text = data.sourceText(20000, 5);
    const total = peers.countTokens(text);
    for (const budget of [1, 7, Math.floor(total / 3), total - 1]) {
      const buf = Buffer.from(text);
      const cut = peers.cutIndex(buf, budget);
      assert.ok(cut > 0 && cut < buf.length);
      // The kept bytes fit the budget and would not fit one token less.
      const kept = buf.subarray(0, cut);
      assert.equal(peers.cutIndex(kept, budget), -1);
      assert.ok(peers.cutIndex(kept, budget - 1) >= 0);
    }
    assert.equal(peers.cutIndex(Buffer.from(text), total), -1);
  });
});

describe('manifest peers', () => {
  test('merkleRoot sorts by key, keeps ties in order and skips short entries', () => {
    assert.equal(
      peers.merkleRoot([['b', '2'], ['a', '1']]),
      '2bc11e86e8348c7c62f11e681435b5d013a262e5a9f3b8ce61c25831a516a45e',
    );
    assert.equal(peers.merkleRoot([]), sha256Hex(''));
    assert.equal(peers.merkleRoot([['a'], []]), sha256Hex(''));
    assert.equal(peers.merkleRoot([['a', '2'], ['a', '1'], ['B', 'x', 'ignored']]), sha256Hex('B:x\na:2\na:1'));
    assert.equal(peers.merkleRoot([['a/b', '1'], ['a.txt', '2'], ['a', '3']]), sha256Hex('a:3\na.txt:2\na/b:1'));
  });

  test('merkleDiff reports added, modified and deleted keys; the last duplicate wins', () => {
    assert.deepEqual(
      peers.merkleDiff([['a', '1'], ['b', '2'], ['c', '3']], [['a', '1'], ['b', '9'], ['d', '4']]),
      { added: ['d'], modified: ['b'], deleted: ['c'] },
    );
    assert.deepEqual(peers.merkleDiff([['a', '1']], [['a', '2'], ['a', '1']]), { added: [], modified: [], deleted: [] });
    assert.deepEqual(peers.merkleDiff([['a', '1']], [['a', '1'], ['a', '2']]), { added: [], modified: ['a'], deleted: [] });
    assert.deepEqual(peers.merkleDiff([], [['x', '1'], ['x', '1']]), { added: ['x'], modified: [], deleted: [] });
    assert.deepEqual(peers.merkleDiff([['a', '1']], [['a']]), { added: [], modified: [], deleted: ['a'] });
  });
});

describe('file peers', () => {
  test('agree with each other and skip what is not a readable file', async () => {
    const dir = makeTempDir('bench-peers');
    try {
      const file = path.join(dir, 'f.bin');
      const content = crypto.randomBytes(200000);
      fs.writeFileSync(file, content);
      const expected = sha256Hex(content);
      assert.equal(await peers.fileHashStream(file), expected);
      assert.equal(await peers.fileHashReadFile(file), expected);
      assert.deepEqual(peers.batchFileHash([file, path.join(dir, 'missing'), dir, file]), [
        [file, expected],
        [file, expected],
      ]);
      await assert.rejects(peers.fileHashStream(path.join(dir, 'missing')), { code: 'ENOENT' });
    } finally {
      removeTempDir(dir);
    }
  });
});

describe('generated inputs', () => {
  test('source text has the exact byte size, non-ASCII and CRLF', () => {
    for (const size of [1, 1000, 1 << 16]) {
      assert.equal(Buffer.byteLength(data.sourceText(size, 2), 'utf8'), size);
    }
    const text = data.sourceText(1 << 16, 2);
    assert.match(text, /[^\x00-\x7f]/);
    assert.match(text, /\r\n/);
    assert.equal(data.sourceText(5000, 9), data.sourceText(5000, 9));
  });

  test('a prefix keeps whole characters and the requested size', () => {
    const prefix = data.utf8Prefix('aé日🚀', 5);
    assert.equal(Buffer.byteLength(prefix), 5);
    assert.equal(prefix, 'aéyy');
  });

  test('a revision changes the counted shares and keeps keys unique', () => {
    const first = data.manifest(20000);
    assert.equal(new Set(first.map((e) => e[0])).size, first.length);
    const { second, expected } = data.revise(first, { modified: 0.03, deleted: 0.02, added: 0.02 });
    const diff = peers.merkleDiff(first, second);
    assert.equal(diff.added.length, expected.added);
    assert.equal(diff.modified.length, expected.modified);
    assert.equal(diff.deleted.length, expected.deleted);
    for (const share of ['added', 'modified', 'deleted']) {
      assert.ok(expected[share] > 200 && expected[share] < 900, `${share}: ${expected[share]}`);
    }
  });
});

describe('measurement', () => {
  test('summaries interpolate quartiles', () => {
    const s = summarize([5, 1, 3, 2, 4]);
    assert.deepEqual([s.min, s.q1, s.median, s.q3, s.max], [1, 2, 3, 4, 5]);
    assert.equal(summarize([1, 2]).median, 1.5);
  });

  test('compare times every side in every round and relates them to the first', async () => {
    const calls = { fast: 0, slow: 0 };
    const spin = (ns) => {
      const end = process.hrtime.bigint() + BigInt(ns);
      while (process.hrtime.bigint() < end);
    };
    const result = await compare(
      { fast: () => { calls.fast++; spin(20000); }, slow: () => { calls.slow++; spin(100000); } },
      { rounds: 5, sampleMs: 1, warmupMs: 1 },
    );
    assert.equal(result.sides.fast.samples.length, 5);
    assert.equal(result.sides.slow.samples.length, 5);
    assert.ok(result.ratios.slow.ofBests > 2, `ratio ${result.ratios.slow.ofBests}`);
    assert.ok(calls.fast > calls.slow);
  });

  test('openssl speed output is read for one and for several processes', () => {
    const multi = 'Forked child 0\nGot: +F:25:sha256:300000000.50 from 0\nGot: +F:25:sha256:200000000.25 from 1\n';
    assert.deepEqual(parseOpensslSpeed(multi), { bytesPerSecond: 500000000.75, processes: 2 });
    const single = 'type          16384 bytes\nsha256          1234567.89k\n';
    assert.deepEqual(parseOpensslSpeed(single), { bytesPerSecond: 1234567890, processes: 1 });
    assert.equal(parseOpensslSpeed('openssl: speed: unknown option\n'), null);
  });
});
