'use strict';
// Packs the module as it would be published, installs the tarball into an
// empty project (which builds the addon there) and uses it like a user:
// every function, both module systems, the command and the type
// declarations. Slow (a full native build), so it runs as `npm run test:pack`.

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

before(() => {
  tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tov-pack-'));
  app = path.join(tmp, 'app');
  fs.mkdirSync(app);
});

after(() => {
  if (process.env.TOV_KEEP_PACK_DIR) console.log(`# kept ${tmp}`);
  else fs.rmSync(tmp, { recursive: true, force: true });
});

describe('npm pack', () => {
  it('ships sources, build files, entry points, types, the command, README and licence only', () => {
    const r = mustRun(npm, ['pack', '--json', '--pack-destination', tmp], { cwd: root });
    [packed] = JSON.parse(r.stdout);
    const files = packed.files.map((f) => f.path);
    for (const needed of [
      'package.json', 'README.md', 'LICENSE', 'CMakeLists.txt', 'index.js', 'index.mjs',
      'index.d.ts', 'index.d.mts', 'bin/tov-engine.js', 'lib/cli/main.js', 'src/addon/module.cc',
      'src/addon/exports.map',
    ]) {
      assert.ok(files.includes(needed), `${needed} is missing from the tarball`);
    }
    const unwanted = files.filter((f) => /^(test|bench|fuzz|build[^/]*|node_modules|scripts|\.ci)\//.test(f) || f.endsWith('.node') || f.endsWith('.tgz'));
    assert.deepEqual(unwanted, []);
    const manifest = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
    assert.equal(manifest.bin['tov-engine'], 'bin/tov-engine.js');
    assert.ok(files.includes(manifest.types));
  });
});

describe('installing the tarball into an empty project', () => {
  it('builds the addon during npm install', { timeout: BUILD_TIMEOUT_MS }, () => {
    assert.ok(packed, 'npm pack did not run');
    fs.writeFileSync(path.join(app, 'package.json'), JSON.stringify({ name: 'app', version: '1.0.0', private: true }));
    mustRun(npm, ['install', '--no-audit', '--no-fund', path.join(tmp, packed.filename)], {
      cwd: app,
      timeout: BUILD_TIMEOUT_MS,
    });
    installed = path.join(app, 'node_modules', 'tov-engine-native');
    assert.ok(fs.existsSync(path.join(installed, 'build', 'Release', 'tov_engine_native.node')));
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
    const r = mustRun(process.execPath, ['-e', script], { cwd: app });
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
