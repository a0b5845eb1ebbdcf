'use strict';
// Which native binary this installation loads: a source build when one
// exists (it exists only because someone asked for it, or because no
// prebuilt binary fits), else the prebuilt binary of this platform and
// architecture. `require('tov-engine-native/prebuilds')` gives this table to
// programs that want to know before they load the addon.
const fs = require('node:fs');
const path = require('node:path');

const PACKAGE_ROOT = path.join(__dirname, '..');
const BINARY_NAME = 'tov_engine_native.node';
const GLIBC_FLOOR = '2.28';

// Every target the package is built for. `libc` is null where the platform
// has one C library.
const TARGETS = Object.freeze([
  Object.freeze({ id: 'linux-x64', platform: 'linux', arch: 'x64', libc: 'glibc', glibc: GLIBC_FLOOR }),
  Object.freeze({ id: 'linux-arm64', platform: 'linux', arch: 'arm64', libc: 'glibc', glibc: GLIBC_FLOOR }),
  Object.freeze({ id: 'win32-x64', platform: 'win32', arch: 'x64', libc: null, glibc: null }),
]);

const BUILD_FROM_SOURCE_HINT =
  'to build it from source (needs a C++20 compiler, CMake >= 3.20 and the OpenSSL libcrypto ' +
  'development files), reinstall with TOV_ENGINE_BUILD_FROM_SOURCE=1 in the environment or with ' +
  '`npm install --build-from-source`, or run `npm run build` in ' + PACKAGE_ROOT;

function prebuiltPath(id, root = PACKAGE_ROOT) {
  return path.join(root, 'prebuilds', id, BINARY_NAME);
}

function sourceBuildPath(root = PACKAGE_ROOT) {
  return path.join(root, 'build', 'Release', BINARY_NAME);
}

// musl systems carry their loader at a fixed path; glibc ones do not. A
// check that every host (Node, Bun, Deno) answers the same way, unlike
// process.report.
function hostLibc() {
  if (process.platform !== 'linux') return null;
  const muslArch = { x64: 'x86_64', arm64: 'aarch64' }[process.arch] || process.arch;
  return fs.existsSync(`/lib/ld-musl-${muslArch}.so.1`) ? 'musl' : 'glibc';
}

function hostId() {
  const libc = hostLibc();
  return `${process.platform}-${process.arch}${libc && libc !== 'glibc' ? ` (${libc})` : ''}`;
}

function targetForHost() {
  const libc = hostLibc();
  return TARGETS.find((t) => t.platform === process.platform && t.arch === process.arch && t.libc === libc) || null;
}

// The targets whose binary this copy of the package carries.
function shipped(root = PACKAGE_ROOT) {
  return TARGETS.filter((t) => fs.existsSync(prebuiltPath(t.id, root)));
}

function describeTarget(target) {
  return target.glibc ? `${target.id} (glibc >= ${target.glibc})` : target.id;
}

// The binary to load, or null when there is none.
function resolveBinary(root = PACKAGE_ROOT) {
  const built = sourceBuildPath(root);
  if (fs.existsSync(built)) return { file: built, kind: 'source' };
  const target = targetForHost();
  if (target && fs.existsSync(prebuiltPath(target.id, root))) {
    return { file: prebuiltPath(target.id, root), kind: 'prebuilt', target };
  }
  return null;
}

function missingBinaryError(root = PACKAGE_ROOT) {
  const list = shipped(root).map(describeTarget);
  const carried = list.length
    ? `This package ships prebuilt binaries for ${list.join(', ')} only`
    : 'This copy of the package carries no prebuilt binary';
  const err = new Error(
    `tov-engine-native: no native binary for ${hostId()}. ${carried}, and it was not built from ` +
      `source here (${sourceBuildPath(root)} is missing); ${BUILD_FROM_SOURCE_HINT}`,
  );
  err.code = 'MODULE_NOT_FOUND';
  return err;
}

// The host's loader failed on a binary that exists: name it, say what it
// needs, and keep the loader's words as the cause.
function unloadableBinaryError(found, cause) {
  const what = found.kind === 'prebuilt' ? `the prebuilt binary for ${found.target.id}` : 'the source build';
  const needs = found.kind === 'prebuilt' && found.target.glibc ? ` It needs glibc ${found.target.glibc} or later.` : '';
  const reason = String((cause && cause.message) || cause).split('\n')[0];
  const err = new Error(
    `tov-engine-native: ${what} (${found.file}) could not be loaded on ${hostId()}: ${reason}.${needs} ` +
      `If it does not fit this system, ${BUILD_FROM_SOURCE_HINT}`,
    { cause },
  );
  err.code = 'ERR_DLOPEN_FAILED';
  return err;
}

// A load failure of the binary itself, as opposed to an error the addon
// raised while registering (which is passed on untouched). Hosts word and
// type it differently, but every loader's message names the file.
function isLoaderFailure(err, file) {
  if (!err) return false;
  return err.code === 'ERR_DLOPEN_FAILED' || String(err.message).includes(file);
}

function loadAddon(requireFn, root = PACKAGE_ROOT) {
  const found = resolveBinary(root);
  if (!found) throw missingBinaryError(root);
  try {
    return requireFn(found.file);
  } catch (err) {
    if (isLoaderFailure(err, found.file)) throw unloadableBinaryError(found, err);
    throw err;
  }
}

function buildFromSourceRequested(env = process.env) {
  const yes = (value) => value !== undefined && value !== '' && !/^(0|false|no)$/i.test(value);
  return yes(env.TOV_ENGINE_BUILD_FROM_SOURCE) || yes(env.npm_config_build_from_source);
}

module.exports = {
  GLIBC_FLOOR,
  TARGETS,
  BINARY_NAME,
  prebuiltPath,
  sourceBuildPath,
  hostLibc,
  targetForHost,
  shipped,
  resolveBinary,
  loadAddon,
  buildFromSourceRequested,
};
