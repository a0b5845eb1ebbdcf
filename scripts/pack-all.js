'use strict';
// `npm run pack:all -- DIR`: writes the tarball of the main package and of
// one binary package per target into DIR, as they are published.
//
// The binary packages (tov-engine-native-<target>, with `os`, `cpu` and
// `libc` so that a package manager installs only the one that fits) and the
// main package's exact-version optionalDependencies on them exist only in
// the packed manifests, never in the repository's package.json: npm resolves
// every optional dependency against the registry when installing a clone,
// so naming unpublished versions there would fail or stall `npm install`
// before each release. The packed main package keeps no scripts (nothing
// runs on install) and no development dependencies.
//
// Each binary comes from prebuilds/<target>/ (`npm run prebuilds`). A target
// without one is left out of the set with a line saying so; `--all` makes
// that an error, as a release wants.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { TARGETS, BINARY_NAME, packageName, prebuiltPath } = require('../lib/prebuilds.js');

const root = path.join(__dirname, '..');
const npm = process.platform === 'win32' ? 'npm.cmd' : 'npm';

function npmPack(cwd, destination) {
  const r = spawnSync(npm, ['pack', '--json', '--ignore-scripts', '--pack-destination', destination], {
    cwd,
    encoding: 'utf8',
    shell: process.platform === 'win32',
  });
  if (r.status !== 0) throw new Error(`npm pack in ${cwd} failed: ${r.stderr}`);
  return JSON.parse(r.stdout.slice(r.stdout.indexOf('[')))[0];
}

function describe(target) {
  const libc = target.libc ? ` with ${target.libc}${target.glibc ? ` ${target.glibc} or later` : ''}` : '';
  const macos = target.macos ? ` ${target.macos} or later` : '';
  return `${target.platform === 'darwin' ? 'macOS' : target.platform}${macos} on ${target.arch}${libc}`;
}

// The manifest of one binary package.
function binaryManifest(main, target) {
  const manifest = {
    name: packageName(target.id),
    version: main.version,
    description: `The native binary of ${main.name} for ${describe(target)}`,
    license: main.license,
    os: [target.platform],
    cpu: [target.arch],
    ...(target.libc ? { libc: [target.libc] } : {}),
    main: BINARY_NAME,
    files: [BINARY_NAME],
    engines: main.engines,
    // Yarn's Plug'n'Play would otherwise leave the binary inside a zip.
    preferUnplugged: true,
  };
  return manifest;
}

// The manifest the main package is published with.
function mainManifest(main, targets) {
  const { scripts, devDependencies, ...published } = main;
  published.optionalDependencies = Object.fromEntries(targets.map((t) => [packageName(t.id), main.version]));
  return published;
}

function stage(dir) {
  fs.rmSync(dir, { recursive: true, force: true });
  fs.mkdirSync(dir, { recursive: true });
  return dir;
}

function packAll(destination, { requireAll = false } = {}) {
  fs.mkdirSync(destination, { recursive: true });
  const main = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
  const staging = path.join(root, 'build-pack');
  const packed = [];
  const present = TARGETS.filter((t) => fs.existsSync(prebuiltPath(t.id, root)));
  const absent = TARGETS.filter((t) => !present.includes(t));
  if (absent.length) {
    const line = `no binary for ${absent.map((t) => t.id).join(', ')} in prebuilds/ (npm run prebuilds)`;
    if (requireAll) throw new Error(line);
    console.log(`pack:all: ${line}: left out`);
  }
  for (const target of present) {
    const dir = stage(path.join(staging, target.id));
    fs.writeFileSync(path.join(dir, 'package.json'), `${JSON.stringify(binaryManifest(main, target), null, 2)}\n`);
    fs.copyFileSync(prebuiltPath(target.id, root), path.join(dir, BINARY_NAME));
    fs.copyFileSync(path.join(root, 'LICENSE'), path.join(dir, 'LICENSE'));
    fs.writeFileSync(path.join(dir, 'README.md'),
      `# ${packageName(target.id)}\n\nThe native binary of \`${main.name}\` for ${describe(target)}. ` +
      `Install \`${main.name}\` itself: it depends on this package where it fits.\n`);
    packed.push(npmPack(dir, destination));
  }
  // The main package: the files `npm pack` would take from the repository,
  // with the published manifest in place of the repository's.
  const listing = spawnSync(npm, ['pack', '--dry-run', '--json', '--ignore-scripts'], {
    cwd: root, encoding: 'utf8', shell: process.platform === 'win32',
  });
  if (listing.status !== 0) throw new Error(`npm pack --dry-run failed: ${listing.stderr}`);
  const files = JSON.parse(listing.stdout.slice(listing.stdout.indexOf('[')))[0].files.map((f) => f.path);
  const dir = stage(path.join(staging, 'main'));
  for (const file of files) {
    fs.mkdirSync(path.dirname(path.join(dir, file)), { recursive: true });
    fs.copyFileSync(path.join(root, file), path.join(dir, file));
  }
  fs.writeFileSync(path.join(dir, 'package.json'), `${JSON.stringify(mainManifest(main, present), null, 2)}\n`);
  packed.unshift(npmPack(dir, destination));
  for (const p of packed) {
    console.log(`pack:all: ${p.filename}: ${(p.size / 1e3).toFixed(0)} kB packed, ${(p.unpackedSize / 1e3).toFixed(0)} kB unpacked`);
  }
  return packed.map((p) => ({ name: p.name, version: p.version, file: path.join(destination, p.filename), size: p.size }));
}

if (require.main === module) {
  const args = process.argv.slice(2);
  const destination = args.find((a) => !a.startsWith('--'));
  if (!destination) {
    console.error('usage: npm run pack:all -- DIR [--all]');
    process.exit(2);
  }
  try {
    packAll(path.resolve(process.env.INIT_CWD || process.cwd(), destination), { requireAll: args.includes('--all') });
  } catch (err) {
    console.error(`pack:all: ${err.message}`);
    process.exit(1);
  }
}

module.exports = { packAll, binaryManifest, mainManifest };
