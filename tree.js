'use strict';
// `tov-engine-native/tree`: hashing and checking whole directory trees off
// the main thread. Loading this file does not load the native module; the
// worker thread that does the work loads it.
const { hashTree, checkTree, pathBytes } = require('./lib/tree/index.js');

module.exports = { hashTree, checkTree, pathBytes };
