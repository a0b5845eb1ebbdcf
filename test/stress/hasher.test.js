'use strict';
// Hashers are plain JavaScript memory and stream jobs native objects owned by
// their handles: a million hashers created and dropped, and thousands of
// stream jobs, leave resident memory flat, and a worker that ends with jobs
// in flight takes nothing down with it.
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const v8 = require('node:v8');
const vm = require('node:vm');
const { Worker } = require('node:worker_threads');
const path = require('node:path');
const { setImmediate: tick } = require('node:timers/promises');
const { createSha256, restoreSha256, hashStream } = require('../../sha256.js');

if (typeof global.gc !== 'function') v8.setFlagsFromString('--expose-gc');
const gc = typeof global.gc === 'function' ? global.gc : vm.runInNewContext('gc');

const MiB = 1024 * 1024;

async function settledRss() {
  for (let i = 0; i < 4; i++) {
    gc();
    await tick();
  }
  return process.memoryUsage().rss;
}

test('1,000,000 hashers created, fed, copied and dropped leave memory flat', async () => {
  const piece = crypto.randomBytes(200);
  const expected = crypto.createHash('sha256').update(piece).update(piece).digest('hex');
  const round = (count) => {
    for (let i = 0; i < count; i++) {
      const hash = createSha256().update(piece);
      // Every fifth grows its stage; every hundredth goes through save().
      if (i % 5 === 0) for (let j = 0; j < 3; j++) hash.update(piece.subarray(0, 50));
      const copy = i % 100 === 0 ? restoreSha256(hash.save()) : hash.copy();
      if (i % 1000 === 0) assert.equal(createSha256().update(piece).update(piece).digest(), expected);
      if (i % 2 === 0) copy.digest();
    }
  };
  round(100_000);
  const before = await settledRss();
  for (let i = 0; i < 10; i++) round(100_000);
  const grew = (await settledRss()) - before;
  console.log(`1,000,000 hashers: rss grew ${(grew / MiB).toFixed(1)} MiB`);
  // A hasher holds at least 100 bytes, and a grown one 8 KiB: keeping them
  // would take hundreds of MiB.
  assert.ok(grew < 40 * MiB, `rss grew ${(grew / MiB).toFixed(1)} MiB`);
});

test('20,000 stream jobs, finished or dropped half-way, leave memory flat', async () => {
  const chunk = Buffer.alloc(20000, 3);
  const round = async (count) => {
    const pending = [];
    for (let i = 0; i < count; i++) {
      // Dropped jobs: an iterable that is never finished and never read again.
      if (i % 2 === 0) hashStream((async function* () { yield chunk; yield chunk; await new Promise(() => {}); })()).catch(() => {});
      else pending.push(hashStream([chunk, chunk]));
    }
    await Promise.all(pending);
  };
  await round(2000);
  const before = await settledRss();
  for (let i = 0; i < 9; i++) await round(2000);
  const grew = (await settledRss()) - before;
  console.log(`20,000 stream jobs: rss grew ${(grew / MiB).toFixed(1)} MiB`);
  // Each job copies 40 KB: keeping them would take about 800 MiB. The bound
  // is loose because the copies are freed on the background threads, and the
  // allocator keeps some of what they free for later.
  assert.ok(grew < 150 * MiB, `rss grew ${(grew / MiB).toFixed(1)} MiB`);
});

test('workers ending with stream jobs in flight, many times over', async () => {
  const script = `
    const { parentPort } = require('node:worker_threads');
    const { hashStream } = require(${JSON.stringify(path.join(__dirname, '../../sha256.js'))});
    const chunk = Buffer.alloc(1 << 20, 9);
    for (let i = 0; i < 3; i++) hashStream((function* () { for (;;) yield chunk; })()).catch(() => {});
    setTimeout(() => parentPort.postMessage('busy'), 5);`;
  for (let i = 0; i < 40; i++) {
    const worker = new Worker(script, { eval: true });
    await new Promise((resolve, reject) => worker.once('message', resolve).once('error', reject));
    await worker.terminate();
  }
  assert.equal(await hashStream([Buffer.from('still here')]), crypto.createHash('sha256').update('still here').digest('hex'));
});
