'use strict';
// `tov-engine-native/sha256`: SHA-256 of data that arrives in pieces (an
// incremental hasher with a saved form) and of streams.
const { createSha256, restoreSha256 } = require('./lib/hasher/index.js');
const { hashStream, createSha256Transform, createSha256TransformStream } = require('./lib/hasher/stream.js');

module.exports = { createSha256, restoreSha256, hashStream, createSha256Transform, createSha256TransformStream };
