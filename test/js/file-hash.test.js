'use strict';
// fileHash seen from JavaScript: the promise it returns, what it resolves to,
// how it rejects, when it settles, and many calls at once.
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const native = require('../..');
const {
  EMPTY_DIGEST, NUL_IN_PATH, WINDOWS, readErrorMessage, sha256Hex: digestOf, makeTempDir, removeTempDir, writeFileIn,
} = require('../support');

const NOT_FOUND = readErrorMessage(['No such file or directory', 2], ['The system cannot find the file specified.', 2]);
const PATH_NOT_FOUND = WINDOWS ? readErrorMessage([], ['The system cannot find the path specified.', 3]) : NOT_FOUND;
const NO_LINKS = WINDOWS && 'symbolic links need administrator rights or Developer Mode on Windows';

let dir;

const writeFile = (name, contents) => writeFileIn(dir, name, contents);

// The call itself must not throw; only the promise may fail.
async function assertRejects(filePath, message) {
  const promise = native.fileHash(filePath);
  assert.ok(promise instanceof Promise);
  await assert.rejects(promise, (error) => {
    assert.ok(error instanceof Error);
    assert.equal(error.code, 'GenericFailure');
    assertMessage(error.message, message);
    return true;
  });
}

function assertMessage(actual, expected, note) {
  if (expected instanceof RegExp) assert.match(actual, expected, note);
  else assert.equal(actual, expected, note);
}

function assertThrowsWithoutPromise(call, message) {
  let returned = 'not assigned';
  assert.throws(() => { returned = call(); }, (error) => {
    assert.ok(error instanceof Error);
    assert.equal(error.code, 'StringExpected');
    assert.equal(error.message, message);
    return true;
  });
  assert.equal(returned, 'not assigned');
}

// Microtasks all run before the event loop takes its next turn, so a
// promise still pending after these was not settled in the calling turn.
async function drainMicrotasks() {
  for (let i = 0; i < 20; i++) await Promise.resolve();
}

before(() => {
  dir = makeTempDir('file-hash');
});

after(() => {
  removeTempDir(dir);
});

describe('fileHash: results', () => {
  test('returns a promise at once', async () => {
    const file = writeFile('promise.txt', 'promise');
    const promise = native.fileHash(file);
    assert.ok(promise instanceof Promise);
    assert.equal(await promise, digestOf('promise'));
  });

  test('resolves to the digest of the file bytes, for sizes around block edges', async () => {
    const sizes = [1, 3, 55, 56, 63, 64, 65, 119, 120, 127, 128, 4095, 4096, 4097, 65536 + 13, (1 << 20) + 7];
    for (const size of sizes) {
      const contents = crypto.randomBytes(size);
      const file = writeFile(`sizes/${size}.bin`, contents);
      const digest = await native.fileHash(file);
      assert.equal(digest, digestOf(contents), `size ${size}`);
      assert.equal(digest, native.sha256(contents), `size ${size}`);
    }
  });

  test('equals the digest in the batchFileHash entry', async () => {
    const contents = crypto.randomBytes(300000);
    const file = writeFile('batch-agrees.bin', contents);
    const [[entryPath, entryDigest]] = native.batchFileHash([file]);
    assert.equal(entryPath, file);
    assert.equal(await native.fileHash(file), entryDigest);
  });

  test('an empty file resolves to the digest of zero bytes', async () => {
    const file = writeFile('empty', Buffer.alloc(0));
    assert.equal(await native.fileHash(file), EMPTY_DIGEST);
    assert.equal(native.sha256(Buffer.alloc(0)), EMPTY_DIGEST);
  });

  test('a large file is read whole', async () => {
    const contents = crypto.randomBytes(24 << 20);
    const file = writeFile('large.bin', contents);
    assert.equal(await native.fileHash(file), digestOf(contents));
  });

  test('a /proc file reporting size 0 is hashed by its content', async () => {
    for (const file of ['/proc/self/cmdline', '/proc/version', '/proc/cpuinfo']) {
      if (!fs.existsSync(file)) continue;
      const contents = fs.readFileSync(file);
      assert.ok(contents.length > 0);
      const digest = await native.fileHash(file);
      assert.notEqual(digest, EMPTY_DIGEST, file);
      assert.equal(digest, digestOf(contents), file);
    }
  });

  test('a link to a file resolves to the target digest', { skip: NO_LINKS }, async () => {
    const target = writeFile('link-target.txt', 'through a link');
    const link = path.join(dir, 'link');
    fs.symlinkSync(target, link);
    assert.equal(await native.fileHash(link), digestOf('through a link'));
  });

  test('non-ASCII names and extra arguments', async () => {
    const file = writeFile('\u00e9t\u00e9 \u{1F600}.txt', 'unicode');
    assert.equal(await native.fileHash(file, 'ignored', 3), digestOf('unicode'));
  });

  test('a file rewritten between calls gives the new digest', async () => {
    const file = writeFile('rewritten.txt', 'first version');
    assert.equal(await native.fileHash(file), digestOf('first version'));
    fs.writeFileSync(file, 'second, longer version of the file');
    assert.equal(await native.fileHash(file), digestOf('second, longer version of the file'));
  });
});

describe('fileHash: rejections', () => {
  test('a missing file', async () => {
    await assertRejects(path.join(dir, 'missing.txt'), NOT_FOUND);
  });

  test('a missing directory on the path', async () => {
    await assertRejects(path.join(dir, 'no-dir', 'deeper', 'file.txt'), PATH_NOT_FOUND);
  });

  test('a directory', async () => {
    await assertRejects(dir, readErrorMessage(['Is a directory', 21], ['Access is denied.', 5]));
  });

  test('a file used as a directory', async () => {
    const file = writeFile('plain.txt', 'plain');
    await assertRejects(path.join(file, 'child'),
      readErrorMessage(['Not a directory', 20], ['The system cannot find the path specified.', 3]));
  });

  test('a dangling link', { skip: NO_LINKS }, async () => {
    const link = path.join(dir, 'dangling');
    fs.symlinkSync(path.join(dir, 'gone'), link);
    await assertRejects(link, NOT_FOUND);
  });

  test('a link loop', { skip: NO_LINKS }, async () => {
    const loop = path.join(dir, 'loop');
    fs.symlinkSync('loop', loop);
    await assertRejects(loop, 'Read error: Too many levels of symbolic links (os error 40)');
  });

  test('the empty path', async () => {
    await assertRejects('', PATH_NOT_FOUND);
  });

  test('a path containing NUL is never opened', async () => {
    const file = writeFile('nul-target', 'exists');
    const message = `Read error: ${NUL_IN_PATH}`;
    await assertRejects(`${file}\0`, message);
    await assertRejects(`${file}\0suffix`, message);
    await assertRejects('\0', message);
  });

  test('an unreadable file',
    {
      skip: (WINDOWS && 'file modes do not deny reads on Windows; the native tests lock a file instead') ||
        (process.getuid && process.getuid() === 0 && 'running as root: permissions do not deny reads'),
    },
    async () => {
      const file = writeFile('locked', 'secret');
      fs.chmodSync(file, 0o000);
      try {
        await assertRejects(file, 'Read error: Permission denied (os error 13)');
      } finally {
        fs.chmodSync(file, 0o600);
      }
    });

  test('later calls are unaffected by a rejection', async () => {
    const file = writeFile('after-failure.txt', 'fine');
    await assert.rejects(native.fileHash(path.join(dir, 'nope')));
    assert.equal(await native.fileHash(file), digestOf('fine'));
  });
});

describe('fileHash: synchronous errors', () => {
  test('no argument throws and returns no promise', () => {
    assertThrowsWithoutPromise(() => native.fileHash(),
      'Failed to convert JavaScript value `Undefined` into rust type `String`');
  });

  test('a number throws and returns no promise', () => {
    assertThrowsWithoutPromise(() => native.fileHash(42),
      'Failed to convert JavaScript value `Number 42 ` into rust type `String`');
  });

  test('other non-strings throw', () => {
    assertThrowsWithoutPromise(() => native.fileHash(null),
      'Failed to convert JavaScript value `Null` into rust type `String`');
    assertThrowsWithoutPromise(() => native.fileHash(['a']),
      'Failed to convert JavaScript value `Object ["a"]` into rust type `String`');
  });
});

describe('fileHash: settling', () => {
  test('resolves in a later turn than the call', async () => {
    const file = writeFile('turn.txt', 'turn');
    let flag = false;
    let settled = false;
    const seen = native.fileHash(file).then((digest) => {
      settled = true;
      return { flag, digest };
    });
    flag = true;
    await drainMicrotasks();
    assert.equal(settled, false, 'settled within the calling turn');
    const { flag: flagSeen, digest } = await seen;
    assert.equal(flagSeen, true);
    assert.equal(digest, digestOf('turn'));
  });

  test('rejects in a later turn than the call', async () => {
    let flag = false;
    let settled = false;
    const seen = native.fileHash(path.join(dir, 'missing-turn')).then(
      () => assert.fail('resolved for a missing file'),
      (error) => {
        settled = true;
        return { flag, error };
      });
    flag = true;
    await drainMicrotasks();
    assert.equal(settled, false, 'settled within the calling turn');
    const { flag: flagSeen, error } = await seen;
    assert.equal(flagSeen, true);
    assertMessage(error.message, NOT_FOUND);
  });

  test('a NUL path also rejects later, not during the call', async () => {
    let settled = false;
    const promise = native.fileHash('a\0b').catch((error) => {
      settled = true;
      return error;
    });
    await drainMicrotasks();
    assert.equal(settled, false);
    assert.equal((await promise).message, `Read error: ${NUL_IN_PATH}`);
  });

  test('hundreds of calls in flight all settle correctly', async () => {
    const files = [];
    for (let i = 0; i < 120; i++) {
      const contents = crypto.randomBytes((i * 7919) % (256 * 1024));
      files.push({ file: writeFile(`flight/${i}.bin`, contents), digest: digestOf(contents) });
    }
    const calls = [];
    for (let i = 0; i < 800; i++) {
      if (i % 10 === 3) {
        calls.push({ promise: native.fileHash(path.join(dir, 'flight', `missing-${i}`)), expected: null });
      } else {
        const { file, digest } = files[(i * 31) % files.length];
        calls.push({ promise: native.fileHash(file), expected: digest });
      }
    }
    const outcomes = await Promise.allSettled(calls.map((call) => call.promise));
    outcomes.forEach((outcome, i) => {
      if (calls[i].expected === null) {
        assert.equal(outcome.status, 'rejected', `call ${i}`);
        assertMessage(outcome.reason.message, NOT_FOUND, `call ${i}`);
        assert.equal(outcome.reason.code, 'GenericFailure', `call ${i}`);
      } else {
        assert.equal(outcome.status, 'fulfilled', `call ${i}: ${outcome.reason}`);
        assert.equal(outcome.value, calls[i].expected, `call ${i}`);
      }
    });
  });

  test('calls keep working while batchFileHash runs between them', async () => {
    const a = writeFile('mix/a', 'A'.repeat(100000));
    const b = writeFile('mix/b', 'B');
    const pending = [native.fileHash(a), native.fileHash(b)];
    assert.deepEqual(native.batchFileHash([b, a]), [[b, digestOf('B')], [a, digestOf('A'.repeat(100000))]]);
    assert.deepEqual(await Promise.all(pending), [digestOf('A'.repeat(100000)), digestOf('B')]);
  });
});

describe('fileHash: relative paths', () => {
  test('resolve against the current directory of the process', async () => {
    const first = path.join(dir, 'cwd-one');
    const second = path.join(dir, 'cwd-two');
    writeFile('cwd-one/rel.txt', 'content one');
    writeFile('cwd-two/rel.txt', 'content two');
    writeFile('cwd-two/sub/deeper.txt', 'deeper');
    const original = process.cwd();
    try {
      process.chdir(first);
      assert.equal(await native.fileHash('rel.txt'), digestOf('content one'));
      assert.equal(await native.fileHash('./rel.txt'), digestOf('content one'));
      await assert.rejects(native.fileHash('sub/deeper.txt'), { message: PATH_NOT_FOUND });
      process.chdir(second);
      assert.equal(await native.fileHash('rel.txt'), digestOf('content two'));
      assert.equal(await native.fileHash('sub/deeper.txt'), digestOf('deeper'));
      assert.equal(await native.fileHash('../cwd-one/rel.txt'), digestOf('content one'));
    } finally {
      process.chdir(original);
    }
    assert.equal(process.cwd(), original);
  });
});
