'use strict';
// Leak checks: each function, called many times with garbage collection
// between batches, leaves memory flat, and a Buffer handed to sha256 can be
// collected afterwards.
//
// The bound: after a warm-up, resident memory may grow by at most 40 MiB and
// the JavaScript heap by at most 8 MiB over the measured calls. Inputs are
// sized so that losing any one call's converted input (or keeping its
// Buffer) would exceed the bound at least tenfold.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const v8 = require('node:v8');
const vm = require('node:vm');
const { setImmediate: tick } = require('node:timers/promises');
const { loadAddon, makeTempDir, removeTempDir } = require('../support');

const addon = loadAddon();

// --expose-gc is how the stress run starts; the flag can also be set late.
if (typeof global.gc !== 'function') v8.setFlagsFromString('--expose-gc');
const gc = typeof global.gc === 'function' ? global.gc : vm.runInNewContext('gc');

const MiB = 1024 * 1024;
const RSS_BOUND = 40 * MiB;
const HEAP_BOUND = 8 * MiB;

async function settle() {
  for (let i = 0; i < 3; i++) {
    gc();
    await tick();
  }
  return process.memoryUsage();
}

// Runs `round` (which makes `perRound` calls) for a warm-up, then measures
// memory over `rounds` more rounds with a collection after each.
async function assertFlat(name, round, { rounds, perRound }) {
  for (let i = 0; i < 3; i++) await round();
  const before = await settle();
  for (let i = 0; i < rounds; i++) {
    await round();
    if (i % 4 === 0) gc();
  }
  const after = await settle();
  const grew = {
    rss: after.rss - before.rss,
    heapUsed: after.heapUsed - before.heapUsed,
    external: after.external - before.external,
  };
  const calls = rounds * perRound;
  const show = (bytes) => `${(bytes / MiB).toFixed(1)} MiB`;
  const report = `${name}: ${calls} calls, rss ${show(grew.rss)}, heap ${show(grew.heapUsed)}, external ${show(grew.external)}`;
  console.log(report);
  assert.ok(grew.rss < RSS_BOUND, report);
  assert.ok(grew.heapUsed < HEAP_BOUND, report);
  assert.ok(grew.external < RSS_BOUND, report);
}

const text = 'the quick brown fox, jumps over 13 lazy dogs; é中😀\n'.repeat(200); // ~11 KB
const bigObject = { items: Array.from({ length: 2000 }, (_, i) => `item-${i}`) }; // ~20 KB of JSON
const manifest = Array.from({ length: 200 }, (_, i) => [`dir/file-${i}-${'p'.repeat(40)}`, 'f'.repeat(64)]);
const hostile = { toJSON() { throw new Error('from toJSON'); } };

test('synchronous functions, on success and on failure', async () => {
  const buffer = Buffer.alloc(256 * 1024, 7);
  await assertFlat('sha256', () => { for (let i = 0; i < 500; i++) addon.sha256(buffer); }, { rounds: 40, perRound: 500 });
  await assertFlat('sha256String', () => { for (let i = 0; i < 500; i++) addon.sha256String(text); }, { rounds: 40, perRound: 500 });
  await assertFlat('countTokens', () => { for (let i = 0; i < 500; i++) addon.countTokens(text); }, { rounds: 40, perRound: 500 });
  await assertFlat('truncateToTokens', () => {
    for (let i = 0; i < 500; i++) {
      addon.truncateToTokens(text, i);
      addon.truncateToTokens(text, 1e9);
    }
  }, { rounds: 40, perRound: 1000 });
  await assertFlat('merkleRoot', () => { for (let i = 0; i < 100; i++) addon.merkleRoot(manifest); }, { rounds: 100, perRound: 100 });
  await assertFlat('merkleDiff', () => {
    for (let i = 0; i < 100; i++) addon.merkleDiff(manifest, manifest.slice(50));
  }, { rounds: 100, perRound: 100 });
  await assertFlat('nativeVersion', () => { for (let i = 0; i < 2000; i++) addon.nativeVersion(); }, { rounds: 40, perRound: 2000 });

  // Failures build messages (here from 20 KB of JSON) and error records,
  // some holding a reference to the value's own exception.
  const failing = [
    () => addon.countTokens(bigObject),
    () => addon.sha256String(hostile),
    () => addon.truncateToTokens(text, 'budget'),
    () => addon.sha256(bigObject),
    () => addon.merkleRoot([['a', 'b'], ['c', bigObject]]),
    () => addon.merkleDiff(manifest, [[1]]),
    () => addon.batchFileHash([text, bigObject]),
  ];
  await assertFlat('failing calls', () => {
    for (let i = 0; i < 100; i++) {
      for (const call of failing) assert.throws(call);
    }
  }, { rounds: 40, perRound: 100 * failing.length });
});

test('fileHash and batchFileHash, on success and on failure', async (t) => {
  const dir = makeTempDir('stress-leak');
  t.after(() => removeTempDir(dir));
  const files = [];
  for (let i = 0; i < 20; i++) {
    const file = path.join(dir, `f${i}`);
    fs.writeFileSync(file, Buffer.alloc(64 * 1024, i));
    files.push(file);
  }
  const missing = path.join(dir, 'missing');
  await assertFlat('fileHash', async () => {
    const calls = [];
    for (let i = 0; i < 400; i++) calls.push(addon.fileHash(files[i % files.length]));
    for (let i = 0; i < 100; i++) calls.push(addon.fileHash(missing).catch((error) => error));
    await Promise.all(calls);
  }, { rounds: 30, perRound: 500 });
  // Long missing paths make each call's converted list about 100 KB.
  const paths = [...files, missing, dir, ...Array.from({ length: 100 }, (_, i) => `${missing}-${i}-${'m'.repeat(900)}`)];
  await assertFlat('batchFileHash', () => { for (let i = 0; i < 40; i++) addon.batchFileHash(paths); }, { rounds: 30, perRound: 40 });
});

test('a large Buffer passed to sha256 can be collected afterwards', async () => {
  const size = 256 * MiB;
  let collected = false;
  const registry = new FinalizationRegistry(() => {
    collected = true;
  });
  const baseline = (await settle()).arrayBuffers;
  let ref;
  (() => {
    const buffer = Buffer.alloc(size, 1);
    ref = new WeakRef(buffer);
    registry.register(buffer, 'big');
    assert.match(addon.sha256(buffer), /^[0-9a-f]{64}$/);
    // A view on part of it, and a failing call that still referenced it.
    assert.match(addon.sha256(buffer.subarray(5, 500)), /^[0-9a-f]{64}$/);
  })();
  for (let i = 0; i < 20 && (ref.deref() !== undefined || !collected); i++) await settle();
  assert.equal(ref.deref(), undefined, 'the Buffer is still reachable');
  assert.ok(collected, 'the Buffer was never finalized');
  const after = (await settle()).arrayBuffers;
  assert.ok(after - baseline < size / 4, `array buffer memory still ${((after - baseline) / MiB).toFixed(0)} MiB up`);
});
