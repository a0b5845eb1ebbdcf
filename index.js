'use strict';
// The package root is the addon's exports object itself: no wrapper, so that
// `require('tov-engine-native')` hands out exactly the nine native functions.
const path = require('node:path');

const addonPath = path.join(__dirname, 'build', 'Release', 'tov_engine_native.node');

try {
  module.exports = require(addonPath);
} catch (err) {
  // A missing addon is the one load failure a user can fix without reading
  // native code; everything else (ABI mismatch, a bad worker-count variable)
  // is passed on untouched.
  if (err && err.code === 'MODULE_NOT_FOUND' && String(err.message).includes(addonPath)) {
    const hint = new Error(
      `tov-engine-native: the native addon is not built (${addonPath} is missing); ` +
        'run `npm run build` in the package directory (needs a C++20 compiler, ' +
        'CMake >= 3.20 and the OpenSSL libcrypto development files)',
    );
    hint.code = 'MODULE_NOT_FOUND';
    hint.cause = err;
    throw hint;
  }
  throw err;
}
