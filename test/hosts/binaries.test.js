'use strict';
// What the prebuilt binaries ask of the system that loads them, read from
// the files themselves: the libraries they need, the C library symbol
// versions they bind to, the symbols they export and, for macOS, the
// minimum system version, the flat-namespace binds of Node-API and the code
// signature. Mach-O files are read with LLVM's tools (Debian's llvm-14).
const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const { TARGETS, GLIBC_FLOOR, prebuiltPath } = require('../../lib/prebuilds.js');

const ELF_MACHINE = { x64: 'Advanced Micro Devices X86-64', arm64: 'AArch64' };
const LOADER = { x64: 'ld-linux-x86-64.so.2', arm64: 'ld-linux-aarch64.so.1' };
const BINARY_SIZE_LIMIT = 1024 * 1024;

function tool(command, args) {
  const r = spawnSync(command, args, { encoding: 'utf8', maxBuffer: 64 * 1024 * 1024 });
  if (r.error) throw r.error;
  assert.equal(r.status, 0, `${command} ${args.join(' ')}: ${r.stderr}`);
  return r.stdout;
}

function compareVersions(a, b) {
  const x = a.split('.').map(Number);
  const y = b.split('.').map(Number);
  for (let i = 0; i < Math.max(x.length, y.length); ++i) {
    if ((x[i] || 0) !== (y[i] || 0)) return (x[i] || 0) - (y[i] || 0);
  }
  return 0;
}

// The version needs section (.gnu.version_r): file name -> version names.
function versionNeeds(file) {
  const needs = new Map();
  let current = null;
  for (const line of tool('readelf', ['-VW', file]).split('\n')) {
    const fileLine = line.match(/Version: \d+\s+File: (\S+)/);
    if (fileLine) {
      current = fileLine[1];
      needs.set(current, []);
      continue;
    }
    const name = line.match(/Name: (\S+)\s+Flags/);
    if (name && current) needs.get(current).push(name[1]);
  }
  return needs;
}

function neededLibraries(file) {
  return [...tool('readelf', ['-dW', file]).matchAll(/\(NEEDED\)\s+Shared library: \[([^\]]+)\]/g)].map((m) => m[1]);
}

function elfExports(file) {
  return tool('readelf', ['--dyn-syms', '-W', file])
    .split('\n')
    .map((line) => line.trim().split(/\s+/))
    .filter((f) => f.length >= 8 && /^(GLOBAL|WEAK)$/.test(f[4]) && f[6] !== 'UND')
    .map((f) => f[7]);
}

for (const target of TARGETS) {
  const file = prebuiltPath(target.id);
  it(`prebuilt ${target.id} is at most 1 MiB`, { skip: !fs.existsSync(file) && 'not built' }, () => {
    assert.ok(fs.statSync(file).size <= BINARY_SIZE_LIMIT, `${fs.statSync(file).size} bytes`);
  });
}

for (const target of TARGETS.filter((t) => t.platform === 'linux' && t.libc === 'glibc')) {
  const file = prebuiltPath(target.id);
  const present = fs.existsSync(file);
  describe(`prebuilt ${target.id}`, { skip: !present && `${file} is not built (npm run prebuilds)` }, () => {
    it('is an ELF shared object for its architecture', () => {
      assert.match(tool('readelf', ['-hW', file]), new RegExp(`Machine:\\s+${ELF_MACHINE[target.arch]}`));
    });

    it('needs only the C library, its loader and the pre-2.34 thread and loader libraries', () => {
      const needed = neededLibraries(file);
      const allowed = ['libc.so.6', 'libm.so.6', 'libpthread.so.0', 'libdl.so.2', LOADER[target.arch]];
      assert.ok(needed.includes('libc.so.6'), `libc.so.6 missing from ${needed}`);
      assert.deepEqual(needed.filter((n) => !allowed.includes(n)), []);
    });

    it(`binds to no glibc symbol version newer than ${GLIBC_FLOOR} and to no C++ runtime`, () => {
      const needs = versionNeeds(file);
      assert.ok(needs.size > 0, 'no version needs read: the binary is not linked against glibc?');
      const all = [...needs.values()].flat();
      const glibc = all.filter((v) => v.startsWith('GLIBC_') && v !== 'GLIBC_PRIVATE');
      assert.ok(glibc.length > 0);
      const newest = glibc.map((v) => v.slice('GLIBC_'.length)).sort(compareVersions).at(-1);
      assert.ok(compareVersions(newest, GLIBC_FLOOR) <= 0, `needs GLIBC_${newest}`);
      assert.deepEqual(all.filter((v) => !v.startsWith('GLIBC_')), [], 'versions from libstdc++ or libgcc_s');
    });

    it('exports napi_register_module_v1 alone: libcrypto and the C++ runtime stay hidden', () => {
      assert.deepEqual(elfExports(file), ['napi_register_module_v1']);
    });
  });
}

for (const target of TARGETS.filter((t) => t.libc === 'musl')) {
  const file = prebuiltPath(target.id);
  describe(`prebuilt ${target.id}`, { skip: !fs.existsSync(file) && `${file} is not built (npm run prebuilds)` }, () => {
    it('is an ELF shared object for its architecture that needs only the musl C library', () => {
      assert.match(tool('readelf', ['-hW', file]), new RegExp(`Machine:\\s+${ELF_MACHINE[target.arch]}`));
      // musl's one library is libc.so, which is its loader too.
      assert.deepEqual(neededLibraries(file).filter((n) => n !== 'libc.so'), []);
    });

    it('binds to no glibc symbol version and exports napi_register_module_v1 alone', () => {
      const all = [...versionNeeds(file).values()].flat();
      assert.deepEqual(all.filter((v) => v.startsWith('GLIBC_')), []);
      assert.deepEqual(elfExports(file), ['napi_register_module_v1']);
    });
  });
}

const MACHO_CPU = { x64: 'X86_64', arm64: 'ARM64' };
const { unsignedPages } = require('../../scripts/macho.js');
if (TARGETS.some((t) => t.platform === 'darwin' && fs.existsSync(prebuiltPath(t.id)))) {
  require('../../scripts/apt.js').ensureDebianPackages(['llvm-14']);
}

for (const target of TARGETS.filter((t) => t.platform === 'darwin')) {
  const file = prebuiltPath(target.id);
  const objdump = (...args) => tool('llvm-objdump-14', ['--macho', ...args, file]);
  describe(`prebuilt ${target.id}`, { skip: !fs.existsSync(file) && `${file} is not built (npm run prebuilds)` }, () => {
    it(`is a Mach-O dynamic library for its architecture, for macOS ${target.macos} and later, loading libSystem alone`, () => {
      const header = objdump('--private-header');
      assert.match(header, new RegExp(`MH_MAGIC_64\\s+${MACHO_CPU[target.arch]}\\s+\\S+\\s+\\S+\\s+DYLIB`));
      const commands = objdump('--private-headers');
      const minos = commands.match(/cmd LC_BUILD_VERSION[\s\S]*?minos (\S+)/);
      assert.ok(minos, 'no LC_BUILD_VERSION');
      assert.equal(minos[1], target.macos);
      const dylibs = [...commands.matchAll(/cmd LC_LOAD(?:_WEAK)?_DYLIB\n\s+cmdsize \d+\n\s+name (\S+)/g)].map((m) => m[1]);
      assert.deepEqual(dylibs, ['/usr/lib/libSystem.B.dylib']);
      if (target.arch === 'arm64') {
        // Every page must match its hash in the ad-hoc signature, or Apple
        // silicon kills the process that loads it.
        assert.deepEqual(unsignedPages(fs.readFileSync(file)), []);
      }
    });

    it('exports napi_register_module_v1 alone and binds Node-API through the flat namespace', () => {
      const exported = objdump('--exports-trie').split('\n').map((l) => l.trim().split(/\s+/).pop()).filter((n) => n && n.startsWith('_'));
      assert.deepEqual(exported, ['_napi_register_module_v1']);
      const binds = (objdump('--bind') + objdump('--lazy-bind')).split('\n').filter((l) => / _napi_/.test(l));
      assert.ok(binds.length > 20, `${binds.length} Node-API binds`);
      assert.deepEqual(binds.filter((l) => !/flat-namespace/.test(l)), []);
    });
  });
}

const windows = prebuiltPath('win32-x64');
describe('prebuilt win32-x64', { skip: !fs.existsSync(windows) && `${windows} is not built` }, () => {
  it('imports no C++ runtime, libgcc, winpthread or OpenSSL DLL', () => {
    const dlls = [...tool('objdump', ['-p', windows]).matchAll(/DLL Name: (\S+)/g)].map((m) => m[1].toLowerCase());
    assert.ok(dlls.includes('kernel32.dll'), `imports: ${dlls}`);
    assert.deepEqual(dlls.filter((d) => /^(libstdc\+\+|libgcc|libwinpthread|libcrypto|libssl)/.test(d)), []);
  });
});
