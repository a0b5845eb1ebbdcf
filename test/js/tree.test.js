'use strict';
// The tree module (hashTree, checkTree in a worker thread), the name
// escaping it relies on, and the chunked token reading of the command.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { pathToFileURL } = require('node:url');
const { hashTree, checkTree, pathBytes } = require('../../tree.js');
const { decodeName } = require('../../lib/tree/names');
const tokens = require('../../lib/cli/tokens');
const {
  loadAddon, sha256Hex, merkleRootReference, makeTempDir, removeTempDir, makeRandom, systemErrorMessage, WINDOWS,
} = require('../support');

const addon = loadAddon();
const root = path.join(__dirname, '..', '..');

const NO_LINKS = WINDOWS && 'symbolic links need administrator rights or Developer Mode on Windows';

let tmp;
before(() => {
  tmp = makeTempDir('tree');
});
after(() => {
  removeTempDir(tmp);
});

function write(file, content) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, content);
}

describe('file names as strings', () => {
  it('escape exactly the bytes outside valid UTF-8 and give them back', () => {
    const cases = [
      [[0x63, 0x61, 0x66, 0xe9], 'caf\udce9'],
      [[0xe2, 0x82], '\udce2\udc82'],
      [[0xed, 0xa0, 0x80], '\udced\udca0\udc80'], // an encoded surrogate is not UTF-8
      [[0xc0, 0xaf], '\udcc0\udcaf'], // nor is an overlong form
      [[0xf4, 0x90, 0x80, 0x80], '\udcf4\udc90\udc80\udc80'], // nor a code point above U+10FFFF
      [[0xf0, 0x90, 0x82, 0x80, 0xff], '\u{10080}\udcff'], // a pair whose low half lies in the escape range
      [[0xc3, 0xa9, 0xef, 0xbf, 0xbd], 'é\ufffd'], // a real U+FFFD stays one
    ];
    for (const [bytes, text] of cases) {
      const buf = Buffer.from(bytes);
      assert.equal(decodeName(buf), text, buf.toString('hex'));
      assert.deepEqual(pathBytes(text), buf, text);
    }
  });
});

describe('chunked token reading', () => {
  // Pieces that stress chunk ends: long runs without blanks, multi-byte
  // characters, bytes that are not UTF-8, and blanks of every kind.
  const pieces = ['word', 'x', '_', '12', ' ', '  ', '\n', '\t', '\r\n', '.', '-', 'é', '中', '😀', '\f'];
  const rawPieces = [[0xff], [0xe2, 0x82], [0x80, 0x80, 0x80, 0x80, 0x80, 0x80]];

  function randomText(random) {
    const parts = [];
    const n = random.int(41);
    for (let i = 0; i < n; i++) {
      const r = random.int(20);
      if (r < 2) parts.push(Buffer.from(random.pick(rawPieces)));
      else if (r < 4) parts.push(Buffer.from('a'.repeat(5 + random.int(26))));
      else parts.push(Buffer.from(random.pick(pieces)));
    }
    return Buffer.concat(parts);
  }

  const readerOf = (bytes) => {
    let at = 0;
    return (buf) => {
      const n = bytes.copy(buf, 0, at);
      at += n;
      return n;
    };
  };

  it('count and cut as the whole text would, whatever the chunk size', async () => {
    const random = makeRandom(0x7c0ffee);
    for (let round = 0; round < 300; round++) {
      const bytes = randomText(random);
      const text = bytes.toString('utf8');
      const count = addon.countTokens(text);
      const size = 1 + random.int(12);
      assert.equal(tokens.countStream(readerOf(bytes), size), count, `${bytes.toString('hex')} in ${size}s`);
      for (let budget = 0; budget <= count + 1; budget++) {
        const parts = [];
        await tokens.truncateStream(readerOf(bytes), budget, (t) => parts.push(t), size);
        assert.equal(parts.join(''), addon.truncateToTokens(text, budget), `${bytes.toString('hex')} to ${budget} in ${size}s`);
      }
    }
  });

  it('read on through long runs without blanks or character starts', async () => {
    const bytes = Buffer.concat([Buffer.from('ab '), Buffer.from([0xe4]), Buffer.alloc(50, 0x80), Buffer.from('x'.repeat(40)), Buffer.from(' y')]);
    const text = bytes.toString('utf8');
    assert.equal(tokens.countStream(readerOf(bytes), 8), addon.countTokens(text));
    const parts = [];
    await tokens.truncateStream(readerOf(bytes), 52, (t) => parts.push(t), 8);
    assert.equal(parts.join(''), addon.truncateToTokens(text, 52));
  });

  it('stop reading at the cut, even of an endless source', async () => {
    const phrase = 'many words here ';
    let reads = 0;
    const endless = (buf) => {
      reads++;
      return buf.write(phrase.repeat(4));
    };
    const parts = [];
    await tokens.truncateStream(endless, 10, (t) => parts.push(t), 64);
    assert.equal(parts.join(''), addon.truncateToTokens(phrase.repeat(20), 10));
    assert.ok(reads <= 2, `${reads} reads`);
  });
});

describe('hashTree', () => {
  let tree;
  before(() => {
    tree = path.join(tmp, 'tree');
    for (let i = 0; i < 3000; i++) write(path.join(tree, `d${i % 30}`, `f${i}.txt`), `file ${i}\n`);
    write(path.join(tree, 'build', 'out.o'), 'object');
    write(path.join(tree, 'notes.log'), 'log');
  });

  it('hashes every file off the main thread, reporting progress up to the total', async () => {
    let ticks = 0;
    const timer = setInterval(() => ticks++, 1);
    const seen = [];
    let result;
    try {
      result = await hashTree(tree, { onProgress: (p) => seen.push(p) });
    } finally {
      clearInterval(timer);
    }
    const { manifest, skipped } = result;
    assert.equal(manifest.length, 3002);
    const paths = manifest.map((e) => e[0]);
    assert.deepEqual(paths, [...paths].sort((a, b) => Buffer.compare(Buffer.from(a), Buffer.from(b))));
    for (const [p, digest] of manifest.filter((_, i) => i % 97 === 0)) {
      assert.equal(digest, sha256Hex(fs.readFileSync(path.join(tree, p))), p);
    }
    assert.equal(result.root, merkleRootReference(manifest));
    assert.deepEqual(skipped, []);
    // The event loop ran while the worker hashed.
    assert.ok(ticks > 0);
    const hashing = seen.filter((p) => p.phase === 'hashing');
    assert.ok(seen.some((p) => p.phase === 'scanning'));
    const bytes = manifest.reduce((n, [p]) => n + fs.statSync(path.join(tree, p)).size, 0);
    assert.deepEqual(hashing.at(-1), { phase: 'hashing', files: 3002, hashed: 3002, bytes, totalBytes: bytes });
    for (let i = 1; i < seen.length; i++) {
      assert.ok(seen[i].hashed >= seen[i - 1].hashed && seen[i].bytes >= seen[i - 1].bytes);
    }
  });

  it('leaves out excluded paths', async () => {
    const { manifest } = await hashTree(tree, { exclude: ['*.log', 'build/', '/d1*/'] });
    const paths = new Set(manifest.map((e) => e[0]));
    assert.ok(!paths.has('notes.log') && !paths.has('build/out.o') && !paths.has('d1/f1.txt') && !paths.has('d12/f12.txt'));
    assert.ok(paths.has('d2/f2.txt'));
    assert.equal(manifest.length, 3002 - 2 - 11 * 100);
  });

  it('counts a link to a file as that file, and enters a link to a directory only when asked', { skip: NO_LINKS }, async () => {
    const linked = path.join(tmp, 'linked');
    write(path.join(linked, 'd0', 'f0.txt'), 'file 0\n');
    write(path.join(linked, 'd1', 'f1.txt'), 'file 1\n');
    fs.symlinkSync('d0', path.join(linked, 'link-to-dir'));
    fs.symlinkSync(path.join('d0', 'f0.txt'), path.join(linked, 'link-to-file'));

    const plain = await hashTree(linked);
    assert.deepEqual(plain.manifest, [
      ['d0/f0.txt', sha256Hex('file 0\n')],
      ['d1/f1.txt', sha256Hex('file 1\n')],
      ['link-to-file', sha256Hex('file 0\n')],
    ]);
    assert.deepEqual(plain.skipped, [{ path: 'link-to-dir', reason: 'symbolic link to a directory, not followed', failed: false }]);

    const followed = await hashTree(linked, { exclude: ['/d1/'], follow: true });
    assert.deepEqual(followed.manifest.map((e) => e[0]), ['d0/f0.txt', 'link-to-dir/f0.txt', 'link-to-file']);
    assert.deepEqual(followed.skipped, []);
  });

  it('rejects with the signal reason when aborted, before or during the work', async () => {
    const early = new AbortController();
    early.abort();
    await assert.rejects(hashTree(tree, { signal: early.signal }), { name: 'AbortError' });

    const late = new AbortController();
    const reason = new Error('stop now');
    let progressAfterAbort = 0;
    const running = hashTree(tree, {
      signal: late.signal,
      onProgress: () => {
        if (late.signal.aborted) progressAfterAbort++;
        else late.abort(reason);
      },
    });
    await assert.rejects(running, (err) => err === reason);
    assert.equal(progressAfterAbort, 0);
  });

  it('lists a file root under its own name', async () => {
    const file = path.join(tree, 'd3', 'f3.txt');
    const { manifest, root: digest } = await hashTree(file);
    assert.deepEqual(manifest, [['f3.txt', sha256Hex('file 3\n')]]);
    assert.equal(digest, merkleRootReference(manifest));
  });

  it('rejects a root that cannot be read, and bad arguments at once', async () => {
    await assert.rejects(hashTree(path.join(tmp, 'missing')), { code: 'ENOENT', message: /missing: No such file or directory/ });
    await assert.rejects(() => hashTree(42), TypeError);
    await assert.rejects(() => hashTree(tree, { exclude: [1] }), TypeError);
  });

  it('checks a manifest against the files: ok, failed and unreadable', async () => {
    const dir = path.join(tmp, 'check');
    write(path.join(dir, 'same'), 'same');
    write(path.join(dir, 'changed'), 'new');
    const manifest = [
      ['same', sha256Hex('same').toUpperCase()],
      ['changed', sha256Hex('old')],
      ['gone', sha256Hex('gone')],
    ];
    const { ok, results } = await checkTree(manifest, dir);
    assert.equal(ok, false);
    const { reason, ...gone } = results[2];
    assert.deepEqual([...results.slice(0, 2), gone], [
      { path: 'same', status: 'ok' },
      { path: 'changed', status: 'failed' },
      { path: 'gone', status: 'unreadable' },
    ]);
    const expected = systemErrorMessage(['No such file or directory', 2], ['The system cannot find the file specified.', 2]);
    if (typeof expected === 'string') assert.equal(reason, expected);
    else assert.match(reason, expected);
    assert.equal((await checkTree(manifest.slice(0, 1), dir)).ok, true);

    // A name holding a NUL names no file, and the entries after it are
    // still checked against their own files.
    const held = await checkTree([['same\0changed', sha256Hex('new')], ...manifest], dir);
    assert.deepEqual(held.results[0], { path: 'same\0changed', status: 'unreadable', reason: 'the path holds a NUL character' });
    assert.deepEqual(held.results.slice(1, 3), [{ path: 'same', status: 'ok' }, { path: 'changed', status: 'failed' }]);
  });

  it('rejects instead of ending the process on a bad worker-count variable, and loads as an ES module', () => {
    // Windows paths are no import specifiers; a file URL is, everywhere.
    const script = `import('${pathToFileURL(path.join(root, 'tree.mjs')).href}').then((t) => t.hashTree('.')).then(
      () => console.log('resolved'), (e) => console.log('rejected: ' + e.message))`;
    const r = spawnSync(process.execPath, ['-e', script], {
      encoding: 'utf8',
      env: { ...process.env, TOKIO_WORKER_THREADS: '0' },
    });
    assert.equal(r.status, 0, r.stderr);
    assert.equal(r.stdout, 'rejected: "TOKIO_WORKER_THREADS" cannot be set to 0\n');
  });

  it('lets the process end cleanly after a worker took a digest on its own thread', () => {
    // An empty tree hashes nothing on the pool: only the root, on the
    // worker's thread, whose exit comes after the worker's environment.
    const dir = makeTempDir('tree-empty');
    try {
      const script = `require(${JSON.stringify(path.join(root, 'tree.js'))}).hashTree(${JSON.stringify(dir)}).then((r) => console.log(r.root))`;
      const r = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8' });
      assert.equal(r.status, 0, `${r.signal ?? ''} ${r.stderr}`);
      assert.equal(r.stdout, `${sha256Hex('')}\n`);
    } finally {
      removeTempDir(dir);
    }
  });
});

describe('the walk on hosts whose directory entries are wrong', () => {
  it('lists by name and lstat when entries come back as Buffers, with the same result', () => {
    const { walkDirectory } = require('../../lib/tree/walk');
    const dir = path.join(tmp, 'hosts');
    write(path.join(dir, 'a', 'b'), 'b');
    write(path.join(dir, 'c'), 'c');
    if (!WINDOWS) {
      // Windows can make neither without privileges: links need them, and
      // its names are UTF-16, so no name is bytes that are not UTF-8.
      fs.symlinkSync('a', path.join(dir, 'link'));
      fs.writeFileSync(Buffer.from(`${dir}/caf\xe9`, 'latin1'), 'x');
    } else {
      write(path.join(dir, 'caf\u00e9'), 'x');
    }
    const walk = () => {
      const notes = [];
      const files = walkDirectory({ path: dir, display: '' }, {}, (p, reason) => notes.push([p, reason]), () => {});
      return { files: files.map((f) => f.display).sort(), notes };
    };
    const right = walk();
    const original = fs.readdirSync;
    // As some hosts answer: the names as Buffers where entries were asked for.
    fs.readdirSync = (p, options) => original(p, { encoding: options.encoding });
    try {
      assert.deepEqual(walk(), right);
    } finally {
      fs.readdirSync = original;
    }
    if (WINDOWS) assert.deepEqual(right, { files: ['a/b', 'c', 'caf\u00e9'], notes: [] });
    else assert.deepEqual(right, { files: ['a/b', 'c', 'caf\udce9'], notes: [['link', 'symbolic link to a directory, not followed']] });
  });
});

describe('trees that change or lie under the walk', () => {
  const posixOnly = { skip: WINDOWS && 'FIFOs and free symbolic links are POSIX matters', timeout: 30000 };

  it('never reads what replaced a listed file: a FIFO or a link to /dev/zero is reported, not read', posixOnly, async () => {
    const dir = path.join(tmp, 'swapped');
    write(path.join(dir, 'plain'), 'plain');
    spawnSync('mkfifo', [path.join(dir, 'fifo')]);
    fs.symlinkSync('/dev/zero', path.join(dir, 'zero'));
    const entries = ['plain', 'fifo', 'zero', 'missing'].map((p) => [p, sha256Hex('plain')]);
    const { results } = await checkTree(entries, dir);
    assert.deepEqual(results, [
      { path: 'plain', status: 'ok' },
      { path: 'fifo', status: 'unreadable', reason: 'not a regular file' },
      { path: 'zero', status: 'unreadable', reason: 'not a regular file' },
      { path: 'missing', status: 'unreadable', reason: 'No such file or directory (os error 2)' },
    ]);
    // The same through a hash job that listed them as files.
    const { hashTargets } = require('../../lib/tree/index.js');
    const { manifest, skipped } = await hashTargets(
      ['plain', 'fifo', 'zero'].map((p) => ({ path: path.join(dir, p), display: p, required: false })),
    );
    assert.deepEqual(manifest, [['plain', sha256Hex('plain')]]);
    assert.deepEqual(skipped.map((s) => s.path), ['fifo', 'zero']);
  });

  it('opens manifest paths as written: `link/../x` is where the system takes it', posixOnly, async () => {
    const dir = path.join(tmp, 'dotdot');
    write(path.join(dir, 'x'), 'top');
    write(path.join(dir, 'deep', 'x'), 'deep');
    fs.mkdirSync(path.join(dir, 'deep', 'sub'));
    fs.symlinkSync(path.join('deep', 'sub'), path.join(dir, 'l'));
    const { ok, results } = await checkTree([['l/../x', sha256Hex('top')], ['nosuchdir/../x', sha256Hex('top')]], dir);
    assert.equal(ok, false);
    assert.deepEqual(results[0], { path: 'l/../x', status: 'failed' });
    assert.equal(results[1].status, 'unreadable');
    assert.deepEqual((await checkTree([['l/../x', sha256Hex('deep')]], dir)).results[0].status, 'ok');
  });

  it('does not enter a directory that became a link after it was listed', posixOnly, () => {
    const { walkDirectory } = require('../../lib/tree/walk');
    const dir = path.join(tmp, 'moved');
    const elsewhere = path.join(tmp, 'elsewhere');
    write(path.join(dir, 'sub', 'inside'), 'inside');
    write(path.join(elsewhere, 'secret'), 'secret');
    const original = fs.readdirSync;
    // After the root's listing, as the walk enters `sub`.
    let swapped = false;
    fs.readdirSync = (p, options) => {
      if (!swapped && String(p) === path.join(dir, 'sub')) {
        swapped = true;
        fs.rmSync(path.join(dir, 'sub'), { recursive: true });
        fs.symlinkSync(elsewhere, path.join(dir, 'sub'));
      }
      return original(p, options);
    };
    const notes = [];
    let files;
    try {
      files = walkDirectory({ path: dir, display: '' }, {}, (...note) => notes.push(note));
    } finally {
      fs.readdirSync = original;
    }
    assert.deepEqual(files, []);
    assert.deepEqual(notes, [['sub', 'changed while the tree was walked', true]]);
  });

  it('leaves the output file out by identity, under any name, and by { dev, ino }', { skip: NO_LINKS }, async () => {
    const dir = path.join(tmp, 'output');
    write(path.join(dir, 'a'), 'a');
    write(path.join(dir, 'SUMS'), 'old manifest');
    fs.symlinkSync('SUMS', path.join(dir, 'alias'));
    const byPath = await hashTree(dir, { excludeFiles: [path.join(dir, 'SUMS')] });
    assert.deepEqual(byPath.manifest.map((e) => e[0]), ['a']);
    assert.deepEqual(byPath.skipped, []);
    const st = fs.statSync(path.join(dir, 'SUMS'), { bigint: true });
    for (const identity of [{ dev: st.dev, ino: st.ino }, { dev: Number(st.dev), ino: Number(st.ino) }]) {
      const byIdentity = await hashTree(dir, { excludeFiles: [identity] });
      assert.deepEqual(byIdentity.manifest.map((e) => e[0]), ['a']);
    }
    await assert.rejects(() => hashTree(dir, { excludeFiles: [{ dev: 1 }] }), TypeError);
  });

  it('rejects with what a throwing progress callback threw, and stops', async () => {
    const dir = path.join(tmp, 'tree');
    const thrown = new Error('progress failed');
    let calls = 0;
    const running = hashTree(dir, {
      onProgress: () => {
        calls++;
        throw thrown;
      },
    });
    await assert.rejects(running, (err) => err === thrown);
    assert.equal(calls, 1);
  });

  it('gives the digests sha256sum gives, over a real tree', { skip: WINDOWS && 'no sha256sum' }, async () => {
    const src = path.join(root, 'src');
    const { manifest } = await hashTree(src);
    const listed = spawnSync('find', ['.', '-type', 'f'], { cwd: src, encoding: 'utf8' }).stdout.trim().split('\n');
    const sums = spawnSync('sha256sum', listed, { cwd: src, encoding: 'utf8', maxBuffer: 1 << 26 });
    const expected = sums.stdout
      .trim()
      .split('\n')
      .map((line) => [line.slice(66).replace(/^\.\//, ''), line.slice(0, 64)])
      .sort((a, b) => Buffer.compare(Buffer.from(a[0]), Buffer.from(b[0])));
    assert.ok(expected.length > 100);
    assert.deepEqual(manifest, expected);
    // The walk in a worker, the way every tree was walked before, agrees.
    const { runJob, hashTargets } = require('../../lib/tree/index.js');
    const walked = await runJob({ kind: 'hash', targets: [{ path: src, display: '', required: true }], options: OPTIONS });
    assert.deepEqual((await hashTargets([{ path: src, display: '', required: true }])).manifest, walked.manifest);
  });
});

const OPTIONS = { exclude: [], excludeFiles: [], gitignore: false, follow: false, all: false, cache: false };

describe('the native walk and the walk in a worker', () => {
  it('give the same manifest, root and notes, whatever the tree holds', { skip: NO_LINKS }, async () => {
    const { runJob, hashTargets } = require('../../lib/tree/index.js');
    const dir = path.join(tmp, 'both-walks');
    write(path.join(dir, 'b', 'c', 'deep'), 'deep');
    write(path.join(dir, 'b.txt'), 'dot');
    write(path.join(dir, 'node_modules', 'm.js'), 'module');
    write(path.join(dir, 'back\\slash'), 'escaped');
    if (!WINDOWS) {
      fs.writeFileSync(Buffer.from(`${dir}/caf\xe9`, 'latin1'), 'latin-1 name');
      spawnSync('mkfifo', [path.join(dir, 'fifo')]);
    }
    fs.symlinkSync('b.txt', path.join(dir, 'to-file'));
    fs.symlinkSync('b', path.join(dir, 'to-dir'));
    fs.symlinkSync('..', path.join(dir, 'b', 'up'));
    fs.symlinkSync('nowhere', path.join(dir, 'broken'));
    const targets = [
      { path: dir, display: 'shown', required: true },
      { path: path.join(dir, 'b.txt'), display: 'file', required: false },
      { path: path.join(dir, 'missing'), display: 'missing', required: false },
      { path: path.join(dir, 'b'), display: '', required: false },
    ];
    for (const options of [{}, { follow: true }, { all: true }]) {
      const walked = await runJob({ kind: 'hash', targets: targets.slice(0, 1), options: { ...OPTIONS, ...options } });
      const native = await hashTargets(targets.slice(0, 1), options);
      assert.deepEqual(native, walked, JSON.stringify(options));
      assert.ok(native.skipped.length >= 2);
      const several = await hashTargets(targets, options);
      assert.deepEqual(several, await runJob({ kind: 'hash', targets, options: { ...OPTIONS, ...options } }));
      const { text } = await hashTargets(targets.slice(0, 1), { ...options, text: true });
      assert.equal(decodeName(text), require('../../lib/tree/text').manifestText(native.manifest, native.root));
    }
  });
  it('agree on names that are not UTF-8, empty files and directories, and files left out by identity', async () => {
    const { runJob, hashTargets } = require('../../lib/tree/index.js');
    // Where the system walks natively, the comparison must not be the worker against itself.
    if (!WINDOWS) assert.ok(require('../../lib/tree/engine').available());
    const dir = path.join(tmp, 'both-walks-odd');
    write(path.join(dir, 'kept'), 'kept');
    write(path.join(dir, 'empty'), '');
    write(path.join(dir, 'sub', 'empty-too'), '');
    write(path.join(dir, 'sub', 'left'), 'left out by its identity');
    write(path.join(dir, 'SUMS'), 'left out by its path');
    fs.mkdirSync(path.join(dir, 'hollow', 'deeper'), { recursive: true });
    const want = ['empty', 'kept', 'sub/empty-too'];
    const notes = [];
    if (!WINDOWS) {
      const raw = (name) => Buffer.from(`${dir}/${name}`, 'latin1');
      fs.mkdirSync(raw('d\xff'));
      fs.writeFileSync(raw('d\xff/\xe2\x82'), 'cut short');
      fs.writeFileSync(raw('\xc3'), 'cut short');
      fs.writeFileSync(raw('\xc3\xa9'), 'e acute');
      fs.symlinkSync('nowhere', raw('link\xfe'));
      want.unshift('d\udcff/\udce2\udc82');
      want.push('\udcc3', '\u00e9');
      notes.push({ path: 'link\udcfe', reason: 'broken symbolic link', failed: false });
    }
    const left = fs.statSync(path.join(dir, 'sub', 'left'), { bigint: true });
    const byPath = path.join(dir, 'SUMS');
    const targets = [{ path: dir, display: '', required: true }];
    for (const follow of [false, true]) {
      const native = await hashTargets(targets, { follow, excludeFiles: [byPath, { dev: left.dev, ino: left.ino }] });
      const excludeFiles = [byPath, { dev: String(left.dev), ino: String(left.ino) }];
      const walked = await runJob({ kind: 'hash', targets, options: { ...OPTIONS, follow, excludeFiles } });
      assert.deepEqual(native, walked, `follow: ${follow}`);
      // Both could be wrong alike: what they agree on is checked too.
      assert.deepEqual(native.manifest.map((entry) => entry[0]), want);
      assert.equal(native.manifest[want.indexOf('empty')][1], sha256Hex(''));
      assert.deepEqual(native.skipped, notes);
      // The root is taken over the names' own bytes.
      const lines = native.manifest.map(([name, digest], i) => [Buffer.from(i ? '\n' : ''), pathBytes(name), Buffer.from(`:${digest}`)]);
      assert.equal(native.root, sha256Hex(Buffer.concat(lines.flat())));
    }
  });
});

describe('the hash pipeline', () => {
  it('keeps outcomes by position: fresh, known, failed, and names that are not UTF-8', async () => {
    const { HashPipeline } = require('../../lib/tree/hash');
    const dir = path.join(tmp, 'pipeline');
    write(path.join(dir, 'a'), 'a');
    const odd = WINDOWS ? 'caf\u00e9' : 'caf\udce9';
    fs.writeFileSync(WINDOWS ? path.join(dir, odd) : Buffer.from(`${dir}/caf\xe9`, 'latin1'), 'odd');
    const lists = [];
    const pipeline = new HashPipeline({ onList: (indexes) => lists.push(indexes) });
    const want = [];
    for (let i = 0; i < 300; i++) {
      if (i % 3 === 0) {
        pipeline.addKnown(`known ${i}`);
        want.push(`known ${i}`);
      } else if (i % 3 === 1) {
        pipeline.add(path.join(dir, 'a'));
        want.push(sha256Hex('a'));
      } else {
        // Joined by hand: Bun's path.join turns a lone surrogate into U+FFFD.
        pipeline.add(i === 2 ? `${dir}${path.sep}${odd}` : path.join(dir, 'missing'));
        want.push(i === 2 ? sha256Hex('odd') : 'missing');
      }
      if (pipeline.full) await pipeline.drain();
    }
    const outcomes = await pipeline.finish();
    assert.deepEqual(outcomes.map((o) => (typeof o === 'string' ? o : 'missing')), want);
    assert.equal(pipeline.hashed, 300);
    assert.deepEqual(lists.flat().sort((x, y) => x - y), want.map((_, i) => i).filter((i) => i % 3 !== 0));
  });
});

describe('the tree module for the command', () => {
  const tree = require('../../lib/tree/index.js');

  it('hashes several targets, each sorted, in the order given', async () => {
    const dir = path.join(tmp, 'targets');
    write(path.join(dir, 'b', 'z'), 'z');
    write(path.join(dir, 'b', 'y'), 'y');
    write(path.join(dir, 'a'), 'a');
    const { manifest, skipped, root: digest } = await tree.hashTargets([
      { path: path.join(dir, 'b'), display: 'b', required: true },
      { path: path.join(dir, 'a'), display: 'a', required: true },
      { path: path.join(dir, 'gone'), display: 'gone', required: false },
    ]);
    assert.deepEqual(manifest.map((e) => e[0]), ['b/y', 'b/z', 'a']);
    assert.equal(digest, tree.manifestRoot(manifest));
    assert.deepEqual(skipped.map((s) => [s.path, s.failed]), [['gone', true]]);
    await assert.rejects(() => tree.hashTargets([]), TypeError);
  });

  it('gives a manifest the root merkleRoot gives, in order or not, past the first piece hashed', () => {
    const digest = (i) => (i * 2654435761).toString(16).padStart(64, 'a').slice(-64);
    const sorted = Array.from({ length: 3000 }, (_, i) => [`dir/file-${String(i).padStart(5, '0')}.txt`, digest(i)]);
    const late = (name) => sorted.map((e, i) => (i === 2990 ? [name, e[1]] : e));
    const lists = [
      sorted,
      [sorted[1], sorted[0], ...sorted.slice(2)],
      [...sorted, sorted[2999]],
      late('dir/file-02990\uE000.txt'),
      late('dir/file-02990\u{1F600}.txt'),
      // In code unit order, not in byte order.
      [['x\u{1F600}', digest(1)], ['x\uE000', digest(2)]],
      [['a', digest(1)], ['b', 'not a digest']],
      [['only', digest(2)]],
    ];
    for (const list of lists) assert.equal(tree.manifestRoot(list), addon.merkleRoot(list), list[2990]?.[0] ?? list[0][0]);
    // A NUL in a name is data, not a separator.
    const nul = late('dir/file-02990\0.txt');
    assert.equal(tree.manifestRoot(nul), addon.merkleRoot(nul));
    // Not text: the root of the names' bytes, like the walk's own root.
    const odd = late('dir/file-02990\udce9');
    const text = Buffer.concat(odd.map(([name, d], i) => Buffer.concat([Buffer.from(i === 0 ? '' : '\n'), pathBytes(name), Buffer.from(`:${d}`)])));
    assert.equal(tree.manifestRoot(odd), addon.sha256(text));
  });

  it('keeps a listing read in parts as its entries, whatever range is asked for', () => {
    const digest = (i) => `${i}abcdef`.repeat(10).slice(0, 64);
    const lines = (names, from) => names.map((name, i) => `${digest(from + i).toUpperCase()}  ${name}`).join('\n');
    const listing = new tree.Listing();
    // Lines of the common form up to the first that is not (escaped here).
    const first = lines(['a', 'b/\u00e9', 'c'], 0);
    assert.equal(listing.addLines(Buffer.from(`${first}\n\\${digest(3)}  d`)), Buffer.byteLength(first) + 1);
    listing.addNames(['d', 'caf\udce9', 'e'], [digest(3), digest(4), digest(5)]);
    const last = lines(['f', 'g'], 6);
    assert.equal(listing.addLines(Buffer.from(last)), Buffer.byteLength(last) + 1);
    const entries = ['a', 'b/\u00e9', 'c', 'd', 'caf\udce9', 'e', 'f', 'g'].map((name, i) => [name, digest(i)]);
    assert.deepEqual(listing.entries(), entries);
    for (const [start, end] of [[0, 8], [1, 5], [3, 6], [4, 8], [2, 3], [7, 8]]) {
      const part = listing.slice(start, end);
      assert.deepEqual([part.count, part.entries()], [end - start, entries.slice(start, end)], `${start}..${end}`);
      assert.equal(tree.listingRoot(part), tree.manifestRoot(entries.slice(start, end)), `${start}..${end}`);
    }
    // A name holding a NUL cannot go across joined.
    listing.addNames(['h\0i'], [digest(8)]);
    assert.equal(listing.joinedNames(), null);
    assert.equal(tree.listingRoot(listing), tree.manifestRoot([...entries, ['h\0i', digest(8)]]));
  });

  it('orders and converts paths by their bytes', () => {
    const names = ['b', '\uE000', 'a/\u{1F600}', 'caf\udce9', 'a'];
    const sorted = tree.sortByPath(names.slice());
    const bytes = sorted.map(tree.pathBytes);
    for (let i = 1; i < bytes.length; i++) assert.ok(Buffer.compare(bytes[i - 1], bytes[i]) < 0, sorted.join(','));
    for (const name of names) assert.equal(tree.pathFromBytes(tree.pathBytes(name)), name);
    assert.ok(tree.compareBytes('\uE000', '\u{1F600}') < 0);
  });
});
