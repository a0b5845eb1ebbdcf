'use strict';
// Builds the native unit tests with clang's sanitizers, in a build directory
// of their own, and runs them. Any sanitizer report fails the run.
//
//   node scripts/sanitize.js address   AddressSanitizer, UndefinedBehaviorSanitizer
//                                      and LeakSanitizer over every native test
//   node scripts/sanitize.js thread    ThreadSanitizer over the runtime, the pools,
//                                      the batch tests and the per-thread objects
//                                      and locks of the platform
//
// With address, the addon itself is then built with AddressSanitizer and
// UndefinedBehaviorSanitizer (build-asan-addon) and the JavaScript stress
// tests run against it inside node, with the sanitizer runtime preloaded:
// that covers the Node-API glue, which the native tests cannot reach.
// LeakSanitizer stays off there, since node itself leaves memory behind at
// exit; the leak tests of test/stress cover the addon's own allocations.
//
// Options: --filter=PATTERN replaces the GoogleTest filter; --repeat=N runs
// the tests N times (races are timing-dependent, so TSan benefits from more);
// --native-only skips the addon phase.
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');

const MODES = {
  address: {
    dir: 'build-asan',
    sanitize: 'address',
    filter: '*',
    repeat: 1,
    env: {
      // halt_on_error makes the first report fatal; detect_leaks turns on
      // LeakSanitizer at exit.
      ASAN_OPTIONS: [
        'detect_leaks=1',
        'halt_on_error=1',
        'abort_on_error=0',
        'strict_string_checks=1',
        'detect_stack_use_after_return=1',
        'check_initialization_order=1',
        'strict_init_order=1',
        'detect_invalid_pointer_pairs=1',
      ].join(':'),
      UBSAN_OPTIONS: 'halt_on_error=1:print_stacktrace=1',
      LSAN_OPTIONS: 'report_objects=1',
    },
  },
  thread: {
    dir: 'build-tsan',
    sanitize: 'thread',
    // The suites whose code runs on more than one thread.
    filter: 'Runtime*:Pool*:Batch*:ReadRing*:ThreadExit*:SharedMutex*:TreeWalk*',
    repeat: 10,
    env: {
      TSAN_OPTIONS: 'halt_on_error=1:second_deadlock_stack=1:history_size=4',
    },
  },
};

// What a report of any of the sanitizers starts with; checked on the output
// as well as the exit status, in case a report does not end the process.
const REPORT = /ERROR: (AddressSanitizer|LeakSanitizer)|WARNING: ThreadSanitizer|runtime error:|SUMMARY: UndefinedBehaviorSanitizer/;

// The stress tests that run against the sanitized addon; the leak checks
// measure memory, which the sanitizer's allocator makes meaningless.
const ADDON_STRESS_TESTS = ['random-values', 'workers', 'file-hash', 'batch'].map((name) =>
  path.join('test', 'stress', `${name}.test.js`),
);

function parseArgs(argv) {
  const options = { mode: null, filter: null, repeat: null, nativeOnly: false };
  for (const arg of argv) {
    if (arg === '--native-only') options.nativeOnly = true;
    else if (arg.startsWith('--filter=')) options.filter = arg.slice('--filter='.length);
    else if (arg.startsWith('--repeat=')) options.repeat = Number(arg.slice('--repeat='.length));
    else if (!options.mode) options.mode = arg;
    else throw new Error(`unexpected argument ${arg}`);
  }
  if (!MODES[options.mode]) {
    throw new Error('usage: node scripts/sanitize.js address|thread [--filter=PATTERN] [--repeat=N]');
  }
  if (options.repeat !== null && !(Number.isInteger(options.repeat) && options.repeat > 0)) {
    throw new Error('--repeat takes a positive integer');
  }
  return options;
}

function step(command, args, env = {}) {
  console.log(`$ ${command} ${args.join(' ')}`);
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit', env: { ...process.env, ...env } });
  if (result.error) throw result.error;
  if (result.status !== 0) {
    console.error(`${command} failed with status ${result.status}`);
    process.exit(1);
  }
}

function build(mode) {
  const buildDir = path.join(root, mode.dir);
  const generator = spawnSync('ninja', ['--version']).status === 0 ? ['-G', 'Ninja'] : [];
  const configured = fs.existsSync(path.join(buildDir, 'CMakeCache.txt'));
  step('cmake', [
    '-S', root, '-B', buildDir,
    ...(configured ? [] : generator),
    '-DCMAKE_C_COMPILER=clang',
    '-DCMAKE_CXX_COMPILER=clang++',
    // Debug keeps assertions; -O1 keeps the tests quick and the stacks exact.
    '-DCMAKE_BUILD_TYPE=Debug',
    '-DCMAKE_CXX_FLAGS=-O1 -g',
    `-DTOV_SANITIZE=${mode.sanitize}`,
    // A static libcrypto would be uninstrumented code linked into every
    // test; the shared one is intercepted like any other library.
    '-DTOV_STATIC_OPENSSL=OFF',
  ]);
  step('cmake', ['--build', buildDir, '--target', 'native_tests', '-j', '2']);
  return path.join(buildDir, 'native_tests');
}

function countTests(binary, filter) {
  const result = spawnSync(binary, ['--gtest_list_tests', `--gtest_filter=${filter}`], { encoding: 'utf8' });
  if (result.status !== 0) throw new Error(`cannot list the tests of ${binary}:\n${result.stderr}`);
  return result.stdout.split('\n').filter((line) => line.startsWith('  ')).length;
}

// Some kernels lay out memory where ThreadSanitizer cannot run; it then
// refuses to start, and the same binary runs with address randomisation off.
function needsFixedLayout(output) {
  return /unexpected memory mapping|FATAL: ThreadSanitizer/.test(output);
}

// Runs a command with its output passed through and also kept, so that it
// can be searched for sanitizer reports afterwards.
function streamed(command, args, env) {
  console.log(`$ ${command} ${args.join(' ')}`);
  return new Promise((resolve, reject) => {
    const child = spawn(command, args, { cwd: root, env: { ...process.env, ...env } });
    let output = '';
    const keep = (chunk, sink) => {
      sink.write(chunk);
      output += chunk.toString('utf8');
      if (output.length > 1 << 22) output = output.slice(-(1 << 21));
    };
    child.stdout.on('data', (chunk) => keep(chunk, process.stdout));
    child.stderr.on('data', (chunk) => keep(chunk, process.stderr));
    child.on('error', reject);
    child.on('close', (status, signal) => resolve({ status, signal, output }));
  });
}

function runTests(binary, args, env, { fixedLayout }) {
  if (!fixedLayout) return streamed(binary, args, env);
  return streamed('setarch', [process.arch === 'arm64' ? 'aarch64' : 'x86_64', '-R', binary, ...args], env);
}

async function main() {
  const options = parseArgs(process.argv.slice(2));
  const mode = MODES[options.mode];
  const filter = options.filter ?? mode.filter;
  const repeat = options.repeat ?? mode.repeat;
  const started = Date.now();

  const binary = build(mode);
  const selected = countTests(binary, filter);
  if (selected === 0) {
    console.error(`no native test matches the filter ${filter}`);
    process.exit(1);
  }
  console.log(`${options.mode} sanitizer: ${selected} tests, ${repeat} run(s)`);

  const args = [`--gtest_filter=${filter}`, `--gtest_repeat=${repeat}`, '--gtest_brief=1'];
  let run = await runTests(binary, args, mode.env, { fixedLayout: false });
  if (run.status !== 0 && options.mode === 'thread' && needsFixedLayout(run.output)) {
    console.log('ThreadSanitizer cannot map its shadow memory here; rerunning without address randomisation');
    run = await runTests(binary, args, mode.env, { fixedLayout: true });
  }
  const fail = (what, result) => {
    const seconds = ((Date.now() - started) / 1000).toFixed(1);
    const why = REPORT.test(result.output) ? 'a sanitizer report' : `exit status ${result.status ?? result.signal}`;
    console.error(`\n${options.mode} sanitizer: ${what} FAILED (${why}) after ${seconds} s`);
    process.exit(1);
  };
  if (run.status !== 0 || REPORT.test(run.output)) fail('native tests', run);
  let summary = `${selected} native tests x ${repeat}`;

  if (options.mode === 'address' && !options.nativeOnly) {
    const addon = buildSanitizedAddon();
    const stress = await runAddonStress(addon);
    if (stress.status !== 0 || REPORT.test(stress.output)) fail('stress tests against the sanitized addon', stress);
    summary += `, ${ADDON_STRESS_TESTS.length} stress test files against the sanitized addon`;
  }
  const seconds = ((Date.now() - started) / 1000).toFixed(1);
  console.log(`\n${options.mode} sanitizer run clean: ${summary}, ${seconds} s`);
}

function buildSanitizedAddon() {
  const buildDir = path.join(root, 'build-asan-addon');
  step(
    process.execPath,
    [
      path.join(root, 'node_modules', 'cmake-js', 'bin', 'cmake-js'),
      'compile',
      '--out', buildDir,
      '--CDTOV_SANITIZE=address',
      '--CDTOV_STATIC_OPENSSL=OFF',
      '--CDTOV_BUILD_TESTS=OFF',
      '--CDCMAKE_BUILD_TYPE=Debug',
      '--CDCMAKE_CXX_FLAGS=-O1 -g',
    ],
    { CC: 'clang', CXX: 'clang++' },
  );
  const addon = path.join(buildDir, 'Release', 'tov_engine_native.node');
  if (!fs.existsSync(addon)) throw new Error(`the sanitized addon was not built at ${addon}`);
  return addon;
}

// The sanitizer runtime must be the first library loaded, since node itself
// is not instrumented.
function runAddonStress(addon) {
  const runtime = spawnSync('clang', [`-print-file-name=libclang_rt.asan-${process.arch === 'arm64' ? 'aarch64' : 'x86_64'}.so`], { encoding: 'utf8' }).stdout.trim();
  if (!fs.existsSync(runtime)) throw new Error(`AddressSanitizer runtime not found (${runtime})`);
  const env = {
    LD_PRELOAD: runtime,
    ASAN_OPTIONS: 'detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1',
    UBSAN_OPTIONS: 'halt_on_error=1:print_stacktrace=1',
    TOV_ADDON: addon,
  };
  return streamed(process.execPath, ['--expose-gc', '--test', ...ADDON_STRESS_TESTS], env);
}

main().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
