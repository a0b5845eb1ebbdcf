'use strict';
// Dozens of worker threads load the addon, call every function and are
// terminated mid-flight (or end themselves, or finish). The harness runs in
// a child process so that a crash shows as its exit status.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const path = require('node:path');

function runHarness(mode, waves, perWave) {
  const result = spawnSync(process.execPath, [path.join(__dirname, 'worker-harness.js'), mode, String(waves), String(perWave)], {
    encoding: 'utf8',
    timeout: 180_000,
    env: process.env,
  });
  const output = `${result.stdout}\n${result.stderr}`;
  assert.equal(result.signal, null, `harness killed by ${result.signal}:\n${output}`);
  assert.equal(result.status, 0, `harness failed:\n${output}`);
  assert.match(result.stdout, /^harness ok/m);
}

test('workers come and go while the main thread holds the addon', () => {
  runHarness('with-main', 6, 8);
});

test('workers come and go with no other environment, so the runtime is rebuilt', () => {
  runHarness('workers-only', 6, 8);
});
