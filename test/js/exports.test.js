'use strict';
// The exports object of the package root: which functions it holds, in
// which order, under which names, and the version function.
const { describe, test } = require('node:test');
const assert = require('node:assert/strict');

const addon = require('../..');

const EXPORT_ORDER = [
  'sha256',
  'fileHash',
  'merkleDiff',
  'merkleRoot',
  'countTokens',
  'sha256String',
  'nativeVersion',
  'batchFileHash',
  'truncateToTokens',
];
const VERSION = 'tov-engine-native/1.0.0';

describe('export table', () => {
  test('enumerable keys are the nine functions in table order', () => {
    assert.deepEqual(Object.keys(addon), EXPORT_ORDER);
  });

  test('own property names hold nothing else, in the same order', () => {
    assert.deepEqual(Object.getOwnPropertyNames(addon), EXPORT_ORDER);
    assert.deepEqual(Object.getOwnPropertySymbols(addon), []);
  });

  test('every export is a function whose name is its JavaScript name', () => {
    for (const key of EXPORT_ORDER) {
      assert.equal(typeof addon[key], 'function', key);
      assert.equal(addon[key].name, key);
    }
  });

  test('exports are enumerable data properties', () => {
    for (const key of EXPORT_ORDER) {
      const descriptor = Object.getOwnPropertyDescriptor(addon, key);
      assert.equal(descriptor.enumerable, true, key);
      assert.equal(typeof descriptor.value, 'function', key);
    }
  });

  test('each export is a distinct function', () => {
    const functions = new Set(EXPORT_ORDER.map((key) => addon[key]));
    assert.equal(functions.size, EXPORT_ORDER.length);
  });

});

describe('nativeVersion', () => {
  test('returns the module name and version', () => {
    const version = addon.nativeVersion();
    assert.equal(version, VERSION);
    assert.equal(Buffer.byteLength(version), 23);
  });

  test('ignores any arguments, however odd', () => {
    const hostile = {
      get length() {
        throw new Error('must not be read');
      },
      toString() {
        throw new Error('must not be converted');
      },
    };
    assert.equal(addon.nativeVersion(42), VERSION);
    assert.equal(addon.nativeVersion(undefined, null), VERSION);
    assert.equal(addon.nativeVersion(Symbol('s'), 10n, () => 0), VERSION);
    assert.equal(addon.nativeVersion(hostile, hostile, hostile), VERSION);
  });

  test('does not depend on its receiver', () => {
    const { nativeVersion } = addon;
    assert.equal(nativeVersion(), VERSION);
    assert.equal(nativeVersion.call(null), VERSION);
    assert.equal(nativeVersion.call({}, 1), VERSION);
    assert.equal(Reflect.apply(nativeVersion, undefined, []), VERSION);
  });

  test('returns the same text on every call', () => {
    for (let i = 0; i < 1000; i += 1) assert.equal(addon.nativeVersion(), VERSION);
  });
});
