'use strict';
// Runs waves of worker threads that load the addon and use every function,
// terminating most of them mid-flight, in a process of its own so that a
// crash is seen as this process's exit status.
//
//   node worker-harness.js with-main|workers-only WAVES PER_WAVE
//
// with-main: the main thread loads the addon first and keeps it, so the
// background runtime lives throughout. workers-only: the main thread never
// loads it, so the runtime is built and shut down as workers come and go.
// Prints "harness ok" and exits 0 when every check held.
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { Worker } = require('node:worker_threads');

const [mode, waves, perWave] = [process.argv[2], Number(process.argv[3]), Number(process.argv[4])];
const { addonPath, sha256Hex: hex } = require('../support');
const watchdog = setTimeout(() => {
  console.error('harness: workers still running after 150 s');
  process.exit(2);
}, 150_000);

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tov-stress-workers-'));
process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));

const files = [];
const digests = [];
for (let i = 0; i < 12; i++) {
  const file = path.join(dir, `f${i}`);
  const bytes = Buffer.alloc(i * 40000 + i, i);
  fs.writeFileSync(file, bytes);
  files.push(file);
  digests.push(hex(bytes));
}
const missing = path.join(dir, 'missing');
const fifo = path.join(dir, 'fifo');
const { spawnSync } = require('node:child_process');
if (spawnSync('mkfifo', [fifo]).status !== 0) throw new Error('mkfifo failed');
const batch = [...files, ...files].map((file, i) => [file, digests[i % files.length]]);
const expected = {
  version: 'tov-engine-native/1.0.0',
  sha256: hex(Buffer.from('worker bytes')),
  sha256String: hex(Buffer.from('worker text')),
  countTokens: 4,
  truncateToTokens: 'hello, ',
  batch,
  diff: { added: [], modified: [], deleted: files.slice(3) },
  fileHashes: [...Array.from({ length: 100 }, (_, i) => digests[i % files.length]), 'Read error: '],
};

function check(result) {
  const { root, diff, ...rest } = result;
  const { diff: expectedDiff, ...expectedRest } = expected;
  assert.deepEqual(rest, expectedRest);
  assert.match(root, /^[0-9a-f]{64}$/);
  assert.deepEqual({ ...diff, deleted: [...diff.deleted].sort() }, { ...expectedDiff, deleted: [...expectedDiff.deleted].sort() });
}

let seed = Number(process.env.TOV_STRESS_SEED) || Date.now();
const random = (n) => {
  seed = (seed * 1103515245 + 12345) % 2147483648;
  return seed % n;
};

// How each worker ends: terminated after a delay, ending itself, or left
// to finish all its passes.
function runWorker() {
  const fate = random(10);
  const worker = new Worker(path.join(__dirname, 'worker-body.js'), {
    workerData: {
      addonPath,
      files,
      missing,
      passes: 3,
      exitAfter: fate === 0 ? random(3) : -1,
      fifo: fate >= 8 ? fifo : null,
    },
  });
  let passes = 0;
  worker.on('message', (result) => {
    check(result);
    passes++;
  });
  if (fate >= 3) setTimeout(() => worker.terminate(), random(120));
  return new Promise((resolve, reject) => {
    worker.on('error', reject);
    worker.on('exit', () => resolve({ fate, passes }));
  });
}

(async () => {
  let addon = null;
  if (mode === 'with-main') addon = require(addonPath);
  else if (mode !== 'workers-only') throw new Error(`unknown mode ${mode}`);

  let finished = 0;
  for (let wave = 0; wave < waves; wave++) {
    const ends = await Promise.all(Array.from({ length: perWave }, runWorker));
    for (const { fate, passes } of ends) {
      if (fate >= 1 && fate < 3) assert.equal(passes, 3, 'a worker left to finish did not');
      if (passes === 3) finished++;
    }
    if (addon) check(await (async () => {
      const pending = Array.from({ length: 100 }, (_, i) => addon.fileHash(files[i % files.length]));
      pending.push(addon.fileHash(missing).then(() => 'resolved', (error) => error.message.slice(0, 12)));
      const b = addon.batchFileHash([...files, missing, ...files]);
      return {
        version: addon.nativeVersion(),
        sha256: addon.sha256(Buffer.from('worker bytes')),
        sha256String: addon.sha256String('worker text'),
        countTokens: addon.countTokens('hello, world!'),
        truncateToTokens: addon.truncateToTokens('hello, world!', 2),
        batch: b,
        root: addon.merkleRoot(b),
        diff: addon.merkleDiff(b.slice(1), b.slice(0, 3)),
        fileHashes: await Promise.all(pending),
      };
    })());
  }
  // Churn: short-lived workers, a few at a time, so that the environment
  // count keeps dropping to 0 (without the main thread) just as another
  // worker registers.
  const churn = async () => {
    for (let i = 0; i < 15; i++) {
      await new Promise((resolve, reject) => {
        const worker = new Worker(path.join(__dirname, 'worker-body.js'), {
          workerData: { addonPath, files, missing, light: true },
        });
        worker.on('message', (result) => {
          assert.deepEqual(result, { version: expected.version, fileHash: digests[0] });
        });
        worker.on('error', reject);
        worker.on('exit', resolve);
      });
    }
  };
  await Promise.all([churn(), churn(), churn()]);

  // With no environment left the runtime is gone; a new worker must get a
  // fresh one.
  const last = await new Promise((resolve, reject) => {
    const worker = new Worker(path.join(__dirname, 'worker-body.js'), {
      workerData: { addonPath, files, missing, passes: 1, exitAfter: -1 },
    });
    worker.on('message', check);
    worker.on('error', reject);
    worker.on('exit', resolve);
  });
  assert.equal(last, 0);
  clearTimeout(watchdog);
  console.log(`harness ok: ${waves * perWave} workers, ${finished} finished every pass, 45 short-lived`);
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
