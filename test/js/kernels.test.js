'use strict';
// TOV_ENGINE_KERNEL: every kernel this processor runs gives the same
// results, and a name it cannot run warns once and changes nothing.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const ROOT = path.resolve(__dirname, '..', '..');
const SCRIPT = `
  const addon = require(${JSON.stringify(ROOT)});
  const files = ['README.md', 'CONTRIBUTING.md', 'LICENSE', 'package.json'].map((f) => require('node:path').join(${JSON.stringify(ROOT)}, f));
  const text = 'fn main() { println!("h\\u00e9llo, w\\u00f6rld"); } '.repeat(500) + '\\ud800 tail';
  process.stdout.write(JSON.stringify([
    addon.countTokens(text), addon.truncateToTokens(text, 77).length, addon.sha256String(text),
    addon.batchFileHash(files),
  ]));`;

function run(kernel) {
  const env = { ...process.env };
  if (kernel === undefined) delete env.TOV_ENGINE_KERNEL;
  else env.TOV_ENGINE_KERNEL = kernel;
  const child = spawnSync(process.execPath, ['-e', SCRIPT], { env, encoding: 'utf8', timeout: 60000 });
  assert.equal(child.status, 0, child.stderr);
  return child;
}

test('every kernel this processor runs gives the results of the best one', () => {
  const kernels = require('../../lib/native/extensions.js').load().kernels();
  assert.ok(kernels.includes('scalar'), JSON.stringify(kernels));
  const best = run(undefined);
  for (const kernel of kernels) {
    const forced = run(kernel);
    assert.equal(forced.stderr, '', kernel);
    assert.deepEqual(JSON.parse(forced.stdout), JSON.parse(best.stdout), kernel);
  }
});

test('an unknown kernel warns once on standard error and changes nothing', () => {
  const best = run(undefined);
  for (const kernel of ['bogus', '', 'AVX2', 'sse2 ']) {
    const forced = run(kernel);
    assert.deepEqual(JSON.parse(forced.stdout), JSON.parse(best.stdout), kernel);
    const lines = forced.stderr.split('\n').filter(Boolean);
    assert.equal(lines.length, 1, forced.stderr);
    assert.match(lines[0], /^tov-engine-native: TOV_ENGINE_KERNEL=".*" names no kernel this processor runs \(scalar.*\); using the best of each$/);
  }
});
