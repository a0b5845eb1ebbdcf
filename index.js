'use strict';
// The package root is the addon's exports object itself: no wrapper, so that
// `require('tov-engine-native')` hands out exactly the nine native functions.
// lib/prebuilds.js picks the binary: a source build if there is one, else the
// prebuilt binary of this platform, else a clear error saying how to build.
module.exports = require('./lib/prebuilds.js').loadAddon(require);
