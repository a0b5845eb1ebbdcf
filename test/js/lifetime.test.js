'use strict';
// How pending fileHash promises interact with process and worker lifetime.
// Every scenario runs in its own node process, so that a hang ends in a
// timeout and a crash shows up as an exit code or a signal.
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync, execFileSync } = require('node:child_process');
const { WINDOWS, readErrorMessage, sha256Hex: digestOf, makeTempDir, removeTempDir } = require('../support');

const NO_FIFOS = WINDOWS && 'Windows has no FIFOs in its file system';

const PACKAGE_ROOT = path.resolve(__dirname, '..', '..');

let dir;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Starts `node -e script` and returns the child together with a promise of
// its outcome. The child is killed if it outlives `timeout`.
function startNode(script, { timeout = 60000, env = {} } = {}) {
  const started = process.hrtime.bigint();
  const child = spawn(process.execPath, ['-e', script], {
    env: { ...process.env, ...env },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let stdout = '';
  let stderr = '';
  child.stdout.setEncoding('utf8').on('data', (chunk) => { stdout += chunk; });
  child.stderr.setEncoding('utf8').on('data', (chunk) => { stderr += chunk; });
  let timedOut = false;
  const timer = setTimeout(() => {
    timedOut = true;
    child.kill('SIGKILL');
  }, timeout);
  const outcome = new Promise((resolve, reject) => {
    child.once('error', reject);
    child.once('close', (code, signal) => {
      clearTimeout(timer);
      const elapsedMs = Number(process.hrtime.bigint() - started) / 1e6;
      resolve({ code, signal, stdout, stderr, timedOut, elapsedMs });
    });
  });
  return { child, outcome };
}

function runNode(script, options) {
  return startNode(script, options).outcome;
}

function assertCleanExit(result) {
  assert.equal(result.timedOut, false, `child hung\nstdout: ${result.stdout}\nstderr: ${result.stderr}`);
  assert.equal(result.signal, null, `child died by ${result.signal}\nstderr: ${result.stderr}`);
  assert.equal(result.code, 0, `child exited with ${result.code}\nstderr: ${result.stderr}`);
}

const LOAD = `const native = require(${JSON.stringify(PACKAGE_ROOT)});`;

before(() => {
  dir = makeTempDir('lifetime');
});

after(() => {
  removeTempDir(dir);
});

describe('a pending fileHash keeps the process alive', () => {
  test('until a large file has been hashed, then the process exits with 0', async () => {
    const contents = crypto.randomBytes(64 << 20);
    const file = path.join(dir, 'large.bin');
    fs.writeFileSync(file, contents);
    const result = await runNode(`${LOAD}
      native.fileHash(${JSON.stringify(file)}).then((digest) => process.stdout.write(digest));`);
    assertCleanExit(result);
    assert.equal(result.stdout, digestOf(contents));
  });

  test('until a rejection has been delivered', async () => {
    const result = await runNode(`${LOAD}
      native.fileHash(${JSON.stringify(path.join(dir, 'missing'))})
        .catch((error) => process.stdout.write(error.code + ': ' + error.message));`);
    assertCleanExit(result);
    const message = readErrorMessage(['No such file or directory', 2], ['The system cannot find the file specified.', 2]);
    if (message instanceof RegExp) assert.match(result.stdout.replace(/^GenericFailure: /, ''), message);
    else assert.equal(result.stdout, `GenericFailure: ${message}`);
  });

  test('until every one of many pending calls has settled', async () => {
    const files = [];
    for (let i = 0; i < 20; i++) {
      const contents = crypto.randomBytes(200000 + i * 1000);
      const file = path.join(dir, `many-${i}.bin`);
      fs.writeFileSync(file, contents);
      files.push([file, digestOf(contents)]);
    }
    const result = await runNode(`${LOAD}
      const files = ${JSON.stringify(files)};
      let good = 0;
      for (let round = 0; round < 10; round++) {
        for (const [file, digest] of files) {
          native.fileHash(file).then((d) => { if (d === digest) good++; });
        }
      }
      process.on('exit', () => process.stdout.write(String(good)));`);
    assertCleanExit(result);
    assert.equal(result.stdout, '200');
  });

  test('until a FIFO whose writer opens it later has been read', { skip: NO_FIFOS }, async () => {
      const fifo = path.join(dir, 'late-writer.fifo');
      execFileSync('mkfifo', [fifo]);
      const { child, outcome } = startNode(`${LOAD}
        native.fileHash(${JSON.stringify(fifo)}).then(
          (digest) => process.stdout.write(digest),
          (error) => process.stdout.write('rejected: ' + error.message));`, { timeout: 20000 });
      try {
        await sleep(700);
        // The child has nothing but the pending promise; it must still be there.
        assert.equal(child.exitCode, null, 'the process exited while its fileHash waited for a writer');
        // Non-blocking open fails with ENXIO until a reader has the FIFO open.
        let fd = -1;
        for (let attempt = 0; attempt < 100 && fd < 0; attempt++) {
          try {
            fd = fs.openSync(fifo, fs.constants.O_WRONLY | fs.constants.O_NONBLOCK);
          } catch (error) {
            if (error.code !== 'ENXIO') throw error;
            await sleep(50);
          }
        }
        assert.ok(fd >= 0, 'no reader ever opened the FIFO');
        fs.writeSync(fd, 'written late');
        fs.closeSync(fd);
        const result = await outcome;
        assertCleanExit(result);
        assert.equal(result.stdout, digestOf('written late'));
      } finally {
        if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
        await outcome;
      }
    });
});

describe('a process with nothing pending exits at once', () => {
  // Hang checks, not timing checks: the bound is generous.
  const BOUND_MS = 5000;

  test('after only loading the module', async () => {
    const result = await runNode(`${LOAD} process.stdout.write(native.nativeVersion());`, { timeout: 30000 });
    assertCleanExit(result);
    assert.equal(result.stdout, 'tov-engine-native/1.0.0');
    assert.ok(result.elapsedMs < BOUND_MS, `took ${result.elapsedMs} ms`);
  });

  test('after using every function, the worker pool and the background runtime', async () => {
    const file = path.join(dir, 'used.txt');
    fs.writeFileSync(file, 'used');
    const result = await runNode(`${LOAD}
      const file = ${JSON.stringify(file)};
      native.sha256(Buffer.from('x'));
      native.sha256String('x');
      native.countTokens('hello world');
      native.truncateToTokens('hello world', 1);
      const manifest = native.batchFileHash([file, file, file, file]);
      native.merkleDiff(manifest, []);
      native.merkleRoot(manifest);
      native.fileHash(file).then((digest) => process.stdout.write(digest));`, { timeout: 30000 });
    assertCleanExit(result);
    assert.equal(result.stdout, digestOf('used'));
    assert.ok(result.elapsedMs < BOUND_MS, `took ${result.elapsedMs} ms`);
  });

  test('after a worker that loaded the module has ended', async () => {
    const result = await runNode(`${LOAD}
      const { Worker } = require('node:worker_threads');
      const worker = new Worker(${JSON.stringify(`require(${JSON.stringify(PACKAGE_ROOT)}).sha256String('w');`)}, { eval: true });
      worker.on('exit', (code) => process.stdout.write('worker ' + code));`, { timeout: 30000 });
    assertCleanExit(result);
    assert.equal(result.stdout, 'worker 0');
    assert.ok(result.elapsedMs < BOUND_MS, `took ${result.elapsedMs} ms`);
  });
});

describe('workers that end with fileHash calls in flight', () => {
  let files;

  before(() => {
    files = [];
    for (let i = 0; i < 40; i++) {
      // A few larger files keep reads in flight when a worker goes away.
      const size = i % 8 === 0 ? (1 << 20) + i : 1000 + i * 1500;
      const contents = crypto.randomBytes(size);
      const file = path.join(dir, `worker-${i}.bin`);
      fs.writeFileSync(file, contents);
      files.push([file, digestOf(contents)]);
    }
  });

  // The worker starts many fileHash calls and then leaves, either by
  // process.exit() (which in a worker ends only that thread), by being
  // terminated from outside while it keeps calling, or by finishing
  // normally once its promises have settled.
  const WORKER_SOURCE = `
    const { parentPort, workerData } = require('node:worker_threads');
    const native = require(workerData.root);
    const { files, mode, calls } = workerData;
    let good = 0;
    let bad = 0;
    for (let i = 0; i < calls; i++) {
      const [file, digest] = files[i % files.length];
      native.fileHash(file).then((d) => { if (d === digest) good++; else bad++; }, () => { bad++; });
    }
    if (mode === 'exit') {
      process.exit(0);
    } else if (mode === 'terminate') {
      // Keep starting calls and batches until terminated.
      const again = () => {
        for (let i = 0; i < 20; i++) native.fileHash(files[i % files.length][0]);
        native.batchFileHash(files.slice(0, 8).map((entry) => entry[0]));
        setImmediate(again);
      };
      parentPort.postMessage('running');
      again();
    } else {
      process.on('exit', () => parentPort.postMessage({ good, bad }));
    }`;

  // Runs `rounds` rounds of `perRound` workers per mode, then checks that the
  // main thread's module still gives right answers. When mainFirst is false
  // the main thread loads the module only at the end, so every round ends
  // the last environment and the next builds everything again.
  function scenario({ mainFirst, rounds, perRound, calls }) {
    return `
      const { Worker } = require('node:worker_threads');
      const crypto = require('node:crypto');
      const root = ${JSON.stringify(PACKAGE_ROOT)};
      const files = ${JSON.stringify(files)};
      let native = ${mainFirst ? 'require(root)' : 'null'};
      const source = ${JSON.stringify(WORKER_SOURCE)};

      function runWorker(mode) {
        return new Promise((resolve, reject) => {
          const worker = new Worker(source, { eval: true, workerData: { root, files, mode, calls: ${calls} } });
          let report = null;
          worker.on('message', (message) => {
            if (message === 'running') setTimeout(() => worker.terminate(), 20);
            else report = message;
          });
          worker.on('error', reject);
          worker.on('exit', (code) => resolve({ code, report }));
        });
      }

      (async () => {
        for (let round = 0; round < ${rounds}; round++) {
          for (const mode of ['exit', 'terminate', 'natural']) {
            const results = await Promise.all(Array.from({ length: ${perRound} }, () => runWorker(mode)));
            for (const { code, report } of results) {
              if (mode === 'exit' && code !== 0) throw new Error('worker exit code ' + code);
              if (mode === 'terminate' && code !== 1) throw new Error('terminated worker exit code ' + code);
              if (mode === 'natural') {
                if (code !== 0) throw new Error('worker exit code ' + code);
                if (!report || report.good !== ${calls} || report.bad !== 0) {
                  throw new Error('worker results ' + JSON.stringify(report));
                }
              }
            }
          }
          if (native) await check(native);
        }
        native = native || require(root);
        await check(native);
        process.stdout.write('OK');
      })().catch((error) => {
        process.stderr.write(String(error && error.stack || error));
        process.exitCode = 2;
      });

      async function check(native) {
        const digests = await Promise.all(files.map(([file]) => native.fileHash(file)));
        files.forEach(([file, digest], i) => {
          if (digests[i] !== digest) throw new Error('fileHash wrong for ' + file);
        });
        const manifest = native.batchFileHash(files.map(([file]) => file));
        if (JSON.stringify(manifest) !== JSON.stringify(files)) throw new Error('batchFileHash wrong');
        const text = [...files].sort((a, b) => Buffer.compare(Buffer.from(a[0]), Buffer.from(b[0])))
          .map(([k, v]) => k + ':' + v).join('\\n');
        if (native.merkleRoot(manifest) !== crypto.createHash('sha256').update(text).digest('hex')) {
          throw new Error('merkleRoot wrong');
        }
      }`;
  }

  test('with the main thread holding the module throughout', async () => {
    for (let run = 0; run < 2; run++) {
      const result = await runNode(scenario({ mainFirst: true, rounds: 2, perRound: 2, calls: 200 }), { timeout: 90000 });
      assertCleanExit(result);
      assert.equal(result.stdout, 'OK');
    }
  });

  test('with workers alone, so that the last environment keeps ending', async () => {
    for (let run = 0; run < 2; run++) {
      const result = await runNode(scenario({ mainFirst: false, rounds: 3, perRound: 1, calls: 200 }), { timeout: 90000 });
      assertCleanExit(result);
      assert.equal(result.stdout, 'OK');
    }
  });

  test('with a handful of worker threads of the background runtime', async () => {
    const result = await runNode(scenario({ mainFirst: true, rounds: 2, perRound: 2, calls: 150 }),
      { timeout: 90000, env: { TOKIO_WORKER_THREADS: '1' } });
    assertCleanExit(result);
    assert.equal(result.stdout, 'OK');
  });
});

describe('a fileHash stuck on a FIFO does not hold up the end of its environment', { skip: NO_FIFOS }, () => {
  // The read never finishes by itself: either the open waits for a writer
  // that never comes, or a writer holds the FIFO open and never writes. The
  // environment that ends is the last one with the module, so the runtime is
  // shut down with the read still running.
  //
  // The main thread, which never loads the module in the worker cases, can
  // connect a writer only while the read is in open(): a non-blocking open
  // for writing fails with ENXIO until a reader is there.
  const HELPERS = `
    const fs = require('node:fs');
    function connectWriter(fifo, then) {
      let fd;
      try {
        fd = fs.openSync(fifo, fs.constants.O_WRONLY | fs.constants.O_NONBLOCK);
      } catch (error) {
        if (error.code !== 'ENXIO') throw error;
        setTimeout(() => connectWriter(fifo, then), 20);
        return;
      }
      then(fd);
    }
    function runtimeThreads() {
      let count = 0;
      for (const task of fs.readdirSync('/proc/self/task')) {
        try {
          if (fs.readFileSync('/proc/self/task/' + task + '/comm', 'utf8').trim() === 'tov-blocking') count++;
        } catch {}
      }
      return count;
    }
    function whenNoRuntimeThreads(then, deadline = Date.now() + 10000) {
      if (runtimeThreads() === 0) then('gone');
      else if (Date.now() > deadline) then('still there');
      else setTimeout(() => whenNoRuntimeThreads(then, deadline), 20);
    }`;

  function runStuck(script) {
    // Hang check, not a timing check: the bound is generous.
    const result = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 20000 });
    assert.equal(result.error, undefined, `child hung or failed to start: ${result.error}\nstderr: ${result.stderr}`);
    assert.equal(result.signal, null, `child died by ${result.signal}\nstderr: ${result.stderr}`);
    assert.equal(result.status, 0, `child exited with ${result.status}\nstderr: ${result.stderr}`);
    return result.stdout;
  }

  let counter = 0;
  function freshFifo() {
    const fifo = path.join(dir, `stuck-${counter++}.fifo`);
    execFileSync('mkfifo', [fifo]);
    return fifo;
  }

  for (const writer of [false, true]) {
    const how = writer ? 'a writer that never writes' : 'no writer';

    // Once the worker is gone the read is let through, so that its thread
    // leaves: the host has meanwhile dropped the worker's hold on the module,
    // and the thread must still find its code there on the way out.
    test(`a worker that loaded the module is terminated (${how}); the read ends later`, () => {
      const fifo = freshFifo();
      const workerSource = `
        const { parentPort } = require('node:worker_threads');
        const native = require(${JSON.stringify(PACKAGE_ROOT)});
        native.fileHash(${JSON.stringify(fifo)}).then(
          () => parentPort.postMessage('settled'),
          () => parentPort.postMessage('rejected'));
        parentPort.postMessage('started');`;
      const stdout = runStuck(`${HELPERS}
        const fifo = ${JSON.stringify(fifo)};
        const { Worker } = require('node:worker_threads');
        const worker = new Worker(${JSON.stringify(workerSource)}, { eval: true });
        let writer = -1;
        worker.on('message', (message) => {
          process.stdout.write(message + ';');
          if (message !== 'started') return;
          const end = () => setTimeout(() => worker.terminate(), 200);
          ${writer ? 'connectWriter(fifo, (fd) => { writer = fd; end(); });' : 'end();'}
        });
        worker.on('exit', (code) => {
          process.stdout.write('exit ' + code + ';');
          const finish = (fd) => {
            fs.writeSync(fd, 'late');
            fs.closeSync(fd);
            whenNoRuntimeThreads((state) => process.stdout.write('threads ' + state));
          };
          ${writer ? 'finish(writer);' : 'connectWriter(fifo, finish);'}
        });`);
      assert.equal(stdout, 'started;exit 1;threads gone');
    });

    test(`the main thread calls process.exit (${how}) and the process exits`, () => {
      const fifo = freshFifo();
      const stdout = runStuck(`${HELPERS}
        ${LOAD}
        const fifo = ${JSON.stringify(fifo)};
        native.fileHash(fifo).then(
          () => process.stdout.write('settled;'),
          () => process.stdout.write('rejected;'));
        const end = () => setTimeout(() => {
          process.stdout.write('exiting');
          process.exit(0);
        }, 200);
        ${writer ? 'connectWriter(fifo, end);' : 'end();'}`);
      assert.equal(stdout, 'exiting');
    });
  }
});
