'use strict';
// Which binary the package root loads, in copies of the package laid out as
// an installation would leave them: a binary package only, a source build,
// a source build made for another system, a binary the system cannot load,
// nothing at all; and which C library it takes the process to run on.
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
const noHost = !hostTarget && 'no target for this host';

let tmp;
before(() => {
  tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tov-loader-'));
});
after(() => fs.rmSync(tmp, { recursive: true, force: true }));

// A PE header for x64 Windows and a Mach-O one for arm64 macOS: enough for
// the loader to tell what a file is made for.
function peHeader() {
  const b = Buffer.alloc(256);
  b.writeUInt16LE(0x5a4d, 0);
  b.writeUInt32LE(128, 60);
  b.writeUInt32LE(0x4550, 128);
  b.writeUInt16LE(0x8664, 132);
  return b;
}
function machOHeader() {
  const b = Buffer.alloc(32);
  b.writeUInt32LE(0xfeedfacf, 0);
  b.writeUInt32LE(0x0100000c, 4);
  return b;
}

// A package copy with the entry points and the given binaries, keyed by
// folder: 'build/Release', 'prebuilds/<id>', or a binary package's name
// (which lands in node_modules/ beside the copy, as package managers put it).
function layout(name, binaries = {}) {
  const project = path.join(tmp, name);
  const dir = path.join(project, 'node_modules', 'tov-engine-native');
  fs.mkdirSync(path.join(dir, 'lib'), { recursive: true });
  for (const file of ['index.js', 'index.mjs', 'package.json', 'lib/prebuilds.js']) {
    fs.copyFileSync(path.join(root, file), path.join(dir, file));
  }
  for (const [where, content] of Object.entries(binaries)) {
    const folder = where.startsWith('tov-engine-native-') ? path.join(project, 'node_modules', where) : path.join(dir, where);
    fs.mkdirSync(folder, { recursive: true });
    if (where.startsWith('tov-engine-native-')) {
      fs.writeFileSync(path.join(folder, 'package.json'), JSON.stringify({ name: where, version: '1.0.0', main: prebuilds.BINARY_NAME }));
    }
    const target = path.join(folder, prebuilds.BINARY_NAME);
    if (Buffer.isBuffer(content)) fs.writeFileSync(target, content);
    else fs.copyFileSync(content, target);
  }
  return dir;
}

function load(dir, expression = "require('./').nativeVersion()", env = {}) {
  const script = `try { console.log(JSON.stringify({ ok: ${expression} })); }
    catch (e) { console.log(JSON.stringify({ message: e.message, code: e.code, cause: e.cause && e.cause.message })); }`;
  const r = spawnSync(process.execPath, ['-e', script], { cwd: dir, encoding: 'utf8', env: { ...process.env, ...env } });
  assert.equal(r.status, 0, r.stderr);
  return JSON.parse(r.stdout);
}

const kind = "require('./lib/prebuilds.js').resolveBinary().kind";

describe('the package root loads', { skip: noHost }, () => {
  const ownPackage = () => prebuilds.packageName(hostTarget.id);

  it('the binary package of this platform when there is no source build', () => {
    const dir = layout('package', { [ownPackage()]: built.file });
    assert.deepEqual(load(dir), { ok: 'tov-engine-native/1.0.0' });
    assert.deepEqual(load(dir, kind), { ok: 'package' });
    assert.deepEqual(load(dir, "require('./lib/prebuilds.js').shipped().map((t) => t.id)"), { ok: [hostTarget.id] });
  });

  it('a source build ahead of the binary package, and prebuilds/ after both', () => {
    const dir = layout('both', { [ownPackage()]: Buffer.from('not a binary'), 'build/Release': built.file });
    assert.deepEqual(load(dir, `[require('./').nativeVersion(), ${kind}]`), { ok: ['tov-engine-native/1.0.0', 'source'] });
    const local = layout('local', { [`prebuilds/${hostTarget.id}`]: built.file });
    assert.deepEqual(load(local, `[require('./').nativeVersion(), ${kind}]`), { ok: ['tov-engine-native/1.0.0', 'prebuilt'] });
  });

  it('the binary package when the source build was made for another system', () => {
    const foreigners = [['pe', peHeader(), 'win32-x64'], ['macho', machOHeader(), 'darwin-arm64']];
    // A header of this very system would be taken, not passed over.
    for (const [name, foreign, what] of foreigners.filter(([, , id]) => id !== `${process.platform}-${process.arch}`)) {
      const dir = layout(`foreign-${name}`, { 'build/Release': foreign, [ownPackage()]: built.file });
      assert.deepEqual(load(dir, `[require('./').nativeVersion(), ${kind}]`), { ok: ['tov-engine-native/1.0.0', 'package'] });
      const why = load(dir, "require('./lib/prebuilds.js').candidates()[0].reason");
      assert.deepEqual(why, { ok: `made for ${what}` });
    }
  });

  it('the binary package when the system refuses the source build', () => {
    const dir = layout('refused', { 'build/Release': Buffer.concat([fs.readFileSync(built.file).subarray(0, 64), Buffer.alloc(64)]),
      [ownPackage()]: built.file });
    assert.deepEqual(load(dir, `[require('./').nativeVersion(), ${kind}]`), { ok: ['tov-engine-native/1.0.0', 'package'] });
  });

  it('the package of the C library that TOV_ENGINE_LIBC names', { skip: process.platform !== 'linux' && 'Linux only' }, () => {
    const musl = prebuilds.TARGETS.find((t) => t.platform === 'linux' && t.arch === process.arch && t.libc === 'musl');
    // The binary is this host's; only the choice of package is under test.
    const dir = layout('override', { [prebuilds.packageName(musl.id)]: built.file });
    assert.deepEqual(load(dir, kind, { TOV_ENGINE_LIBC: 'musl' }), { ok: 'package' });
    const err = load(dir, "require('./')", { TOV_ENGINE_LIBC: 'glibc' });
    assert.equal(err.code, 'MODULE_NOT_FOUND');
    assert.match(err.message, /with glibc \(from TOV_ENGINE_LIBC\)/);
  });

  it('the same exports object through import', () => {
    const dir = layout('esm', { [ownPackage()]: built.file });
    fs.writeFileSync(path.join(dir, 'load.mjs'),
      "import m, { sha256String } from './index.mjs'; import { createRequire } from 'node:module';" +
      "console.log(m === createRequire(import.meta.url)('./index.js'), sha256String(''))");
    const r = spawnSync(process.execPath, [path.join(dir, 'load.mjs')], { cwd: dir, encoding: 'utf8' });
    assert.equal(r.stdout, 'true e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\n', r.stderr);
  });
});

describe('without a binary it can load, the package root throws one clear error', { skip: noHost }, () => {
  it('naming the package it looked for, every place it looked, the override and the source-build command', () => {
    const other = prebuilds.TARGETS.filter((t) => t !== hostTarget);
    const dir = layout('elsewhere', Object.fromEntries(other.map((t) => [prebuilds.packageName(t.id), Buffer.from('x')])));
    const err = load(dir);
    assert.equal(err.code, 'MODULE_NOT_FOUND');
    assert.ok(err.message.startsWith(`tov-engine-native: no native binary for ${process.platform}-${process.arch}`), err.message);
    assert.ok(err.message.includes(`It looked for ${prebuilds.packageName(hostTarget.id)}`), err.message);
    assert.ok(err.message.includes(`the package ${prebuilds.packageName(hostTarget.id)}: not installed`), err.message);
    assert.ok(err.message.includes(`the source build (${path.join(dir, 'build', 'Release', prebuilds.BINARY_NAME)}): not there`));
    assert.ok(err.message.includes(`\`node ${path.join(dir, 'lib', 'install.js')}\``), err.message);
    if (hostTarget.libc) assert.match(err.message, /set TOV_ENGINE_LIBC=glibc or TOV_ENGINE_LIBC=musl/);
    assert.doesNotMatch(err.message, /dlopen/);
  });

  it('naming the binary that the system refused, with the loader message as its cause', () => {
    // Cut after the headers, so the file reads as this system's binary and the
    // loader refuses it: a PE file's own header sits past its first 64 bytes.
    const cut = process.platform === 'win32' ? 1024 : 64;
    const dir = layout('broken', { [prebuilds.packageName(hostTarget.id)]: fs.readFileSync(built.file).subarray(0, cut) });
    const err = load(dir);
    assert.equal(err.code, 'ERR_DLOPEN_FAILED');
    assert.ok(err.message.includes(`the package ${prebuilds.packageName(hostTarget.id)} (`), err.message);
    if (hostTarget.glibc) assert.ok(err.message.includes(`the system refused it (it needs glibc ${hostTarget.glibc} or later): `));
    assert.ok(err.cause && err.message.includes(err.cause.split('\n')[0]));
  });
});

describe('the C library of the running process', { skip: process.platform !== 'linux' && 'Linux only' }, () => {
  it('is read from the process, whatever loaders the machine has installed', () => {
    const detected = prebuilds.detectLibc({});
    const report = process.report.getReport().header.glibcVersionRuntime;
    assert.equal(detected.libc, report ? 'glibc' : 'musl', JSON.stringify(detected));
    assert.equal(detected.how, '/proc/self/maps');
  });

  it('yields to TOV_ENGINE_LIBC, and a value that names no C library is an error', () => {
    assert.deepEqual(prebuilds.detectLibc({ TOV_ENGINE_LIBC: 'MUSL' }), { libc: 'musl', how: 'TOV_ENGINE_LIBC' });
    assert.deepEqual(prebuilds.detectLibc({ TOV_ENGINE_LIBC: 'gnu' }), { libc: 'glibc', how: 'TOV_ENGINE_LIBC' });
    assert.throws(() => prebuilds.detectLibc({ TOV_ENGINE_LIBC: 'bionic' }), /TOV_ENGINE_LIBC=bionic is neither glibc nor musl/);
    assert.deepEqual(prebuilds.detectLibc({ TOV_ENGINE_LIBC: 'musl' }, 'darwin'), { libc: null, how: 'platform' });
  });
});

describe('what a binary is made for, from its header', () => {
  it('tells ELF, Mach-O and PE files and their architecture apart, and anything else from them', () => {
    const write = (name, bytes) => {
      const file = path.join(tmp, name);
      fs.writeFileSync(file, bytes);
      return file;
    };
    if (built && process.platform === 'linux') {
      assert.deepEqual(prebuilds.binaryKind(built.file), { format: 'elf', platform: 'linux', arch: process.arch });
    }
    assert.deepEqual(prebuilds.binaryKind(write('pe', peHeader())), { format: 'pe', platform: 'win32', arch: 'x64' });
    assert.deepEqual(prebuilds.binaryKind(write('macho', machOHeader())), { format: 'mach-o', platform: 'darwin', arch: 'arm64' });
    assert.equal(prebuilds.binaryKind(write('text', 'MZ but short')), null);
    assert.equal(prebuilds.binaryKind(write('empty', '')), null);
    assert.equal(prebuilds.binaryKind(path.join(tmp, 'absent')), null);
  });
});
