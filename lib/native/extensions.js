'use strict';
// The native functions beyond the package's nine. They live in the same
// binary and are reached by registering it a second time while the global
// object carries the extension mark, so that the nine-function table of the
// package root never changes. Loaded once per environment.

const MARK = 'tovEngineExtensions';

let cached = null;

function load() {
  if (cached !== null) return cached;
  // The package root registers the binary in this environment first; the
  // second registration relies on what that one set up.
  require('../../index.js');
  const found = require('../prebuilds.js').resolveBinary();
  const module = { exports: {} };
  Object.defineProperty(globalThis, MARK, { value: true, configurable: true });
  try {
    process.dlopen(module, found.file);
  } finally {
    delete globalThis[MARK];
  }
  if (typeof module.exports.abi !== 'function') {
    throw new Error(`tov-engine-native: ${found.file} did not register its extension functions on this host`);
  }
  cached = Object.freeze(module.exports);
  return cached;
}

module.exports = { load };
