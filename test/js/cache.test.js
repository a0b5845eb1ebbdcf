'use strict';
// The content cache of the tree functions: whatever happens to the files or
// to the cache file, a run with the cache gives the manifest of a run
// without it.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { hashTree } = require('../../tree.js');
const cache = require('../../lib/tree/cache.js');
const { hashPaths } = require('../../lib/tree/hash.js');
const { makeTempDir, removeTempDir, makeRandom } = require('../support');

const root = path.join(__dirname, '..', '..');
const CLI = path.join(root, 'bin', 'tov-engine.js');

let tmp;
before(() => {
  tmp = makeTempDir('cache');
});
after(() => {
  removeTempDir(tmp);
});

let serial = 0;
// A fresh tree of `n` small files and a cache location beside it.
function makeTree(n = 12) {
  const dir = path.join(tmp, `t${++serial}`);
  for (let i = 0; i < n; i++) {
    const file = path.join(dir, i % 3 === 0 ? 'sub' : '', `f${i}.txt`);
    fs.mkdirSync(path.dirname(file), { recursive: true });
    fs.writeFileSync(file, `content ${i}\n`.repeat(i + 1));
  }
  return { dir, location: path.join(tmp, `c${serial}.cache`) };
}

// Files written in the clock tick of the run are not trusted; a short wait
// lets the first cached run keep them.
const settle = () => new Promise((resolve) => setTimeout(resolve, 30));

// A cached run, checked against a plain run of the same tree.
async function cachedRun(dir, location) {
  const withCache = await hashTree(dir, { cache: location });
  const without = await hashTree(dir);
  assert.deepEqual(withCache.manifest, without.manifest);
  assert.equal(withCache.root, without.root);
  return withCache.cache;
}

async function primed(n) {
  const tree = makeTree(n);
  await settle();
  await cachedRun(tree.dir, tree.location);
  const second = await cachedRun(tree.dir, tree.location);
  assert.equal(second.reused, n, 'an unchanged tree is answered from the cache');
  return tree;
}

describe('a cached run reads again what changed', () => {
  it('same size, same or set-back modification time, different content', async () => {
    const { dir, location } = await primed(6);
    const file = path.join(dir, 'f1.txt');
    const whole = new Date(Math.floor(fs.statSync(file).mtime.getTime() / 1000) * 1000);
    // Cached at one time, then rewritten and given the same time again or
    // another fraction of the same second: only the change time, or only
    // the nanoseconds, tell.
    const cases = [
      [whole, whole],
      [whole, new Date(whole.getTime() + 500)],
    ];
    for (const [i, [was, now]] of cases.entries()) {
      fs.utimesSync(file, was, was);
      await settle();
      await cachedRun(dir, location);
      const size = fs.statSync(file).size;
      fs.writeFileSync(file, String(i).repeat(size));
      fs.utimesSync(file, now, now);
      const { reused } = await cachedRun(dir, location);
      assert.equal(reused, 5);
    }
  });

  it('a file replaced by rename, and a directory replaced by a file', async () => {
    const { dir, location } = await primed(9);
    const file = path.join(dir, 'f2.txt');
    const { size, mtime } = fs.statSync(file);
    const other = path.join(tmp, `swap${serial}`);
    fs.writeFileSync(other, 'x'.repeat(size));
    fs.utimesSync(other, mtime, mtime);
    fs.renameSync(other, file);
    fs.rmSync(path.join(dir, 'sub'), { recursive: true });
    fs.writeFileSync(path.join(dir, 'sub'), 'now a file\n');
    await cachedRun(dir, location);
  });

  it('a file whose metadata moves between its query and the end of its read is hashed but not kept', async () => {
    for (const moment of ['before the read', 'after the read']) {
      const { dir, location } = await primed(3);
      // Joined as the walk joins, which is how the cache knows its files.
      const file = `${dir}/f1.txt`;
      fs.appendFileSync(file, 'more\n');
      await settle();
      // The run driven by hand, its pipeline only taking note of what it gets.
      const pipeline = { added: 0, full: false, reads: [], add(p) { this.reads.push([this.added++, p]); }, addKnown() { this.added++; }, drain() {} };
      const run = cache.open({ location }, [{ path: dir, display: '', required: true }], pipeline);
      for (const name of ['f1.txt', 'f2.txt', 'sub/f0.txt']) run.add(`${dir}/${name}`);
      await run.end();
      assert.deepEqual(pipeline.reads, [[0, file]], 'only the changed file is read');
      if (moment === 'before the read') fs.appendFileSync(file, 'written after its query\n');
      const outcomes = await hashPaths([file]);
      if (moment === 'after the read') fs.appendFileSync(file, 'written after the read\n');
      run.hashed([0], outcomes);
      await run.finish(outcomes);
      const { reused } = await cachedRun(dir, location);
      assert.equal(reused, 2, moment);
    }
  });

  it('a cached file left out by identity stays out', async () => {
    const { dir, location } = await primed(4);
    const excluded = path.join(dir, 'f1.txt');
    const run = await hashTree(dir, { cache: location, excludeFiles: [excluded] });
    assert.equal(run.cache.reused, 3);
    assert.ok(!run.manifest.some(([p]) => p === 'f1.txt'));
    const { dev, ino } = fs.statSync(excluded, { bigint: true });
    const byIdentity = await hashTree(dir, { cache: location, excludeFiles: [{ dev, ino }] });
    assert.deepEqual(byIdentity.manifest, run.manifest);
  });

  it('files changed after the cache was made are hashed at once; vanished ones leave it', async () => {
    const { dir, location } = await primed(12);
    fs.writeFileSync(path.join(dir, 'f4.txt'), 'changed');
    fs.rmSync(path.join(dir, 'f5.txt'));
    const keys = () => cache.decode(fs.readFileSync(location), cache.rootBytesOf(dir)).keys;
    const before = keys();
    await cachedRun(dir, location);
    const after = keys();
    assert.equal(before.length, 12);
    assert.ok(before.includes('f5.txt') && before.includes('sub/f0.txt'));
    assert.ok(!after.includes('f5.txt') && after.length <= 11);
  });
});

describe('the two walks share one cache', () => {
  it('what either walk wrote answers the other, and an unchanged run leaves the file alone', async () => {
    const { dir, location } = makeTree(12);
    await settle();
    // Exclude patterns take the walk in a worker, which keeps entries in
    // the order it met them; the native walk keeps them in byte order.
    const workerRun = () => hashTree(dir, { cache: location, exclude: ['no-such-name'] });
    await workerRun();
    const nativeRun = await hashTree(dir, { cache: location });
    assert.equal(nativeRun.cache.reused, 12);
    assert.deepEqual(nativeRun.manifest, (await hashTree(dir)).manifest);
    // The native run rewrote the entries in its own order; the worker's walk
    // still takes them all.
    assert.equal((await workerRun()).cache.reused, 12);
    await hashTree(dir, { cache: location });
    const written = fs.statSync(location, { bigint: true });
    assert.equal((await hashTree(dir, { cache: location })).cache.reused, 12);
    const again = fs.statSync(location, { bigint: true });
    assert.equal(again.ino, written.ino);
    assert.equal(again.mtimeNs, written.mtimeNs);
  });
});

describe('statFiles', () => {
  it('answers every path of a NUL-joined list in order, and refuses what is not text', async () => {
    const native = require('../../lib/native/extensions.js').load();
    const { dir } = makeTree(3);
    const { records, errors } = await native.statFiles([`${dir}/f1.txt`, `${dir}/missing`, dir].join('\0'));
    assert.equal(records.length, 3 * cache.RECORD);
    assert.deepEqual([errors[0] === 0, errors[1] > 0, errors[2] === 0], [true, true, true]);
    const record = (i) => Buffer.from(records.buffer, records.byteOffset + i * cache.RECORD, cache.RECORD);
    const size = os.endianness() === 'LE' ? record(0).readBigUInt64LE(16) : record(0).readBigUInt64BE(16);
    assert.equal(size, 20n);
    assert.ok(record(1).equals(Buffer.alloc(cache.RECORD)), 'a failed path has an empty record');
    assert.notEqual(record(0)[40], record(2)[40], 'a file and a directory differ in kind');
    assert.equal((await native.statFiles('')).errors.length, 0);
    assert.throws(() => native.statFiles(42));
    assert.throws(() => native.statFiles(`${dir}/f1.txt\uD800`), /well-formed/);
  });
});

describe('racy entries', () => {
  // A record whose modification and change times are `m` and `c` (ns).
  function record(m, c) {
    const r = Buffer.alloc(cache.RECORD);
    const put = os.endianness() === 'LE' ? 'writeBigInt64LE' : 'writeBigInt64BE';
    r[put](m, 24);
    r[put](c, 32);
    return r;
  }
  it('are trusted only when both times lie a whole step of their file system before the probe', () => {
    const probe = 1_700_000_000_123_456_789n;
    assert.equal(cache.trusted(record(probe - 10n, probe - 7n), probe), true);
    assert.equal(cache.trusted(record(probe, probe - 7n), probe), false, 'written in the same tick');
    assert.equal(cache.trusted(record(probe - 7n, probe + 3n), probe), false, 'changed after the probe');
    // Whole seconds: the file system keeps no fraction, and a write later in
    // that second would keep the same time.
    const second = 1_700_000_000_000_000_000n;
    assert.equal(cache.trusted(record(second, probe - 7n), probe), false);
    assert.equal(cache.trusted(record(second - 2_000_000_000n, second - 1_000_000_000n), probe), true);
  });
});

describe('a cache that cannot be used is ignored with one warning', () => {
  it('cut short at every 97th byte or with bytes flipped', async () => {
    const { dir, location } = await primed(10);
    const good = fs.readFileSync(location);
    const random = makeRandom(23);
    const broken = [];
    for (let cut = 0; cut < good.length; cut += 97) broken.push(good.subarray(0, cut));
    for (let i = 0; i < 12; i++) {
      const bad = Buffer.from(good);
      bad[random.int(bad.length)] ^= 1 + random.int(255);
      broken.push(bad);
    }
    for (const bytes of broken) {
      fs.writeFileSync(location, bytes);
      const { warnings, reused } = await cachedRun(dir, location);
      assert.equal(warnings.length, 1, `${bytes.length} bytes`);
      assert.match(warnings[0], /ignored \((truncated|corrupt|not a cache file|made by another version).*hashing every file$/);
      assert.equal(reused, 0);
    }
    // The run that ignored it wrote a good one again.
    assert.equal((await cachedRun(dir, location)).reused, 10);
  });

  it('made for another directory, or by a newer version', async () => {
    const first = await primed(4);
    const second = makeTree(4);
    fs.copyFileSync(first.location, second.location);
    const { warnings } = await cachedRun(second.dir, second.location);
    assert.deepEqual(warnings.length, 1);
    assert.match(warnings[0], /made for another directory/);

    const newer = fs.readFileSync(first.location);
    const version = newer.readUInt32LE(8);
    newer.writeUInt32LE(version + 1, 8);
    fs.writeFileSync(first.location, newer);
    const later = await cachedRun(first.dir, first.location);
    assert.match(later.warnings.join('\n'), new RegExp(`another version of the format \\(${version + 1}, this is ${version}\\)`));
    assert.equal(later.reused, 0);
  });
});

describe('runs at once', () => {
  it('two processes writing one cache leave a valid one', async () => {
    const { dir, location } = await primed(40);
    fs.writeFileSync(path.join(dir, 'f7.txt'), 'seven');
    const script = `require(${JSON.stringify(path.join(root, 'tree.js'))})
      .hashTree(process.argv[1], { cache: process.argv[2] })
      .then((r) => { if (r.cache.warnings.length) throw new Error(r.cache.warnings.join()); });`;
    const once = () =>
      new Promise((resolve, reject) => {
        const child = spawn(process.execPath, ['-e', script, dir, location], { stdio: ['ignore', 'ignore', 'pipe'] });
        let err = '';
        child.stderr.on('data', (d) => (err += d));
        child.on('exit', (code) => (code === 0 ? resolve() : reject(new Error(err))));
      });
    for (let round = 0; round < 3; round++) await Promise.all([once(), once(), once()]);
    const { warnings } = await cachedRun(dir, location);
    assert.deepEqual(warnings, []);
    assert.deepEqual(fs.readdirSync(path.dirname(location)).filter((n) => n.endsWith('.tmp')), []);
  });
});

describe('where the cache lives', () => {
  it('in node_modules/.cache of the nearest package, else the user cache directory', () => {
    const pkg = path.join(tmp, 'pkg');
    fs.mkdirSync(path.join(pkg, 'src'), { recursive: true });
    fs.writeFileSync(path.join(pkg, 'package.json'), '{}');
    const inPackage = cache.defaultLocation(path.join(pkg, 'src'));
    assert.equal(path.dirname(inPackage), path.join(pkg, 'node_modules', '.cache', 'tov-engine'));
    assert.notEqual(inPackage, cache.defaultLocation(pkg), 'one cache per root');
    // A walk that enters node_modules would list its own cache there.
    assert.ok(!cache.defaultLocation(pkg, true).startsWith(pkg));
  });
});

describe('tov-engine manifest --cache', () => {
  it('prints what a plain run prints, warns once about a bad cache, and check refuses it', async () => {
    const { dir, location } = makeTree(5);
    const run = (...args) => spawnSync(process.execPath, [CLI, ...args], { encoding: 'utf8' });
    const plain = run('manifest', dir);
    fs.writeFileSync(location, 'garbage');
    const first = run('manifest', dir, '--cache-location', location);
    assert.equal(first.stdout, plain.stdout);
    assert.equal(first.stderr.trim().split('\n').length, 1);
    assert.match(first.stderr, /ignored/);
    const second = run('manifest', '--cache', '--cache-location', location, dir);
    assert.equal(second.stdout, plain.stdout);
    assert.equal(second.stderr, '');
    assert.equal(run('diff', dir, dir, '--cache-location', location).status, 0);
    assert.equal(run('check', '--cache', location).status, 2);
  });
});
