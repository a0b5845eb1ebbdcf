'use strict';
// Publishes the main package and every binary package that `npm run
// pack:all` makes to a private registry on 127.0.0.1 (Verdaccio, started and
// stopped here), then installs `tov-engine-native` into fresh projects with
// npm, pnpm, yarn and Bun, with install scripts allowed and disabled, and
// checks what a user would meet: one binary package, no install script, no
// build tool, every function and the command working, the right C library
// on a glibc machine that has musl installed, the TOV_ENGINE_LIBC override
// and the error when the binary package is missing. Slow, so it runs as
// `npm run test:pack`.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
const prebuilds = require(path.join(root, 'lib', 'prebuilds.js'));
const { packAll } = require(path.join(root, 'scripts', 'pack-all.js'));
const { ensureDebianPackages } = require(path.join(root, 'scripts', 'apt.js'));
const { HOSTS, ensureHost } = require(path.join(root, 'test', 'hosts', 'hosts.js'));

const TOOLS = { verdaccio: '6.8.0', pnpm: '10.34.0', yarn: '1.22.22' };
const TOOLS_DIR = path.join(os.homedir(), '.cache', 'tov-engine-toolchains', `pack-tools-${Object.values(TOOLS).join('-')}`);
const hostTarget = prebuilds.targetForHost();
const BUILD_TOOLS = ['cmake-js', 'node-api-headers', 'typescript'];

function sh(command, args, options = {}) {
  const r = spawnSync(command, args, { encoding: 'utf8', maxBuffer: 64 * 1024 * 1024, timeout: 180_000, ...options });
  if (r.error) throw r.error;
  return r;
}

function mustRun(command, args, options) {
  const r = sh(command, args, options);
  const how = r.signal ? `was killed by ${r.signal} (timed out?)` : `failed with status ${r.status}`;
  assert.equal(r.status, 0, `${command} ${args.join(' ').slice(0, 200)} ${how}:\n${r.stdout}\n${r.stderr}`);
  return r;
}

// The package managers and the registry, installed once per machine.
function ensureTools() {
  const bin = (name, file) => path.join(TOOLS_DIR, 'node_modules', name, file);
  const tools = { verdaccio: bin('verdaccio', 'bin/verdaccio'), pnpm: bin('pnpm', 'bin/pnpm.cjs'), yarn: bin('yarn', 'bin/yarn.js') };
  if (!Object.values(tools).every((f) => fs.existsSync(f))) {
    fs.mkdirSync(TOOLS_DIR, { recursive: true });
    fs.writeFileSync(path.join(TOOLS_DIR, 'package.json'), JSON.stringify({ name: 'pack-tools', private: true }));
    mustRun('npm', ['install', '--no-audit', '--no-fund', '--no-save', ...Object.entries(TOOLS).map(([n, v]) => `${n}@${v}`)],
      { cwd: TOOLS_DIR, timeout: 600_000 });
  }
  return { ...tools, bun: ensureHost(HOSTS.find((h) => h.id === 'bun')) };
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
    server.on('error', reject);
  });
}

// Verdaccio with no uplink: only what is published here exists.
async function startRegistry(dir, verdaccio) {
  const port = await freePort();
  fs.mkdirSync(dir, { recursive: true });
  const config = path.join(dir, 'config.yaml');
  fs.writeFileSync(config, [
    `storage: ${path.join(dir, 'storage')}`,
    'auth:', '  htpasswd:', `    file: ${path.join(dir, 'htpasswd')}`, '    max_users: 10',
    'uplinks: {}',
    'packages:', "  '**':", '    access: $all', '    publish: $authenticated',
    'log: { type: stdout, format: pretty, level: warn }',
    '',
  ].join('\n'));
  const child = spawn(process.execPath, [verdaccio, '--config', config, '--listen', `127.0.0.1:${port}`], { stdio: 'ignore' });
  const url = `http://127.0.0.1:${port}/`;
  for (let i = 0; i < 300; ++i) {
    try {
      if ((await fetch(`${url}-/ping`)).ok) break;
    } catch {
      // Not listening yet.
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  const user = await fetch(`${url}-/user/org.couchdb.user:tester`, {
    method: 'PUT',
    headers: { 'content-type': 'application/json' },
    body: JSON.stringify({ name: 'tester', password: 'tester-password' }),
  });
  assert.ok(user.ok, `the registry did not start or refused the user: ${user.status}`);
  return { child, url, token: (await user.json()).token };
}

let tmp;
let tools;
let registry;
let packed;
let npmrc;
const dependencies = [];

before(async () => {
  tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tov-pack-'));
  tools = ensureTools();
  ensureDebianPackages(['musl']);
  if (!fs.existsSync(prebuilds.prebuiltPath(hostTarget.id, root))) {
    mustRun(process.execPath, [path.join(root, 'scripts', 'prebuilds.js'), hostTarget.id], { timeout: 1_200_000, stdio: 'inherit' });
  }
  packed = packAll(path.join(tmp, 'tarballs'));
  // The registry has no uplink: the one runtime dependency is published
  // into it too, from the npm client's own registry.
  const manifest = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
  for (const [name, version] of Object.entries(manifest.dependencies)) {
    const r = mustRun('npm', ['pack', '--json', `${name}@${version}`, '--pack-destination', path.join(tmp, 'tarballs')], { cwd: tmp });
    const [dep] = JSON.parse(r.stdout.slice(r.stdout.indexOf('[')));
    dependencies.push({ name, version, file: path.join(tmp, 'tarballs', dep.filename), size: dep.size });
  }
  registry = await startRegistry(path.join(tmp, 'registry'), tools.verdaccio);
  npmrc = path.join(tmp, 'npmrc');
  const auth = registry.url.replace(/^http:/, '');
  fs.writeFileSync(npmrc, `registry=${registry.url}\n${auth}:_authToken=${registry.token}\n`);
});

after(() => {
  if (registry) registry.child.kill();
  if (process.env.TOV_KEEP_PACK_DIR) console.log(`# kept ${tmp}`);
  else if (tmp) fs.rmSync(tmp, { recursive: true, force: true });
});

// Every manager reads the registry from the project's .npmrc; npm and pnpm
// also from NPM_CONFIG_USERCONFIG, which keeps the machine's own out.
function project(name) {
  const dir = path.join(tmp, 'projects', name);
  fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(path.join(dir, 'package.json'),
    JSON.stringify({ name: `app-${name}`, version: '1.0.0', private: true, dependencies: { 'tov-engine-native': packed[0].version } }));
  fs.writeFileSync(path.join(dir, '.npmrc'), `registry=${registry.url}\n`);
  fs.writeFileSync(path.join(dir, '.yarnrc'), `registry "${registry.url}"\n`);
  fs.writeFileSync(path.join(dir, 'bunfig.toml'), `[install]\nregistry = "${registry.url}"\n`);
  return dir;
}

function managerEnv(dir) {
  const env = { ...process.env };
  for (const key of Object.keys(env)) if (/^npm_/i.test(key)) delete env[key];
  return { ...env, NPM_CONFIG_USERCONFIG: npmrc, YARN_CACHE_FOLDER: path.join(tmp, 'yarn-cache'),
    BUN_INSTALL_CACHE_DIR: path.join(tmp, 'bun-cache'), HOME: dir };
}

const INSTALL = {
  npm: (scripts) => ['npm', ['install', '--no-audit', '--no-fund', ...(scripts ? [] : ['--ignore-scripts'])]],
  pnpm: (scripts) => [process.execPath, [tools.pnpm, 'install', '--store-dir', path.join(tmp, 'pnpm-store'),
    ...(scripts ? [] : ['--ignore-scripts'])]],
  yarn: (scripts) => [process.execPath, [tools.yarn, 'install', '--non-interactive', ...(scripts ? [] : ['--ignore-scripts'])]],
  bun: (scripts) => [tools.bun, ['install', ...(scripts ? [] : ['--ignore-scripts'])]],
};

// The name of every package under node_modules, the stores of pnpm
// (.pnpm) and Bun's isolated layout (.bun) included.
function installedPackages(dir) {
  const found = new Set();
  const walk = (modules) => {
    if (!fs.existsSync(modules)) return;
    for (const entry of fs.readdirSync(modules, { withFileTypes: true })) {
      const full = path.join(modules, entry.name);
      if (entry.name === '.pnpm' || entry.name === '.bun') {
        for (const stored of fs.readdirSync(full)) walk(path.join(full, stored, 'node_modules'));
      } else if (entry.name.startsWith('@') && entry.isDirectory()) {
        for (const scoped of fs.readdirSync(full, { withFileTypes: true })) visit(path.join(full, scoped.name), scoped);
      } else if (!entry.name.startsWith('.')) {
        visit(full, entry);
      }
    }
  };
  const visit = (folder, entry) => {
    if (!entry.isDirectory() || entry.isSymbolicLink()) return;
    const manifest = path.join(folder, 'package.json');
    if (fs.existsSync(manifest)) found.add(JSON.parse(fs.readFileSync(manifest, 'utf8')).name);
    walk(path.join(folder, 'node_modules'));
  };
  walk(path.join(dir, 'node_modules'));
  return [...found].sort();
}

const USE = `
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
  const manifest = m.batchFileHash(['a.txt', 'missing']);
  assert.deepEqual(manifest, [['a.txt', abc]]);
  assert.equal(m.merkleRoot([['b', '2'], ['a', '1']]), '2bc11e86e8348c7c62f11e681435b5d013a262e5a9f3b8ce61c25831a516a45e');
  assert.deepEqual(m.merkleDiff(manifest, [['a.txt', abc], ['new', abc]]), { added: ['new'], modified: [], deleted: [] });
  m.fileHash('a.txt').then((hex) => {
    assert.equal(hex, abc);
    console.log(require('tov-engine-native/prebuilds').resolveBinary().file);
  });
`;

const installs = new Map();

describe('published through a registry', () => {
  it('pack:all writes the main package and one binary package per built target', () => {
    const names = packed.map((p) => p.name);
    assert.equal(names[0], 'tov-engine-native');
    assert.ok(names.includes(prebuilds.packageName(hostTarget.id)), names.join(' '));
    for (const p of packed) console.log(`# ${p.name}: ${(p.size / 1e3).toFixed(0)} kB packed`);
    const manifest = JSON.parse(mustRun('tar', ['-xOzf', packed[0].file, 'package/package.json']).stdout);
    assert.equal(manifest.scripts, undefined, 'the published package has scripts');
    assert.equal(manifest.devDependencies, undefined);
    assert.deepEqual(Object.keys(manifest.dependencies), ['ignore']);
    assert.deepEqual(manifest.optionalDependencies,
      Object.fromEntries(packed.slice(1).map((p) => [p.name, manifest.version])));
    const listing = mustRun('tar', ['-tzf', packed[0].file]).stdout;
    assert.doesNotMatch(listing, /\.node\n/, 'the main package carries a binary');
    const binary = JSON.parse(mustRun('tar', ['-xOzf', packed.find((p) => p.name.endsWith(hostTarget.id)).file, 'package/package.json']).stdout);
    assert.deepEqual([binary.os, binary.cpu, binary.libc], [[hostTarget.platform], [hostTarget.arch], hostTarget.libc ? [hostTarget.libc] : undefined]);
  });

  it('publishes every package', () => {
    for (const p of [...dependencies, ...packed.slice(1), packed[0]]) {
      mustRun('npm', ['publish', p.file, '--ignore-scripts', '--registry', registry.url], { env: managerEnv(tmp) });
    }
  });
});

for (const manager of Object.keys(INSTALL)) {
  for (const scripts of [true, false]) {
    const name = `${manager}-${scripts ? 'scripts' : 'no-scripts'}`;
    describe(`installed with ${manager}, install scripts ${scripts ? 'allowed' : 'disabled'}`, () => {
      it('brings one binary package, runs no install script and brings no build tool', () => {
        const dir = project(name);
        const [command, args] = INSTALL[manager](scripts);
        const r = mustRun(command, args, { cwd: dir, env: managerEnv(dir) });
        const output = r.stdout + r.stderr;
        assert.doesNotMatch(output, /Ignored build scripts|Blocked \d+ postinstall|allowScripts|cmake-js/i);
        const packages = installedPackages(dir);
        const binaries = packages.filter((p) => p.startsWith('tov-engine-native-'));
        // Yarn 1 knows `os` and `cpu` but not `libc`: it installs both C
        // libraries' packages of the platform, and the loader picks.
        const expected = manager === 'yarn' ? prebuilds.TARGETS.filter((t) => t.platform === hostTarget.platform &&
          t.arch === hostTarget.arch && packed.some((p) => p.name === prebuilds.packageName(t.id))).map((t) => prebuilds.packageName(t.id))
          : [prebuilds.packageName(hostTarget.id)];
        assert.deepEqual(binaries.sort(), expected.sort());
        assert.deepEqual(packages.filter((p) => BUILD_TOOLS.includes(p)), []);
        const main = path.join(dir, 'node_modules', 'tov-engine-native');
        assert.ok(!fs.existsSync(path.join(main, 'build')), 'something built from source');
        installs.set(name, { dir, packages });
        const sizes = new Map([...packed, ...dependencies].map((p) => [p.name, p.size]));
        const bytes = packages.reduce((sum, p) => sum + (sizes.get(p) || 0), 0);
        assert.ok(packages.every((p) => sizes.has(p)), `packages from nowhere: ${packages}`);
        console.log(`# ${name}: ${packages.length} packages, ${(bytes / 1e6).toFixed(2)} MB of tarballs: ${packages.join(' ')}`);
      });

      it('works: every function, the binary of this C library, and the command', () => {
        const { dir } = installs.get(name) || assert.fail('the install did not succeed');
        const r = mustRun(process.execPath, ['-e', USE], { cwd: dir });
        assert.match(r.stdout, new RegExp(`${prebuilds.packageName(hostTarget.id)}/${prebuilds.BINARY_NAME}\\n$`));
        const cli = mustRun(path.join(dir, 'node_modules', '.bin', 'tov-engine'), ['manifest', 'a.txt'], { cwd: dir });
        const digest = crypto.createHash('sha256').update('abc').digest('hex');
        assert.equal(cli.stdout, `${digest}  a.txt\n# root: ${crypto.createHash('sha256').update(`a.txt:${digest}`).digest('hex')}\n`);
      });
    });
  }
}

describe('choosing and missing the binary', () => {
  it('picks glibc on this glibc machine although musl is installed', { skip: hostTarget.libc !== 'glibc' && 'not a glibc host' }, () => {
    assert.ok(fs.existsSync(`/lib/ld-musl-${{ x64: 'x86_64', arm64: 'aarch64' }[process.arch]}.so.1`), 'musl is not installed');
    const { dir } = installs.get('npm-scripts') || assert.fail('the npm install did not succeed');
    const r = mustRun(process.execPath, ['-p', "JSON.stringify(require('tov-engine-native/prebuilds').detectLibc())"], { cwd: dir });
    assert.deepEqual(JSON.parse(r.stdout), { libc: 'glibc', how: '/proc/self/maps' });
  });

  it('follows TOV_ENGINE_LIBC, and says which package it looked for', { skip: !hostTarget.libc && 'one C library here' }, () => {
    const { dir } = installs.get('npm-scripts') || assert.fail('the npm install did not succeed');
    const other = hostTarget.libc === 'glibc' ? 'musl' : 'glibc';
    const wanted = prebuilds.packageName(hostTarget.id.replace(/-(gnu|musl)$/, other === 'musl' ? '-musl' : '-gnu'));
    const r = sh(process.execPath, ['-e', "require('tov-engine-native')"], { cwd: dir, env: { ...process.env, TOV_ENGINE_LIBC: other } });
    assert.notEqual(r.status, 0);
    assert.ok(r.stderr.includes(`with ${other} (from TOV_ENGINE_LIBC)`), r.stderr);
    assert.ok(r.stderr.includes(`It looked for ${wanted}`), r.stderr);
  });

  it('without the binary package, require throws the clear error naming the source-build command', () => {
    const dir = project('npm-no-optional');
    mustRun('npm', ['install', '--no-audit', '--no-fund', '--omit=optional'], { cwd: dir, env: managerEnv(dir) });
    assert.deepEqual(installedPackages(dir).filter((p) => p.startsWith('tov-engine-native-')), []);
    const r = sh(process.execPath, ['-e', "require('tov-engine-native')"], { cwd: dir });
    const message = r.stderr.split('\n').find((line) => line.startsWith('Error: tov-engine-native:'));
    assert.ok(message, r.stderr);
    assert.ok(message.includes(`the package ${prebuilds.packageName(hostTarget.id)}: not installed`), message);
    assert.ok(message.includes('--omit=optional'), message);
    assert.ok(message.includes(`node ${path.join(dir, 'node_modules', 'tov-engine-native', 'lib', 'install.js')}`), message);
  });
});
