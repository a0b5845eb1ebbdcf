'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { Worker } = require('node:worker_threads');
const path = require('node:path');

const extensions = require('../../lib/native/extensions.js');

test('the extension table comes from a second registration and leaves the nine exports alone', async () => {
  const ext = extensions.load();
  assert.strictEqual(ext.abi(), 1);
  assert.strictEqual(extensions.load(), ext, 'one load per environment');
  assert.ok(!('tovEngineExtensions' in globalThis), 'the mark is gone after loading');
  const root = require('../../index.js');
  assert.deepStrictEqual(Object.keys(root), [
    'sha256', 'fileHash', 'merkleDiff', 'merkleRoot', 'countTokens',
    'sha256String', 'nativeVersion', 'batchFileHash', 'truncateToTokens',
  ]);
  assert.ok(!('abi' in root));

  // A worker gets its own table, and its nine exports stay the nine.
  const script = `
    const { parentPort } = require('node:worker_threads');
    const ext = require(${JSON.stringify(path.join(__dirname, '../../lib/native/extensions.js'))}).load();
    const root = require(${JSON.stringify(path.join(__dirname, '../../index.js'))});
    parentPort.postMessage([ext.abi(), Object.keys(root).length]);`;
  const worker = new Worker(script, { eval: true });
  const [message] = await Promise.all([
    new Promise((resolve, reject) => worker.once('message', resolve).once('error', reject)),
    new Promise((resolve) => worker.once('exit', resolve)),
  ]);
  assert.deepStrictEqual(message, [1, 9]);
});

test('the tree walk refuses what it cannot use, at once and without a leak of work', async () => {
  const ext = extensions.load();
  if (!ext.canWalk()) return;
  const dir = path.join(__dirname, '..', 'native');
  assert.throws(() => ext.walkTree(42, '', false, false, []), /must be strings or Buffers/);
  assert.throws(() => ext.walkTree(dir, '', false, false, [[1]]), /identity/);
  const badKnown = { names: Buffer.from('a\0b'), records: Buffer.alloc(48), digests: Buffer.alloc(64), count: 2, probe: null };
  assert.throws(() => ext.walkTree(dir, '', false, false, [], undefined, badKnown), /"known"/);
  assert.throws(() => ext.walkProgress({}), /not a tree walk/);
  assert.throws(() => ext.checkFiles('a', 'b', -1), /non-negative/);

  // A walk cancelled at once rejects; its control answers after the end.
  const [promise, control] = ext.walkTree(path.join(__dirname, '..', '..'), '', false, false, []);
  ext.walkCancel(control);
  await assert.rejects(promise, /cancelled/);
  assert.strictEqual(ext.walkProgress(control).length, 4);

  const [checked] = ext.checkFiles(`${__filename}\0${dir}`, `${'0'.repeat(64)}\0x`, 2);
  const { statuses, reasons } = await checked;
  assert.strictEqual(statuses, 'fu');
  assert.deepStrictEqual(reasons, [[1, 'not a regular file']]);
});
