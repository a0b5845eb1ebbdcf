'use strict';
// `npm run test:hosts`: the JavaScript suite against the prebuilt binaries,
// on every host they are made for: Node 22, 24 and 26, Bun and Deno on
// x86-64, and Node 24 on arm64 under user-mode QEMU (with the native unit
// tests built for arm64). Each host comes from a pinned npm package
// (hosts.js). The suite runs in a staged copy of the package that has no
// source build, so the loader has to pick the prebuilt binary.
//
//   node test/hosts/run.js [leg ...]    legs: checks node-22 node-24 node-26
//                                       bun deno node-24-arm64 native-arm64
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { HOSTS, ensureHost } = require('./hosts.js');
const prebuilds = require('../../lib/prebuilds.js');
const { ensureDebianPackages } = require('../../scripts/apt.js');

const root = path.join(__dirname, '..', '..');
const LEG_TIMEOUT_MS = 20 * 60 * 1000;
// The loader comes from the cross sysroot (-L), but without a library path
// it takes libc.so.6 from the host's ld.so.cache, which lists the multiarch
// libc6:arm64 that libssl-dev:arm64 and libgtest-dev:arm64 bring in. The two
// are different Debian builds of glibc 2.36 whose private loader state does
// not match: the first pthread_create then walks a broken stack-cache list
// forever, which is why node answered --version (no threads) and spun on
// -e. The library path keeps loader and libc from the same build.
const ARM64_SYSROOT = '/usr/aarch64-linux-gnu';
const QEMU = ['qemu-aarch64', '-L', ARM64_SYSROOT, '-E', `LD_LIBRARY_PATH=${ARM64_SYSROOT}/lib`];

// Under emulation the suite runs in one process (--test-isolation=none):
// user-mode QEMU cannot start the arm64 children that node --test and the
// files that spawn process.execPath would start. These files cover every
// function, argument conversion and error, and texts of many windows.
const ARM64_FILES = [
  'digest.test.js', 'file-hash.test.js', 'manifest.test.js', 'tokens.test.js', 'conversions.test.js',
  'exports.test.js', 'hardening-regressions.test.js', 'long-texts.test.js', 'hasher.test.js',
];
// The tests in those files that do start a child of process.execPath: under
// emulation the child is the arm64 node, which the x86-64 kernel cannot
// execute (the shell it falls back to reads the ELF as a script). They are
// left out by name and run on every x86-64 host; node --test does not count
// a test that a pattern leaves out, so the leg's line says how many. A
// renamed test is no longer matched and fails with that shell's syntax
// error, so the list cannot go stale unnoticed.
const ARM64_SKIPPED = [
  'a 300 MB Buffer throws its conversion error at once, for every text function',
  'a String.prototype.slice replaced before loading cannot stand for the result',
];

// Failures that belong to another piece of work, per host and test file. A
// listed file still runs; its failures are reported and do not fail the
// leg, and a listed file that passes says so, so the entry can go.
const KNOWN_GAPS = {
  deno: {
    'test/js/cache.test.js':
      'cached runs are not answered from the cache on this host (every file is hashed again: the manifest is right, the run is not faster)',
    'test/js/cli.test.js': "the command's directory walk of names that are not UTF-8",
    'test/js/tree.test.js':
      'names that are not UTF-8 come back from readdirSync with U+FFFD; an -e script has no dynamic import()',
  },
};

function escapeRegExp(text) {
  return text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
}

function testFiles(dir) {
  return fs.readdirSync(path.join(dir, 'test', 'js'))
    .filter((name) => name.endsWith('.test.js') || name.endsWith('.test.mjs'))
    .sort();
}

function ensurePrebuilt(ids) {
  const missing = ids.filter((id) => !fs.existsSync(prebuilds.prebuiltPath(id, root)));
  if (missing.length === 0) return;
  const r = spawnSync(process.execPath, [path.join(root, 'scripts', 'prebuilds.js'), ...missing], { stdio: 'inherit' });
  if (r.status !== 0) throw new Error(`could not build ${missing.join(', ')}`);
}

// The package as it installs (its `files` plus the tests), with
// node_modules linked for the type checks.
function stagePackage() {
  const stage = fs.mkdtempSync(path.join(os.tmpdir(), 'tov-hosts-'));
  const manifest = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
  for (const entry of [...manifest.files, 'package.json', 'test', 'prebuilds']) {
    const from = path.join(root, entry);
    if (fs.existsSync(from)) fs.cpSync(from, path.join(stage, entry), { recursive: true });
  }
  fs.symlinkSync(path.join(root, 'node_modules'), path.join(stage, 'node_modules'), 'dir');
  const found = prebuilds.resolveBinary(stage);
  if (!found || found.kind !== 'prebuilt') throw new Error(`the staged package at ${stage} has no prebuilt binary to load`);
  return stage;
}

function execute(command, args, options) {
  const started = Date.now();
  const r = spawnSync(command, args, {
    encoding: 'utf8',
    maxBuffer: 256 * 1024 * 1024,
    timeout: LEG_TIMEOUT_MS,
    ...options,
    env: { ...process.env, NO_COLOR: '1', ...(options.env || {}) },
  });
  return { ...r, seconds: (Date.now() - started) / 1000, output: `${r.stdout || ''}${r.stderr || ''}` };
}

// Each runner's own closing lines.
function counts(kind, output) {
  const number = (re) => {
    const all = [...output.matchAll(re)];
    return all.length ? Number(all[all.length - 1][1]) : null;
  };
  if (kind === 'node') return { pass: number(/^# pass (\d+)/gm), fail: number(/^# fail (\d+)/gm), skipped: number(/^# skipped (\d+)/gm) };
  if (kind === 'bun') return { pass: number(/^\s*(\d+) pass$/gm), fail: number(/^\s*(\d+) fail$/gm) };
  // Deno counts node:test suites as tests and their cases as steps.
  const m = output.match(/(?:ok|FAILED) \| (\d+) passed(?: \((\d+) steps?\))? \| (\d+) failed(?: \((\d+) steps?\))?/);
  if (!m) return { pass: null, fail: null };
  return { pass: Number(m[2] ?? m[1]), fail: Number(m[4] ?? m[3]) };
}

// With loader and libc from one build, node starts under user-mode QEMU in
// about a second. The probe bounds the wait for a start that hangs (the
// mixed-libc spin looked exactly like that) and fails the leg with what
// node printed, instead of letting the suite sit out its time-out.
const QEMU_START_MS = 60 * 1000;

function runSuite(host, stage) {
  const exe = ensureHost(host);
  if (host.arch === 'arm64') {
    const probe = execute(QEMU[0], [...QEMU.slice(1), exe, '-e', 'console.log(process.arch)'], { timeout: QEMU_START_MS });
    if (probe.stdout !== 'arm64\n') {
      const why = probe.error?.code === 'ETIMEDOUT' ? `did not start within ${QEMU_START_MS / 1000} s` : `answered status ${probe.status}`;
      console.log(`# ${host.id}: node under qemu-aarch64 ${why}\n${probe.output.slice(-2000)}`);
      return { leg: host.id, detail: `node under qemu ${why}`, pass: 0, fail: 1, seconds: probe.seconds, ok: false };
    }
  }
  const files = host.arch === 'arm64' ? ARM64_FILES : testFiles(stage);
  const rel = files.map((f) => path.join('test', 'js', f));
  const results = [];
  if (host.kind === 'node') {
    const prefix = host.arch === 'arm64'
      ? [...QEMU, exe, '--test-isolation=none', ...ARM64_SKIPPED.map((name) => `--test-skip-pattern=${escapeRegExp(name)}`)]
      : [exe];
    results.push({ files: rel, ...execute(prefix[0], [...prefix.slice(1), '--test', '--test-reporter=tap', ...rel], { cwd: stage }) });
  } else {
    // One file at a time: a file that takes its host down loses only itself.
    for (const file of rel) {
      const args = host.kind === 'bun' ? ['test', '--timeout', '120000', `./${file}`] : ['test', '-A', '--no-check', file];
      results.push({ files: [file], ...execute(exe, args, { cwd: stage, env: { DENO_NO_UPDATE_CHECK: '1' } }) });
    }
  }
  let pass = 0;
  let fail = 0;
  let seconds = 0;
  let known = 0;
  let skipped = 0;
  const broken = [];
  for (const r of results) {
    const c = counts(host.kind, r.output);
    seconds += r.seconds;
    pass += c.pass ?? 0;
    fail += c.fail ?? 0;
    skipped += c.skipped ?? 0;
    const gap = KNOWN_GAPS[host.id]?.[r.files[0]];
    const failed = r.status !== 0 || c.pass === null || c.fail;
    if (gap && r.files.length === 1) {
      if (failed) console.log(`# ${host.id}: ${r.files[0]}: ${c.fail ?? '?'} known failures (${gap})`);
      else console.log(`# ${host.id}: ${r.files[0]} passes now; its KNOWN_GAPS entry can go`);
      known += c.fail ?? 0;
      continue;
    }
    if (failed) broken.push(r);
  }
  for (const r of broken) {
    console.log(`\n--- ${host.id}: ${r.files.join(' ')} (status ${r.status}${r.signal ? `, ${r.signal}` : ''})`);
    console.log(r.output.split('\n').filter((line) => /not ok|fail|error|✗|\(fail\)/i.test(line)).slice(0, 60).join('\n'));
  }
  const leftOut = host.arch === 'arm64' ? `, ${ARM64_SKIPPED.length} tests that start a child left out` : '';
  const detail = `${host.pkg}@${host.version}, ${files.length} files${leftOut}${skipped ? `, ${skipped} skipped` : ''}${known ? `, ${known} of the failures known` : ''}`;
  return { leg: host.id, detail, pass, fail: fail - known, seconds, ok: broken.length === 0 };
}

// The GoogleTest suite built for arm64 and run under QEMU: token kernels,
// whose NEON path must count as the portable one does; digests, which use
// the ARMv8 SHA-2 instructions where present; the runtime, pools, batches
// and file reads with their threads; manifests, text, the glibc floor. The
// thread tests once seemed too slow to emulate; that was the mixed-libc
// spin (see QEMU). Left out: the digest of a sparse file of several GiB,
// which is 73 of the suite's 87 s under emulation and runs natively in
// npm test. The read-ring tests skip themselves where io_uring is missing.
// Also left out: death tests, which run the test binary again through execv,
// and user-mode QEMU cannot start an arm64 program from inside one.
const ARM64_NATIVE_FILTER = '-FileDigest.SparseFileOfSeveralGibibytesInBoundedMemory:*DeathTest.*';

function runNativeArm64() {
  const { BUILDS, configure } = require('../../scripts/prebuilds.js');
  const started = Date.now();
  ensureDebianPackages(['libgtest-dev:arm64', 'qemu-user']);
  const dir = configure('linux-arm64-gnu', BUILDS['linux-arm64-gnu'], ['-DTOV_BUILD_TESTS=ON']);
  const build = execute('cmake', ['--build', dir, '--target', 'native_tests', '--parallel'], { cwd: root });
  if (build.status !== 0) {
    console.log(build.output.slice(-4000));
    return { leg: 'native-arm64', detail: 'build failed', pass: 0, fail: 1, seconds: (Date.now() - started) / 1000, ok: false };
  }
  const r = execute(QEMU[0], [...QEMU.slice(1), path.join(dir, 'native_tests'), `--gtest_filter=${ARM64_NATIVE_FILTER}`], { cwd: dir });
  const passed = r.output.match(/\[ {2}PASSED {2}\] (\d+) tests?/);
  const failed = r.output.match(/\[ {2}FAILED {2}\] (\d+) tests?/);
  if (r.status !== 0) console.log(r.output.split('\n').filter((l) => /FAILED|Failure|error/i.test(l)).slice(0, 40).join('\n'));
  return {
    leg: 'native-arm64',
    detail: 'GoogleTest under qemu-aarch64, all but the several-GiB sparse file',
    pass: passed ? Number(passed[1]) : 0,
    fail: failed ? Number(failed[1]) : r.status === 0 ? 0 : 1,
    seconds: (Date.now() - started) / 1000,
    ok: r.status === 0 && Boolean(passed),
  };
}

function runChecks() {
  const r = execute(process.execPath, ['--test', path.join(__dirname, 'binaries.test.js')], { cwd: root });
  const c = counts('node', r.output);
  if (r.status !== 0) console.log(r.output.split('\n').filter((l) => /not ok|Error|expected|actual/.test(l)).slice(0, 40).join('\n'));
  return { leg: 'checks', detail: 'dynamic section, glibc floor, exports', ...c, seconds: r.seconds, ok: r.status === 0 };
}

function main(legs) {
  const all = ['checks', ...HOSTS.map((h) => h.id), 'native-arm64'];
  const chosen = legs.length ? legs : all;
  const unknown = chosen.filter((l) => !all.includes(l));
  if (unknown.length) throw new Error(`unknown leg ${unknown.join(', ')}; legs: ${all.join(' ')}`);
  const arm64 = chosen.some((l) => l.endsWith('arm64'));
  if (arm64) ensureDebianPackages(['qemu-user']);
  ensurePrebuilt(['linux-x64-gnu', ...(arm64 ? ['linux-arm64-gnu'] : [])]);
  const stage = stagePackage();
  const results = [];
  try {
    for (const leg of chosen) {
      console.log(`# test:hosts: ${leg}`);
      const host = HOSTS.find((h) => h.id === leg);
      const result = leg === 'checks' ? runChecks() : leg === 'native-arm64' ? runNativeArm64() : runSuite(host, stage);
      console.log(`# ${result.leg}: ${result.pass} passed, ${result.fail} failed, ${result.seconds.toFixed(0)} s`);
      results.push(result);
    }
  } finally {
    fs.rmSync(stage, { recursive: true, force: true });
  }
  console.log('\nleg            passed  failed  seconds  what');
  for (const r of results) {
    console.log(`${r.leg.padEnd(14)} ${String(r.pass).padStart(6)}  ${String(r.fail).padStart(6)}  ${r.seconds.toFixed(0).padStart(7)}  ${r.detail}${r.ok ? '' : '  FAILED'}`);
  }
  const pass = results.reduce((n, r) => n + (r.pass || 0), 0);
  const fail = results.reduce((n, r) => n + (r.fail || 0), 0) + results.filter((r) => !r.ok && !r.fail).length;
  console.log(`\n${pass} passed, ${fail} failed`);
  return results.every((r) => r.ok) ? 0 : 1;
}

try {
  process.exitCode = main(process.argv.slice(2));
} catch (err) {
  console.error(`test:hosts: ${err.message}`);
  process.exitCode = 1;
}
