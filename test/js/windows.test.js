'use strict';
// Windows only: paths as Windows users write them, reaching fileHash and
// batchFileHash alike, and a host whose executable is not called node.exe.
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const native = require('../..');
const { WINDOWS, readErrorMessage, sha256Hex: digestOf, makeTempDir, removeTempDir } = require('../support');

const ROOT = path.join(__dirname, '..', '..');
const onlyOnWindows = { skip: !WINDOWS && 'Windows path forms and hosts' };

let dir;

before(() => {
  if (WINDOWS) dir = makeTempDir('windows');
});

after(() => {
  if (WINDOWS) removeTempDir(dir);
});

async function bothAgree(spelling, contents) {
  assert.equal(await native.fileHash(spelling), digestOf(contents), spelling);
  assert.deepEqual(native.batchFileHash([spelling]), [[spelling, digestOf(contents)]], spelling);
}

describe('Windows paths', onlyOnWindows, () => {
  test('drive-letter paths with either separator, extended-length and device forms', async () => {
    const file = path.join(dir, 'forms.txt');
    fs.writeFileSync(file, 'forms');
    assert.match(file, /^[A-Za-z]:\\/);
    for (const spelling of [file, file.replace(/\\/g, '/'), `\\\\?\\${file}`, `\\??\\${file}`, `\\\\.\\${file}`]) {
      await bothAgree(spelling, 'forms');
    }
  });

  test('relative paths resolve against the current directory when the file is opened', async () => {
    fs.mkdirSync(path.join(dir, 'rel', 'sub'), { recursive: true });
    fs.writeFileSync(path.join(dir, 'rel', 'sub', 'r.txt'), 'relative');
    const cwd = process.cwd();
    process.chdir(path.join(dir, 'rel'));
    try {
      await bothAgree('sub\\r.txt', 'relative');
      await bothAgree('sub/r.txt', 'relative');
      await bothAgree('.\\sub\\..\\sub\\r.txt', 'relative');
      // A root path without a drive letter takes the current drive.
      await bothAgree(path.join(dir, 'rel', 'sub', 'r.txt').slice(2), 'relative');
    } finally {
      process.chdir(cwd);
    }
  });

  test('a path of more than 260 characters, absolute and relative', async () => {
    const parts = Array.from({ length: 6 }, (_, i) => String.fromCharCode(97 + i).repeat(48));
    const deep = path.join(dir, ...parts);
    fs.mkdirSync(deep, { recursive: true });
    const file = path.join(deep, 'long.txt');
    fs.writeFileSync(file, 'long');
    assert.ok(file.length > 260, `${file.length} characters`);
    await bothAgree(file, 'long');
    await bothAgree(file.replace(/\\/g, '/'), 'long');
    await bothAgree(`\\\\?\\${file}`, 'long');
    const cwd = process.cwd();
    process.chdir(dir);
    try {
      await bothAgree(path.join(...parts, 'long.txt'), 'long');
    } finally {
      process.chdir(cwd);
    }
  });

  test('astral and other non-ASCII names', async () => {
    const file = path.join(dir, '\u{1F600} \u00e9t\u00e9 \u65e5\u672c \u{10437}.txt');
    fs.writeFileSync(file, 'astral');
    await bothAgree(file, 'astral');
  });

  test('a directory and a missing file: rejected by fileHash, left out by batchFileHash', async () => {
    const missing = path.join(dir, 'missing.txt');
    await assert.rejects(native.fileHash(dir), (error) => {
      assert.equal(error.code, 'GenericFailure');
      assertMessage(error.message, readErrorMessage([], ['Access is denied.', 5]));
      return true;
    });
    await assert.rejects(native.fileHash(missing), (error) => {
      assertMessage(error.message, readErrorMessage([], ['The system cannot find the file specified.', 2]));
      return true;
    });
    await assert.rejects(native.fileHash(`${missing}\0`), {
      message: 'Read error: strings passed to WinAPI cannot contain NULs',
    });
    assert.deepEqual(native.batchFileHash([dir, missing, `${missing}\0`]), []);
  });
});

function assertMessage(actual, expected) {
  if (expected instanceof RegExp) assert.match(actual, expected);
  else assert.equal(actual, expected);
}

describe('Windows hosts', onlyOnWindows, () => {
  test('the module loads in a host executable of another name', () => {
    const host = path.join(dir, 'renamed-host.exe');
    fs.copyFileSync(process.execPath, host);
    const file = path.join(dir, 'hosted.txt');
    fs.writeFileSync(file, 'hosted');
    const out = path.join(dir, 'renamed-host.out');
    // The child writes to a file: under Wine a Windows program cannot write
    // to a pipe.
    const script = `
      const native = require(${JSON.stringify(ROOT)});
      native.fileHash(${JSON.stringify(file)}).then((digest) => {
        require('node:fs').writeFileSync(${JSON.stringify(out)},
          JSON.stringify([native.nativeVersion(), digest, native.batchFileHash([${JSON.stringify(file)}])]));
      });`;
    const result = spawnSync(host, ['-e', script], { stdio: 'ignore', timeout: 60000 });
    assert.equal(result.error, undefined, String(result.error));
    assert.equal(result.status, 0);
    assert.deepEqual(JSON.parse(fs.readFileSync(out, 'utf8')),
      ['tov-engine-native/1.0.0', digestOf('hosted'), [[file, digestOf('hosted')]]]);
  });
});

// On every system: the manifest of one tree, byte for byte. The text is the
// one Linux prints, so a Windows run that matches it proves that manifests
// made on either system verify on the other.
describe('manifests across systems', () => {
  test('tov-engine manifest names paths with / and prints the same text everywhere', () => {
    const tmp = makeTempDir('manifest-across');
    try {
      const files = { 'a.txt': 'alpha\n', 'sub/b.txt': 'beta\n', 'sub/deeper/c.txt': '', '\u00e9.txt': 'e' };
      for (const [name, contents] of Object.entries(files)) {
        const file = path.join(tmp, 'tree', ...name.split('/'));
        fs.mkdirSync(path.dirname(file), { recursive: true });
        fs.writeFileSync(file, contents);
      }
      const result = spawnSync(process.execPath, [path.join(ROOT, 'bin', 'tov-engine.js'), 'manifest', 'tree'], {
        cwd: tmp, encoding: 'utf8', timeout: 60000,
      });
      assert.equal(result.status, 0, result.stderr);
      assert.equal(result.stdout, [
        'b6a98d9ce9a2d9149288fa3df42d377c3e42737afdcdaf714e33c0a100b51060  tree/a.txt',
        'f2c82decdd7181cf98945929a62598db7e6b477e11f6e0eb0ae97020eff151ad  tree/sub/b.txt',
        'e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855  tree/sub/deeper/c.txt',
        '3f79bb7b435b05321651daefd374cdc681dc06faa65e374e38337b88ca046dea  tree/\u00e9.txt',
        '# root: fd6aada034291fefc51afd4a867f7bb2f95ff25044d51c06e2784233ebd761db',
        '',
      ].join('\n'));
    } finally {
      removeTempDir(tmp);
    }
  });
});
