'use strict';
// Debian packages a build or test leg needs, installed when missing so that
// a fresh CI machine works. Outside CI as non-root it only says what to
// install.
const { spawnSync } = require('node:child_process');

function installed(pkg) {
  const r = spawnSync('dpkg-query', ['-W', '-f=${Status}', pkg], { encoding: 'utf8' });
  return r.status === 0 && r.stdout.includes('install ok installed');
}

function run(command, args) {
  console.log(`+ ${command} ${args.join(' ')}`);
  const r = spawnSync(command, args, { stdio: 'inherit', env: { ...process.env, DEBIAN_FRONTEND: 'noninteractive' } });
  if (r.status !== 0) throw new Error(`${command} ${args.join(' ')} failed with status ${r.status}`);
}

function foreignArchitectures() {
  const r = spawnSync('dpkg', ['--print-foreign-architectures'], { encoding: 'utf8' });
  return r.status === 0 ? r.stdout.split(/\s+/).filter(Boolean) : [];
}

// `packages` may name foreign-architecture packages (libssl-dev:arm64).
function ensureDebianPackages(packages) {
  const missing = packages.filter((p) => !installed(p));
  if (missing.length === 0) return;
  if (spawnSync('dpkg', ['--version']).status !== 0 || process.getuid?.() !== 0) {
    throw new Error(`missing Debian packages: ${missing.join(' ')} (install them with apt-get as root)`);
  }
  for (const arch of new Set(missing.map((p) => p.split(':')[1]).filter(Boolean))) {
    if (!foreignArchitectures().includes(arch)) run('dpkg', ['--add-architecture', arch]);
  }
  run('apt-get', ['update', '-q']);
  run('apt-get', ['install', '-y', '-q', '--no-remove', ...missing]);
}

module.exports = { ensureDebianPackages };
