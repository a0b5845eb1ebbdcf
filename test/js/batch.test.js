'use strict';
// batchFileHash seen from JavaScript: which paths are kept, input order under
// the worker pool, special files, and the hand-off to merkleRoot/merkleDiff.
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync, execFileSync } = require('node:child_process');
const native = require('../..');
const {
  EMPTY_DIGEST,
  sha256Hex: digestOf,
  makeTempDir,
  removeTempDir,
  writeFileIn,
  assertConversionError,
  WINDOWS,
} = require('../support');

const NO_LINKS = WINDOWS && 'symbolic links need administrator rights or Developer Mode on Windows';
const NO_SPECIAL_FILES = WINDOWS && 'Windows has no FIFOs, device files or unix sockets in its file system';

const PACKAGE_ROOT = path.resolve(__dirname, '..', '..');

let dir;

const writeFile = (name, contents) => writeFileIn(dir, name, contents);

// Runs a script in a fresh node process, so that a hang is cut off by the
// timeout and a crash shows as a signal instead of taking the suite down.
function runNode(script, { env = {}, timeout = 30000 } = {}) {
  return spawnSync(process.execPath, ['-e', script], {
    encoding: 'utf8',
    timeout,
    env: { ...process.env, ...env },
  });
}

function assertChildOk(result) {
  assert.equal(result.error, undefined, `child failed to run or timed out: ${result.error}`);
  assert.equal(result.signal, null, `child died by ${result.signal}\n${result.stderr}`);
  assert.equal(result.status, 0, `child exited with ${result.status}\n${result.stderr}`);
}

before(() => {
  dir = makeTempDir('batch');
});

after(() => {
  removeTempDir(dir);
});

describe('batchFileHash: which paths are kept', () => {
  test('an empty array gives an empty array', () => {
    const result = native.batchFileHash([]);
    assert.ok(Array.isArray(result));
    assert.deepEqual(result, []);
  });

  test('a single file is hashed; a single missing path gives nothing', () => {
    const file = writeFile('single.txt', 'single file');
    assert.deepEqual(native.batchFileHash([file]), [[file, digestOf('single file')]]);
    assert.deepEqual(native.batchFileHash([path.join(dir, 'no-such-file')]), []);
  });

  test('file, missing path, directory, file keeps the two files in order', () => {
    const first = writeFile('mixed/first.txt', 'first');
    const second = writeFile('mixed/second.txt', 'second');
    const result = native.batchFileHash([first, path.join(dir, 'mixed', 'missing'), path.join(dir, 'mixed'), second]);
    assert.deepEqual(result, [[first, digestOf('first')], [second, digestOf('second')]]);
    for (const entry of result) {
      assert.equal(entry.length, 2);
      assert.match(entry[1], /^[0-9a-f]{64}$/);
    }
  });

  test('no readable path gives an empty array, not an error', () => {
    assert.deepEqual(native.batchFileHash([dir, path.join(dir, 'nothing'), '', os.tmpdir()]), []);
  });

  test('an empty file gives the digest of zero bytes', () => {
    const file = writeFile('empty.bin', Buffer.alloc(0));
    assert.deepEqual(native.batchFileHash([file]), [[file, EMPTY_DIGEST]]);
  });

  test('a path listed twice gives two entries at their positions', () => {
    const a = writeFile('dup/a', 'A');
    const b = writeFile('dup/b', 'B');
    const missing = path.join(dir, 'dup', 'missing');
    assert.deepEqual(native.batchFileHash([a, missing, a, b, missing, a]), [
      [a, digestOf('A')], [a, digestOf('A')], [b, digestOf('B')], [a, digestOf('A')],
    ]);
  });

  test('each entry carries the path text exactly as passed', () => {
    const file = writeFile('forms/target.txt', 'one file, many spellings');
    const digest = digestOf('one file, many spellings');
    const relative = path.join('forms', 'target.txt');
    const spellings = [
      file,
      relative,
      path.join(dir, 'forms') + '//target.txt',
      path.join(dir, 'forms') + '/./target.txt',
      `${dir}/forms/../forms/target.txt`,
    ];
    const cwd = process.cwd();
    process.chdir(dir);
    try {
      assert.deepEqual(native.batchFileHash(spellings), spellings.map((text) => [text, digest]));
    } finally {
      process.chdir(cwd);
    }
  });

  test('a path with a NUL character is left out', () => {
    const file = writeFile('nul/file', 'nul neighbour');
    assert.deepEqual(native.batchFileHash([file + '\0', 'a\0b', `${file}\0tail`, file]), [[file, digestOf('nul neighbour')]]);
  });

  test('the empty path and a file used as a directory are left out', () => {
    const file = writeFile('notdir/file', 'x');
    assert.deepEqual(native.batchFileHash(['', file + '/', path.join(file, 'child'), file]), [[file, digestOf('x')]]);
  });

  test('non-ASCII file names round-trip', () => {
    const file = writeFile('names/\u00e9t\u00e9 \u{1F600} \u4e2d.txt', 'unicode name');
    assert.deepEqual(native.batchFileHash([file]), [[file, digestOf('unicode name')]]);
  });

  test('extra arguments are ignored', () => {
    const file = writeFile('extra.txt', 'extra');
    assert.deepEqual(native.batchFileHash([file], 'ignored', 42), [[file, digestOf('extra')]]);
  });

  test('an unreadable file is left out silently',
    {
      skip: (WINDOWS && 'file modes do not deny reads on Windows; the native tests lock a file instead') ||
        (process.getuid && process.getuid() === 0 && 'running as root: permissions do not deny reads'),
    },
    () => {
      const locked = writeFile('locked.txt', 'secret');
      const open = writeFile('open.txt', 'public');
      fs.chmodSync(locked, 0o000);
      try {
        assert.deepEqual(native.batchFileHash([locked, open]), [[open, digestOf('public')]]);
      } finally {
        fs.chmodSync(locked, 0o600);
      }
    });
});

describe('batchFileHash: links and special files', () => {
  test('a link to a file carries the link path and the target digest', { skip: NO_LINKS }, () => {
    const target = writeFile('links/target.txt', 'link target');
    const link = path.join(dir, 'links', 'to-file');
    const chain = path.join(dir, 'links', 'to-link');
    fs.symlinkSync(target, link);
    fs.symlinkSync('to-file', chain);
    assert.deepEqual(native.batchFileHash([link, chain]), [
      [link, digestOf('link target')],
      [chain, digestOf('link target')],
    ]);
  });

  test('links to a directory, dangling links and link loops are left out', { skip: NO_LINKS }, () => {
    const keep = writeFile('links2/keep.txt', 'kept');
    const toDir = path.join(dir, 'links2', 'to-dir');
    const dangling = path.join(dir, 'links2', 'dangling');
    const loop = path.join(dir, 'links2', 'loop');
    fs.symlinkSync(dir, toDir);
    fs.symlinkSync(path.join(dir, 'links2', 'gone'), dangling);
    fs.symlinkSync('loop', loop);
    assert.deepEqual(native.batchFileHash([toDir, dangling, loop, keep]), [[keep, digestOf('kept')]]);
  });

  test('a FIFO and device files are left out without blocking', { skip: NO_SPECIAL_FILES }, () => {
    const fifo = path.join(dir, 'special.fifo');
    execFileSync('mkfifo', [fifo]);
    const file = writeFile('beside-fifo.txt', 'beside');
    // In a child process: a batch that waited for a writer would hang.
    const script = `
      const native = require(${JSON.stringify(PACKAGE_ROOT)});
      const paths = ${JSON.stringify([fifo, '/dev/null', file, fifo])};
      process.stdout.write(JSON.stringify(native.batchFileHash(paths)));`;
    const result = runNode(script, { timeout: 20000 });
    assertChildOk(result);
    assert.deepEqual(JSON.parse(result.stdout), [[file, digestOf('beside')]]);
  });

  test('a FIFO is never opened: a writer waiting on it keeps waiting', { skip: NO_SPECIAL_FILES }, async () => {
    const fifo = path.join(dir, 'waiting.fifo');
    execFileSync('mkfifo', [fifo]);
    // The shell blocks in open() until some reader opens the FIFO; a batch
    // that opened it would let the writer through (and cut its data off).
    const writer = spawn('sh', ['-c', 'printf data > "$1"', 'sh', fifo], { stdio: 'ignore' });
    const exited = new Promise((resolve) => writer.once('exit', resolve));
    let done = false;
    exited.then(() => { done = true; });
    try {
      await new Promise((resolve) => setTimeout(resolve, 300));
      assert.equal(done, false, 'the writer did not block');
      assert.deepEqual(native.batchFileHash([fifo]), []);
      await new Promise((resolve) => setTimeout(resolve, 500));
      assert.equal(done, false, 'batchFileHash opened the FIFO');
    } finally {
      if (!done) writer.kill();
      await exited;
    }
  });

  test('a listening unix socket is left out', { skip: NO_SPECIAL_FILES }, async () => {
    const socketPath = path.join(dir, 'batch.sock');
    const server = net.createServer();
    await new Promise((resolve, reject) => {
      server.once('error', reject);
      server.listen(socketPath, resolve);
    });
    try {
      const file = writeFile('beside-socket.txt', 'socket neighbour');
      assert.ok(fs.statSync(socketPath).isSocket());
      assert.deepEqual(native.batchFileHash([socketPath, file]), [[file, digestOf('socket neighbour')]]);
    } finally {
      await new Promise((resolve) => server.close(resolve));
    }
  });

  test('/proc files report size 0 but are hashed by their content', () => {
    const procFiles = ['/proc/self/cmdline', '/proc/version', '/proc/cpuinfo'].filter((p) => fs.existsSync(p));
    if (procFiles.length === 0) return;
    for (const file of procFiles) {
      const contents = fs.readFileSync(file);
      assert.ok(contents.length > 0, `${file} has content`);
      assert.equal(fs.statSync(file).size, 0, `${file} reports size 0`);
      const [[entryPath, digest]] = native.batchFileHash([file]);
      assert.equal(entryPath, file);
      assert.notEqual(digest, EMPTY_DIGEST, file);
      assert.equal(digest, digestOf(contents), file);
    }
  });
});

describe('batchFileHash: hostile conditions', () => {
  test('files swapped for FIFOs holding data are never read, by any read path', {
    skip: process.platform === 'win32' && 'no FIFOs on Windows',
  }, async (t) => {
    // Another process moves FIFOs that hold its data over the listed files
    // and back, as fast as it can; a file is of the FIFO data's length, so a
    // FIFO read in its place would pass for it. Bounded in time: the race is
    // rare, so this only backs up the deterministic test of the read ring.
    const swaps = fs.mkdtempSync(path.join(dir, 'swaps-'));
    const count = 32;
    const targets = Array.from({ length: count }, (_, i) => path.join(swaps, `t${i}`));
    const fifos = targets.map((target) => `${target}.fifo`);
    for (const target of targets) fs.writeFileSync(target, 'regular!!!');
    for (const fifo of fifos) execFileSync('mkfifo', [fifo]);
    const swapper = `
      const fs = require('fs');
      const { O_RDWR, O_NONBLOCK } = fs.constants;
      const [targets, fifos, ms] = JSON.parse(process.argv[1]);
      const held = fifos.map((fifo) => fs.openSync(fifo, O_RDWR | O_NONBLOCK));
      for (const fd of held) fs.writeSync(fd, 'FIFODATA!!');
      process.stdout.write('ready\\n');
      const end = Date.now() + ms;
      for (let round = 0; Date.now() < end; round += 1) {
        const i = round % targets.length;
        fs.renameSync(fifos[i], targets[i]);
        fs.renameSync(targets[i], fifos[i]);
        fs.writeFileSync(targets[i] + '.new', 'regular!!!');
        fs.renameSync(targets[i] + '.new', targets[i]);
      }
      const left = held.map((fd) => {
        try { return fs.readSync(fd, Buffer.alloc(16)); } catch { return 0; }
      });
      process.stdout.write(JSON.stringify(left));`;
    const child = spawn(process.execPath, ['-e', swapper, JSON.stringify([targets, fifos, 2500])]);
    let output = '';
    let errors = '';
    let gone = false;
    child.stdout.on('data', (chunk) => { output += chunk; });
    child.stderr.on('data', (chunk) => { errors += chunk; });
    const exited = new Promise((resolve) => child.once('exit', resolve)).then(() => { gone = true; });
    try {
      while (!output.includes('ready\n') && !gone) await new Promise((resolve) => setTimeout(resolve, 10));
      if (!output.includes('ready\n')) {
        // Some hosts cannot run a script given with -e; the read ring's own
        // test covers the same case deterministically.
        t.skip(`the swapping child did not start: ${errors.trim().slice(0, 200)}`);
        return;
      }
      const paths = Array.from({ length: 20 }, () => targets).flat();
      const expected = digestOf('regular!!!');
      const end = Date.now() + 2000;
      let entries = 0;
      while (Date.now() < end) {
        for (const [file, digest] of native.batchFileHash(paths)) {
          assert.equal(digest, expected, file);
          entries += 1;
        }
      }
      assert.ok(entries > 0);
    } finally {
      await exited;
    }
    assert.deepEqual(JSON.parse(output.slice('ready\n'.length)), Array(count).fill(10));
  });

  test('a full descriptor table fails the call instead of leaving files out', {
    skip: process.platform === 'win32' && 'no ulimit on Windows',
  }, () => {
    const files = Array.from({ length: 300 }, (_, i) => writeFile(`fd-${i}.txt`, `file ${i}`));
    const script = `
      const fs = require('fs');
      const addon = require(${JSON.stringify(PACKAGE_ROOT)});
      const files = ${JSON.stringify(files)};
      const attempt = (paths) => {
        try { return addon.batchFileHash(paths).length; } catch (e) { return [e.code, e.message]; }
      };
      const fillers = [];
      try { for (;;) fillers.push(fs.openSync('/dev/null', 'r')); } catch (e) {
        if (e.code !== 'EMFILE') throw e;
      }
      const results = [attempt(files.slice(0, 2)), attempt(files.slice(0, 1)), attempt(files)];
      // A few free: fewer than one worker's batch would hold open at once.
      for (let i = 0; i < 4; i += 1) fs.closeSync(fillers.pop());
      results.push(attempt(files));
      for (const fd of fillers) fs.closeSync(fd);
      results.push(attempt(files));
      process.stdout.write(JSON.stringify(results));`;
    // Started through the shell for its ulimit, so the host's own way of
    // running a script file is spelled out (Deno takes no node-style -e there).
    const file = path.join(dir, 'fill-descriptors.cjs');
    fs.writeFileSync(file, script);
    const args = process.versions.deno ? ['run', '-A', file] : [file];
    const result = spawnSync('sh', ['-c', 'ulimit -n 256 && exec "$0" "$@"', process.execPath, ...args], {
      encoding: 'utf8',
      timeout: 30000,
    });
    assertChildOk(result);
    const failure = ['GenericFailure', 'Read error: Too many open files (os error 24)'];
    assert.deepEqual(JSON.parse(result.stdout), [failure, failure, failure, 300, 300]);
  });
});

describe('batchFileHash: many files', () => {
  let paths;
  let expected;

  before(() => {
    // Random sizes from 0 to 64 KiB, a 32 MiB file second in the list, and
    // missing paths and directories sprinkled in between.
    const pool = crypto.randomBytes(1 << 20);
    paths = [];
    expected = [];
    const big = crypto.randomBytes(32 << 20);
    // Fewer under Windows, whose file creation (and Wine's the more) is slow.
    const count = WINDOWS ? 1000 : 3000;
    for (let i = 0; i < count; i++) {
      if (i === 1) {
        const file = writeFile('many/big.bin', big);
        paths.push(file);
        expected.push([file, digestOf(big)]);
      }
      if (i % 97 === 5) paths.push(path.join(dir, 'many', `missing-${i}`));
      if (i % 211 === 7) paths.push(path.join(dir, 'many'));
      const size = Math.floor(Math.random() * (64 * 1024 + 1));
      const offset = Math.floor(Math.random() * (pool.length - size));
      const contents = pool.subarray(offset, offset + size);
      const file = writeFile(`many/${String(i).padStart(4, '0')}.bin`, contents);
      paths.push(file);
      expected.push([file, digestOf(contents)]);
    }
    // Reverse the tail so that input order differs from name order.
    paths.splice(1500, paths.length - 1500, ...paths.slice(1500).reverse());
    const byPath = new Map(expected.map((entry) => [entry[0], entry]));
    expected = paths.filter((p) => byPath.has(p)).map((p) => byPath.get(p));
  });

  test('keep input order and match node:crypto', () => {
    const result = native.batchFileHash(paths);
    assert.equal(result.length, expected.length);
    assert.deepEqual(result, expected);
  });

  test('repeated calls give the same manifest', () => {
    const first = native.batchFileHash(paths);
    const second = native.batchFileHash(paths);
    assert.deepEqual(second, first);
  });

  test('any worker count keeps input order', () => {
    const sample = paths.slice(0, 600);
    const sampleExpected = native.batchFileHash(sample);
    const samplePaths = path.join(dir, 'worker-count-sample.json');
    fs.writeFileSync(samplePaths, JSON.stringify(sample));
    const script = `
      const native = require(${JSON.stringify(PACKAGE_ROOT)});
      const paths = JSON.parse(require('node:fs').readFileSync(process.env.TOV_TEST_PATHS, 'utf8'));
      process.stdout.write(JSON.stringify(native.batchFileHash(paths)));`;
    const settings = [
      { RAYON_NUM_THREADS: '1' },
      { RAYON_NUM_THREADS: '3' },
      { RAYON_NUM_THREADS: '+16' },
      { RAYON_NUM_THREADS: '0' },
      { RAYON_NUM_THREADS: 'many', RAYON_RS_NUM_CPUS: '5' },
    ];
    for (const env of settings) {
      // In a file: Windows caps an environment variable at 32,767 characters.
      const result = runNode(script, { env: { ...env, TOV_TEST_PATHS: samplePaths } });
      assertChildOk(result);
      assert.deepEqual(JSON.parse(result.stdout), sampleExpected, JSON.stringify(env));
    }
  });
});

describe('batchFileHash: a mixed tree of small and large files', () => {
  // Far more streamed files than the workers' lanes hold at once, with
  // lengths at the block and padding edges, small files read whole between
  // them and gaps where nothing is kept.
  test('matches node:crypto file by file, in input order, under any worker count', () => {
    const pool = crypto.randomBytes(3 << 20);
    const paths = [];
    const expected = [];
    for (let i = 0; i < 120; i++) {
      const size =
        i % 3 === 0
          ? 64 * 1024 + 64 * (i % 5) + [0, 55, 56, 63, 119, 120][i % 6]
          : i % 3 === 1
            ? (i * 7919) % (3 << 20)
            : (i * 131) % 5000;
      const contents = pool.subarray(0, size);
      const file = writeFile(`mixed/${String(i).padStart(3, '0')}.bin`, contents);
      paths.push(file);
      expected.push([file, digestOf(contents)]);
      if (i % 17 === 4) paths.push(path.join(dir, 'mixed', `missing-${i}`));
    }
    paths.reverse();
    expected.reverse();
    assert.deepEqual(native.batchFileHash(paths), expected);
    const script = `
      const native = require(${JSON.stringify(PACKAGE_ROOT)});
      const paths = JSON.parse(process.env.TOV_TEST_PATHS);
      process.stdout.write(JSON.stringify(native.batchFileHash(paths)));`;
    for (const threads of ['1', '3', '7']) {
      const result = runNode(script, {
        env: { RAYON_NUM_THREADS: threads, TOV_TEST_PATHS: JSON.stringify(paths) },
      });
      assertChildOk(result);
      assert.deepEqual(JSON.parse(result.stdout), expected, `RAYON_NUM_THREADS=${threads}`);
    }
  });
});

describe('batchFileHash: manifests for merkleRoot and merkleDiff', () => {
  test('the result passes unchanged to merkleRoot', () => {
    const a = writeFile('tree/a.txt', 'alpha');
    const b = writeFile('tree/b.txt', 'beta');
    const sub = writeFile('tree/sub/c.txt', 'gamma');
    const manifest = native.batchFileHash([sub, b, a]);
    const byHand = [[a, digestOf('alpha')], [b, digestOf('beta')], [sub, digestOf('gamma')]];
    assert.equal(native.merkleRoot(manifest), native.merkleRoot(byHand));
    const text = [...byHand].sort((x, y) => Buffer.compare(Buffer.from(x[0]), Buffer.from(y[0])))
      .map(([key, value]) => `${key}:${value}`).join('\n');
    assert.equal(native.merkleRoot(manifest), digestOf(text));
  });

  test('two snapshots pass unchanged to merkleDiff', () => {
    const keep = writeFile('snap/keep.txt', 'unchanged');
    const edit = writeFile('snap/edit.txt', 'before');
    const drop = writeFile('snap/drop.txt', 'doomed');
    const fresh = path.join(dir, 'snap', 'fresh.txt');
    const all = [keep, edit, drop, fresh];
    const before = native.batchFileHash(all);
    assert.equal(before.length, 3);
    fs.writeFileSync(edit, 'after');
    fs.unlinkSync(drop);
    fs.writeFileSync(fresh, 'new');
    const afterwards = native.batchFileHash(all);
    assert.deepEqual(native.merkleDiff(before, afterwards), { added: [fresh], modified: [edit], deleted: [drop] });
    assert.deepEqual(native.merkleDiff(afterwards, afterwards), { added: [], modified: [], deleted: [] });
    assert.notEqual(native.merkleRoot(before), native.merkleRoot(afterwards));
  });
});

describe('batchFileHash: conversion errors', () => {
  test('a non-array argument throws', () => {
    const file = writeFile('conv.txt', 'c');
    const notArray = 'Given napi value is not an array';
    assertConversionError(() => native.batchFileHash(file), 'InvalidArg', notArray);
    assertConversionError(() => native.batchFileHash({ length: 1, 0: file }), 'InvalidArg', notArray);
    assertConversionError(() => native.batchFileHash(new Uint8Array(2)), 'InvalidArg', notArray);
    assertConversionError(() => native.batchFileHash(null), 'InvalidArg', notArray);
  });

  test('a missing argument throws', () => {
    assertConversionError(() => native.batchFileHash(), 'InvalidArg', 'Given napi value is not an array');
  });

  test('an element that is not a string throws', () => {
    const file = writeFile('conv2.txt', 'c');
    assertConversionError(() => native.batchFileHash([file, 5]), 'StringExpected',
      'Failed to convert JavaScript value `Number 5 ` into rust type `String`');
    assertConversionError(() => native.batchFileHash([file, Buffer.from(file)]), 'StringExpected',
      `Failed to convert JavaScript value \`Object ${JSON.stringify(Buffer.from(file))}\` into rust type \`String\``);
    // eslint-disable-next-line no-sparse-arrays
    assertConversionError(() => native.batchFileHash([file, , file]), 'StringExpected',
      'Failed to convert JavaScript value `Undefined` into rust type `String`');
  });

  test('a failed conversion reads no file', (t) => {
    const file = writeFile('atime/probe.txt', 'probe');
    const other = writeFile('atime/other.txt', 'other');
    // With an access time older than the modification time, even a relatime
    // mount records the next read, which makes any read visible.
    const setOld = () => {
      const now = Date.now() / 1000;
      fs.utimesSync(file, now - 2 * 86400, now - 86400);
    };
    setOld();
    const before = fs.statSync(file).atimeMs;
    assert.throws(() => native.batchFileHash([file, other, 7]), { code: 'StringExpected' });
    assert.throws(() => native.batchFileHash([file, {}]), { code: 'StringExpected' });
    assert.equal(fs.statSync(file).atimeMs, before, 'the file was read before the conversion failed');

    // Control: a successful call does move the access time here; otherwise
    // the check above could not have seen a read.
    native.batchFileHash([file, other]);
    if (fs.statSync(file).atimeMs === before) {
      t.skip('this file system does not record access times');
    }
  });

  test('the module keeps working after conversion errors', () => {
    const file = writeFile('conv3.txt', 'still fine');
    assert.throws(() => native.batchFileHash([1]));
    assert.deepEqual(native.batchFileHash([file]), [[file, digestOf('still fine')]]);
  });
});
