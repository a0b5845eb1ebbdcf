'use strict';
// Builds the libFuzzer targets of the byte-level cores with clang (with
// AddressSanitizer and UndefinedBehaviorSanitizer) and runs each for a
// bounded time. Each target checks its core against a plain reference, so a
// wrong answer aborts like a crash does.
//
//   node scripts/fuzz.js [--seconds=N] [--target=NAME ...] [--replay]
//
// --seconds (or TOV_FUZZ_SECONDS): time per target, default 30.
// --replay: run each target once over its committed corpus and stop; the
//           committed corpus includes every input that once found a fault.
//
// The committed seeds in fuzz/corpus/NAME are only read; what the fuzzer
// learns goes to fuzz/corpus-work/NAME (not committed), and a crash input to
// fuzz/corpus-work/NAME-crashes/. A crash input worth keeping is copied into
// fuzz/corpus/NAME with a name that says what it found.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');
const buildDir = path.join(root, 'build-fuzz');
const workDir = path.join(root, 'fuzz', 'corpus-work');

function coreSources(dir) {
  return fs
    .readdirSync(path.join(root, 'src', dir))
    .filter((name) => name.endsWith('.cc') && !name.endsWith('_napi.cc'))
    .map((name) => path.join('src', dir, name));
}

// How every family picks its vector kernel: the processor and TOV_ENGINE_KERNEL.
const KERNELS = ['src/platform/cpu.cc', 'src/platform/kernels.cc', 'src/platform/environment.cc'];
// The text module with its kernels.
const TEXT = ['src/text/utf8.cc', 'src/text/utf8_x86.cc', 'src/text/utf8_windows.cc', ...KERNELS];
// The digest and the library behind it.
const DIGEST = ['src/hashing/digest.cc', 'src/hashing/digest_backends/sha256_openssl.cc', 'src/platform/fatal.cc'];

const TARGETS = {
  tokens: {
    sources: () => ['fuzz/tokens_fuzz.cc', ...coreSources('tokens'), ...TEXT],
    libs: [],
    maxLen: 4096,
  },
  manifest: {
    sources: () => ['fuzz/manifest_fuzz.cc', ...coreSources('manifest'), ...DIGEST],
    libs: ['-lcrypto'],
    maxLen: 16384,
  },
  env_count: {
    sources: () => [
      'fuzz/env_count_fuzz.cc', 'src/runtime/runtime_config.cc', 'src/base/result.cc',
      'src/platform/environment.cc', 'src/platform/linux/system.cc', 'src/platform/posix/error_text.cc', ...TEXT,
    ],
    libs: ['-pthread'],
    maxLen: 256,
  },
  diff: {
    sources: () => ['fuzz/diff_fuzz.cc', ...coreSources('manifest'), ...DIGEST],
    libs: ['-lcrypto'],
    maxLen: 16384,
  },
  lanes: {
    sources: () => [
      'fuzz/lanes_fuzz.cc',
      ...['lanes.cc', 'lanes_scalar.cc', 'lanes_shani.cc', 'lanes_avx512.cc', 'lanes_arm_sha2.cc', 'multi_digest.cc'].map(
        (name) => path.join('src', 'hashing', name),
      ),
      ...KERNELS,
      ...DIGEST,
    ],
    libs: ['-lcrypto'],
    maxLen: 8192,
  },
  utf8_windows: {
    sources: () => [
      'fuzz/utf8_windows_fuzz.cc', ...coreSources('text'), ...coreSources('tokens'), 'src/hashing/text_digest.cc', ...DIGEST,
      ...KERNELS,
    ],
    libs: ['-lcrypto'],
    maxLen: 4096,
  },
  hasher: {
    sources: () => [
      'fuzz/hasher_fuzz.cc', ...coreSources('hasher').filter((file) => !file.endsWith('stream_job.cc')),
      ...['lanes.cc', 'lanes_scalar.cc', 'lanes_shani.cc', 'lanes_avx512.cc', 'lanes_arm_sha2.cc'].map(
        (name) => path.join('src', 'hashing', name),
      ),
      'src/base/result.cc', 'src/platform/posix/error_text.cc', ...KERNELS, ...DIGEST,
    ],
    libs: ['-lcrypto'],
    maxLen: 8192,
  },
  checksum_lines: {
    sources: () => ['fuzz/checksum_lines_fuzz.cc', 'src/tree/checksum_lines.cc', ...TEXT],
    libs: [],
    maxLen: 4096,
  },
  utf8: {
    sources: () => ['fuzz/utf8_fuzz.cc', ...TEXT],
    libs: [],
    maxLen: 4096,
  },
};

function parseArgs(argv) {
  const options = { seconds: Number(process.env.TOV_FUZZ_SECONDS || 30), targets: [], replay: false };
  for (const arg of argv) {
    if (arg.startsWith('--seconds=')) options.seconds = Number(arg.slice('--seconds='.length));
    else if (arg.startsWith('--target=')) options.targets.push(arg.slice('--target='.length));
    else if (arg === '--replay') options.replay = true;
    else throw new Error(`unknown argument ${arg}`);
  }
  if (!(Number.isInteger(options.seconds) && options.seconds > 0)) throw new Error('--seconds takes a positive integer');
  if (options.targets.length === 0) options.targets = Object.keys(TARGETS);
  for (const name of options.targets) {
    if (!TARGETS[name]) throw new Error(`unknown target ${name}; known: ${Object.keys(TARGETS).join(', ')}`);
  }
  return options;
}

function newestChange(files) {
  const headers = ['fuzz', 'src/base', 'src/hasher', 'src/tokens', 'src/manifest', 'src/hashing', 'src/runtime', 'src/text', 'src/platform'].flatMap((dir) =>
    fs.readdirSync(path.join(root, dir)).filter((name) => name.endsWith('.h')).map((name) => path.join(dir, name)),
  );
  return Math.max(...[...files, ...headers].map((file) => fs.statSync(path.join(root, file)).mtimeMs));
}

function build(name) {
  const target = TARGETS[name];
  // A file two groups share is compiled once.
  const sources = [...new Set(target.sources())];
  const binary = path.join(buildDir, `${name}_fuzz`);
  if (fs.existsSync(binary) && fs.statSync(binary).mtimeMs > newestChange(sources)) return binary;
  fs.mkdirSync(buildDir, { recursive: true });
  const args = [
    '-std=c++20', '-O1', '-g', '-Wall', '-Wextra',
    '-fsanitize=fuzzer,address,undefined', '-fno-sanitize-recover=undefined',
    '-Isrc', ...sources, ...target.libs, '-o', binary,
  ];
  console.log(`$ clang++ ${args.join(' ')}`);
  const result = spawnSync('clang++', args, { cwd: root, stdio: 'inherit' });
  if (result.error) throw result.error;
  if (result.status !== 0) throw new Error(`building the ${name} fuzz target failed`);
  return binary;
}

function hexDump(file) {
  const bytes = fs.readFileSync(file);
  const shown = bytes.subarray(0, 256);
  const lines = [];
  for (let i = 0; i < shown.length; i += 32) lines.push(`  ${shown.subarray(i, i + 32).toString('hex')}`);
  if (bytes.length > shown.length) lines.push(`  ... (${bytes.length} bytes in all)`);
  return lines.join('\n');
}

function run(name, binary, options) {
  const committed = path.join(root, 'fuzz', 'corpus', name);
  const work = path.join(workDir, name);
  const crashes = path.join(workDir, `${name}-crashes`);
  fs.mkdirSync(work, { recursive: true });
  fs.mkdirSync(crashes, { recursive: true });
  const before = new Set(fs.readdirSync(crashes));
  const args = options.replay
    ? ['-runs=0', committed]
    : [
        `-max_total_time=${options.seconds}`,
        `-max_len=${TARGETS[name].maxLen}`,
        '-timeout=10',
        '-rss_limit_mb=4096',
        '-print_final_stats=1',
        // The work corpus comes first: new inputs are written there only.
        work,
        committed,
      ];
  args.unshift(`-artifact_prefix=${crashes}${path.sep}`);
  console.log(`\n== ${name}: ${options.replay ? 'replaying the committed corpus' : `${options.seconds} s`} ==`);
  const result = spawnSync(binary, args, {
    cwd: root,
    stdio: 'inherit',
    env: {
      ...process.env,
      ASAN_OPTIONS: 'detect_leaks=1:halt_on_error=1',
      UBSAN_OPTIONS: 'halt_on_error=1:print_stacktrace=1',
    },
  });
  if (result.error) throw result.error;
  const found = fs.readdirSync(crashes).filter((file) => !before.has(file));
  if (result.status === 0 && found.length === 0) return true;
  console.error(`\n${name}: the fuzzer stopped with status ${result.status ?? result.signal}`);
  for (const file of found) {
    const full = path.join(crashes, file);
    console.error(`crash input ${full}:\n${hexDump(full)}`);
    console.error(`reproduce: ${path.relative(root, binary)} ${path.relative(root, full)}`);
  }
  return false;
}

function main() {
  const options = parseArgs(process.argv.slice(2));
  const started = Date.now();
  const failed = [];
  for (const name of options.targets) {
    const binary = build(name);
    if (!run(name, binary, options)) failed.push(name);
  }
  const seconds = ((Date.now() - started) / 1000).toFixed(1);
  if (failed.length > 0) {
    console.error(`\nfuzzing FAILED for ${failed.join(', ')} after ${seconds} s`);
    process.exit(1);
  }
  console.log(`\nfuzzing clean: ${options.targets.join(', ')} in ${seconds} s`);
}

try {
  main();
} catch (error) {
  console.error(error.message);
  process.exit(1);
}
