'use strict';
// What can be proven here of the binaries that Zig cross-builds for macOS
// and musl, which no host on this machine runs:
//   linux, posix   the whole project built with the same Zig (clang, lld,
//                  libc++) for Linux x86-64, with the Linux platform layer
//                  and with the portable one (TOV_PLATFORM=posix, the one
//                  macOS builds on), passes `npm test`: native and
//                  JavaScript tests;
//   musl-x64       the native unit tests built for x86_64-linux-musl run
//                  under Debian's musl loader (/lib/ld-musl-x86_64.so.1);
//   musl-arm64     the same for aarch64-linux-musl under qemu-aarch64.
// All use the SHA-256 backend of the musl binaries (the project's own block
// kernels). `npm run test:zig [leg ...]`.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { zigWrappers } = require('./prebuilds.js');
const { ensureDebianPackages } = require('./apt.js');

const root = path.join(__dirname, '..');
const GTEST_SOURCES = '/usr/src/googletest';
// Left out under emulation, and run natively in the other legs: the digest
// of a sparse file of several GiB, which takes minutes there, and the death
// tests, which run the test binary again through execv, an arm64 program
// that user-mode QEMU cannot start from inside one.
const SKIPPED_UNDER_QEMU = '-FileDigest.SparseFileOfSeveralGibibytesInBoundedMemory:*DeathTest.*';

const LEGS = {
  linux: { triple: 'x86_64-linux-gnu.2.28', processor: 'x86_64', platform: null, npmTest: true },
  posix: { triple: 'x86_64-linux-gnu.2.28', processor: 'x86_64', platform: 'posix', npmTest: true },
  'musl-x64': { triple: 'x86_64-linux-musl', processor: 'x86_64', run: [], dynamic: true },
  'musl-arm64': { triple: 'aarch64-linux-musl', processor: 'aarch64', run: ['qemu-aarch64'], filter: SKIPPED_UNDER_QEMU },
};

function run(command, args, options = {}) {
  console.log(`+ ${command} ${args.join(' ')}`);
  const r = spawnSync(command, args, { stdio: 'inherit', cwd: root, ...options });
  if (r.error) throw r.error;
  return r.status === 0;
}

function build(id, leg) {
  const dir = path.join(root, 'build-zig', id);
  fs.mkdirSync(dir, { recursive: true });
  const args = [
    '-S', root, '-B', dir, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=Release',
    `-DCMAKE_TOOLCHAIN_FILE=${path.join(root, 'cmake', 'toolchains', 'zig.cmake')}`,
    `-DTOV_ZIG_WRAPPERS=${zigWrappers(dir, leg.triple)}`, '-DTOV_ZIG_SYSTEM=Linux', `-DTOV_ZIG_PROCESSOR=${leg.processor}`,
    '-DTOV_DIGEST=portable', `-DTOV_GTEST_SOURCE_DIR=${GTEST_SOURCES}`, `-DTOV_PLATFORM=${leg.platform || ''}`,
  ];
  if (leg.dynamic) {
    // Zig links a musl program statically unless it needs a shared library:
    // an empty one makes the tests a dynamic program that Debian's musl
    // loader (/lib/ld-musl-x86_64.so.1) starts, as it would the addon.
    const zig = path.join(dir, 'zig-wrappers');
    fs.writeFileSync(path.join(dir, 'empty.c'), 'int tov_empty;\n');
    if (!run(path.join(zig, 'cc'), ['-shared', '-o', path.join(dir, 'libtov_empty.so'), path.join(dir, 'empty.c')])) return null;
    args.push(`-DCMAKE_EXE_LINKER_FLAGS=-L${dir} -ltov_empty -Wl,-rpath,${dir}`);
  }
  const targets = ['native_tests'];
  if (leg.npmTest) {
    args.push(`-DCMAKE_JS_INC=${require('node-api-headers').include_dir}`, '-DCMAKE_CXX_FLAGS=-DBUILDING_NODE_EXTENSION',
      `-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=${path.join(dir, 'Release')}`);
    targets.push('tov_engine_native');
  }
  if (!run('cmake', args)) return null;
  return run('cmake', ['--build', dir, '--parallel', '--target', ...targets]) ? dir : null;
}

// Zig's copies of the glibc stat family bring an errno of their own (the
// errno.o of its libc_nonshared.a), which the program never reads: a binary
// that links one reports error 0 for its failed calls. The names of the
// binaries that define such an errno.
function withPrivateErrno(files) {
  return files.filter((file) => {
    const r = spawnSync('nm', [file], { encoding: 'utf8', maxBuffer: 64 * 1024 * 1024 });
    if (r.error || r.status !== 0) throw new Error(`nm ${file}: ${r.error?.message || r.stderr}`);
    return /^\S+ [bBdD] (__libc_)?errno$/m.test(r.stdout);
  });
}

// `npm test` in a copy of the repository whose build/ is the Zig build.
function npmTest(buildDir) {
  const stage = fs.mkdtempSync(path.join(os.tmpdir(), 'tov-zig-'));
  try {
    for (const entry of fs.readdirSync(root)) {
      if (entry === 'node_modules' || entry === '.git' || entry.startsWith('build')) continue;
      fs.cpSync(path.join(root, entry), path.join(stage, entry), { recursive: true });
    }
    fs.symlinkSync(path.join(root, 'node_modules'), path.join(stage, 'node_modules'), 'dir');
    fs.symlinkSync(buildDir, path.join(stage, 'build'), 'dir');
    return run(process.execPath, [path.join(stage, 'scripts', 'test.js')], { cwd: stage });
  } finally {
    fs.rmSync(stage, { recursive: true, force: true });
  }
}

function main(ids) {
  const chosen = ids.length ? ids : Object.keys(LEGS);
  const unknown = chosen.filter((id) => !LEGS[id]);
  if (unknown.length) throw new Error(`unknown leg ${unknown.join(', ')}; legs: ${Object.keys(LEGS).join(' ')}`);
  ensureDebianPackages(['cmake', 'ninja-build', 'googletest', 'musl', 'qemu-user']);
  const results = [];
  for (const id of chosen) {
    const leg = LEGS[id];
    const started = Date.now();
    const dir = build(id, leg);
    let ok = Boolean(dir);
    if (ok && leg.npmTest) {
      const linked = withPrivateErrno([path.join(dir, 'native_tests'), path.join(dir, 'Release', 'tov_engine_native.node')]);
      if (linked.length) console.log(`test:zig: ${linked.join(', ')} link Zig's private errno`);
      ok = !linked.length && npmTest(dir);
    } else if (ok) {
      const tests = path.join(dir, 'native_tests');
      const filter = leg.filter ? [`--gtest_filter=${leg.filter}`] : [];
      const [command, ...prefix] = leg.run.length ? leg.run : [tests];
      ok = run(command, [...prefix, ...(leg.run.length ? [tests] : []), ...filter], { cwd: dir });
    }
    results.push({ id, ok, seconds: (Date.now() - started) / 1000 });
    console.log(`# test:zig ${id}: ${ok ? 'passed' : 'FAILED'} in ${((Date.now() - started) / 1000).toFixed(0)} s`);
  }
  const failed = results.filter((r) => !r.ok).length;
  console.log(`${results.length - failed} passed, ${failed} failed`);
  return failed ? 1 : 0;
}

try {
  process.exitCode = main(process.argv.slice(2));
} catch (err) {
  console.error(`test:zig: ${err.message}`);
  process.exitCode = 1;
}
