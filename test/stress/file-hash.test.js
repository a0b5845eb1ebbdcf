'use strict';
// Thousands of fileHash calls in flight at once: every promise settles, with
// the digest of the file or a read error, whatever the mix of sizes and
// failures, and the process stays usable afterwards.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { loadAddon, NUL_IN_PATH, sha256Hex, makeTempDir, removeTempDir, makeRandom, seedFromEnv, EMPTY_DIGEST } = require('../support');

const addon = loadAddon();
const random = makeRandom(seedFromEnv());

// Sizes around the read sizes and digest block boundaries, and a few large
// ones that take several reads.
const SIZES = [0, 1, 55, 56, 63, 64, 65, 4095, 4096, 4097, 16384, 65536, 262143, 262145, 1 << 20, (3 << 20) + 7];

function makeFiles(dir) {
  const files = [];
  SIZES.forEach((size, i) => {
    const file = path.join(dir, `file-${i}.bin`);
    const bytes = Buffer.alloc(size);
    for (let k = 0; k < size; k += 4096) bytes[k] = (k * 31 + i) & 0xff;
    fs.writeFileSync(file, bytes);
    files.push({ file, digest: sha256Hex(bytes) });
  });
  return files;
}

test('5000 fileHash calls in flight settle with the right outcome', async (t) => {
  const dir = makeTempDir('stress-filehash');
  t.after(() => removeTempDir(dir));
  const files = makeFiles(dir);
  fs.mkdirSync(path.join(dir, 'a-directory'));
  const failing = [
    [path.join(dir, 'missing'), /^Read error: No such file or directory \(os error 2\)$/],
    [path.join(dir, 'a-directory'), /^Read error: Is a directory \(os error 21\)$/],
    [path.join(dir, 'file-0.bin', 'below-a-file'), /^Read error: Not a directory \(os error 20\)$/],
    [`${dir}/nul\0inside`, new RegExp(`^Read error: ${NUL_IN_PATH}$`)],
    ['x'.repeat(5000), /^Read error: File name too long \(os error 36\)$/],
  ];

  for (let round = 0; round < 2; round++) {
    const calls = [];
    for (let i = 0; i < 5000; i++) {
      if (random.chance(0.3)) {
        const [file, message] = random.pick(failing);
        calls.push(
          addon.fileHash(file).then(
            () => assert.fail(`fileHash(${file}) resolved`),
            (error) => {
              assert.equal(error.code, 'GenericFailure');
              assert.match(error.message, message);
            },
          ),
        );
      } else {
        const { file, digest } = random.pick(files);
        calls.push(addon.fileHash(file).then((got) => assert.equal(got, digest, file)));
      }
    }
    const outcomes = await Promise.allSettled(calls);
    const failures = outcomes.filter((outcome) => outcome.status === 'rejected');
    assert.deepEqual(failures.slice(0, 3), [], `${failures.length} of ${calls.length} calls went wrong`);
  }
});

test('calls made from inside settle callbacks, and a burst that is never awaited', async (t) => {
  const dir = makeTempDir('stress-filehash-chain');
  t.after(() => removeTempDir(dir));
  const file = path.join(dir, 'empty');
  fs.writeFileSync(file, '');

  // Chains: each settlement starts the next call, 200 chains deep 20.
  const chain = async () => {
    for (let i = 0; i < 20; i++) assert.equal(await addon.fileHash(file), EMPTY_DIGEST);
  };
  await Promise.all(Array.from({ length: 200 }, chain));

  // Promises dropped on the floor must not keep anything alive or crash
  // when they settle with nobody listening.
  for (let i = 0; i < 2000; i++) addon.fileHash(i % 2 ? file : path.join(dir, 'missing')).catch(() => {});
  global.gc?.();
  assert.equal(await addon.fileHash(file), EMPTY_DIGEST);
});

test('a file that changes while many reads of it are in flight', async (t) => {
  const dir = makeTempDir('stress-filehash-race');
  t.after(() => removeTempDir(dir));
  const file = path.join(dir, 'changing');
  const versions = [Buffer.alloc(0), Buffer.alloc(300000, 1), Buffer.alloc(70000, 2)];
  const digests = new Set(versions.map((bytes) => sha256Hex(bytes)));
  fs.writeFileSync(file, versions[1]);

  const calls = [];
  for (let i = 0; i < 1500; i++) {
    calls.push(addon.fileHash(file).then(
      (digest) => ({ digest }),
      (error) => ({ error }),
    ));
    // The file is replaced by a rename, so every read opens one whole
    // version of it.
    if (i % 100 === 0) {
      const next = versions[(i / 100) % versions.length];
      const temporary = `${file}.tmp`;
      fs.writeFileSync(temporary, next);
      fs.renameSync(temporary, file);
    }
  }
  for (const outcome of await Promise.all(calls)) {
    assert.equal(outcome.error, undefined);
    assert.ok(digests.has(outcome.digest), `digest ${outcome.digest} of no version of the file`);
  }
});
