'use strict';
// Builds the addon from source into build/Release/, where the loader looks
// first. Nothing runs this on install: users run it by hand when no binary
// package fits their system (the loader's error names this command), and a
// clone of the repository runs it through `prepare`, so that `npm install`
// there leaves the build tree its native tests and sanitizer builds need.
// Needs a C++20 compiler, CMake >= 3.20 and OpenSSL's libcrypto headers;
// cmake-js comes from node_modules in a clone, else from the npm registry at
// the version the repository pins.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');
const CMAKE_JS = 'cmake-js@8.0.0';

function cmakeJsCommand() {
  try {
    return [process.execPath, require.resolve('cmake-js/bin/cmake-js', { paths: [root] })];
  } catch {
    const npx = process.platform === 'win32' ? 'npx.cmd' : 'npx';
    return [npx, '--yes', `--package=${CMAKE_JS}`, '--', 'cmake-js'];
  }
}

// `npm pack` and `npm publish` run `prepare` too; the published package
// carries no build, so they skip it.
function skipped(env) {
  return process.argv.includes('--prepare') && ['pack', 'publish'].includes(env.npm_command);
}

function main() {
  if (skipped(process.env)) return 0;
  if (!fs.existsSync(path.join(root, 'CMakeLists.txt'))) {
    console.error('tov-engine-native: this copy carries no sources to build');
    return 1;
  }
  const [command, ...args] = cmakeJsCommand();
  const r = spawnSync(command, [...args, 'compile', '--out', 'build'], {
    cwd: root,
    stdio: 'inherit',
    shell: process.platform === 'win32' && command.endsWith('.cmd'),
  });
  if (r.error) throw r.error;
  return r.status ?? 1;
}

process.exitCode = main();
