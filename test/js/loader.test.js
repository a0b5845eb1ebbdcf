'use strict';
// Which binary the package root loads, in copies of the package laid out as
// an installation would leave them: a prebuilt binary only, a source build,
// a binary the system cannot load, nothing at all.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
const prebuilds = require(path.join(root, 'lib', 'prebuilds.js'));
const built = prebuilds.resolveBinary(root);
const hostTarget = prebuilds.targetForHost();

let tmp;
before(() => {
  tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tov-loader-'));
});
after(() => fs.rmSync(tmp, { recursive: true, force: true }));

// A package copy with the entry points and the given binaries:
// { 'prebuilds/linux-x64': bytes-or-path, 'build/Release': ... }.
function layout(name, binaries = {}) {
  const dir = path.join(tmp, name);
  fs.mkdirSync(path.join(dir, 'lib'), { recursive: true });
  for (const file of ['index.js', 'index.mjs', 'package.json', 'lib/prebuilds.js']) {
    fs.copyFileSync(path.join(root, file), path.join(dir, file));
  }
  for (const [where, content] of Object.entries(binaries)) {
    fs.mkdirSync(path.join(dir, where), { recursive: true });
    const target = path.join(dir, where, prebuilds.BINARY_NAME);
    if (Buffer.isBuffer(content)) fs.writeFileSync(target, content);
    else fs.copyFileSync(content, target);
  }
  return dir;
}

function load(dir, expression = "require('./').nativeVersion()") {
  const script = `try { console.log(JSON.stringify({ ok: ${expression} })); }
    catch (e) { console.log(JSON.stringify({ message: e.message, code: e.code, cause: e.cause && e.cause.message })); }`;
  const r = spawnSync(process.execPath, ['-e', script], { cwd: dir, encoding: 'utf8' });
  assert.equal(r.status, 0, r.stderr);
  return JSON.parse(r.stdout);
}

describe('the package root loads', () => {
  it('the prebuilt binary of this platform when there is no source build', { skip: !hostTarget && 'no target for this host' }, () => {
    const dir = layout('prebuilt', { [`prebuilds/${hostTarget.id}`]: built.file });
    assert.deepEqual(load(dir), { ok: 'tov-engine-native/1.0.0' });
    assert.equal(prebuilds.resolveBinary(dir).kind, 'prebuilt');
    assert.deepEqual(load(dir, "require('./lib/prebuilds.js').shipped().map((t) => t.id)"), { ok: [hostTarget.id] });
  });

  it('a source build ahead of a prebuilt binary', { skip: !hostTarget && 'no target for this host' }, () => {
    const dir = layout('both', { [`prebuilds/${hostTarget.id}`]: Buffer.from('not a binary'), 'build/Release': built.file });
    assert.deepEqual(load(dir), { ok: 'tov-engine-native/1.0.0' });
    assert.equal(prebuilds.resolveBinary(dir).kind, 'source');
  });

  it('the same exports object through import', { skip: !hostTarget && 'no target for this host' }, () => {
    const dir = layout('esm', { [`prebuilds/${hostTarget.id}`]: built.file });
    fs.writeFileSync(path.join(dir, 'load.mjs'),
      "import m, { sha256String } from './index.mjs'; import { createRequire } from 'node:module';" +
      "console.log(m === createRequire(import.meta.url)('./index.js'), sha256String(''))");
    const r = spawnSync(process.execPath, [path.join(dir, 'load.mjs')], { cwd: dir, encoding: 'utf8' });
    assert.equal(r.stdout, 'true e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\n', r.stderr);
  });
});

describe('without a binary it can load, the package root throws one clear error', () => {
  it('naming the platform, the shipped binaries and how to build from source', () => {
    const other = prebuilds.TARGETS.filter((t) => t !== hostTarget);
    const dir = layout('elsewhere', Object.fromEntries(other.map((t) => [`prebuilds/${t.id}`, Buffer.from('x')])));
    const err = load(dir);
    assert.equal(err.code, 'MODULE_NOT_FOUND');
    assert.ok(err.message.startsWith(`tov-engine-native: no native binary for ${process.platform}-${process.arch}.`), err.message);
    for (const t of other) assert.ok(err.message.includes(t.glibc ? `${t.id} (glibc >= ${t.glibc})` : t.id), err.message);
    assert.match(err.message, /TOV_ENGINE_BUILD_FROM_SOURCE=1 .*npm install --build-from-source.*npm run build/);
    assert.doesNotMatch(err.message, /dlopen/);
  });

  it('saying when the copy carries no prebuilt binary at all', () => {
    const err = load(layout('empty'));
    assert.match(err.message, /carries no prebuilt binary/);
  });

  it('naming the binary that the system refused, with the loader message as its cause', { skip: !hostTarget && 'no target for this host' }, () => {
    const dir = layout('broken', { [`prebuilds/${hostTarget.id}`]: Buffer.from('\x7fELF but not really') });
    const err = load(dir);
    assert.equal(err.code, 'ERR_DLOPEN_FAILED');
    assert.ok(err.message.startsWith(`tov-engine-native: the prebuilt binary for ${hostTarget.id} (`), err.message);
    if (hostTarget.glibc) assert.ok(err.message.includes(`It needs glibc ${hostTarget.glibc} or later.`));
    assert.match(err.message, /build-from-source/);
    assert.ok(err.cause && err.message.includes(err.cause.split('\n')[0]));
  });
});

describe('asking for a source build', () => {
  it('reads TOV_ENGINE_BUILD_FROM_SOURCE and npm config build-from-source, not their negations', () => {
    const asks = (env) => prebuilds.buildFromSourceRequested(env);
    assert.equal(asks({}), false);
    assert.equal(asks({ TOV_ENGINE_BUILD_FROM_SOURCE: '1' }), true);
    assert.equal(asks({ npm_config_build_from_source: 'true' }), true);
    for (const no of ['', '0', 'false', 'no', 'FALSE']) {
      assert.equal(asks({ TOV_ENGINE_BUILD_FROM_SOURCE: no, npm_config_build_from_source: no }), false, no);
    }
  });
});
