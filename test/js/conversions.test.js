'use strict';
// How arguments reach native code: every conversion failure the caller can
// provoke, with its exact message and code, and the order in which
// arguments are looked at.
const { describe, test } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const { spawnSync } = require('node:child_process');

const addon = require('../..');
const { merkleRootReference, merkleDiffReference, sortedDiff } = require('../support');

const textMessage = (rendering) =>
  `Failed to convert JavaScript value \`${rendering}\` into rust type \`String\``;
// Deno's Node-API takes references to primitives, which Node's (version 8)
// refuses; the README lists what that changes.
const DENO = Boolean(process.versions.deno);

const u32Message = (typeName) => `Failed to convert napi value ${typeName} into rust type \`u32\``;

// A conversion failure is an Error (not a subclass) with the status name as code.
function assertConversionError(fn, message, code) {
  assert.throws(fn, (error) => {
    assert.equal(Object.getPrototypeOf(error), Error.prototype);
    assert.equal(error.message, message);
    assert.equal(error.code, code);
    return true;
  });
}

function assertTextError(fn, rendering) {
  assertConversionError(fn, textMessage(rendering), 'StringExpected');
}

// Functions taking one text, each converting its argument the same way.
const TEXT_FUNCTIONS = {
  sha256String: (value) => addon.sha256String(value),
  countTokens: (value) => addon.countTokens(value),
  truncateToTokens: (value) => addon.truncateToTokens(value, 5),
};

function anonymousArrow() {
  return [() => 0][0];
}

describe('text conversion: value renderings in messages', () => {
  const cases = [
    ['undefined', undefined, 'Undefined'],
    ['null', null, 'Null'],
    ['an integer', 42, 'Number 42 '],
    ['zero and negative zero', -0, 'Number 0 '],
    ['a negative fraction', -1.5, 'Number -1.5 '],
    ['NaN', NaN, 'Number NaN '],
    ['Infinity', -Infinity, 'Number -Infinity '],
    ['a large number', 1e21, 'Number 1e+21 '],
    ['true', true, 'Boolean true '],
    ['false', false, 'Boolean false '],
    ['a BigInt', 12345678901234567890n, 'BigInt 12345678901234567890 '],
    ['a symbol', Symbol('label'), 'Symbol'],
    ['a plain object', { a: 1 }, 'Object {"a":1}'],
    ['a nested object', { a: [1, { b: 'x' }], c: null }, 'Object {"a":[1,{"b":"x"}],"c":null}'],
    ['an empty object', {}, 'Object {}'],
    ['an array', [1, 'x', null], 'Object [1,"x",null]'],
    ['a Buffer (its toJSON form)', Buffer.from('hi'), 'Object {"type":"Buffer","data":[104,105]}'],
    ['a typed array', new Uint8Array([7, 8]), 'Object {"0":7,"1":8}'],
    ['a number wrapper', new Number(5), 'Object 5'],
    ['a string wrapper', new String('abc'), 'Object "abc"'],
    ['an object with toJSON', { toJSON: () => 'custom' }, 'Object "custom"'],
    ['a Map (no enumerable properties)', new Map([[1, 2]]), 'Object {}'],
    ['a null-prototype object', Object.assign(Object.create(null), { k: 'v' }), 'Object {"k":"v"}'],
    ['a named function', function compute() {}, 'function compute(..) '],
    ['a class', class Widget {}, 'function Widget(..) '],
    ['an anonymous arrow function', anonymousArrow(), 'function anonymous(..) '],
    ['a function whose name is empty', Object.defineProperty(function () {}, 'name', { value: '' }), 'function anonymous(..) '],
    ['a bound function', function base() {}.bind(null), 'function bound base(..) '],
    ['an async generator', async function* produce() {}, 'function produce(..) '],
  ];

  for (const [label, value, rendering] of cases) {
    test(`${label} renders as \`${rendering}\``, () => {
      assertTextError(() => addon.sha256String(value), rendering);
    });
  }

  test('an inline arrow argument has no name and renders as anonymous', () => {
    assertTextError(() => addon.countTokens(() => 1), 'function anonymous(..) ');
  });

  test('every text-taking function reports the same message', () => {
    for (const [name, call] of Object.entries(TEXT_FUNCTIONS)) {
      assertTextError(() => call(42), 'Number 42 ');
      assertTextError(() => call(null), 'Null');
      assertTextError(() => call({ a: 1 }), 'Object {"a":1}');
      assert.throws(() => call(Symbol('x')), { message: textMessage('Symbol') }, name);
    }
  });

  test('a missing text argument renders as Undefined', () => {
    assertTextError(() => addon.sha256String(), 'Undefined');
    assertTextError(() => addon.countTokens(), 'Undefined');
    assertTextError(() => addon.truncateToTokens(), 'Undefined');
  });

  test('the number 42 message has a space before the closing backquote', () => {
    assert.throws(() => addon.sha256String(42), {
      message: 'Failed to convert JavaScript value `Number 42 ` into rust type `String`',
      code: 'StringExpected',
    });
  });
});

// What a message quotes of a value whose JSON is `json`: at most 1 KiB of
// UTF-8, cut at a character boundary and marked.
function quotedJson(json) {
  const bytes = Buffer.from(json);
  if (bytes.length <= 1024) return `Object ${json}`;
  let end = 1024;
  while ((bytes[end] & 0xc0) === 0x80) end -= 1;
  return `Object ${bytes.subarray(0, end).toString()}\u2026`;
}

describe('text conversion: large values are quoted in part', () => {
  test('a 300 MB Buffer throws its conversion error at once, for every text function', () => {
    // A small heap: rendering the whole Buffer would need gigabytes of it.
    const script = `
      const addon = require(${JSON.stringify(require.resolve('../..'))});
      const huge = Buffer.alloc(3e8);
      const messages = [];
      for (const call of [addon.sha256String, addon.countTokens, addon.fileHash]) {
        try { call(huge); } catch (error) { messages.push([error.code, error.message]); }
      }
      process.stdout.write(JSON.stringify(messages));`;
    const result = spawnSync(process.execPath, ['--max-old-space-size=64', '-e', script], {
      encoding: 'utf8',
      timeout: 60000,
    });
    assert.equal(result.status, 0, result.stderr);
    const expected = textMessage(quotedJson(JSON.stringify(Buffer.alloc(2000))));
    assert.deepEqual(JSON.parse(result.stdout), Array(3).fill(['StringExpected', expected]));
  });

  const cases = [
    // Whose whole JSON no engine can build: its start is that of a shorter one.
    ['a sparse array of the greatest length', new Array(2 ** 32 - 1), new Array(2000)],
    ['an array just over the bound', Array(1025).fill('é')],
    ['an array just under it', Array(1024).fill(1)],
    ['a Uint8Array over part of its buffer', new Uint8Array(new ArrayBuffer(9000), 7, 8000).fill(200)],
    ['a long Buffer', Buffer.alloc(3000, 1)],
    ['an object holding long non-ASCII text', { text: 'é😀'.repeat(1000) }],
    ['a DataView over a huge ArrayBuffer', new DataView(new ArrayBuffer(2 ** 28))],
  ];
  for (const [label, value, reference = value] of cases) {
    test(`${label} renders as the start of its JSON`, () => {
      assertTextError(() => addon.sha256String(value), quotedJson(JSON.stringify(reference)));
    });
  }

  test('a toJSON of a long array, its own or its class\'s, decides the rendering', () => {
    const own = new Uint8Array(5000);
    own.toJSON = () => 'own';
    assertTextError(() => addon.countTokens(own), 'Object "own"');
    class Listing extends Array {
      toJSON() {
        return `${this.length} items`;
      }
    }
    const listing = Listing.from({ length: 3000 }, () => 0);
    assertTextError(() => addon.countTokens(listing), 'Object "3000 items"');
  });

  test('a long function name is cut like a JSON text', () => {
    const fn = Object.defineProperty(function f() {}, 'name', { value: 'n'.repeat(5000) });
    assertTextError(() => addon.sha256String(fn), `function ${'n'.repeat(1024)}\u2026(..) `);
  });

  test('long values that cannot be stringified still throw what stringify throws', () => {
    const cyclic = Array(3000).fill(0);
    cyclic[2] = cyclic;
    assert.throws(() => addon.sha256String(cyclic), TypeError);
    assert.throws(() => addon.sha256String(new BigInt64Array(3000)), /BigInt/);
    const thrown = new RangeError('element getter');
    const guarded = Array(3000).fill(0);
    let reads = 0;
    Object.defineProperty(guarded, 5, {
      get() {
        reads += 1;
        throw thrown;
      },
    });
    assert.throws(() => addon.sha256String(guarded), (error) => error === thrown);
    assert.equal(reads, 1);
  });
});

describe('text conversion: exceptions raised while rendering', () => {
  test('a cyclic object throws the TypeError of JSON.stringify unchanged', () => {
    const cyclic = { name: 'loop' };
    cyclic.self = cyclic;
    let expected;
    try {
      JSON.stringify(cyclic);
    } catch (error) {
      expected = error;
    }
    assert.throws(
      () => addon.sha256String(cyclic),
      (error) => {
        assert.ok(error instanceof TypeError);
        assert.equal(error.message, expected.message);
        assert.equal(error.code, undefined);
        return true;
      },
    );
  });

  test('a BigInt inside an object throws the serialisation TypeError', () => {
    assert.throws(
      () => addon.countTokens({ big: 1n }),
      (error) => error instanceof TypeError && /BigInt/.test(error.message) && error.code === undefined,
    );
  });

  test('an error thrown by toJSON reaches the caller as the same object', () => {
    const thrown = new RangeError('toJSON refused');
    let calls = 0;
    const value = {
      toJSON() {
        calls += 1;
        throw thrown;
      },
    };
    assert.throws(() => addon.sha256String(value), (error) => error === thrown);
    assert.equal(calls, 1);
  });

  test('a non-error object thrown by toJSON becomes an Error with its string form', () => {
    const value = {
      toJSON() {
        throw { reason: 'not an error' };
      },
    };
    assertConversionError(() => addon.sha256String(value), '[object Object]', 'GenericFailure');
  });

  test('a primitive thrown by toJSON cannot be referenced, which is reported instead', () => {
    const value = {
      toJSON() {
        throw 42;
      },
    };
    if (DENO) assertConversionError(() => addon.countTokens(value), '42', 'GenericFailure');
    else assertConversionError(() => addon.countTokens(value), 'Create Error reference failed', 'InvalidArg');
  });

  test('an error thrown by a function name getter reaches the caller as the same object', () => {
    const thrown = new Error('name getter failed');
    const fn = Object.defineProperty(function hidden() {}, 'name', {
      get() {
        throw thrown;
      },
    });
    assert.throws(() => addon.sha256String(fn), (error) => error === thrown);
  });

  test(
    'a non-error object thrown by a function name getter becomes an Error with its string form',
    () => {
      const fn = Object.defineProperty(function hidden() {}, 'name', {
        get() {
          throw { reason: 'not an error' };
        },
      });
      assertConversionError(() => addon.sha256String(fn), '[object Object]', 'GenericFailure');
    },
  );

  test('the module keeps working after rendering failures', () => {
    const cyclic = [];
    cyclic.push(cyclic);
    for (let i = 0; i < 200; i += 1) {
      assert.throws(() => addon.sha256String(cyclic), TypeError);
    }
    assert.equal(
      addon.sha256String('abc'),
      crypto.createHash('sha256').update('abc').digest('hex'),
    );
  });
});

describe('array conversion', () => {
  test('a non-array where a list is expected is InvalidArg', () => {
    const notArrays = [
      'a string',
      42,
      undefined,
      null,
      { length: 1, 0: ['a', 'b'] },
      new Uint8Array(4),
      Buffer.from('ab'),
      new Set(['a']),
      () => [],
    ];
    for (const value of notArrays) {
      assertConversionError(() => addon.merkleRoot(value), 'Given napi value is not an array', 'InvalidArg');
      assertConversionError(() => addon.batchFileHash(value), 'Given napi value is not an array', 'InvalidArg');
    }
  });

  test('an item of a list of lists that is not an array is InvalidArg', () => {
    assertConversionError(
      () => addon.merkleRoot([['a', 'b'], 'c:d']),
      'Given napi value is not an array',
      'InvalidArg',
    );
    assertConversionError(
      () => addon.merkleRoot([new Uint8Array(2)]),
      'Given napi value is not an array',
      'InvalidArg',
    );
  });

  test('a missing list argument is not an array', () => {
    assertConversionError(() => addon.merkleRoot(), 'Given napi value is not an array', 'InvalidArg');
    assertConversionError(() => addon.merkleDiff([]), 'Given napi value is not an array', 'InvalidArg');
  });

  test('an element that is not a string fails with that element\'s text conversion', () => {
    assertTextError(() => addon.batchFileHash(['/no/such/file', 7]), 'Number 7 ');
    assertTextError(() => addon.merkleRoot([['key', 1]]), 'Number 1 ');
    assertTextError(() => addon.merkleRoot([['key', 'value'], ['k2', { v: true }]]), 'Object {"v":true}');
  });

  test('holes read as undefined', () => {
    assertTextError(() => addon.batchFileHash(['/no/such/file', , 'x']), 'Undefined');
    assertTextError(() => addon.batchFileHash(new Array(3)), 'Undefined');
    assertTextError(() => addon.merkleRoot([['a', , 'c']]), 'Undefined');
  });

  test('an index getter that throws propagates that same exception', () => {
    const thrown = new Error('element getter failed');
    const paths = ['/no/such/file'];
    Object.defineProperty(paths, 1, {
      get() {
        throw thrown;
      },
      enumerable: true,
    });
    assert.throws(() => addon.batchFileHash(paths), (error) => error === thrown);
  });

  test('a non-error value thrown by an index getter propagates unchanged', () => {
    const entry = ['key'];
    Object.defineProperty(entry, 1, {
      get() {
        throw 'plain string';
      },
    });
    assert.throws(() => addon.merkleRoot([entry]), (error) => error === 'plain string');
  });

  test('an exception while rendering an element propagates unchanged', () => {
    const thrown = new SyntaxError('element toJSON failed');
    const element = {
      toJSON() {
        throw thrown;
      },
    };
    assert.throws(() => addon.merkleRoot([['key', element]]), (error) => error === thrown);
  });

  test('the first failing element is reported, later elements are not read', () => {
    let laterReads = 0;
    const paths = ['/no/such/file', 5];
    Object.defineProperty(paths, 2, {
      get() {
        laterReads += 1;
        return 'x';
      },
    });
    assertTextError(() => addon.batchFileHash(paths), 'Number 5 ');
    assert.equal(laterReads, 0);
  });

  test('elements provided by getters are converted like plain elements', () => {
    const entry = [];
    Object.defineProperty(entry, 0, { get: () => 'path', enumerable: true });
    Object.defineProperty(entry, 1, { get: () => 'digest', enumerable: true });
    assert.equal(addon.merkleRoot([entry]), addon.merkleRoot([['path', 'digest']]));
  });
});

// Lists are read in slices of a few thousand items, each with host handles
// of its own; what an item yields must not depend on the slice it falls in.
describe('array conversion of long lists', () => {
  const LENGTH = 12289; // three slices and one item

  function entries() {
    return Array.from({ length: LENGTH }, (_, i) => [`key-${i}`, `value-${i}`]);
  }

  test('failures anywhere in a long list are reported as for a short one', () => {
    for (const index of [4095, 4096, 8192, LENGTH - 1]) {
      const manifest = entries();
      manifest[index] = ['key', 9];
      assertTextError(() => addon.merkleRoot(manifest), 'Number 9 ');
      manifest[index] = 'not an entry';
      assertConversionError(() => addon.merkleRoot(manifest), 'Given napi value is not an array', 'InvalidArg');
      const paths = manifest.map(([key]) => key);
      paths[index] = { index };
      assertTextError(() => addon.batchFileHash(paths), `Object {"index":${index}}`);
    }
  });

  test('an exception thrown late in a long list reaches the caller unchanged', () => {
    const thrown = new RangeError('late getter');
    const paths = entries().map(([key]) => `/no/such/${key}`);
    Object.defineProperty(paths, 8200, {
      get() {
        throw thrown;
      },
    });
    assert.throws(() => addon.batchFileHash(paths), (error) => error === thrown);
  });

  test('values made by getters in every slice are converted whole', () => {
    const plain = entries();
    const made = plain.map(([key], i) => {
      const entry = [key];
      // A fresh string on each read, held only by a handle of its slice.
      Object.defineProperty(entry, 1, { get: () => `value-${i}` });
      return entry;
    });
    const other = plain.filter((_, i) => i % 1000 !== 7).map(([key, value], i) => [key, i % 999 ? value : 'changed']);
    assert.equal(addon.merkleRoot(made), merkleRootReference(plain));
    assert.deepEqual(sortedDiff(addon.merkleDiff(made, other)), merkleDiffReference(plain, other));
  });
});

describe('array conversion of strings of every width and length', () => {
  // Items are copied into one growing block with little room to spare, so
  // lengths around that room and past it, in every unit width, must come
  // through whole.
  const PIECES = ['a', '\u00e9', '\u0430', '\u4e2d', '\u{1F600}', '\ud800', '\udc00', '\0'];

  test('manifests of such strings give the reference root and diff', () => {
    const entries = [];
    for (let length = 0; length < 700; length += 7) {
      for (const [i, piece] of PIECES.entries()) {
        const key = `${i}:`.concat(piece.repeat(Math.ceil(length / piece.length))).slice(0, length + 2);
        entries.push([key, PIECES[(i + 1) % PIECES.length].repeat(length % 50)]);
      }
    }
    assert.equal(addon.merkleRoot(entries), merkleRootReference(entries));
    const other = entries.slice(1).map(([key, value], i) => [key, i % 3 ? value : `${value}!`]);
    assert.deepEqual(sortedDiff(addon.merkleDiff(entries, other)), merkleDiffReference(entries, other));
  });
});

describe('unsigned 32-bit integer conversion', () => {
  const cases = [
    ['a string', '5', 'String'],
    ['a missing budget', undefined, 'Undefined'],
    ['null', null, 'Null'],
    ['a boolean', true, 'Boolean'],
    ['a BigInt', 5n, 'BigInt'],
    ['a symbol', Symbol('n'), 'Symbol'],
    ['a number wrapper', new Number(3), 'Object'],
    ['an array', [3], 'Object'],
    ['a function', () => 3, 'Function'],
  ];
  for (const [label, budget, typeName] of cases) {
    test(`${label} is named ${typeName}`, () => {
      assertConversionError(() => addon.truncateToTokens('hello world', budget), u32Message(typeName), 'NumberExpected');
    });
  }

  test('a budget left out entirely is Undefined', () => {
    assertConversionError(() => addon.truncateToTokens('hello world'), u32Message('Undefined'), 'NumberExpected');
  });

  test('a budget object is not converted through valueOf', () => {
    let calls = 0;
    const budget = {
      valueOf() {
        calls += 1;
        return 1;
      },
    };
    assertConversionError(() => addon.truncateToTokens('a b', budget), u32Message('Object'), 'NumberExpected');
    assert.equal(calls, 0);
  });
});

describe('Buffer conversion', () => {
  test('values that cannot be referenced fail at the reference', () => {
    const message = DENO ? 'Failed to get Buffer pointer and length' : 'Failed to create reference from Buffer';
    for (const value of [42, undefined, null, true, 'text', 1n]) {
      assertConversionError(() => addon.sha256(value), message, 'InvalidArg');
    }
    assertConversionError(() => addon.sha256(), message, 'InvalidArg');
  });

  test('objects that are not byte views fail at the pointer query', () => {
    const objects = [{}, new String('text'), [1, 2, 3], new ArrayBuffer(8), () => 0, { buffer: Buffer.from('x') }];
    for (const value of objects) {
      assertConversionError(() => addon.sha256(value), 'Failed to get Buffer pointer and length', 'InvalidArg');
    }
  });

  test('a string is not taken as a Buffer, nor a Buffer as a string', () => {
    const message = DENO ? 'Failed to get Buffer pointer and length' : 'Failed to create reference from Buffer';
    assert.throws(() => addon.sha256('abc'), { message });
    assertTextError(() => addon.sha256String(Buffer.from('abc')), 'Object {"type":"Buffer","data":[97,98,99]}');
  });

  test('a rejected value leaves the module usable and the value untouched', () => {
    const view = new ArrayBuffer(4);
    for (let i = 0; i < 1000; i += 1) {
      assert.throws(() => addon.sha256(view), { code: 'InvalidArg' });
    }
    assert.equal(view.byteLength, 4);
    const empty = crypto.createHash('sha256').digest('hex');
    assert.equal(addon.sha256(Buffer.alloc(0)), empty);
  });
});

describe('argument count and order', () => {
  test('extra arguments are ignored', () => {
    const bytes = Buffer.from('payload');
    assert.equal(addon.sha256(bytes, 'extra', {}), addon.sha256(bytes));
    assert.equal(addon.sha256String('payload', 42, null), addon.sha256String('payload'));
    assert.equal(addon.countTokens('a b c', Symbol('x'), 1n), 3);
    assert.equal(addon.truncateToTokens('a b c', 2, 'junk', { cyclic: null }), 'a b ');
    assert.equal(addon.merkleRoot([['k', 'v']], 'extra'), addon.merkleRoot([['k', 'v']]));
  });

  test('bad extra arguments are never looked at', () => {
    const cyclic = {};
    cyclic.self = cyclic;
    const hostile = {
      toJSON() {
        throw new Error('must not be rendered');
      },
    };
    assert.equal(addon.countTokens('x', cyclic, hostile), 1);
    assert.equal(addon.truncateToTokens('x y', 1, hostile), 'x ');
  });

  test('truncateToTokens reports a bad text before a bad budget', () => {
    assertTextError(() => addon.truncateToTokens(42, 'not a budget'), 'Number 42 ');
    assertTextError(() => addon.truncateToTokens(undefined, undefined), 'Undefined');
    assertTextError(() => addon.truncateToTokens(Buffer.from('x'), null), 'Object {"type":"Buffer","data":[120]}');
  });

  test('truncateToTokens reports the budget once the text converts', () => {
    assertConversionError(() => addon.truncateToTokens('', 'x'), u32Message('String'), 'NumberExpected');
  });

  test('merkleDiff reports its first argument before its second', () => {
    let secondReads = 0;
    const second = [['a', 'b']];
    Object.defineProperty(second, 1, {
      get() {
        secondReads += 1;
        return ['c', 'd'];
      },
    });
    assertTextError(() => addon.merkleDiff([['k', 9]], second), 'Number 9 ');
    assertConversionError(() => addon.merkleDiff('x', 5), 'Given napi value is not an array', 'InvalidArg');
    assert.equal(secondReads, 0);
    assertConversionError(() => addon.merkleDiff([], 'x'), 'Given napi value is not an array', 'InvalidArg');
  });
});

describe('text conversion of valid strings', () => {
  // The native copy of a text is sized from its UTF-16 length; strings
  // made of units of every UTF-8 width around small and large sizes must
  // convert to exactly their UTF-8 bytes.
  const units = {
    ascii: 'a',
    twoByte: '\u00e9',
    threeByte: '\u20ac',
    pair: '\u{1F600}',
    loneSurrogate: '\ud800',
    nul: '\0',
  };

  test('strings of each unit width convert to their UTF-8 bytes at every length near the inline size', () => {
    for (const [label, unit] of Object.entries(units)) {
      for (let count = 0; count <= 140; count += 1) {
        const text = unit.repeat(count);
        const expected = crypto.createHash('sha256').update(Buffer.from(text)).digest('hex');
        assert.equal(addon.sha256String(text), expected, `${label} x ${count}`);
      }
    }
  });

  test('mixed-width strings convert to their UTF-8 bytes', () => {
    const pieces = Object.values(units);
    let state = 7;
    for (let round = 0; round < 300; round += 1) {
      let text = '';
      const length = round % 150;
      for (let i = 0; i < length; i += 1) {
        state = (state * 1103515245 + 12345) >>> 0;
        text += pieces[state % pieces.length];
      }
      const expected = crypto.createHash('sha256').update(Buffer.from(text)).digest('hex');
      assert.equal(addon.sha256String(text), expected, JSON.stringify(text));
    }
  });

  test('a text of several megabytes converts whole', () => {
    const text = '\u00e9x\u{1F600}\u20ac'.repeat(300000);
    const bytes = Buffer.from(text);
    assert.equal(addon.sha256String(text), crypto.createHash('sha256').update(bytes).digest('hex'));
    // Every byte of the three non-ASCII characters counts, and each lone x is one run.
    assert.equal(addon.countTokens(text), 10 * 300000);
  });
});
