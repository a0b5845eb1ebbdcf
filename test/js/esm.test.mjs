// The package loaded by its own name through the "exports" map, both as an
// ES module and through require.
import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import native, * as namespace from 'tov-engine-native';
import { sha256, merkleRoot, merkleDiff, fileHash, batchFileHash } from 'tov-engine-native';

const require = createRequire(import.meta.url);
const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const NAMES = [
  'sha256', 'fileHash', 'merkleDiff', 'merkleRoot', 'countTokens',
  'sha256String', 'nativeVersion', 'batchFileHash', 'truncateToTokens',
];

describe('require', () => {
  it('returns the addon exports object itself: nine functions in table order, nothing else', () => {
    const cjs = require('tov-engine-native');
    assert.equal(cjs, require(require(path.join(root, 'lib', 'prebuilds.js')).resolveBinary().file));
    assert.equal(cjs, require(root));
    assert.deepEqual(Reflect.ownKeys(cjs), NAMES);
    for (const name of NAMES) assert.equal(typeof cjs[name], 'function', name);
  });
});

describe('import', () => {
  it('gives the nine functions by name and the exports object as default', () => {
    const cjs = require('tov-engine-native');
    assert.equal(native, cjs);
    assert.deepEqual(Object.keys(namespace).filter((k) => k !== 'default').sort(), [...NAMES].sort());
    for (const name of NAMES) assert.equal(namespace[name], cjs[name], name);
  });

  it('named imports work', async () => {
    assert.equal(sha256(Buffer.from('abc')), 'ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad');
    const manifest = batchFileHash([path.join(root, 'package.json')]);
    assert.equal(manifest[0][1], await fileHash(path.join(root, 'package.json')));
    assert.equal(merkleRoot([['b', '2'], ['a', '1']]), '2bc11e86e8348c7c62f11e681435b5d013a262e5a9f3b8ce61c25831a516a45e');
    assert.deepEqual(merkleDiff(manifest, []), { added: [], modified: [], deleted: [manifest[0][0]] });
  });

  it('loads in a fresh process from outside the package directory', () => {
    // A file URL: on Windows an absolute path is not a valid import specifier.
    const entry = pathToFileURL(path.join(root, 'index.mjs')).href;
    const code = `import { nativeVersion } from ${JSON.stringify(entry)}; console.log(nativeVersion());`;
    // A script file rather than --input-type: every host runs a file.
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tov-esm-'));
    try {
      fs.writeFileSync(path.join(dir, 'load.mjs'), code);
      const out = execFileSync(process.execPath, [path.join(dir, 'load.mjs')], { cwd: dir, encoding: 'utf8' });
      assert.equal(out, 'tov-engine-native/1.0.0\n');
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});
