'use strict';
// Builds the binary of every target that this machine can build into
// prebuilds/<target>/tov_engine_native.node: natively for linux-x64, with
// the cross toolchains under cmake/toolchains/ for the others. Run by
// `npm run prebuilds` and before packing, so a tarball never carries stale
// binaries. `node scripts/prebuilds.js linux-arm64` builds one target.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { TARGETS, BINARY_NAME, prebuiltPath } = require('../lib/prebuilds.js');
const { ensureDebianPackages } = require('./apt.js');

const root = path.join(__dirname, '..');

// How each target is built here. A target whose toolchain file is not in the
// tree is skipped with a line saying so.
const BUILDS = {
  'linux-x64': { toolchain: null, packages: ['g++', 'cmake', 'ninja-build', 'libssl-dev'] },
  'linux-arm64': {
    toolchain: 'cmake/toolchains/aarch64-linux-gnu.cmake',
    packages: ['g++-aarch64-linux-gnu', 'cmake', 'ninja-build', 'libssl-dev:arm64'],
  },
  'win32-x64': {
    toolchain: 'cmake/toolchains/mingw-w64-x86_64.cmake',
    packages: ['g++-mingw-w64-x86-64-posix', 'cmake', 'ninja-build'],
  },
};

function run(command, args) {
  console.log(`+ ${command} ${args.join(' ')}`);
  const r = spawnSync(command, args, { stdio: 'inherit', cwd: root });
  if (r.error) throw r.error;
  if (r.status !== 0) throw new Error(`${command} failed with status ${r.status}`);
}

function buildDirOf(id) {
  return path.join(root, 'build-prebuild', id);
}

function configure(id, build, extra = []) {
  const dir = buildDirOf(id);
  const args = [
    '-S', root, '-B', dir, '-G', 'Ninja',
    '-DCMAKE_BUILD_TYPE=Release',
    '-DTOV_PORTABLE=ON',
    `-DCMAKE_JS_INC=${require('node-api-headers').include_dir}`,
    '-DCMAKE_CXX_FLAGS=-DBUILDING_NODE_EXTENSION',
    `-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=${path.join(dir, 'Release')}`,
    ...extra,
  ];
  if (build.toolchain) args.push(`-DCMAKE_TOOLCHAIN_FILE=${path.join(root, build.toolchain)}`);
  run('cmake', args);
  return dir;
}

function buildTarget(target) {
  const build = BUILDS[target.id];
  if (build.toolchain && !fs.existsSync(path.join(root, build.toolchain))) {
    console.log(`prebuild: skipping ${target.id}: ${build.toolchain} is not in this tree`);
    return null;
  }
  if (!build.toolchain && !(process.platform === target.platform && process.arch === target.arch)) {
    console.log(`prebuild: skipping ${target.id}: it is built natively, and this is ${process.platform}-${process.arch}`);
    return null;
  }
  ensureDebianPackages(build.packages);
  const started = Date.now();
  const dir = configure(target.id, build);
  run('cmake', ['--build', dir, '--target', 'tov_engine_native', '--parallel']);
  const output = path.join(dir, 'Release', BINARY_NAME);
  const destination = prebuiltPath(target.id, root);
  fs.mkdirSync(path.dirname(destination), { recursive: true });
  fs.copyFileSync(output, destination);
  const size = fs.statSync(destination).size;
  console.log(`prebuild: ${target.id}: ${path.relative(root, destination)}, ${(size / 1e6).toFixed(2)} MB, ` +
    `${((Date.now() - started) / 1000).toFixed(0)} s`);
  return destination;
}

function main(ids) {
  const unknown = ids.filter((id) => !BUILDS[id]);
  if (unknown.length) throw new Error(`unknown target ${unknown.join(', ')}; targets: ${Object.keys(BUILDS).join(', ')}`);
  const chosen = ids.length ? TARGETS.filter((t) => ids.includes(t.id)) : TARGETS;
  for (const target of chosen) {
    const stale = prebuiltPath(target.id, root);
    if (!buildTarget(target) && fs.existsSync(stale)) {
      // An old binary of a target we cannot build now must not be packed.
      fs.rmSync(stale);
      console.log(`prebuild: removed the stale ${path.relative(root, stale)}`);
    }
  }
}

if (require.main === module) {
  try {
    main(process.argv.slice(2));
  } catch (err) {
    console.error(`prebuild: ${err.message}`);
    process.exit(1);
  }
}

module.exports = { BUILDS, buildDirOf, configure };
