'use strict';
// The incremental hasher and the stream helpers of tov-engine-native/sha256,
// against node:crypto.
const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { Readable, Writable, pipeline } = require('node:stream');
const { Worker } = require('node:worker_threads');
const { makeRandom, makeTempDir, removeTempDir } = require('../support');
const {
  createSha256, restoreSha256, hashStream, createSha256Transform, createSha256TransformStream,
} = require('../../sha256.js');
const { sha256String } = require('../../index.js');

const random = makeRandom(0x5eed27);
const reference = (...pieces) => {
  const hash = crypto.createHash('sha256');
  for (const piece of pieces) hash.update(piece);
  return hash.digest('hex');
};
const bytes = (n) => Buffer.from(Array.from({ length: n }, () => random.u32() & 0xff));

// Cuts `data` at the given ascending offsets.
const cut = (data, offsets) => [0, ...offsets, data.length].slice(1).map((end, i, ends) => data.subarray(i === 0 ? 0 : ends[i - 1], end));
const randomOffsets = (n, count) => Array.from({ length: count }, () => random.int(n + 1)).sort((a, b) => a - b);

describe('createSha256', () => {
  const data = bytes(300);

  it('is the same through import', async () => {
    const esm = await import('../../sha256.mjs');
    assert.equal(esm.createSha256, createSha256);
    assert.equal(esm.default.hashStream, hashStream);
  });

  it('matches node:crypto for every two-piece split of every length 0..300', () => {
    for (let n = 0; n <= 300; n++) {
      const whole = data.subarray(0, n);
      const expected = reference(whole);
      for (let at = 0; at <= n; at++) {
        const actual = createSha256().update(whole.subarray(0, at)).update(whole.subarray(at)).digest();
        if (actual !== expected) assert.fail(`length ${n} split at ${at}: ${actual} != ${expected}`);
      }
    }
  });

  it('matches node:crypto for random many-piece splits, whatever view carries the bytes', () => {
    const views = [
      (b) => b,
      (b) => new Uint8Array(b),
      (b) => new DataView(b.buffer, b.byteOffset, b.length),
      (b) => {
        // An odd offset into a larger buffer, seen as 16-bit units when whole.
        const copy = new Uint8Array(b.length + 3);
        copy.set(b, 1);
        return b.length % 2 === 0 ? new Uint16Array(copy.slice(1, 1 + b.length).buffer) : copy.subarray(1, 1 + b.length);
      },
    ];
    for (let n = 0; n <= 300; n++) {
      const whole = data.subarray(0, n);
      for (let round = 0; round < 4; round++) {
        const hash = createSha256();
        for (const piece of cut(whole, randomOffsets(n, 1 + random.int(12)))) hash.update(random.pick(views)(piece));
        assert.equal(hash.digest(), reference(whole), `length ${n}`);
      }
    }
  });

  it('matches node:crypto over megabytes in random pieces, small and large mixed', () => {
    const big = crypto.randomBytes(3 * 1024 * 1024 + 11);
    for (let round = 0; round < 4; round++) {
      const hash = createSha256();
      const offsets = [];
      for (let at = 0; at < big.length; ) {
        at += random.chance(0.7) ? random.int(200) : random.int(300000);
        if (at < big.length) offsets.push(at);
      }
      for (const piece of cut(big, offsets)) hash.update(piece);
      assert.equal(hash.digest(), reference(big));
    }
  });

  it('hashes strings as UTF-8 with lone surrogates as sha256String does, piece by piece', () => {
    const texts = ['', 'abc', 'é中😀', '\ud800', '\udc00', 'a\udbffb', '\udc00\ud800', '😀'.repeat(40), 'x'.repeat(33) + 'é'];
    for (const text of texts) assert.equal(createSha256().update(text).digest(), sha256String(text), JSON.stringify(text));
    // Each update is a string of its own: a pair cut between two updates is
    // two lone halves, as with node:crypto.
    assert.equal(createSha256().update('a\ud83d').update('\ude00b').digest(), reference('a\ud83d', '\ude00b'));
    assert.equal(createSha256().update('a\ud83d').update('\ude00b').digest(), sha256String('a\ufffd\ufffdb'));
    // Long strings go in pieces; pairs and lone halves across every piece edge.
    for (const filler of [65534, 65535, 65536]) {
      const text = 'a'.repeat(filler) + '😀\ud800😀'.repeat(30000) + '\udc00';
      assert.equal(createSha256().update('é').update(text).digest(), sha256String('é' + text), `filler ${filler}`);
    }
  });

  it('digest gives a Buffer on request and ends the hasher', () => {
    const hash = createSha256().update(data);
    assert.deepEqual(hash.copy().digest('buffer'), crypto.createHash('sha256').update(data).digest());
    assert.equal(hash.bytesHashed, 300);
    hash.digest('hex');
    for (const call of [() => hash.update('x'), () => hash.digest(), () => hash.copy(), () => hash.save()]) {
      assert.throws(call, { code: 'ERR_SHA256_FINISHED', message: /already given its digest/ });
    }
  });

  it('copy forks the state: both go on independently', () => {
    const hash = createSha256();
    for (let i = 0; i < 500; i++) hash.update(data.subarray(0, 37)); // grows the stage
    const fork = hash.copy();
    hash.update('left');
    fork.update('right');
    const prefix = Buffer.concat(Array(500).fill(data.subarray(0, 37)));
    assert.equal(hash.digest(), reference(prefix, 'left'));
    assert.equal(fork.digest(), reference(prefix, 'right'));
  });

  it('rejects what it cannot hash with TypeErrors and keeps its state', () => {
    const hash = createSha256().update('ab');
    for (const bad of [undefined, null, 12, {}, [1, 2], new ArrayBuffer(4), Symbol('x')]) {
      assert.throws(() => hash.update(bad), { name: 'TypeError', code: 'ERR_INVALID_ARG_TYPE' });
    }
    assert.throws(() => hash.digest('base64'), { name: 'TypeError' });
    assert.equal(hash.digest(), reference('ab'));
  });
});

describe('save and restoreSha256', () => {
  const data = bytes(300);

  it('resume at every offset 0..300, through the documented layout', () => {
    for (let at = 0; at <= 300; at++) {
      const hash = createSha256();
      for (const piece of cut(data.subarray(0, at), randomOffsets(at, random.int(4)))) hash.update(piece);
      const saved = hash.save();
      assert.equal(saved.length, 48 + (at % 64));
      assert.deepEqual([...saved.subarray(0, 8)], [0x74, 0x6f, 0x76, 0x68, 1, 0, 0, 0]);
      assert.equal(new DataView(saved.buffer, saved.byteOffset).getBigUint64(8), BigInt(at));
      assert.deepEqual(Buffer.from(saved.subarray(48)), data.subarray(at - (at % 64), at));
      const resumed = restoreSha256(saved);
      assert.equal(resumed.bytesHashed, at);
      assert.equal(resumed.update(data.subarray(at)).digest(), reference(data), `offset ${at}`);
      // Saving does not disturb the hasher saved.
      assert.equal(hash.update(data.subarray(at)).digest(), reference(data));
    }
  });

  it('a state saved with many small pieces on the stage restores from any view', () => {
    const hash = createSha256();
    for (let i = 0; i < 1000; i++) hash.update(data.subarray(i % 50, 2 * (i % 50)));
    const expected = hash.copy().update('end').digest();
    const saved = hash.save();
    assert.equal(restoreSha256(Buffer.from(saved)).update('end').digest(), expected);
    assert.equal(restoreSha256(saved.buffer).update('end').digest(), expected);
  });

  it('reject states that are not one, saying why', () => {
    const good = createSha256().update(data.subarray(0, 70)).save();
    const edited = (edit) => {
      const copy = Uint8Array.from(good);
      edit(copy, new DataView(copy.buffer));
      return copy;
    };
    const cases = [
      [good.subarray(0, 47), /shorter than its 48-byte header/],
      [edited((b) => { b[0] = 0x54; }), /does not start with "tovh"/],
      [edited((b) => { b[4] = 2; }), /version/],
      [edited((b) => { b[6] = 1; }), /reserved/],
      [good.subarray(0, 53), /48 plus the byte count modulo 64/],
      [edited((b, v) => v.setBigUint64(8, 1n << 61n)), /beyond what SHA-256 takes/],
      [Uint8Array.from([...edited((b, v) => v.setBigUint64(8, 2n ** 53n + 6n))].slice(0, 48 + 6)), /beyond 2\^53 - 1/],
    ];
    for (const [saved, message] of cases) {
      assert.throws(() => restoreSha256(saved), { code: 'InvalidArg', message });
    }
    assert.throws(() => restoreSha256('tovh'), { name: 'TypeError' });
  });
});

describe('native calls behind the hasher', () => {
  const native = require('../../lib/native/extensions.js').load();

  it('refuse malformed arguments instead of reading or writing out of bounds', () => {
    const words = new Uint32Array(8);
    const block = new Uint8Array(64);
    const calls = [
      () => native.sha256Blocks(new Uint32Array(7), block, 0, 1),
      () => native.sha256Blocks(new Int32Array(8), block, 0, 1),
      () => native.sha256Blocks(words, block, 1, 1),
      () => native.sha256Blocks(words, block, 0, 2),
      () => native.sha256Blocks(words, block, -1, 0),
      () => native.sha256Blocks(words, block, 0.5, 0),
      () => native.sha256Blocks(words, 'text', 0, 0),
      () => native.sha256Finish(words, block, 0, 65, 65),
      () => native.sha256Finish(words, block, 0, 10, 9),
      () => native.sha256Save(words, block, 3, 4),
      () => native.sha256Restore(new Uint8Array(48), words, new Uint8Array(63)),
      () => native.sha256StreamPush({}, block),
      () => native.sha256StreamWait(native.sha256StreamOpen(), -1),
    ];
    for (const call of calls) assert.throws(call, { code: 'InvalidArg' }, String(call));
  });
});

function chunksOf(data, sizes) {
  const chunks = [];
  for (let at = 0, i = 0; at < data.length; i++) {
    const size = sizes[i % sizes.length];
    chunks.push(data.subarray(at, at + size));
    at += size;
  }
  return chunks;
}

describe('hashStream', () => {
  const data = crypto.randomBytes(4 * 1024 * 1024 + 5);
  const expected = reference(data);
  const chunks = chunksOf(data, [1, 63, 65536, 10, 17000, 200000, 5]);

  it('hashes Node readables, web ReadableStreams, async and sync iterables', async (t) => {
    const dir = makeTempDir('hasher-stream');
    t.after(() => removeTempDir(dir));
    const file = path.join(dir, 'data');
    fs.writeFileSync(file, data);
    assert.equal(await hashStream(fs.createReadStream(file)), expected);
    assert.equal(await hashStream(fs.createReadStream(file, { highWaterMark: 1000 })), expected);
    assert.equal(await hashStream(Readable.from(chunks)), expected);
    assert.equal(await hashStream(chunks), expected);
    assert.equal(await hashStream((async function* () { yield* chunks; })()), expected);
    assert.equal(await hashStream(new ReadableStream({ start(c) { for (const x of chunks) c.enqueue(x); c.close(); } })), expected);
    assert.equal(await hashStream(['é', '\ud800', Buffer.from('x')]), sha256String('é\ud800x'));
    assert.equal(await hashStream([]), reference(''));
  });

  it('keeps the order when chunks large enough to hash at once come between queued ones', async () => {
    const sizes = [70000, 1 << 20, 5, 300000, (4 << 20) + 1, 1 << 20, 262144, 262143, 20000];
    const mixed = crypto.randomBytes(sizes.reduce((a, b) => a + b) * 2);
    assert.equal(await hashStream(chunksOf(mixed, sizes)), reference(mixed));
  });

  it('reads an untouched file stream in 1 MiB pieces, within its start and end, and keeps a chosen read size', async (t) => {
    const dir = makeTempDir('hasher-file-stream');
    t.after(() => removeTempDir(dir));
    const file = path.join(dir, 'data');
    fs.writeFileSync(file, data);
    const widened = fs.createReadStream(file);
    assert.equal(await hashStream(widened), expected);
    assert.equal(widened.readableHighWaterMark, 1 << 20);
    const ranged = fs.createReadStream(file, { start: 7, end: 3 * 1024 * 1024 });
    assert.equal(await hashStream(ranged), reference(data.subarray(7, 3 * 1024 * 1024 + 1)));
    const chosen = fs.createReadStream(file, { highWaterMark: 4096 });
    assert.equal(await hashStream(chosen), expected);
    assert.equal(chosen.readableHighWaterMark, 4096);
  });

  it('copies each chunk, so a producer may reuse its buffer', async () => {
    const big = crypto.randomBytes(24 * 1024 * 1024);
    const reused = Buffer.alloc(1024 * 1024);
    async function* produce() {
      for (let at = 0; at < big.length; at += reused.length) {
        big.copy(reused, 0, at, at + reused.length);
        yield reused;
      }
    }
    assert.equal(await hashStream(produce()), reference(big));
  });

  it('rejects with the source\'s error, a bad chunk\'s TypeError or the signal\'s reason, and stops the source', async () => {
    const failing = new Readable({ read() { this.destroy(new Error('disk on fire')); } });
    await assert.rejects(hashStream(failing), /disk on fire/);

    const withNumber = Readable.from([Buffer.from('a'), 5]);
    await assert.rejects(hashStream(withNumber), { name: 'TypeError', message: /got number/ });
    assert.equal(withNumber.destroyed, true);

    const stalled = new Readable({ read() {} });
    const controller = new AbortController();
    const pending = hashStream(stalled, { signal: controller.signal });
    setTimeout(() => controller.abort(new Error('enough')), 20);
    await assert.rejects(pending, /enough/);
    assert.equal(stalled.destroyed, true);

    // Large chunks are hashed at once; a source yielding them synchronously
    // must still leave the signal's timer a turn.
    const endless = function* () { for (const chunk = Buffer.alloc(1 << 20); ;) yield chunk; };
    await assert.rejects(hashStream(endless(), { signal: AbortSignal.timeout(30) }), { name: 'TimeoutError' });

    let cancelled = null;
    const web = new ReadableStream({ pull() {}, cancel(reason) { cancelled = reason; } });
    await assert.rejects(hashStream(web, { signal: AbortSignal.abort() }), { name: 'AbortError' });
    assert.equal(cancelled?.name, 'AbortError');

    for (const bad of [null, 5, 'text', Buffer.from('x'), {}]) {
      await assert.rejects(hashStream(bad), { name: 'TypeError' });
    }
    await assert.rejects(hashStream([], { signal: {} }), { name: 'TypeError' });
  });
});

describe('transforms', () => {
  const data = crypto.randomBytes(3 * 1024 * 1024 + 1);
  const expected = reference(data);
  const chunks = chunksOf(data, [100, 70000, 3, 1 << 20]);

  it('a Node Transform passes every chunk through unchanged and gives the digest at the end', async () => {
    const transform = createSha256Transform({ highWaterMark: 4 });
    const received = [];
    assert.equal(transform.hexDigest, null);
    await new Promise((resolve, reject) => pipeline(
      Readable.from(chunks), transform,
      new Writable({ write(chunk, _, done) { received.push(chunk); done(); } }),
      (error) => (error ? reject(error) : resolve()),
    ));
    assert.deepEqual(Buffer.concat(received), data);
    assert.equal(transform.hexDigest, expected);
    assert.equal(await transform.digest(), expected);
  });

  it('a Node Transform destroyed early rejects its digest', async () => {
    const transform = createSha256Transform();
    transform.on('error', () => {});
    transform.write(Buffer.from('part'));
    transform.destroy(new Error('cut off'));
    await assert.rejects(transform.digest(), /cut off/);
    const typed = createSha256Transform({ objectMode: true });
    typed.on('error', () => {});
    typed.write(42);
    await assert.rejects(typed.digest(), { name: 'TypeError' });
  });

  it('a web TransformStream passes chunks through and gives the digest; a bad chunk errors both', async () => {
    const stream = createSha256TransformStream();
    const source = new ReadableStream({ start(c) { for (const x of chunks) c.enqueue(x); c.close(); } });
    const received = [];
    for await (const chunk of source.pipeThrough(stream)) received.push(chunk);
    assert.deepEqual(Buffer.concat(received), data);
    assert.equal(await stream.digest(), expected);

    const bad = createSha256TransformStream();
    const reading = bad.readable.getReader().read();
    const writer = bad.writable.getWriter();
    await assert.rejects(writer.write(7), { name: 'TypeError' });
    await assert.rejects(bad.digest(), { name: 'TypeError' });
    await assert.rejects(reading, { name: 'TypeError' });
  });
});

describe('hashers in workers', () => {
  it('a worker that ends while its streams are being hashed takes nothing down', async () => {
    const script = `
      const { parentPort } = require('node:worker_threads');
      const { hashStream, createSha256 } = require(${JSON.stringify(path.join(__dirname, '../../sha256.js'))});
      const chunk = Buffer.alloc(1 << 20, 1);
      for (let i = 0; i < 4; i++) hashStream((function* () { for (;;) yield chunk; })());
      const h = createSha256(); for (let i = 0; i < 1000; i++) h.update(chunk.subarray(0, 100));
      parentPort.postMessage(h.digest());`;
    for (let round = 0; round < 3; round++) {
      const worker = new Worker(script, { eval: true });
      const digest = await new Promise((resolve, reject) => worker.once('message', resolve).once('error', reject));
      assert.equal(digest, reference(Buffer.alloc(100000, 1)));
      await new Promise((resolve) => setTimeout(resolve, 30));
      await worker.terminate();
    }
    // The main thread's hashers still work.
    assert.equal(await hashStream([Buffer.from('after')]), reference('after'));
  });
});
