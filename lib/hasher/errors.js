'use strict';
// The errors of the hasher API, with codes in the style of Node's own.

function typeError(message) {
  const error = new TypeError(message);
  error.code = 'ERR_INVALID_ARG_TYPE';
  return error;
}

function describe(value) {
  if (value === null) return 'null';
  if (typeof value === 'object') return value.constructor?.name ?? 'an object';
  return typeof value;
}

function notBytes(name, value) {
  return typeError(
    `tov-engine-native/sha256: ${name} must be a string, a Buffer, a TypedArray or a DataView; got ${describe(value)}`,
  );
}

function finished(method) {
  const error = new Error(
    `tov-engine-native/sha256: ${method}() on a hasher that has already given its digest; call copy() before digest() to go on hashing`,
  );
  error.code = 'ERR_SHA256_FINISHED';
  return error;
}

module.exports = { typeError, describe, notBytes, finished };
