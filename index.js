'use strict';
// The package root is the addon's exports object itself.
module.exports = require('./build/Release/tov_engine_native.node');
