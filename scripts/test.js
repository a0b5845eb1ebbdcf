'use strict';
// Runs every test: the native unit tests (GoogleTest through CTest) and the
// JavaScript tests (node:test). Exits non-zero when any of them fails.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');
const buildDir = path.join(root, 'build');
let failed = false;

function run(command, args, options = {}) {
  const result = spawnSync(command, args, { stdio: 'inherit', cwd: root, ...options });
  if (result.error) throw result.error;
  if (result.status !== 0) failed = true;
}

const nativeTests = path.join(buildDir, 'native_tests');
if (fs.existsSync(nativeTests)) {
  run('ctest', ['--test-dir', buildDir, '--output-on-failure']);
} else {
  console.error('native tests were not built (GoogleTest not found); skipping them');
}

const testDir = path.join(root, 'test', 'js');
const files = fs.readdirSync(testDir)
  .filter((name) => name.endsWith('.test.js') || name.endsWith('.test.mjs'))
  .sort()
  .map((name) => path.join('test', 'js', name));
run(process.execPath, ['--test', ...files]);

process.exit(failed ? 1 : 0);
