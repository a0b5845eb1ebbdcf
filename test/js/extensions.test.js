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
