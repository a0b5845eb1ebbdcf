'use strict';
// The module in several JavaScript environments: worker threads loading it
// together and in turn, environments ending, the background runtime's
// threads and its worker-count setting.
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { Worker } = require('node:worker_threads');

const ROOT = path.resolve(__dirname, '..', '..');
const addon = require(ROOT);
const { WINDOWS, sha256Hex, makeTempDir, removeTempDir } = require('../support');

const NO_THREAD_LIST = (WINDOWS || !fs.existsSync('/proc/self/task')) &&
  'thread names are read from /proc; the native runtime tests count them on this system';

// Counts are checked where the threads can be listed.
function assertThreadCount(actual, expected) {
  if (actual !== null || !NO_THREAD_LIST) assert.equal(actual, expected);
}

const EXPORT_ORDER = [
  'sha256', 'fileHash', 'merkleDiff', 'merkleRoot', 'countTokens',
  'sha256String', 'nativeVersion', 'batchFileHash', 'truncateToTokens',
];

// Calls all nine functions; runs unchanged in the main thread and, as
// source text, in workers and child processes.
async function exerciseAll(addon, filePath) {
  return {
    keys: Object.keys(addon),
    sha256: addon.sha256(Buffer.from('environment')),
    sha256String: addon.sha256String('environment \u00e9'),
    countTokens: addon.countTokens('hello, world!'),
    truncateToTokens: addon.truncateToTokens('alpha beta gamma', 2),
    nativeVersion: addon.nativeVersion(),
    merkleRoot: addon.merkleRoot([['b.txt', 'x'], ['a.txt', 'y']]),
    merkleDiff: addon.merkleDiff([['a', '1'], ['b', '2']], [['a', '1'], ['b', '3'], ['c', '4']]),
    batchFileHash: addon.batchFileHash([filePath, `${filePath}.missing`]),
    fileHash: await addon.fileHash(filePath),
  };
}

// Names of the process's threads, as the kernel reports them; null where
// the system has no /proc to list them (Windows: the native runtime tests
// count the named threads there).
function threadNames() {
  // Under Wine a Windows process sees the Linux host's /proc, not its own threads.
  if (process.platform === 'win32' || !fs.existsSync('/proc/self/task')) return null;
  const names = [];
  for (const task of fs.readdirSync('/proc/self/task')) {
    try {
      names.push(fs.readFileSync(`/proc/self/task/${task}/comm`, 'utf8').trim());
    } catch {
      // The thread ended between the listing and the read.
    }
  }
  return names;
}

// A thread starts with its creator's name and renames itself a moment
// later, so a runtime thread that starts a blocking-pool thread briefly
// shows two of its name. The lowest count over a short window is the number
// of threads that really carry the name.
function countThreads(name) {
  const pause = new Int32Array(new SharedArrayBuffer(4));
  let lowest = Infinity;
  for (let sample = 0; sample < 8; sample += 1) {
    if (sample > 0) Atomics.wait(pause, 0, 0, 10);
    const names = threadNames();
    if (names === null) return null;
    lowest = Math.min(lowest, names.filter((threadName) => threadName === name).length);
  }
  return lowest;
}

const HELPERS = `
const fs = require('node:fs');
${threadNames.toString()}
${countThreads.toString()}
${exerciseAll.toString()}
`;

function expectedWorkerThreads(env = process.env) {
  const configured = env.TOKIO_WORKER_THREADS;
  return configured === undefined ? os.availableParallelism() : Number(configured);
}

// Starts a worker that loads the module and reports what exerciseAll gave.
// With a barrier, it waits until `parties` workers are ready, then loads.
function loadInWorker(filePath, barrier = null, parties = 0) {
  const source = `
${HELPERS}
const { parentPort, workerData } = require('node:worker_threads');
(async () => {
  if (workerData.barrier) {
    const cells = new Int32Array(workerData.barrier);
    Atomics.add(cells, 0, 1);
    Atomics.notify(cells, 0);
    while (Atomics.load(cells, 0) < workerData.parties) Atomics.wait(cells, 0, Atomics.load(cells, 0), 50);
  }
  const addon = require(workerData.root);
  const results = await exerciseAll(addon, workerData.filePath);
  parentPort.postMessage({ results, runtimeThreads: countThreads('tov-worker') });
})().catch((error) => parentPort.postMessage({ error: String(error && error.stack) }));
`;
  const worker = new Worker(source, { eval: true, workerData: { root: ROOT, filePath, barrier, parties } });
  const message = new Promise((resolve, reject) => {
    worker.once('message', resolve);
    worker.once('error', reject);
  });
  const exited = new Promise((resolve) => worker.once('exit', resolve));
  return { worker, message, exited };
}

function runChild(script, env = {}) {
  const childEnv = { ...process.env, ...env };
  for (const [key, value] of Object.entries(env)) if (value === undefined) delete childEnv[key];
  return spawnSync(process.execPath, ['-e', `${HELPERS}\n${script}`], {
    env: childEnv,
    encoding: 'utf8',
    timeout: 60000,
  });
}

// A stuck background runtime leaves promises unsettled and workers alive
// for ever; each such test fails on its own time limit, and the watchdog
// ends the file so that the whole run still stops by itself.
const TEST_LIMIT = { timeout: 60000 };
function armWatchdog(delay, reason) {
  const timer = setTimeout(() => {
    process.stderr.write(`${reason}; threads: ${(threadNames() || ['not listed']).join(', ')}\n`);
    process.exit(1);
  }, delay);
  timer.unref();
  return timer;
}
const watchdog = armWatchdog(180000, 'environment tests still running after three minutes');

let tempDir;
let filePath;
let expected;

before(async () => {
  tempDir = makeTempDir('env-test');
  filePath = path.join(tempDir, 'sample.bin');
  const contents = crypto.randomBytes(200000);
  fs.writeFileSync(filePath, contents);
  const digest = sha256Hex(contents);
  expected = await exerciseAll(addon, filePath);
  // The main thread's own results anchor what every environment must give.
  assert.equal(expected.fileHash, digest);
  assert.deepEqual(expected.batchFileHash, [[filePath, digest]]);
  assert.deepEqual(expected.keys, EXPORT_ORDER);
}, TEST_LIMIT);

after(() => {
  clearTimeout(watchdog);
  removeTempDir(tempDir);
  // Once the tests are done nothing may keep the process alive.
  armWatchdog(10000, 'process still alive ten seconds after the environment tests ended');
});

describe('worker threads', () => {
  test('four workers loading at the same time each get all nine functions', TEST_LIMIT, async () => {
    const barrier = new SharedArrayBuffer(4);
    const workers = Array.from({ length: 4 }, () => loadInWorker(filePath, barrier, 4));
    const messages = await Promise.all(workers.map(({ message }) => message));
    await Promise.all(workers.map(({ exited }) => exited));
    for (const message of messages) {
      assert.equal(message.error, undefined, message.error);
      assert.deepEqual(message.results, expected);
      // Every environment shares the one runtime of the process.
      assertThreadCount(message.runtimeThreads, expectedWorkerThreads());
    }
  });

  test('workers loading one after another each get all nine functions', TEST_LIMIT, async () => {
    for (let round = 0; round < 3; round += 1) {
      const { message, exited } = loadInWorker(filePath);
      const received = await message;
      assert.equal(received.error, undefined, received.error);
      assert.deepEqual(received.results, expected, `worker ${round}`);
      assert.equal(await exited, 0);
    }
  });

  test('each environment gets its own exports object', TEST_LIMIT, async () => {
    const source = `
const { parentPort, workerData } = require('node:worker_threads');
process.on('exit', () => {
  const cells = new Int32Array(workerData.ended);
  Atomics.store(cells, 0, 1);
  Atomics.notify(cells, 0);
});
const addon = require(workerData.root);
addon.marker = 'worker';
parentPort.postMessage(Object.keys(addon));
`;
    const ended = new SharedArrayBuffer(4);
    const worker = new Worker(source, { eval: true, workerData: { root: ROOT, ended } });
    // Listened for from the start: a worker that is gone before this thread
    // reads its message has both events handled in one turn, 'exit' right
    // after 'message', so a listener added once the message has arrived can
    // miss it.
    const exited = new Promise((resolve) => worker.once('exit', resolve));
    const message = new Promise((resolve, reject) => {
      worker.once('message', resolve);
      worker.once('error', reject);
    });
    // Holding this thread until the worker has ended (its exit event, then a
    // moment for its thread to finish) makes that the usual order here; on a
    // busy machine it happens by chance.
    Atomics.wait(new Int32Array(ended), 0, 0, 10000);
    Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 50);
    const keys = await message;
    assert.equal(await exited, 0);
    assert.deepEqual(keys, [...EXPORT_ORDER, 'marker']);
    assert.equal(addon.marker, undefined);
  });

  test('a worker ended while its file digests are pending leaves the others working', TEST_LIMIT, async () => {
    const source = `
const { parentPort, workerData } = require('node:worker_threads');
const addon = require(workerData.root);
for (let i = 0; i < 64; i += 1) addon.fileHash(workerData.filePath);
parentPort.postMessage('pending');
setInterval(() => {}, 1000);
`;
    for (let round = 0; round < 3; round += 1) {
      const worker = new Worker(source, { eval: true, workerData: { root: ROOT, filePath } });
      await new Promise((resolve, reject) => {
        worker.once('message', resolve);
        worker.once('error', reject);
      });
      await worker.terminate();
    }
    assert.deepEqual(await exerciseAll(addon, filePath), expected);
  });

  test('the main thread keeps working after its workers ended', TEST_LIMIT, async () => {
    const digests = await Promise.all(Array.from({ length: 16 }, () => addon.fileHash(filePath)));
    for (const digest of digests) assert.equal(digest, expected.fileHash);
    assert.deepEqual(await exerciseAll(addon, filePath), expected);
    assertThreadCount(countThreads('tov-worker'), expectedWorkerThreads());
  });
});

describe('background runtime threads', () => {
  test('the loaded module runs named runtime worker threads', { skip: NO_THREAD_LIST }, () => {
    assert.equal(countThreads('tov-worker'), expectedWorkerThreads());
  });

  test('the runtime is built by the first load, not before', { skip: NO_THREAD_LIST }, () => {
    const child = runChild(
      `const before = countThreads('tov-worker');
       require(${JSON.stringify(ROOT)});
       console.log(JSON.stringify({ before, after: countThreads('tov-worker') }));`,
      { TOKIO_WORKER_THREADS: undefined },
    );
    assert.equal(child.status, 0, child.stderr);
    const counts = JSON.parse(child.stdout);
    assert.equal(counts.before, 0);
    assert.equal(counts.after, os.availableParallelism());
  });

  for (const [value, count] of [['3', 3], ['+4', 4], ['1', 1]]) {
    test(`TOKIO_WORKER_THREADS=${value} gives exactly ${count} runtime worker thread(s)`, { skip: NO_THREAD_LIST }, () => {
      const child = runChild(
        `const addon = require(${JSON.stringify(ROOT)});
         console.log(JSON.stringify({ threads: countThreads('tov-worker'), version: addon.nativeVersion() }));`,
        { TOKIO_WORKER_THREADS: value },
      );
      assert.equal(child.status, 0, child.stderr);
      assert.deepEqual(JSON.parse(child.stdout), { threads: count, version: 'tov-engine-native/1.0.0' });
    });
  }

  test('file digests complete with a single runtime worker thread', () => {
    const child = runChild(
      `const addon = require(${JSON.stringify(ROOT)});
       Promise.all(Array.from({ length: 20 }, () => addon.fileHash(${JSON.stringify(filePath)})))
         .then((digests) => console.log(JSON.stringify([...new Set(digests)])));`,
      { TOKIO_WORKER_THREADS: '1' },
    );
    assert.equal(child.status, 0, child.stderr);
    assert.deepEqual(JSON.parse(child.stdout), [expected.fileHash]);
  });
});

describe('thread counts past any machine', () => {
  // Each child hashes a batch (which starts the pool), then asks fileHash
  // why a missing file fails, and reports the threads of each pool.
  // Pool threads name themselves once running, so their count is awaited.
  const script = (missing, poolSize) => `
    const addon = require(${JSON.stringify(ROOT)});
    const batch = addon.batchFileHash([${JSON.stringify(filePath)}, ${JSON.stringify(filePath)}]);
    const poolThreads = () => {
      const names = threadNames();
      return names && names.filter((name) => name.startsWith('tov-pool-')).length;
    };
    addon.fileHash(${JSON.stringify(missing)}).then(
      () => console.log('resolved'),
      (error) => {
        const pause = new Int32Array(new SharedArrayBuffer(4));
        for (let i = 0; i < 500 && poolThreads() !== null && poolThreads() < ${poolSize}; i++) Atomics.wait(pause, 0, 0, 10);
        console.log(JSON.stringify({ entries: batch.length, message: error.message, pool: poolThreads(), workers: countThreads('tov-worker') }));
      });`;
  const cap = Math.max(512, os.availableParallelism());
  const cases = [
    { RAYON_NUM_THREADS: '4294967296' },
    { RAYON_NUM_THREADS: undefined, RAYON_RS_NUM_CPUS: '18446744073709551615' },
    { RAYON_NUM_THREADS: '99999' },
    { TOKIO_WORKER_THREADS: '100000', RAYON_NUM_THREADS: '2' },
  ];
  for (const env of cases) {
    test(`${JSON.stringify(env)} is capped at ${cap} threads and errors keep their reason`, () => {
      const missing = path.join(tempDir, 'missing');
      const poolSize = env.RAYON_NUM_THREADS === '2' ? 2 : cap;
      const child = runChild(script(missing, poolSize), env);
      assert.equal(child.status, 0, `signal ${child.signal}, stderr ${child.stderr}`);
      const report = JSON.parse(child.stdout);
      assert.equal(report.entries, 2);
      assert.match(report.message, /^Read error: .* \(os error [0-9]+\)$/);
      if (report.pool !== null) {
        assert.equal(report.pool, poolSize);
        assert.equal(report.workers, env.TOKIO_WORKER_THREADS ? cap : expectedWorkerThreads());
      }
    });
  }
});

describe('bad worker-thread settings', () => {
  const cases = [
    ['0', '"TOKIO_WORKER_THREADS" cannot be set to 0'],
    ['-4', '"TOKIO_WORKER_THREADS" must be usize, error: invalid digit found in string, value: -4'],
    ['', '"TOKIO_WORKER_THREADS" must be usize, error: cannot parse integer from empty string, value: '],
    ['four', '"TOKIO_WORKER_THREADS" must be usize, error: invalid digit found in string, value: four'],
  ];
  for (const [value, message] of cases) {
    test(`${JSON.stringify(value)} aborts loading with its message`, () => {
      const child = runChild(`require(${JSON.stringify(ROOT)}); console.log('loaded');`, {
        TOKIO_WORKER_THREADS: value,
      });
      // abort() ends a Windows process with exit status 3 instead of a signal.
      if (WINDOWS) assert.equal(child.status, 3, `signal ${child.signal}, stderr ${child.stderr}`);
      else assert.equal(child.signal, 'SIGABRT', `status ${child.status}, stderr ${child.stderr}`);
      assert.equal(child.stdout, '');
      assert.ok(child.stderr.split(/\r?\n/).includes(message), JSON.stringify(child.stderr));
    });
  }

  test('a bad setting does not matter to a process that never loads the module', () => {
    const child = runChild("console.log('fine');", { TOKIO_WORKER_THREADS: 'four' });
    assert.equal(child.status, 0);
    assert.equal(child.stdout, 'fine\n');
  });
});

describe('environment lifetimes', () => {
  test('the last environment ending shuts the runtime down and a new one builds it again', () => {
    // Only workers can end while the process lives, so the main thread of
    // the child never loads the module until the end.
    const workerSource = `
${HELPERS}
const { parentPort, workerData } = require('node:worker_threads');
exerciseAll(require(workerData.root), workerData.filePath)
  .then((results) => parentPort.postMessage({ results, runtimeThreads: countThreads('tov-worker') }));
`;
    const script = `
const { Worker } = require('node:worker_threads');
const root = ${JSON.stringify(ROOT)};
const filePath = ${JSON.stringify(filePath)};
const workerSource = ${JSON.stringify(workerSource)};
function runWorker() {
  return new Promise((resolve, reject) => {
    const worker = new Worker(workerSource, { eval: true, workerData: { root, filePath } });
    let message;
    worker.once('message', (value) => { message = value; });
    worker.once('error', reject);
    worker.once('exit', (code) => resolve({ ...message, code }));
  });
}
async function settledRuntimeThreads() {
  // The runtime's threads are joined by the ending environment; allow the
  // kernel a moment to drop them from the listing.
  for (let i = 0; i < 100 && countThreads('tov-worker') > 0; i += 1) {
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  return countThreads('tov-worker');
}
(async () => {
  const report = { before: countThreads('tov-worker') };
  report.first = await runWorker();
  report.afterFirst = await settledRuntimeThreads();
  report.second = await runWorker();
  report.afterSecond = await settledRuntimeThreads();
  report.main = await exerciseAll(require(root), filePath);
  report.mainThreads = countThreads('tov-worker');
  console.log(JSON.stringify(report));
})();
`;
    const child = runChild(script, { TOKIO_WORKER_THREADS: '2' });
    assert.equal(child.status, 0, child.stderr);
    const report = JSON.parse(child.stdout);
    assertThreadCount(report.before, 0);
    for (const run of [report.first, report.second]) {
      assert.equal(run.code, 0);
      assert.deepEqual(run.results, expected);
      assertThreadCount(run.runtimeThreads, 2);
    }
    assertThreadCount(report.afterFirst, 0);
    assertThreadCount(report.afterSecond, 0);
    assert.deepEqual(report.main, expected);
    assertThreadCount(report.mainThreads, 2);
  });

  test('a process exits normally with file digests still pending', () => {
    const child = runChild(
      `const addon = require(${JSON.stringify(ROOT)});
       for (let i = 0; i < 32; i += 1) addon.fileHash(${JSON.stringify(filePath)});
       console.log('issued');`,
    );
    assert.equal(child.status, 0, child.stderr);
    assert.equal(child.signal, null);
    assert.equal(child.stdout, 'issued\n');
  });

  test('a process with workers still holding the module exits normally', () => {
    const workerSource = `require(${JSON.stringify(ROOT)}); setInterval(() => {}, 1000);`;
    const child = runChild(
      `const { Worker } = require('node:worker_threads');
       require(${JSON.stringify(ROOT)});
       for (let i = 0; i < 3; i += 1) new Worker(${JSON.stringify(workerSource)}, { eval: true }).unref();
       setTimeout(() => { console.log('done'); process.exit(0); }, 300);`,
    );
    assert.equal(child.status, 0, child.stderr);
    assert.equal(child.stdout, 'done\n');
  });
});
