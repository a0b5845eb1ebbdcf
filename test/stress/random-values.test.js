'use strict';
// Every function, called with values of every JavaScript type and with
// random compositions of them. Each call must give the reference result or
// throw: an Error with a string `code` (made by the addon, with the message
// its conversion rules give) or, when the value's own code threw during the
// conversion, exactly that exception. Set TOV_STRESS_SEED to repeat a run.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const util = require('node:util');
const {
  loadAddon,
  NUL_IN_PATH,
  VERSION,
  sha256Hex,
  utf8,
  countTokensOfBytes,
  truncateReference,
  merkleRootReference,
  merkleDiffReference,
  sortedDiff,
  batchReference,
  makeTempDir,
  removeTempDir,
  makeRandom,
  seedFromEnv,
} = require('../support');

const addon = loadAddon();
const seed = seedFromEnv();
const random = makeRandom(seed);
test.after(() => console.log(`random-values seed: ${seed} (TOV_STRESS_SEED)`));

// Thrown by every hostile value, so that the test can tell its own
// exception from anything else by identity.
const SENTINEL = new RangeError('thrown by the value itself');

// ---- values ----

class Plain {
  constructor() {
    this.kind = 'plain';
  }
}
class WithThrowingName {
  static get name() {
    throw SENTINEL;
  }
}

function detachedView() {
  const buffer = new ArrayBuffer(16);
  const view = new Uint8Array(buffer, 4, 8);
  structuredClone(buffer, { transfer: [buffer] });
  return view;
}

function sparseArray(length) {
  const array = [];
  array.length = length;
  return array;
}

function arrayWithThrowingGetter(at) {
  const array = ['a', 'b', 'c'];
  Object.defineProperty(array, at, {
    get() {
      throw SENTINEL;
    },
    enumerable: true,
  });
  return array;
}

function cyclic() {
  const object = { name: 'loop' };
  object.self = object;
  return object;
}

// [label, value]; fresh values on every call, since some are consumed.
function catalogue() {
  const revocable = Proxy.revocable({}, {});
  revocable.revoke();
  const frozen = Object.freeze({ a: 1, nested: Object.freeze(['x']) });
  const promise = Promise.resolve(1);
  const values = [
    ['undefined', undefined],
    ['null', null],
    ['true', true],
    ['false', false],
    ['0', 0],
    ['-0', -0],
    ['1', 1],
    ['-1', -1],
    ['1.5', 1.5],
    ['-1.5', -1.5],
    ['NaN', NaN],
    ['Infinity', Infinity],
    ['-Infinity', -Infinity],
    ['2^32', 2 ** 32],
    ['2^32+7', 2 ** 32 + 7],
    ['2^53', 2 ** 53],
    ['MAX_VALUE', Number.MAX_VALUE],
    ['MIN_VALUE', Number.MIN_VALUE],
    ['bigint 0', 0n],
    ['bigint huge', 2n ** 200n],
    ['bigint negative', -(2n ** 70n)],
    ['empty string', ''],
    ['word string', 'hello world'],
    ['string with NUL', 'a\0b'],
    ['lone high surrogate', '\uD800'],
    ['lone low surrogate', 'x\uDC00y'],
    ['replacement character', '\uFFFD'],
    ['emoji', '😀 ok'],
    ['mixed scripts', 'naïve 中文 \u000b\u000c end'],
    ['127 units', 'é'.repeat(127)],
    ['43 units', '中'.repeat(43)],
    ['long string', 'abc, def\t'.repeat(100000)],
    ['huge string', 'ab c\u00e9\uD800'.repeat(1 << 21)],
    ['symbol', Symbol('s')],
    ['well-known symbol', Symbol.iterator],
    ['empty object', {}],
    ['plain object', { a: 1, b: 'two', c: [3] }],
    ['null prototype object', Object.create(null)],
    ['frozen object', frozen],
    ['class instance', new Plain()],
    ['Date', new Date(0)],
    ['invalid Date', new Date(NaN)],
    ['RegExp', /a+b/g],
    ['Promise', promise],
    ['Error', new Error('an error value')],
    ['Map', new Map([[1, 2]])],
    ['Set', new Set([1])],
    ['WeakMap', new WeakMap()],
    ['boxed string', Object('boxed')],
    ['boxed number', Object(5)],
    ['arguments', (function () {
      return arguments;
    })('a', 'b')],
    ['function', function named() {}],
    ['arrow function', () => {}],
    ['class', Plain],
    ['bound function', function f() {}.bind(null)],
    ['async function', async function asyncNamed() {}],
    ['generator function', function* gen() {}],
    ['function with numeric name', Object.defineProperty(function () {}, 'name', { value: 42 })],
    ['class with throwing name', WithThrowingName],
    ['empty array', []],
    ['array of strings', ['a', 'b', 'c']],
    ['array of numbers', [1, 2, 3]],
    ['nested array', [['a', 'b'], ['c', 'd', 'e'], ['f']]],
    ['deeply nested array', [[[['a']]]]],
    ['array with a hole', ['a', , 'c']],
    ['sparse array 1e6', sparseArray(1e6)],
    ['sparse array 2^32-1', sparseArray(2 ** 32 - 1)],
    ['array with throwing getter at 0', arrayWithThrowingGetter(0)],
    ['array with throwing getter at 2', arrayWithThrowingGetter(2)],
    ['manifest', [['k1', 'v1'], ['k2', 'v2']]],
    ['manifest with a short entry', [['k1'], [], ['k2', 'v2', 'extra']]],
    ['manifest with a number item', [['k1', 5]]],
    ['manifest with a throwing entry getter', [arrayWithThrowingGetter(1)]],
    ['Buffer', Buffer.from('buffer bytes')],
    ['empty Buffer', Buffer.alloc(0)],
    ['Buffer slice', Buffer.from('0123456789').subarray(3, 7)],
    ['Uint8Array', new Uint8Array([1, 2, 3])],
    ['Float64Array', new Float64Array([1.5, -2])],
    ['Uint16Array view', new Uint16Array(new ArrayBuffer(32), 6, 5)],
    ['DataView', new DataView(new ArrayBuffer(12), 2, 7)],
    ['detached view', detachedView()],
    ['SharedArrayBuffer view', new Uint8Array(new SharedArrayBuffer(9)).fill(7)],
    ['resizable view', new Uint8Array(new ArrayBuffer(8, { maxByteLength: 64 }))],
    ['ArrayBuffer', new ArrayBuffer(8)],
    ['SharedArrayBuffer', new SharedArrayBuffer(8)],
    ['object with throwing toJSON', { toJSON: () => { throw SENTINEL; } }],
    ['object with throwing getter', Object.defineProperty({}, 'x', { get() { throw SENTINEL; }, enumerable: true })],
    ['object with throwing toString', { toString: () => { throw SENTINEL; } }],
    ['object with throwing valueOf', { valueOf: () => { throw SENTINEL; } }],
    ['object with throwing toPrimitive', { [Symbol.toPrimitive]: () => { throw SENTINEL; } }],
    ['toJSON throwing a number', { toJSON: () => { throw 42; } }],
    ['toJSON throwing a plain object', { toJSON: () => { throw { reason: 'plain' }; } }],
    ['toJSON throwing an object with throwing toString', {
      toJSON: () => { throw { toString: () => { throw SENTINEL; } }; },
    }],
    ['toJSON returning undefined', { toJSON: () => undefined }],
    ['cyclic object', cyclic()],
    ['object holding a bigint', { big: 1n }],
    ['Proxy of an object', new Proxy({ a: 1 }, {})],
    ['Proxy of an array', new Proxy(['a', 'b'], {})],
    ['Proxy with throwing traps', new Proxy({}, { get() { throw SENTINEL; }, ownKeys() { throw SENTINEL; } })],
    ['Proxy of a function with throwing get', new Proxy(function p() {}, { get() { throw SENTINEL; } })],
    ['revoked Proxy', revocable.proxy],
    ['globalThis', globalThis],
    ['process.env', process.env],
  ];
  return values;
}

// ---- the conversion rules, as JavaScript ----

class Expected {
  static ok(check) {
    return { ok: true, check };
  }
  static fail(code, message) {
    return { ok: false, code, message };
  }
  // The value's own code threw `thrown` while being converted; or JSON.stringify
  // did, in which case the addon's own call raised an equal but new error.
  static thrown(thrown) {
    return { ok: false, thrown };
  }
}

const TYPE_NAMES = {
  undefined: 'Undefined',
  boolean: 'Boolean',
  number: 'Number',
  string: 'String',
  symbol: 'Symbol',
  object: 'Object',
  function: 'Function',
  bigint: 'BigInt',
};

function typeName(value) {
  return value === null ? 'Null' : TYPE_NAMES[typeof value];
}

// An exception raised by the value's own code while it was rendered for a
// message: an error object reaches the caller unchanged; anything else is
// wrapped in an Error whose message is its string form.
function fromException(exception) {
  if (util.types.isNativeError(exception)) return Expected.thrown(exception);
  // The record keeps a reference to the exception, and the host references
  // only objects, functions and symbols.
  const referencable =
    (typeof exception === 'object' && exception !== null) || ['function', 'symbol'].includes(typeof exception);
  if (!referencable) return Expected.fail('InvalidArg', 'Create Error reference failed');
  let message = '';
  try {
    message = String(exception);
  } catch {
    message = '';
  }
  return Expected.fail('GenericFailure', message);
}

// Messages quote at most 1 KiB of UTF-8 of a rendering, cut at a character
// boundary and marked with an ellipsis.
const QUOTED_BYTES = 1024;
function quoted(text) {
  const bytes = Buffer.from(text);
  if (bytes.length <= QUOTED_BYTES) return { text, cut: false };
  let end = QUOTED_BYTES;
  while ((bytes[end] & 0xc0) === 0x80) end -= 1;
  return { text: `${bytes.subarray(0, end).toString()}\u2026`, cut: true };
}

// Arrays and typed arrays longer than 1024 elements are stringified from a
// view of their first 1024, with the whole's prototype; the view's JSON
// stands for the whole only when it runs past the quoted length.
function leadingView(value) {
  const hasOwnToJson = () => Object.prototype.hasOwnProperty.call(value, 'toJSON');
  let view;
  if (util.types.isTypedArray(value)) {
    if (value.length <= 1024 || hasOwnToJson()) return null;
    view = new globalThis[value[Symbol.toStringTag]](value.buffer, value.byteOffset, 1024);
  } else if (isHostArray(value)) {
    if (value.length <= 1024 || hasOwnToJson()) return null;
    view = new Array(1024);
    for (let index = 0; index < 1024; index++) view[index] = value[index];
  } else {
    return null;
  }
  Object.setPrototypeOf(view, Object.getPrototypeOf(value));
  return view;
}

// How a non-string value is quoted, or the Expected of a rendering that threw.
function render(value) {
  switch (typeof value) {
    case 'boolean':
    case 'number':
    case 'bigint':
      return { text: `${typeName(value)} ${quoted(String(value)).text} ` };
    case 'function': {
      let name;
      try {
        name = value.name;
      } catch (exception) {
        return { failure: fromException(exception) };
      }
      const text = typeof name === 'string' ? quoted(name).text : '';
      return { text: `function ${text !== '' ? text : 'anonymous'}(..) ` };
    }
    case 'object':
      if (value === null) return { text: 'Null' };
      try {
        const view = leadingView(value);
        if (view !== null) {
          const json = quoted(String(JSON.stringify(view)));
          if (json.cut) return { text: `Object ${json.text}` };
        }
        return { text: `Object ${quoted(String(JSON.stringify(value))).text}` };
      } catch (exception) {
        return { failure: fromException(exception) };
      }
    default:
      return { text: typeName(value) };
  }
}

// null when `value` converts to text; else the Expected failure.
function textFailure(value) {
  if (typeof value === 'string') return null;
  const rendering = render(value);
  if (rendering.failure) return rendering.failure;
  return Expected.fail('StringExpected', `Failed to convert JavaScript value \`${rendering.text}\` into rust type \`String\``);
}

function isHostArray(value) {
  return !util.types.isProxy(value) && Array.isArray(value);
}

// Reads an element the way the host does; a getter's exception propagates.
function element(array, index) {
  try {
    return { value: array[index] };
  } catch (exception) {
    return { failure: Expected.thrown(exception) };
  }
}

// An array whose elements are read one by one and each checked by `itemFailure`.
function arrayFailure(value, itemFailure) {
  if (!isHostArray(value)) return Expected.fail('InvalidArg', 'Given napi value is not an array');
  for (let index = 0; index < value.length; index++) {
    const item = element(value, index);
    if (item.failure) return item.failure;
    const failure = itemFailure(item.value);
    if (failure) return failure;
  }
  return null;
}

function listFailure(value) {
  return arrayFailure(value, textFailure);
}

function manifestFailure(value) {
  return arrayFailure(value, listFailure);
}

function u32Failure(value) {
  if (typeof value === 'number') return null;
  return Expected.fail('NumberExpected', `Failed to convert napi value ${typeName(value)} into rust type \`u32\``);
}

function bufferFailure(value) {
  if (ArrayBuffer.isView(value)) return null;
  // The host references objects, functions and symbols.
  const referencable =
    (typeof value === 'object' && value !== null) || typeof value === 'function' || typeof value === 'symbol';
  if (!referencable) return Expected.fail('InvalidArg', 'Failed to create reference from Buffer');
  return Expected.fail('InvalidArg', 'Failed to get Buffer pointer and length');
}

function viewBytes(view) {
  // A detached view has no bytes (and no buffer to view).
  if (view.byteLength === 0) return Buffer.alloc(0);
  return Buffer.from(view.buffer, view.byteOffset, view.byteLength);
}

// The Expected outcome of each synchronous function for its arguments.
const MODEL = {
  sha256: (value) =>
    bufferFailure(value) ?? Expected.ok((result) => assert.equal(result, sha256Hex(viewBytes(value)))),
  sha256String: (value) =>
    textFailure(value) ?? Expected.ok((result) => assert.equal(result, sha256Hex(utf8(value)))),
  countTokens: (value) =>
    textFailure(value) ?? Expected.ok((result) => assert.equal(result, countTokensOfBytes(utf8(value)))),
  truncateToTokens: (text, budget) =>
    textFailure(text) ??
    u32Failure(budget) ??
    Expected.ok((result) => assert.equal(result, truncateReference(text, budget >>> 0))),
  merkleRoot: (manifest) =>
    manifestFailure(manifest) ?? Expected.ok((result) => assert.equal(result, merkleRootReference(manifest))),
  merkleDiff: (first, second) =>
    manifestFailure(first) ??
    manifestFailure(second) ??
    Expected.ok((result) => {
      assert.deepEqual(Object.keys(result), ['added', 'modified', 'deleted']);
      assert.deepEqual(sortedDiff(result), merkleDiffReference(first, second));
    }),
  batchFileHash: (paths) =>
    listFailure(paths) ?? Expected.ok((result) => assert.deepEqual(result, batchReference(paths))),
  nativeVersion: () => Expected.ok((result) => assert.equal(result, VERSION)),
};

function describe(value) {
  try {
    const text = util.inspect(value, { depth: 2, maxArrayLength: 4, maxStringLength: 40, breakLength: Infinity });
    return text.length > 160 ? `${text.slice(0, 160)}...` : text;
  } catch {
    return '<uninspectable>';
  }
}

// Messages are built only for a failure: describing values costs more than
// the calls themselves.
function check(condition, message) {
  if (!condition) assert.fail(message());
}

function assertSameException(actual, expected, where) {
  if (expected === SENTINEL || !(expected instanceof Error)) {
    check(Object.is(actual, expected), () => `${where} threw ${describe(actual)}, not the value's own exception`);
    return;
  }
  check(actual instanceof expected.constructor, () => `${where} threw ${describe(actual)}`);
  assert.equal(actual.message, expected.message, where);
}

function checkCall(name, args, labels) {
  const expected = MODEL[name](...args);
  const where = `${name}(${labels.map((label) => (typeof label === 'function' ? label() : label)).join(', ')})`;
  let result;
  let threw = false;
  let exception;
  try {
    result = addon[name](...args);
  } catch (caught) {
    threw = true;
    exception = caught;
  }
  if (expected.ok) {
    check(!threw, () => `${where} threw ${describe(exception)}`);
    expected.check(result);
    return;
  }
  check(threw, () => `${where} returned ${describe(result)} instead of failing`);
  if ('thrown' in expected) {
    assertSameException(exception, expected.thrown, where);
    return;
  }
  check(exception instanceof Error, () => `${where} threw a non-Error ${describe(exception)}`);
  assert.equal(typeof exception.code, 'string', where);
  assert.equal(exception.code, expected.code, where);
  assert.equal(exception.message, expected.message, where);
}

// ---- random values ----

const UNITS = ['a', 'Z', '9', '_', ' ', '\t', '\n', '\r', '\v', '\f', '\0', '.', ',', '-', ':', '/', 'é', 'ß', '中', '😀',
  '\uD800', '\uDFFF', '\uFFFD', '\u0080', '\u07FF', '\u0800', '\uFFFF', '\u00A0'];

function randomString() {
  // Now and then a long one (past the inline and arena sizes of the
  // conversions), made of a repeated random piece to keep generation cheap.
  const long = random.chance(0.03);
  const length = long ? 20 + random.int(40) : random.int(random.chance(0.5) ? 8 : 200);
  let text = '';
  for (let i = 0; i < length; i++) text += random.pick(UNITS);
  return long ? text.repeat(50 + random.int(400)) : text;
}

function randomScalar() {
  return random.pick([
    () => randomString(),
    () => random.u32(),
    () => random.u32() - 2 ** 31 + random.u32() / 2 ** 32,
    () => random.pick([NaN, -0, Infinity, -Infinity, 2 ** 64, -(2 ** 40)]),
    () => BigInt(random.u32()),
    () => random.chance(0.5),
    () => undefined,
    () => null,
    () => Symbol('r'),
    () => ({ k: randomString() }),
    () => Buffer.from(randomString()),
  ])();
}

// Mostly well-formed, with a stray bad item now and then.
function randomList(badChance) {
  const length = random.int(random.chance(0.1) ? 3000 : 20);
  const list = [];
  for (let i = 0; i < length; i++) list.push(random.chance(badChance) ? randomScalar() : randomString());
  return list;
}

function randomManifest(badChance) {
  const keys = [];
  const length = random.int(random.chance(0.1) ? 2000 : 30);
  const manifest = [];
  for (let i = 0; i < length; i++) {
    if (random.chance(badChance)) {
      manifest.push(random.chance(0.5) ? randomScalar() : [randomString(), randomScalar()]);
      continue;
    }
    // Reused keys give duplicates and shared prefixes.
    const key = keys.length > 0 && random.chance(0.3) ? random.pick(keys) : randomString();
    keys.push(key);
    const items = random.int(4);
    const entry = [key, randomString(), randomString()].slice(0, items);
    manifest.push(entry);
  }
  return manifest;
}

function randomValue() {
  const roll = random.int(10);
  if (roll < 4) return randomScalar();
  if (roll < 6) return randomList(0.02);
  if (roll < 8) return randomManifest(0.02);
  return random.pick(catalogue())[1];
}

// ---- tests ----

const ONE_ARGUMENT = ['sha256', 'sha256String', 'countTokens', 'merkleRoot', 'batchFileHash', 'nativeVersion'];
const TWO_ARGUMENTS = ['truncateToTokens', 'merkleDiff'];

test('each one-argument function against every kind of value', () => {
  for (const name of ONE_ARGUMENT) {
    for (const [label, value] of catalogue()) checkCall(name, [value], [label]);
    checkCall(name, [], ['no argument']);
  }
});

test('each two-argument function against pairs of every kind of value', () => {
  // Rendering the sparse arrays and the global objects for a message runs
  // JSON.stringify over megabytes (up to the string length limit for 2^32 - 1
  // items): they are text arguments in the test above only.
  const values = catalogue().filter(([label]) => !/^sparse|^globalThis|^process/.test(label));
  const budgets = values.filter(([, value]) => typeof value !== 'string' || value.length < 100);
  for (const [label, value] of values) {
    // Long texts meet a few budgets only: the reference walk is slow in JavaScript.
    const some = typeof value === 'string' && value.length > 10000 ? budgets.slice(0, 16) : budgets;
    for (const [budgetLabel, budget] of some) checkCall('truncateToTokens', [value, budget], [label, budgetLabel]);
    checkCall('truncateToTokens', [value], [label, 'no budget']);
  }
  for (const [firstLabel, first] of values) {
    for (const [secondLabel, second] of values) checkCall('merkleDiff', [first, second], [firstLabel, secondLabel]);
  }
  checkCall('merkleDiff', [], ['no argument', 'no argument']);
});

test('extra arguments are ignored', () => {
  checkCall('countTokens', ['a b', SENTINEL, Symbol('x')], ['a b', 'extra', 'extra']);
  checkCall('truncateToTokens', ['a b c', 2, () => { throw SENTINEL; }], ['a b c', '2', 'extra']);
  checkCall('nativeVersion', [1, 2, 3], ['1', '2', '3']);
});

test('random values and random compositions', () => {
  for (let round = 0; round < 1000; round++) {
    const name = random.pick([...ONE_ARGUMENT, ...TWO_ARGUMENTS]);
    let args;
    if (name === 'truncateToTokens') {
      args = [random.chance(0.8) ? randomString() : randomValue(), random.chance(0.8) ? random.int(300) : randomValue()];
    } else if (name === 'merkleDiff') {
      args = [random.chance(0.8) ? randomManifest(0.01) : randomValue(), random.chance(0.8) ? randomManifest(0.01) : randomValue()];
    } else if (name === 'merkleRoot') {
      args = [random.chance(0.8) ? randomManifest(0.01) : randomValue()];
    } else if (name === 'batchFileHash') {
      args = [random.chance(0.8) ? randomList(0.01) : randomValue()];
    } else if (name === 'sha256') {
      args = [random.chance(0.7) ? Buffer.from(randomString()) : randomValue()];
    } else {
      args = [random.chance(0.7) ? randomString() : randomValue()];
    }
    checkCall(name, args, args.map((arg) => () => describe(arg)));
  }
});

test('the longest string the engine makes', () => {
  const longest = 'x'.repeat(2 ** 29 - 24);
  assert.equal(addon.countTokens(longest), 1);
  assert.equal(addon.truncateToTokens(longest, 1), longest);
  assert.equal(addon.truncateToTokens(longest, 0), '');
  assert.equal(addon.sha256String(longest), sha256Hex(longest));
});

test('batchFileHash with random real and missing paths', (t) => {
  const dir = makeTempDir('stress-random');
  t.after(() => removeTempDir(dir));
  const names = [];
  for (let i = 0; i < 40; i++) {
    const name = path.join(dir, `f${i}${random.pick(['', 'é', ' x', '\uD800'])}`);
    fs.writeFileSync(name, randomString());
    names.push(name);
  }
  fs.mkdirSync(path.join(dir, 'sub'));
  fs.symlinkSync(names[0], path.join(dir, 'link'));
  fs.symlinkSync(path.join(dir, 'nowhere'), path.join(dir, 'dangling'));
  const candidates = [...names, path.join(dir, 'sub'), path.join(dir, 'link'), path.join(dir, 'dangling'), dir, ''];
  for (let round = 0; round < 100; round++) {
    const paths = [];
    const length = random.int(60);
    for (let i = 0; i < length; i++) {
      paths.push(random.chance(0.7) ? random.pick(candidates) : path.join(dir, randomString()));
    }
    checkCall('batchFileHash', [paths], [`${length} paths`]);
  }
});

// The promise path: synchronous failures follow the text rule; a promise
// resolves with the digest of a readable file and otherwise rejects with a
// read error.
test('fileHash with every kind of value and random paths', async () => {
  const pending = [];
  const values = [...catalogue(), ...Array.from({ length: 300 }, () => ['random', random.chance(0.8) ? randomString() : randomValue()])];
  values.push(['package.json', path.join(__dirname, '..', '..', 'package.json')], ['directory', __dirname]);
  for (const [label, value] of values) {
    const failure = textFailure(value);
    let promise;
    try {
      promise = addon.fileHash(value);
    } catch (exception) {
      assert.ok(failure, `fileHash(${label}) threw ${describe(exception)}`);
      if ('thrown' in failure) assertSameException(exception, failure.thrown, `fileHash(${label})`);
      else assert.deepEqual([exception.code, exception.message], [failure.code, failure.message]);
      continue;
    }
    assert.equal(failure, null, `fileHash(${label}) did not throw`);
    assert.ok(promise instanceof Promise);
    pending.push(
      promise.then(
        (digest) => assert.equal(digest, sha256Hex(fs.readFileSync(value)), `fileHash(${label})`),
        (error) => {
          assert.ok(error instanceof Error);
          assert.equal(error.code, 'GenericFailure');
          assert.match(error.message, /^Read error: /);
          if (value.includes('\0')) {
            assert.equal(error.message, `Read error: ${NUL_IN_PATH}`);
          } else {
            assert.throws(() => fs.readFileSync(value), `fileHash(${label}) rejected a readable file`);
          }
        },
      ),
    );
  }
  await Promise.all(pending);
});

// Getters and toJSON run during a conversion; they may call the addon again
// or change the array that is being read.
test('values whose own code calls back into the addon or changes the array being read', () => {
  const shrinking = ['x', 'y', 'z'];
  Object.defineProperty(shrinking, 1, {
    get() {
      shrinking.length = 0;
      return addon.sha256String('inner');
    },
  });
  // Item 1 is the getter's digest; item 2 is gone by the time it is read.
  checkThrows(() => addon.batchFileHash(shrinking), 'StringExpected', 'Undefined');

  const growing = ['a'];
  Object.defineProperty(growing, 0, {
    get() {
      for (let i = 0; i < 1000; i++) growing.push('b'.repeat(1000));
      return 'a';
    },
  });
  // The length was read before the getter ran, so only item 0 is looked at.
  assert.deepEqual(addon.batchFileHash(growing), []);

  const reentrant = [['k', 'v'], ['k2', 'v2']];
  Object.defineProperty(reentrant, 0, {
    get: () => [addon.merkleRoot([['a', 'b']]), String(addon.countTokens('a b'))],
  });
  const entry0 = [addon.merkleRoot([['a', 'b']]), '2'];
  assert.equal(addon.merkleRoot(reentrant), merkleRootReference([entry0, ['k2', 'v2']]));

  const rendering = { toJSON: () => addon.merkleDiff([['a', '1']], [['a', '2']]) };
  checkThrows(() => addon.countTokens(rendering), 'StringExpected', 'Object {"added":[],"modified":["a"],"deleted":[]}');

  // A Buffer whose memory is taken away between calls.
  const memory = new ArrayBuffer(1 << 20);
  const view = new Uint8Array(memory);
  assert.equal(addon.sha256(view), sha256Hex(Buffer.alloc(1 << 20)));
  structuredClone(memory, { transfer: [memory] });
  assert.equal(addon.sha256(view), sha256Hex(Buffer.alloc(0)));
});

function checkThrows(fn, code, rendering) {
  assert.throws(fn, (error) => {
    assert.equal(error.code, code);
    assert.equal(error.message, `Failed to convert JavaScript value \`${rendering}\` into rust type \`String\``);
    return true;
  });
}
