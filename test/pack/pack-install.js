'use strict';
// Packs the module as it would be published (which builds the prebuilt
// binaries), installs the tarball into an empty project the way most users
// do, with no compiler, CMake or make anywhere on PATH and with install
// scripts disabled, and uses it like a user: every function, both module
// systems, the command and the type declarations. Then it takes the
// matching prebuilt binary away (a clear error) and asks for a source build
// (which has to win). Slow, so it runs as `npm run test:pack`.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
const npm = process.platform === 'win32' ? 'npm.cmd' : 'npm';
const BUILD_TIMEOUT_MS = 20 * 60 * 1000;
const prebuilds = require(path.join(root, 'lib', 'prebuilds.js'));
const hostTarget = prebuilds.targetForHost();

// npm itself, run by this node, so that PATH can hold nothing else.
function npmCli() {
  if (process.env.npm_execpath && process.env.npm_execpath.endsWith('.js')) return process.env.npm_execpath;
  const which = spawnSync('sh', ['-c', 'command -v npm'], { encoding: 'utf8' }).stdout.trim();
  return path.join(path.dirname(fs.realpathSync(which)), 'npm-cli.js');
}

// A hung child (a process that never exits) must fail the test, not stall it.
function sh(command, args, options = {}) {
  const r = spawnSync(command, args, { encoding: 'utf8', maxBuffer: 64 * 1024 * 1024, timeout: 120_000, ...options });
  if (r.error) throw r.error;
  return r;
}

function mustRun(command, args, options) {
  const r = sh(command, args, options);
  const how = r.signal ? `was killed by ${r.signal} (timed out?)` : `failed with status ${r.status}`;
  assert.equal(r.status, 0, `${command} ${args.join(' ').slice(0, 200)} ${how}:\n${r.stdout}\n${r.stderr}`);
  return r;
}

let tmp;
let app;
let packed;
let installed;
let bareEnv;

before(() => {
  tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tov-pack-'));
  app = path.join(tmp, 'app');
  fs.mkdirSync(app);
  // A PATH with node and sh only: no cc, c++, cmake or make to fall back on.
  const bin = path.join(tmp, 'bin');
  fs.mkdirSync(bin);
  fs.symlinkSync(process.execPath, path.join(bin, 'node'));
  fs.symlinkSync('/bin/sh', path.join(bin, 'sh'));
  bareEnv = { ...process.env, PATH: bin };
  for (const key of Object.keys(bareEnv)) if (/^npm_/i.test(key)) delete bareEnv[key];
});

after(() => {
  if (process.env.TOV_KEEP_PACK_DIR) console.log(`# kept ${tmp}`);
  else fs.rmSync(tmp, { recursive: true, force: true });
});

describe('npm pack', () => {
  it('ships sources, build files, entry points, types, the command, README, licence and the prebuilt binaries', { timeout: BUILD_TIMEOUT_MS }, () => {
    const r = mustRun(npm, ['pack', '--json', '--pack-destination', tmp], { cwd: root, timeout: BUILD_TIMEOUT_MS });
    [packed] = JSON.parse(r.stdout.slice(r.stdout.indexOf('[\n')));
    const files = packed.files.map((f) => f.path);
    for (const needed of [
      'package.json', 'README.md', 'LICENSE', 'CMakeLists.txt', 'index.js', 'index.mjs',
      'index.d.ts', 'index.d.mts', 'bin/tov-engine.js', 'lib/cli/main.js', 'lib/prebuilds.js', 'lib/install.js',
      'src/addon/module.cc', 'src/addon/exports.map', 'prebuilds/linux-x64/tov_engine_native.node',
      'prebuilds/linux-arm64/tov_engine_native.node',
    ]) {
      assert.ok(files.includes(needed), `${needed} is missing from the tarball`);
    }
    const unwanted = files.filter((f) => /^(test|bench|fuzz|build[^/]*|node_modules|scripts|\.ci)\//.test(f) ||
      (f.endsWith('.node') && !f.startsWith('prebuilds/')) || f.endsWith('.tgz'));
    assert.deepEqual(unwanted, []);
    assert.ok(packed.size <= 8 * 1024 * 1024, `the tarball is ${packed.size} bytes`);
    console.log(`# tarball ${(packed.size / 1e6).toFixed(2)} MB, unpacked ${(packed.unpackedSize / 1e6).toFixed(2)} MB`);
    const manifest = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
    assert.equal(manifest.bin['tov-engine'], 'bin/tov-engine.js');
    assert.ok(files.includes(manifest.types));
  });
});

describe('installing the tarball into an empty project without a compiler', () => {
  it('needs no compiler, CMake or make, with install scripts disabled', () => {
    assert.ok(packed, 'npm pack did not run');
    for (const tool of ['cc', 'c++', 'gcc', 'g++', 'clang', 'cmake', 'make', 'ninja']) {
      assert.notEqual(sh('sh', ['-c', `command -v ${tool}`], { env: bareEnv }).status, 0, `${tool} is on the bare PATH`);
    }
    fs.writeFileSync(path.join(app, 'package.json'), JSON.stringify({ name: 'app', version: '1.0.0', private: true }));
    mustRun(process.execPath, [npmCli(), 'install', '--ignore-scripts', '--no-audit', '--no-fund', path.join(tmp, packed.filename)], {
      cwd: app,
      env: bareEnv,
    });
    installed = path.join(app, 'node_modules', 'tov-engine-native');
    assert.ok(!fs.existsSync(path.join(installed, 'build')));
    assert.equal(prebuilds.resolveBinary(installed).kind, 'prebuilt');
  });

  it('and with install scripts allowed, which then build nothing', () => {
    assert.ok(installed, 'the install did not succeed');
    const r = mustRun(process.execPath, [npmCli(), 'rebuild', '--foreground-scripts', 'tov-engine-native'], { cwd: app, env: bareEnv });
    assert.match(r.stdout + r.stderr, new RegExp(`using the prebuilt binary for ${hostTarget.id}`));
    assert.ok(!fs.existsSync(path.join(installed, 'build')));
  });

  it('calls every function through require', () => {
    assert.ok(installed, 'the install did not succeed');
    const script = `
      const assert = require('node:assert/strict');
      const fs = require('node:fs');
      const m = require('tov-engine-native');
      assert.deepEqual(Object.keys(m), ['sha256', 'fileHash', 'merkleDiff', 'merkleRoot', 'countTokens',
        'sha256String', 'nativeVersion', 'batchFileHash', 'truncateToTokens']);
      const abc = 'ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad';
      assert.equal(m.sha256(Buffer.from('abc')), abc);
      assert.equal(m.sha256String('abc'), abc);
      assert.equal(m.nativeVersion(), 'tov-engine-native/1.0.0');
      assert.equal(m.countTokens('hello, world!'), 4);
      assert.equal(m.truncateToTokens('hello world', 1), 'hello ');
      fs.writeFileSync('a.txt', 'abc');
      const manifest = m.batchFileHash(['a.txt', 'missing', 'package.json']);
      assert.deepEqual(manifest.map((e) => e[0]), ['a.txt', 'package.json']);
      assert.equal(manifest[0][1], abc);
      assert.equal(m.merkleRoot([['b', '2'], ['a', '1']]),
        '2bc11e86e8348c7c62f11e681435b5d013a262e5a9f3b8ce61c25831a516a45e');
      assert.deepEqual(m.merkleDiff(manifest, [['a.txt', abc], ['new', abc]]),
        { added: ['new'], modified: [], deleted: ['package.json'] });
      m.fileHash('a.txt').then((hex) => {
        assert.equal(hex, abc);
        return m.fileHash('missing');
      }).then(() => process.exit(3), (err) => {
        assert.equal(err.code, 'GenericFailure');
        assert.match(err.message, /^Read error: /);
        console.log('ok');
      });
    `;
    const r = mustRun(process.execPath, ['-e', script], { cwd: app, env: bareEnv });
    assert.equal(r.stdout, 'ok\n');
  });

  it('imports named functions as an ES module', () => {
    const script = `
      import native, { sha256String, merkleRoot } from 'tov-engine-native';
      console.log(sha256String('') === merkleRoot([]), native.sha256String === sha256String);
    `;
    const r = mustRun(process.execPath, ['--input-type=module', '-e', script], { cwd: app });
    assert.equal(r.stdout, 'true true\n');
  });

  it('runs the tov-engine command from node_modules/.bin', () => {
    const cli = path.join(app, 'node_modules', '.bin', 'tov-engine');
    const r = mustRun(cli, ['manifest', 'a.txt'], { cwd: app });
    const digest = crypto.createHash('sha256').update('abc').digest('hex');
    const rootDigest = crypto.createHash('sha256').update(`a.txt:${digest}`).digest('hex');
    assert.equal(r.stdout, `${digest}  a.txt\n# root: ${rootDigest}\n`);
    const bad = sh(cli, ['manifest', '--nope'], { cwd: app });
    assert.equal(bad.status, 2);
  });

  it('hashes a tree through tov-engine-native/tree, as CommonJS and as an ES module', () => {
    const script = `
      const { hashTree } = require('tov-engine-native/tree');
      import('tov-engine-native/tree').then(async (esm) => {
        const { manifest, root } = await hashTree('.', { exclude: ['*.tgz', 'package*.json', '*.mts', 'tsconfig.json'] });
        console.log(JSON.stringify(manifest.map((e) => e[0])), root === (await esm.hashTree('a.txt')).root);
      });
    `;
    const r = mustRun(process.execPath, ['-e', script], { cwd: app });
    assert.equal(r.stdout, '["a.txt"] true\n');
  });

  it('type-checks a consumer against the installed declarations', () => {
    const tsc = path.join(root, 'node_modules', 'typescript', 'bin', 'tsc');
    if (!fs.existsSync(tsc)) return void console.log('# typescript is not installed; declarations not checked');
    fs.writeFileSync(path.join(app, 'use.mts'), [
      "import { fileHash, merkleDiff, type MerkleDiff } from 'tov-engine-native';",
      "const digest: Promise<string> = fileHash('a.txt');",
      'const diff: MerkleDiff = merkleDiff([["a", "b", "extra"]], []);',
      'export { digest, diff };',
    ].join('\n'));
    const options = { strict: true, noEmit: true, module: 'node16', target: 'es2022', lib: ['es2022'], types: [] };
    fs.writeFileSync(path.join(app, 'tsconfig.json'), JSON.stringify({ compilerOptions: options, files: ['use.mts'] }));
    mustRun(process.execPath, [tsc, '-p', 'tsconfig.json'], { cwd: app });
  });
});

describe('when the prebuilt binary does not fit', () => {
  it('without the matching binary, require throws the one clear error', () => {
    assert.ok(installed, 'the install did not succeed');
    const binary = prebuilds.prebuiltPath(hostTarget.id, installed);
    const kept = `${binary}.kept`;
    fs.renameSync(binary, kept);
    try {
      const r = sh(process.execPath, ['-e', "require('tov-engine-native')"], { cwd: app, env: bareEnv });
      assert.equal(r.status, 1);
      const message = r.stderr.split('\n').find((line) => line.startsWith('Error: tov-engine-native:'));
      assert.ok(message, r.stderr);
      assert.ok(message.includes(`no native binary for ${process.platform}-${process.arch}`), message);
      assert.ok(!message.includes(hostTarget.id + ' ('), 'the removed binary is still listed');
      assert.match(message, /linux-arm64 \(glibc >= 2\.28\)/);
      assert.match(message, /TOV_ENGINE_BUILD_FROM_SOURCE=1/);
    } finally {
      fs.renameSync(kept, binary);
    }
  });

  it('TOV_ENGINE_BUILD_FROM_SOURCE=1 builds from source, and the source build is what loads', { timeout: BUILD_TIMEOUT_MS }, () => {
    assert.ok(installed, 'the install did not succeed');
    const env = { ...process.env, TOV_ENGINE_BUILD_FROM_SOURCE: '1' };
    mustRun(npm, ['rebuild', '--foreground-scripts', 'tov-engine-native'], { cwd: app, env, timeout: BUILD_TIMEOUT_MS });
    assert.ok(fs.existsSync(prebuilds.sourceBuildPath(installed)));
    const r = mustRun(process.execPath, ['-e',
      "const p = require('tov-engine-native/prebuilds'); console.log(p.resolveBinary().kind, require('tov-engine-native').nativeVersion())"],
    { cwd: app });
    assert.equal(r.stdout, 'source tov-engine-native/1.0.0\n');
  });
});
