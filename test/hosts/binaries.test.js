'use strict';
// What the prebuilt binaries ask of the system that loads them, read from
// the files themselves: the libraries they need, the C library symbol
// versions they bind to, and the symbols they export.
const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const { TARGETS, GLIBC_FLOOR, prebuiltPath } = require('../../lib/prebuilds.js');

const ELF_MACHINE = { x64: 'Advanced Micro Devices X86-64', arm64: 'AArch64' };
const LOADER = { x64: 'ld-linux-x86-64.so.2', arm64: 'ld-linux-aarch64.so.1' };

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

for (const target of TARGETS.filter((t) => t.platform === 'linux')) {
  const file = prebuiltPath(target.id);
  const present = fs.existsSync(file);
  describe(`prebuilt ${target.id}`, { skip: !present && `${file} is not built (npm run prebuilds)` }, () => {
    it('is an ELF shared object for its architecture', () => {
      assert.match(tool('readelf', ['-hW', file]), new RegExp(`Machine:\\s+${ELF_MACHINE[target.arch]}`));
    });

    it('needs only the C library, its loader and the pre-2.34 thread and loader libraries', () => {
      const needed = [...tool('readelf', ['-dW', file]).matchAll(/\(NEEDED\)\s+Shared library: \[([^\]]+)\]/g)]
        .map((m) => m[1]);
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
      const defined = tool('readelf', ['--dyn-syms', '-W', file])
        .split('\n')
        .map((line) => line.trim().split(/\s+/))
        .filter((f) => f.length >= 8 && /^(GLOBAL|WEAK)$/.test(f[4]) && f[6] !== 'UND')
        .map((f) => f[7]);
      assert.deepEqual(defined, ['napi_register_module_v1']);
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
