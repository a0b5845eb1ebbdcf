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

// Once more per vector kernel this processor runs, each forced in turn, for
// the functions that have such kernels: digests and the batch's lanes, token
// counts and cuts, the UTF-16 conversion under both, and the hasher's
// single lane.
const kernelFiles = ['digest.test.js', 'tokens.test.js', 'batch.test.js', 'hasher.test.js'].map((name) => path.join('test', 'js', name));
const listed = spawnSync(process.execPath, ['-e',
  "process.stdout.write(JSON.stringify(require('./lib/native/extensions.js').load().kernels()))"],
{ cwd: root, encoding: 'utf8' });
if (listed.status !== 0) {
  console.error(`could not list the kernels of this processor: ${listed.stderr}`);
  failed = true;
} else {
  for (const kernel of JSON.parse(listed.stdout)) {
    console.log(`# TOV_ENGINE_KERNEL=${kernel}`);
    run(process.execPath, ['--test', '--test-reporter=dot', ...kernelFiles],
      { env: { ...process.env, TOV_ENGINE_KERNEL: kernel } });
  }
}

process.exit(failed ? 1 : 0);
