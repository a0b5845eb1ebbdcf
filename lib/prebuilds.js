'use strict';
// Which native binary this installation loads. In order, the first that is
// made for this system and loads:
//   1. a source build (build/Release/), which exists only because someone
//      built one: a clone of the repository, or the source-build command;
//   2. the binary package of this platform (tov-engine-native-<target>),
//      which the package manager installed as an optional dependency;
//   3. prebuilds/<target>/ in this copy (a clone after `npm run prebuilds`).
// A source build made for another system (a checkout shared between Linux
// and Windows, a container's build/ seen from the host) is passed over, not
// allowed to hide a binary that fits. `require('tov-engine-native/prebuilds')`
// gives all of this to programs that want to know before they load the addon.
const fs = require('node:fs');
const path = require('node:path');

const PACKAGE_ROOT = path.join(__dirname, '..');
const PACKAGE_NAME = 'tov-engine-native';
const BINARY_NAME = 'tov_engine_native.node';
const GLIBC_FLOOR = '2.28';
const MACOS_FLOOR = '11.0';
const LIBC_VARIABLE = 'TOV_ENGINE_LIBC';

function target(platform, arch, libc) {
  const suffix = libc === 'glibc' ? '-gnu' : libc === 'musl' ? '-musl' : '';
  return Object.freeze({
    id: `${platform}-${arch}${suffix}`,
    platform,
    arch,
    libc,
    glibc: libc === 'glibc' ? GLIBC_FLOOR : null,
    macos: platform === 'darwin' ? MACOS_FLOOR : null,
  });
}

// Every target the package is built for. `libc` is null where the platform
// has one C library.
const TARGETS = Object.freeze([
  target('linux', 'x64', 'glibc'),
  target('linux', 'arm64', 'glibc'),
  target('linux', 'x64', 'musl'),
  target('linux', 'arm64', 'musl'),
  target('darwin', 'x64', null),
  target('darwin', 'arm64', null),
  target('win32', 'x64', null),
]);

function packageName(id) {
  return `${PACKAGE_NAME}-${id}`;
}

function prebuiltPath(id, root = PACKAGE_ROOT) {
  return path.join(root, 'prebuilds', id, BINARY_NAME);
}

function sourceBuildPath(root = PACKAGE_ROOT) {
  return path.join(root, 'build', 'Release', BINARY_NAME);
}

// The libraries mapped into this very process say which C library it runs
// on; a glibc machine with the musl package installed maps no musl. Every
// host reads /proc alike; the report is the way where /proc is closed off.
function libcOfProcess() {
  try {
    const maps = fs.readFileSync('/proc/self/maps', 'latin1');
    if (/\/(ld-musl-[^/\s]+\.so\.1|libc\.musl-[^/\s]+\.so\.1)$/m.test(maps)) return { libc: 'musl', how: '/proc/self/maps' };
    if (/\/(libc\.so\.6|ld-linux[^/\s]*\.so\.\d)$/m.test(maps)) return { libc: 'glibc', how: '/proc/self/maps' };
  } catch {
    // Not readable here: ask the host.
  }
  try {
    const header = process.report && process.report.getReport().header;
    if (header) return { libc: header.glibcVersionRuntime ? 'glibc' : 'musl', how: 'process.report' };
  } catch {
    // No report either.
  }
  return { libc: 'glibc', how: 'default' };
}

// { libc, how }: libc is null off Linux. TOV_ENGINE_LIBC=glibc|musl wins.
function detectLibc(env = process.env, platform = process.platform) {
  if (platform !== 'linux') return { libc: null, how: 'platform' };
  const asked = (env[LIBC_VARIABLE] || '').trim().toLowerCase();
  if (asked) {
    const libc = { glibc: 'glibc', gnu: 'glibc', musl: 'musl' }[asked];
    if (!libc) throw new Error(`${PACKAGE_NAME}: ${LIBC_VARIABLE}=${env[LIBC_VARIABLE]} is neither glibc nor musl`);
    return { libc, how: LIBC_VARIABLE };
  }
  return libcOfProcess();
}

function hostLibc(env = process.env) {
  return detectLibc(env).libc;
}

function targetForHost(env = process.env) {
  const { libc } = detectLibc(env);
  return TARGETS.find((t) => t.platform === process.platform && t.arch === process.arch && t.libc === libc) || null;
}

function hostDescription(detected) {
  const base = `${process.platform}-${process.arch}`;
  return detected.libc ? `${base} with ${detected.libc} (from ${detected.how})` : base;
}

// What a binary file is made for, from its first bytes: { format, arch }, or
// null when it is none of the three formats.
const ELF_MACHINES = { 0x3e: 'x64', 0xb7: 'arm64', 0x03: 'ia32', 0x28: 'arm' };
const MACHO_CPUS = { 0x01000007: 'x64', 0x0100000c: 'arm64' };
const PE_MACHINES = { 0x8664: 'x64', 0xaa64: 'arm64', 0x014c: 'ia32' };

function binaryKind(file) {
  let head;
  try {
    const fd = fs.openSync(file, 'r');
    try {
      head = Buffer.alloc(512);
      head = head.subarray(0, fs.readSync(fd, head, 0, head.length, 0));
    } finally {
      fs.closeSync(fd);
    }
  } catch {
    return null;
  }
  if (head.length >= 20 && head.readUInt32BE(0) === 0x7f454c46) {
    const little = head[5] === 1;
    return { format: 'elf', platform: 'linux', arch: ELF_MACHINES[little ? head.readUInt16LE(18) : head.readUInt16BE(18)] || 'unknown' };
  }
  if (head.length >= 8 && head.readUInt32LE(0) === 0xfeedfacf) {
    return { format: 'mach-o', platform: 'darwin', arch: MACHO_CPUS[head.readUInt32LE(4)] || 'unknown' };
  }
  if (head.length >= 64 && head.readUInt16LE(0) === 0x5a4d) {
    const pe = head.readUInt32LE(60);
    if (pe + 6 <= head.length && head.readUInt32LE(pe) === 0x4550) {
      return { format: 'pe', platform: 'win32', arch: PE_MACHINES[head.readUInt16LE(pe + 4)] || 'unknown' };
    }
  }
  return null;
}

function platformPackageBinary(id, root) {
  try {
    return require.resolve(`${packageName(id)}/${BINARY_NAME}`, { paths: [root] });
  } catch {
    return null;
  }
}

// Every place a binary may be, in order of preference, each with why it is
// or is not taken: { file, kind, label, usable, reason }.
function candidates(root = PACKAGE_ROOT, env = process.env) {
  const host = targetForHost(env);
  const list = [];
  const consider = (file, kind, label) => {
    const entry = { file, kind, label, usable: false, reason: null };
    list.push(entry);
    if (!file || !fs.existsSync(file)) {
      entry.reason = 'not there';
      return;
    }
    const made = binaryKind(file);
    if (!made) entry.reason = 'not a binary this package builds';
    else if (made.platform !== process.platform || made.arch !== process.arch) {
      entry.reason = `made for ${made.platform}-${made.arch}`;
    } else entry.usable = true;
  };
  consider(sourceBuildPath(root), 'source', 'the source build');
  if (host) {
    const name = packageName(host.id);
    consider(platformPackageBinary(host.id, root), 'package', `the package ${name}`);
    if (!list.at(-1).file) list.at(-1).reason = 'not installed';
    consider(prebuiltPath(host.id, root), 'prebuilt', `prebuilds/${host.id}`);
  }
  for (const entry of list) entry.target = entry.kind === 'source' ? null : host;
  return list;
}

// The binary each package root has loaded, so that a later question (the
// extension route registers the same file again) gets the same answer.
const loaded = new Map();

// The binary loaded from this root, else the first worth loading, or null.
function resolveBinary(root = PACKAGE_ROOT, env = process.env) {
  return loaded.get(root) || candidates(root, env).find((c) => c.usable) || null;
}

// The targets whose binary this copy can reach: installed binary packages
// and prebuilds/ folders.
function shipped(root = PACKAGE_ROOT) {
  return TARGETS.filter((t) => fs.existsSync(prebuiltPath(t.id, root)) || platformPackageBinary(t.id, root));
}

function describeTarget(t) {
  if (t.glibc) return `${t.id} (glibc >= ${t.glibc})`;
  if (t.macos) return `${t.id} (macOS >= ${t.macos})`;
  return t.id;
}

// The path as a shell takes it: quoted only when it holds a space, and never
// escaped (a Windows path keeps its single backslashes).
function sourceBuildCommand(root = PACKAGE_ROOT) {
  const file = path.join(root, 'lib', 'install.js');
  return /\s/.test(file) ? `node "${file}"` : `node ${file}`;
}

function noBinaryError(root, env, tried) {
  const detected = detectLibc(env);
  const host = targetForHost(env);
  const wanted = host
    ? `It looked for ${packageName(host.id)}, the optional dependency that carries the binary for ${describeTarget(host)}`
    : `No binary is made for this system; the targets are ${TARGETS.map((t) => t.id).join(', ')}`;
  const looked = tried.map((c) => `${c.label}${c.file ? ` (${c.file})` : ''}: ${c.reason}`).join('; ');
  const libcHint = detected.libc ? ` If the C library was guessed wrong, set ${LIBC_VARIABLE}=glibc or ${LIBC_VARIABLE}=musl.` : '';
  const optionalHint = host ? ' Reinstall without --no-optional/--omit=optional if optional dependencies were left out.' : '';
  const err = new Error(
    `${PACKAGE_NAME}: no native binary for ${hostDescription(detected)}. ${wanted}. Looked at ${looked}.` +
      `${optionalHint}${libcHint} To build from source (needs a C++20 compiler, CMake >= 3.20 and the ` +
      `OpenSSL libcrypto development files), run \`${sourceBuildCommand(root)}\`.`,
  );
  err.code = 'MODULE_NOT_FOUND';
  return err;
}

// A load failure of the binary itself, as opposed to an error the addon
// raised while registering (which is passed on untouched). Hosts word and
// type it differently, but every loader's message names the file.
function isLoaderFailure(err, file) {
  if (!err) return false;
  return err.code === 'ERR_DLOPEN_FAILED' || String(err.message).includes(file);
}

function loadAddon(requireFn, root = PACKAGE_ROOT, env = process.env) {
  const tried = candidates(root, env);
  let failure = null;
  for (const found of tried) {
    if (!found.usable) continue;
    try {
      const exports = requireFn(found.file);
      loaded.set(root, found);
      return exports;
    } catch (err) {
      if (!isLoaderFailure(err, found.file)) throw err;
      const needs = found.target && found.target.glibc ? ` (it needs glibc ${found.target.glibc} or later)` : '';
      found.reason = `the system refused it${needs}: ${String(err.message).split('\n')[0]}`;
      failure = failure || err;
    }
  }
  const err = noBinaryError(root, env, tried);
  if (failure) {
    err.code = 'ERR_DLOPEN_FAILED';
    err.cause = failure;
  }
  throw err;
}

module.exports = {
  PACKAGE_NAME,
  GLIBC_FLOOR,
  MACOS_FLOOR,
  LIBC_VARIABLE,
  TARGETS,
  BINARY_NAME,
  packageName,
  prebuiltPath,
  sourceBuildPath,
  sourceBuildCommand,
  detectLibc,
  hostLibc,
  targetForHost,
  binaryKind,
  candidates,
  shipped,
  resolveBinary,
  loadAddon,
};
