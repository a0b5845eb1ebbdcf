'use strict';
// The package's install step: nothing to do when a prebuilt binary for this
// platform is shipped and loads; otherwise (or when asked to, see
// buildFromSourceRequested) build the addon from source with cmake-js.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const prebuilds = require('./prebuilds.js');

const root = path.join(__dirname, '..');

function prebuiltThatLoads() {
  const target = prebuilds.targetForHost();
  if (!target) return null;
  const file = prebuilds.prebuiltPath(target.id, root);
  try {
    require(file);
    return target;
  } catch (err) {
    if (err && err.code !== 'MODULE_NOT_FOUND') {
      console.log(`tov-engine-native: the prebuilt binary for ${target.id} does not load here ` +
        `(${String(err.message).split('\n')[0]}); building from source`);
    }
    return null;
  }
}

function buildFromSource() {
  const cmakeJs = require.resolve('cmake-js/bin/cmake-js');
  const r = spawnSync(process.execPath, [cmakeJs, 'compile', '--out', 'build'], { cwd: root, stdio: 'inherit' });
  if (r.error) throw r.error;
  return r.status ?? 1;
}

// A clone of the repository (the tests are not in the package) builds from
// source: its native unit tests and sanitizer builds need the build tree.
function isDevelopmentCheckout() {
  return fs.existsSync(path.join(root, 'test', 'native'));
}

function main() {
  if (!prebuilds.buildFromSourceRequested() && !isDevelopmentCheckout()) {
    const target = prebuiltThatLoads();
    if (target) {
      console.log(`tov-engine-native: using the prebuilt binary for ${target.id}`);
      return 0;
    }
  }
  return buildFromSource();
}

process.exitCode = main();
