'use strict';
// One worker's life in the worker stress test: load the addon, call every
// function over and over with many fileHash calls in flight, and report the
// results of each pass. The harness may terminate it at any moment, or tell
// it to end itself with process.exit.
const { workerData, parentPort } = require('node:worker_threads');

const addon = require(workerData.addonPath);
const { files, missing, passes, exitAfter, light, fifo } = workerData;

// A read that never ends (a FIFO nobody writes to) holds a blocking thread
// when the environment ends; its end must not wait for it.
if (fifo) addon.fileHash(fifo).catch(() => {});

async function pass() {
  const pending = [];
  for (let i = 0; i < 100; i++) pending.push(addon.fileHash(files[i % files.length]));
  pending.push(addon.fileHash(missing).then(() => 'resolved', (error) => error.message.slice(0, 12)));
  const batch = addon.batchFileHash([...files, missing, ...files]);
  const result = {
    version: addon.nativeVersion(),
    sha256: addon.sha256(Buffer.from('worker bytes')),
    sha256String: addon.sha256String('worker text'),
    countTokens: addon.countTokens('hello, world!'),
    truncateToTokens: addon.truncateToTokens('hello, world!', 2),
    batch,
    root: addon.merkleRoot(batch),
    diff: addon.merkleDiff(batch.slice(1), batch.slice(0, 3)),
  };
  result.fileHashes = await Promise.all(pending);
  return result;
}

// A short life: register, make one call of each kind, end.
async function lightPass() {
  return { version: addon.nativeVersion(), fileHash: await addon.fileHash(files[0]) };
}

(async () => {
  if (light) {
    parentPort.postMessage(await lightPass());
    return;
  }
  for (let i = 0; i < passes; i++) {
    if (exitAfter === i) process.exit(0);
    parentPort.postMessage(await pass());
  }
})();
