'use strict';
// batchFileHash at scale: 100,000 paths, mostly missing, and every file of a
// deep and wide tree, against digests computed in JavaScript.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { loadAddon, sha256Hex, makeTempDir, removeTempDir, makeRandom, seedFromEnv } = require('../support');

const addon = loadAddon();
const random = makeRandom(seedFromEnv());

test('100,000 paths, mostly missing, keep input order and drop what cannot be read', (t) => {
  const dir = makeTempDir('stress-batch-many');
  t.after(() => removeTempDir(dir));
  const real = [];
  for (let i = 0; i < 300; i++) {
    const file = path.join(dir, `real-${i}`);
    const bytes = Buffer.alloc(random.int(9000), i & 0xff);
    fs.writeFileSync(file, bytes);
    real.push([file, sha256Hex(bytes)]);
  }
  fs.mkdirSync(path.join(dir, 'sub'));
  const skipped = [
    path.join(dir, 'sub'),
    path.join(dir, 'real-0', 'below-a-file'),
    '',
    `${dir}/with\0nul`,
    'y'.repeat(5000),
    path.join(dir, 'missing'),
  ];

  const paths = [];
  const expected = [];
  for (let i = 0; i < 100_000; i++) {
    if (random.chance(0.05)) {
      const [file, digest] = random.pick(real);
      paths.push(file);
      expected.push([file, digest]);
    } else if (random.chance(0.01)) {
      paths.push(random.pick(skipped));
    } else {
      paths.push(path.join(dir, `missing-${i}`));
    }
  }
  for (let round = 0; round < 3; round++) {
    const result = addon.batchFileHash(paths);
    assert.equal(result.length, expected.length);
    assert.deepEqual(result, expected);
  }
  // And the result feeds the manifest functions unchanged.
  const result = addon.batchFileHash(paths);
  assert.deepEqual(addon.merkleDiff(result, result), { added: [], modified: [], deleted: [] });
  assert.match(addon.merkleRoot(result), /^[0-9a-f]{64}$/);
});

// A tree 60 directories deep with files at every level and a wide level at
// the bottom; paths run to several hundred bytes.
function makeTree(root) {
  const files = [];
  let level = root;
  for (let depth = 0; depth < 60; depth++) {
    level = path.join(level, `level-${depth}-${'d'.repeat(depth % 7)}`);
    fs.mkdirSync(level);
    for (let k = 0; k < 3; k++) {
      const file = path.join(level, `file-${k}.txt`);
      const bytes = Buffer.from(`${depth}:${k}:`.repeat(depth * 50 + k));
      fs.writeFileSync(file, bytes);
      files.push([file, sha256Hex(bytes)]);
    }
  }
  for (let k = 0; k < 3000; k++) {
    const file = path.join(level, `wide-${k}`);
    const bytes = Buffer.from(String(k));
    fs.writeFileSync(file, bytes);
    files.push([file, sha256Hex(bytes)]);
  }
  // Links: to a file deep down, to a directory, and to nothing.
  fs.symlinkSync(files[files.length - 1][0], path.join(root, 'to-file'));
  fs.symlinkSync(level, path.join(root, 'to-dir'));
  fs.symlinkSync(path.join(root, 'nowhere'), path.join(root, 'dangling'));
  files.push([path.join(root, 'to-file'), files[files.length - 1][1]]);
  return { files, deepest: level };
}

function walk(dir, out = []) {
  for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
    const full = path.join(dir, entry.name);
    out.push(full);
    if (entry.isDirectory()) walk(full, out);
  }
  return out;
}

test('every entry of a deep and wide tree', (t) => {
  const root = makeTempDir('stress-batch-tree');
  t.after(() => removeTempDir(root));
  const { files, deepest } = makeTree(root);
  const digests = new Map(files);

  // Every directory, file and link of the tree, in walk order: directories
  // and the dangling link are dropped, files and the file link kept.
  const entries = walk(root);
  const expected = entries.filter((entry) => digests.has(entry)).map((entry) => [entry, digests.get(entry)]);
  assert.equal(expected.length, files.length);
  assert.deepEqual(addon.batchFileHash(entries), expected);

  // Relative paths resolve against the current directory.
  const relative = entries.map((entry) => path.relative(process.cwd(), entry));
  assert.deepEqual(
    addon.batchFileHash(relative).map(([, digest]) => digest),
    expected.map(([, digest]) => digest),
  );

  // A path longer than the system takes is skipped, not an error.
  const tooLong = path.join(deepest, `${'n'.repeat(250)}/`.repeat(20), 'file');
  assert.deepEqual(addon.batchFileHash([tooLong, files[0][0]]), [files[0]]);
});
