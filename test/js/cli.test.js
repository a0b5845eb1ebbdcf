'use strict';
// The tov-engine command, run as a child process the way a user runs it,
// plus its manifest reader and progress line in-process.

const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
const bin = path.join(root, 'bin', 'tov-engine.js');
const format = require('../../lib/cli/format');
const { Progress, progressText } = require('../../lib/cli/progress');
const { main } = require('../../lib/cli/main');
const {
  EMPTY_DIGEST: EMPTY,
  sha256Hex,
  merkleRootReference: rootOf,
  makeTempDir,
  removeTempDir,
  WINDOWS,
  readErrorMessage,
} = require('../support');

// The walk's fixture trees hold names Windows forbids (line feeds, carriage
// returns, backslashes), symbolic links and a FIFO; test/js/windows.test.js
// checks the command's manifests on Windows.
const POSIX_TREES = WINDOWS && 'the fixture trees use names and files Windows cannot hold';

const hasSha256sum = spawnSync('sha256sum', ['--version']).status === 0;
const isRoot = typeof process.getuid === 'function' && process.getuid() === 0;

function run(args, { cwd = root, input = '', env = process.env, uid, encoding = 'utf8' } = {}) {
  const ids = uid === undefined ? {} : { uid, gid: uid };
  const r = spawnSync(process.execPath, [bin, ...args], { cwd, input, env, encoding, maxBuffer: 1 << 26, ...ids });
  return { status: r.status, stdout: r.stdout, stderr: r.stderr };
}

// Unreadable files need a user that the file system refuses: as root, the
// command runs as nobody; as anyone else, as themselves.
const NOBODY = 65534;
const asOtherUser = isRoot ? { uid: NOBODY } : {};
// A host binary or package kept under root's home is out of that user's reach.
const otherUserRuns = !isRoot || run(['--version'], { uid: NOBODY }).status === 0;

// Independent of the addon: node:crypto digests, and rootOf sorts by bytes.
const digestOf = (file) => sha256Hex(fs.readFileSync(file));
// A parsed manifest with its entries as [path, digest] arrays.
const entriesOf = ({ listing, roots }) => ({ entries: listing.entries(), roots });

function assertOneLineError(r, pattern) {
  assert.equal(r.status, 2, `status 2 expected, got ${r.status}: ${r.stderr}`);
  assert.equal(r.stdout, '');
  assert.match(r.stderr, /^tov-engine: [^\n]+\n$/, `one line expected: ${JSON.stringify(r.stderr)}`);
  assert.doesNotMatch(r.stderr, /\bat .*:\d+:\d+/, 'no stack trace');
  if (pattern) assert.match(r.stderr, pattern);
}

function write(file, content) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, content);
}

let tmp;
before(() => {
  tmp = makeTempDir('cli');
});
after(() => {
  removeTempDir(tmp);
});

// A tree with the cases a walk gets wrong: odd names, links, loops, a FIFO,
// skipped directories and names whose UTF-16 and UTF-8 orders differ.
function makeTree(dir) {
  write(path.join(dir, 'b.txt'), 'bee\n');
  write(path.join(dir, 'a', 'x.js'), 'console.log(1);\n');
  write(path.join(dir, 'a.txt'), 'a dot txt');
  write(path.join(dir, 'empty'), '');
  write(path.join(dir, 'back\\slash'), 'backslash');
  write(path.join(dir, 'new\nline'), 'newline');
  write(path.join(dir, 'carriage\rreturn'), 'cr');
  write(path.join(dir, 'sp ace', '\u{1F600}'), 'astral');
  write(path.join(dir, 'sp ace', '\uFB01'), 'bmp above surrogates');
  write(path.join(dir, '.git', 'HEAD'), 'ref: refs/heads/main\n');
  write(path.join(dir, 'node_modules', 'm', 'index.js'), 'module.exports = 1;\n');
  write(path.join(dir, 'deep', 'er', '.hidden'), 'hidden');
  fs.symlinkSync('b.txt', path.join(dir, 'link-to-b'));
  fs.symlinkSync('missing-target', path.join(dir, 'broken-link'));
  fs.symlinkSync('..', path.join(dir, 'deep', 'er', 'loop'));
  fs.symlinkSync(path.join(dir, 'a'), path.join(dir, 'link-to-a'));
  spawnSync('mkfifo', [path.join(dir, 'fifo')]);
}

// What the walk should find, relative to the tree, sorted by UTF-8 bytes.
function expectedFiles({ all = false, follow = false } = {}) {
  const files = [
    'b.txt', 'a/x.js', 'a.txt', 'empty', 'back\\slash', 'new\nline', 'carriage\rreturn',
    'sp ace/\u{1F600}', 'sp ace/\uFB01', 'deep/er/.hidden', 'link-to-b',
  ];
  if (all) files.push('.git/HEAD', 'node_modules/m/index.js');
  if (follow) files.push('link-to-a/x.js');
  return files.sort((a, b) => Buffer.compare(Buffer.from(a), Buffer.from(b)));
}

function parseLines(stdout) {
  return stdout.split('\n').slice(0, -1);
}

describe('tov-engine manifest', { skip: POSIX_TREES }, () => {
  let tree;
  before(() => {
    tree = path.join(tmp, 'tree');
    makeTree(tree);
  });

  it('prints one sha256sum line per file in byte order, then the root', () => {
    const r = run(['manifest', 'tree'], { cwd: tmp });
    assert.equal(r.status, 0, r.stderr);
    const files = expectedFiles();
    const entries = files.map((f) => [`tree/${f}`, digestOf(path.join(tree, f))]);
    const expected = entries.map(([p, d]) => (/[\\\n\r]/.test(p)
      ? `\\${d}  ${p.replace(/\\/g, '\\\\').replace(/\n/g, '\\n').replace(/\r/g, '\\r')}`
      : `${d}  ${p}`));
    expected.push(`# root: ${rootOf(entries)}`);
    assert.deepEqual(parseLines(r.stdout), expected);
    // Links to directories are counted in one note, not entered; --verbose
    // names each. The FIFO is never opened.
    assert.match(r.stderr, /^tov-engine: warning: skipped 2 symbolic links to directories, not followed \(--follow enters them, --verbose lists them\)$/m);
    assert.doesNotMatch(r.stderr, /link-to-a/);
    assert.match(r.stderr, /skipped tree\/fifo: not a regular file/);
    const verbose = run(['manifest', '--verbose', 'tree'], { cwd: tmp });
    assert.equal(verbose.stdout, r.stdout);
    for (const skipped of ['link-to-a', 'deep/er/loop']) {
      assert.match(verbose.stderr, new RegExp(`^tov-engine: warning: skipped tree/${skipped}: symbolic link to a directory, not followed \\(--follow enters it\\)$`, 'm'));
    }
    assert.doesNotMatch(verbose.stderr, /skipped 2/);
  });

  it('enters links to directories with --follow and stops at loops', () => {
    const r = run(['manifest', '--follow', '--json', 'tree'], { cwd: tmp });
    assert.equal(r.status, 0, r.stderr);
    assert.deepEqual(JSON.parse(r.stdout).manifest.map((e) => e[0]), expectedFiles({ follow: true }).map((f) => `tree/${f}`));
    assert.match(r.stderr, /warning: skipped tree\/deep\/er\/loop: symbolic link loop/);
    assert.doesNotMatch(r.stderr, /link-to-a/);
  });

  it('is accepted by sha256sum -c and names paths exactly as sha256sum does', { skip: !hasSha256sum && 'sha256sum is not installed' }, () => {
    const r = run(['manifest', '--quiet', 'tree/', './tree/a'], { cwd: tmp });
    assert.equal(r.status, 0, r.stderr);
    const manifestFile = path.join(tmp, 'tree.sha256');
    fs.writeFileSync(manifestFile, r.stdout);
    const check = spawnSync('sha256sum', ['-c', '--strict', manifestFile], { cwd: tmp, encoding: 'utf8' });
    assert.equal(check.status, 0, check.stdout + check.stderr);
    assert.doesNotMatch(check.stderr, /WARNING/);

    const lines = parseLines(r.stdout).filter((l) => !l.startsWith('#'));
    const paths = lines.map((l) => {
      const escaped = l.startsWith('\\');
      const p = l.slice(escaped ? 67 : 66);
      return escaped ? format.unescapePath(p) : p;
    });
    assert.ok(paths.includes('tree/b.txt') && paths.includes('./tree/a/x.js'), paths.join(','));
    const theirs = spawnSync('sha256sum', paths, { cwd: tmp, encoding: 'utf8' });
    assert.equal(theirs.status, 0, theirs.stderr);
    assert.deepEqual(lines, parseLines(theirs.stdout));

    // A changed file makes the check fail: the manifest pins contents.
    fs.writeFileSync(path.join(tree, 'a', 'x.js'), 'changed');
    try {
      const failed = spawnSync('sha256sum', ['-c', '--quiet', manifestFile], { cwd: tmp, encoding: 'utf8' });
      assert.equal(failed.status, 1);
      assert.match(failed.stdout, /a\/x\.js: FAILED/);
    } finally {
      fs.writeFileSync(path.join(tree, 'a', 'x.js'), 'console.log(1);\n');
    }
  });

  it('walks .git and node_modules with --all, and an explicit skipped directory always', () => {
    const all = run(['manifest', '--all', '--json', '.'], { cwd: tree });
    assert.equal(all.status, 0, all.stderr);
    assert.deepEqual(JSON.parse(all.stdout).manifest.map((e) => e[0]), expectedFiles({ all: true }));
    const explicit = run(['manifest', 'node_modules'], { cwd: tree });
    assert.equal(explicit.status, 0);
    assert.match(explicit.stdout, /^[0-9a-f]{64} {2}node_modules\/m\/index\.js\n# root: [0-9a-f]{64}\n$/);
  });

  it('prints relative paths without a PATH and with --relative', () => {
    const bare = run(['manifest', '--json', '-q'], { cwd: tree });
    const relative = run(['manifest', '--json', '-q', '--relative', tree]);
    assert.equal(bare.status, 0, bare.stderr);
    assert.equal(relative.status, 0, relative.stderr);
    const parsed = JSON.parse(bare.stdout);
    assert.deepEqual(Object.keys(parsed), ['root', 'manifest']);
    assert.deepEqual(parsed.manifest.map((e) => e[0]), expectedFiles());
    assert.equal(parsed.root, rootOf(parsed.manifest));
    assert.deepEqual(JSON.parse(relative.stdout), parsed);
  });

  it('hashes a file argument as given and an empty directory as an empty manifest', () => {
    fs.mkdirSync(path.join(tmp, 'void'));
    const r = run(['manifest', 'tree/empty', 'void'], { cwd: tmp });
    assert.equal(r.status, 0);
    assert.equal(r.stdout, `${EMPTY}  tree/empty\n# root: ${rootOf([['tree/empty', EMPTY]])}\n`);
    assert.equal(run(['manifest', 'void'], { cwd: tmp }).stdout, `# root: ${EMPTY}\n`);
  });

  it('--output writes the file, prints nothing and leaves an old copy of itself out', () => {
    const out = path.join(tree, 'MANIFEST.sha256');
    fs.writeFileSync(out, 'stale');
    try {
      const r = run(['manifest', '-o', 'MANIFEST.sha256'], { cwd: tree });
      assert.equal(r.status, 0, r.stderr);
      assert.equal(r.stdout, '');
      const written = entriesOf(format.parseManifest(fs.readFileSync(out), 'written'));
      const everything = entriesOf(format.parseManifest(Buffer.from(run(['manifest', '-q'], { cwd: tree }).stdout), 'all'));
      assert.deepEqual(everything.entries.filter((e) => e[0] === 'MANIFEST.sha256'), [['MANIFEST.sha256', digestOf(out)]]);
      assert.deepEqual(written.entries, everything.entries.filter((e) => e[0] !== 'MANIFEST.sha256'));
      assert.deepEqual(written.roots, [{ line: written.entries.length + 1, root: rootOf(written.entries), end: written.entries.length }]);
    } finally {
      fs.rmSync(out);
    }
  });

  it('draws no progress when standard error is not a terminal', () => {
    const many = path.join(tmp, 'many');
    for (let i = 0; i < 2500; i++) write(path.join(many, `d${i % 25}`, `f${i}`), String(i));
    const r = run(['manifest', 'many'], { cwd: tmp });
    assert.equal(r.status, 0);
    assert.equal(r.stderr, '');
    assert.equal(parseLines(r.stdout).length, 2501);
  });
});

describe('tov-engine diff', { skip: POSIX_TREES }, () => {
  let left;
  let right;
  before(() => {
    left = path.join(tmp, 'left');
    right = path.join(tmp, 'right');
    for (const dir of [left, right]) {
      write(path.join(dir, 'same'), 'same');
      write(path.join(dir, 'sub', 'changed'), dir === left ? 'old' : 'new');
    }
    write(path.join(left, 'gone'), 'gone');
    write(path.join(right, 'new\nfile'), 'new');
  });

  it('finds two copies of a tree equal: status 0, no output', () => {
    const copy = path.join(tmp, 'left-copy');
    fs.cpSync(left, copy, { recursive: true });
    const r = run(['diff', left, copy]);
    assert.deepEqual(r, { status: 0, stdout: '', stderr: '' });
  });

  it('lists added, modified and deleted paths with status 1', () => {
    const r = run(['diff', left, right]);
    assert.equal(r.status, 1, r.stderr);
    assert.equal(r.stdout, '\\A  new\\nfile\nM  sub/changed\nD  gone\n');
    const json = run(['diff', '--json', left, right]);
    assert.equal(json.status, 1);
    assert.deepEqual(JSON.parse(json.stdout), { added: ['new\nfile'], modified: ['sub/changed'], deleted: ['gone'] });
  });

  it('reads manifests in text, JSON and plain-array form against directories and each other', () => {
    const text = path.join(tmp, 'left.sha256');
    const json = path.join(tmp, 'left.json');
    const array = path.join(tmp, 'left-array.json');
    assert.equal(run(['manifest', '-q', '-o', text], { cwd: left }).status, 0);
    assert.equal(run(['manifest', '-q', '--json', '-o', json], { cwd: left }).status, 0);
    fs.writeFileSync(array, JSON.stringify(JSON.parse(fs.readFileSync(json, 'utf8')).manifest));
    for (const m of [text, json, array]) {
      assert.deepEqual(run(['diff', m, left]), { status: 0, stdout: '', stderr: '' }, m);
      assert.equal(run(['diff', m, right]).stdout, '\\A  new\\nfile\nM  sub/changed\nD  gone\n', m);
    }
    assert.equal(run(['diff', text, json]).status, 0);
    // Standard input stands for one operand.
    const piped = run(['diff', '-', right], { input: fs.readFileSync(array) });
    assert.equal(piped.status, 1);
    assert.equal(piped.stdout, '\\A  new\\nfile\nM  sub/changed\nD  gone\n');
  });

  it('accepts manifests written by sha256sum, binary markers and upper-case digests included', { skip: !hasSha256sum && 'sha256sum is not installed' }, () => {
    const out = spawnSync('sha256sum', ['-b', 'same', 'sub/changed', 'new\nfile'], { cwd: right, encoding: 'utf8' });
    const manifest = path.join(tmp, 'right.sha256sum');
    fs.writeFileSync(manifest, out.stdout.replace(/^(\\?)([0-9a-f]{64})/gm, (m, e, d) => e + d.toUpperCase()));
    assert.deepEqual(run(['diff', manifest, right]), { status: 0, stdout: '', stderr: '' });
  });

  it('warns when a root line no longer matches the entries', () => {
    const text = run(['manifest', '-q'], { cwd: left }).stdout;
    const cut = text.split('\n').filter((l) => !l.endsWith('gone')).join('\n');
    const file = path.join(tmp, 'edited.sha256');
    fs.writeFileSync(file, cut);
    const r = run(['diff', file, left]);
    assert.equal(r.status, 1);
    assert.equal(r.stdout, 'A  gone\n');
    assert.match(r.stderr, /edited\.sha256: the root on line 3 does not match the 2 entries it covers/);
  });
});

describe('tov-engine on trees that scripts meet', () => {
  let base;
  before(() => {
    base = path.join(tmp, 'hard');
    fs.mkdirSync(base);
    // A user that reads nothing of root's must still reach the scratch tree.
    fs.chmodSync(tmp, 0o755);
  });

  it('reports unreadable files with the reason and exits 1, even with -q; diff calls it an error, not a change', {
    skip: (WINDOWS && 'file modes do not make a file unreadable on Windows') ||
      (!otherUserRuns && 'this node or package cannot be run by the unprivileged user'),
  }, () => {
    const dir = path.join(base, 'locked');
    write(path.join(dir, 'secret'), 's');
    write(path.join(dir, 'open'), 'o');
    write(path.join(dir, 'closed', 'inner'), 'i');
    fs.chmodSync(path.join(dir, 'secret'), 0o000);
    fs.chmodSync(path.join(dir, 'closed'), 0o000);
    const copy = path.join(base, 'locked-copy');
    write(path.join(copy, 'secret'), 's');
    write(path.join(copy, 'open'), 'o');
    write(path.join(copy, 'closed', 'inner'), 'i');
    try {
      for (const quiet of [[], ['-q']]) {
        const r = run(['manifest', ...quiet, 'locked'], { cwd: base, ...asOtherUser });
        assert.equal(r.status, 1, r.stderr);
        assert.equal(r.stdout, `${digestOf(path.join(dir, 'open'))}  locked/open\n# root: ${rootOf([['locked/open', digestOf(path.join(dir, 'open'))]])}\n`);
        assert.match(r.stderr, /^tov-engine: locked\/closed: Permission denied \(os error 13\)$/m);
        assert.match(r.stderr, /^tov-engine: locked\/secret: Permission denied \(os error 13\)$/m);
        assert.match(r.stderr, /2 paths could not be read; the manifest is incomplete/);
      }
      const d = run(['diff', 'locked-copy', 'locked'], { cwd: base, ...asOtherUser });
      assert.equal(d.status, 2, d.stderr);
      assert.equal(d.stdout, '');
      assert.match(d.stderr, /^tov-engine: secret: Permission denied/m);
      assert.match(d.stderr, /^tov-engine: closed: Permission denied/m);
    } finally {
      fs.chmodSync(path.join(dir, 'closed'), 0o755);
    }
  });

  it('leaves the manifest being written or compared out of the tree; a bad -o target fails before any hashing', () => {
    const dir = path.join(base, 'proj');
    write(path.join(dir, 'src', 'a.js'), 'a');
    write(path.join(dir, 'README'), 'r');
    assert.equal(run(['manifest', '-q', '-o', 'MANIFEST'], { cwd: dir }).status, 0);
    assert.deepEqual(run(['diff', 'MANIFEST', '.'], { cwd: dir }), { status: 0, stdout: '', stderr: '' });
    assert.deepEqual(run(['check', 'MANIFEST'], { cwd: dir }), { status: 0, stdout: 'README: OK\nsrc/a.js: OK\n# root: OK\n', stderr: '' });
    // A missing PATH fails the run and leaves the old manifest as it was.
    const before = fs.readFileSync(path.join(dir, 'MANIFEST'));
    assertOneLineError(run(['manifest', '-o', 'MANIFEST', '.', 'missing'], { cwd: dir }), /missing: No such file/);
    assert.deepEqual(fs.readFileSync(path.join(dir, 'MANIFEST')), before);
    assertOneLineError(run(['manifest', '-o', 'no-dir/M', '.'], { cwd: dir }), /^tov-engine: no-dir\/M: No such file or directory\n$/);
  });

  it('compares sha256sum manifests of find . with a directory, and hints at a common prefix', { skip: !hasSha256sum && 'sha256sum is not installed' }, () => {
    const dir = path.join(base, 'found');
    write(path.join(dir, 'x', 'y.txt'), 'y');
    write(path.join(dir, 'z'), 'z');
    const found = spawnSync('sh', ['-c', 'find . -type f -exec sha256sum {} +'], { cwd: dir, encoding: 'utf8' });
    fs.writeFileSync(path.join(base, 'found.sha256'), found.stdout);
    assert.match(found.stdout, /  \.\/z\n/);
    assert.deepEqual(run(['diff', 'found.sha256', 'found'], { cwd: base }), { status: 0, stdout: '', stderr: '' });
    // `diff MANIFEST DIR` names DIR's paths as `manifest DIR` does.
    const parent = run(['manifest', '-q', 'found'], { cwd: base });
    fs.writeFileSync(path.join(base, 'parent.sha256'), parent.stdout);
    assert.deepEqual(run(['diff', 'parent.sha256', 'found'], { cwd: base }), { status: 0, stdout: '', stderr: '' });
    fs.cpSync(dir, path.join(base, 'found-copy'), { recursive: true });
    const r = run(['diff', 'parent.sha256', 'found-copy'], { cwd: base });
    assert.equal(r.status, 1);
    assert.equal(r.stdout, 'A  x/y.txt\nA  z\nD  found/x/y.txt\nD  found/z\n');
    assert.equal(r.stderr, "tov-engine: hint: every path in OLD is a path of NEW with 'found/' in front\n");
  });

  it('hashes names that are not UTF-8, prints their bytes as sha256sum does, and reads such manifests', { skip: !hasSha256sum && 'sha256sum is not installed' }, () => {
    const dir = path.join(base, 'latin1');
    fs.mkdirSync(dir);
    const name = Buffer.from([0x63, 0x61, 0x66, 0xe9]);
    fs.writeFileSync(Buffer.concat([Buffer.from(`${dir}/`), name]), 'x');
    fs.mkdirSync(Buffer.concat([Buffer.from(`${dir}/d`), name]));
    fs.writeFileSync(Buffer.concat([Buffer.from(`${dir}/d`), name, Buffer.from('/in')]), 'y');
    fs.writeFileSync(path.join(dir, 'ok'), 'ok');
    const ours = run(['manifest', '.'], { cwd: dir, encoding: 'buffer' });
    assert.equal(ours.status, 0, String(ours.stderr));
    // Arguments cannot carry such names; a NUL-separated list can.
    const theirs = spawnSync('sh', ['-c', "find . -type f -printf '%P\\0' | LC_ALL=C sort -z | xargs -0 sha256sum"], { cwd: dir });
    const lines = ours.stdout.subarray(0, ours.stdout.lastIndexOf('# root: '));
    assert.deepEqual(lines, theirs.stdout);
    fs.writeFileSync(path.join(base, 'latin1.sha256'), ours.stdout);
    assert.deepEqual(run(['diff', 'latin1.sha256', 'latin1'], { cwd: base }), { status: 0, stdout: '', stderr: '' });
    const check = run(['check', '--quiet', path.join(base, 'latin1.sha256')], { cwd: dir });
    assert.deepEqual(check, { status: 0, stdout: '', stderr: '' });
    fs.writeFileSync(Buffer.concat([Buffer.from(`${dir}/`), name]), 'changed');
    const changed = run(['check', path.join(base, 'latin1.sha256')], { cwd: dir, encoding: 'buffer' });
    assert.equal(changed.status, 1);
    assert.ok(changed.stdout.subarray(0, name.length + 9).equals(Buffer.concat([name, Buffer.from(': FAILED\n')])), String(changed.stdout));
  });

  it('reads manifests that several runs appended to, and names the root line that no longer matches', () => {
    const dir = path.join(base, 'split');
    for (const f of ['a', 'b', 'c', 'd']) write(path.join(dir, f), f);
    const m = path.join(base, 'split.sha256');
    fs.writeFileSync(m, run(['manifest', 'a', 'b'], { cwd: dir }).stdout + run(['manifest', 'c', 'd'], { cwd: dir }).stdout);
    assert.deepEqual(run(['diff', m, dir]), { status: 0, stdout: '', stderr: '' });
    assert.equal(run(['check', m], { cwd: dir }).stdout, 'a: OK\nb: OK\nc: OK\nd: OK\n# root: OK\n');
    const edited = fs.readFileSync(m, 'utf8').split('\n').filter((l) => !l.endsWith('  c')).join('\n');
    fs.writeFileSync(m, edited);
    const r = run(['diff', m, dir]);
    assert.equal(r.stdout, 'A  c\n');
    assert.equal(r.stderr, `tov-engine: warning: ${m}: the root on line 5 does not match the 1 entry it covers (edited or truncated?)\n`);
    const check = run(['check', '--quiet', m], { cwd: dir });
    assert.equal(check.status, 1);
    assert.equal(check.stdout, '# root: FAILED\n');
  });

  it('checks like sha256sum -c: FAILED lines, --quiet, --status and exit 1', () => {
    const dir = path.join(base, 'checked');
    write(path.join(dir, 'good'), 'good');
    write(path.join(dir, 'bad'), 'bad');
    const m = path.join(base, 'checked.sha256');
    fs.writeFileSync(m, `${sha256Hex('good')}  good\n${sha256Hex('old')}  bad\n${sha256Hex('x')}  gone\n`);
    const r = run(['check', m], { cwd: dir });
    assert.equal(r.status, 1);
    assert.equal(r.stdout, 'good: OK\nbad: FAILED\ngone: FAILED open or read\n');
    const [first, ...rest] = r.stderr.split('\n');
    // The system's own text for a missing file (Windows' and Wine's differ).
    const missing = readErrorMessage(['No such file or directory', 2], ['The system cannot find the file specified.', 2]);
    if (typeof missing === 'string') assert.equal(first, `tov-engine: gone: ${missing.slice('Read error: '.length)}`);
    else assert.match(first.replace('tov-engine: gone: ', 'Read error: '), missing);
    assert.deepEqual(rest, [
      'tov-engine: WARNING: 1 listed file could not be read',
      'tov-engine: WARNING: 1 computed checksum did NOT match',
      '',
    ]);
    assert.equal(run(['check', '--quiet', m], { cwd: dir }).stdout, 'bad: FAILED\ngone: FAILED open or read\n');
    assert.deepEqual(run(['check', '--status', m], { cwd: dir }), { status: 1, stdout: '', stderr: '' });
    assert.deepEqual(run(['manifest', '--check', m], { cwd: dir }), r);
    assertOneLineError(run(['check', 'no-such.sha256'], { cwd: dir }), /no-such\.sha256: No such file/);

    // An escaped NUL names no file and moves no other entry onto another file.
    fs.writeFileSync(m, `\\${sha256Hex('x')}  good\\0bad\n${sha256Hex('bad')}  bad\n`);
    const held = run(['check', m], { cwd: dir });
    assert.equal(held.stdout, '\\good\\0bad: FAILED open or read\nbad: OK\n');
    assert.match(held.stderr, /^tov-engine: good\\x00bad: the path holds a NUL character\n/);
  });

  it('follows git: --gitignore leaves out what git ls-files does, --files-from takes its list', () => {
    const repo = path.join(base, 'repo');
    fs.mkdirSync(repo);
    if (spawnSync('git', ['init', '-q'], { cwd: repo }).status !== 0) return;
    // Cases from git's documentation of .gitignore patterns.
    const files = [
      'hello.c', 'hello.o', 'doc/frotz/a.txt', 'a/doc/frotz/b.txt', 'frotz/c.txt', 'sub/frotz/d.txt',
      'debug.log', 'important.log', 'logs/debug.log', 'build/out.js', 'src/build/x.js', 'x/bar/y', 'foo/z/bar/q',
      'keep/.gitignore', 'keep/kept.tmp', 'keep/dropped.tmp', 'excluded-locally', 'deep/a/b/c.tmp', 'doc/notes.txt',
      'doc/server/arch.txt', 'space ', 'ex/cl/uded.txt', 'ex/cl/ok.md',
    ];
    for (const f of files) write(path.join(repo, f), f);
    fs.writeFileSync(path.join(repo, '.gitignore'), [
      '*.o', '*.log', '!important.log', 'build/', '/frotz/', '**/bar/y', 'foo/**/q', '*.tmp', 'doc/*.txt',
      'space\\ ', 'ex/', '!ex/cl/ok.md', '',
    ].join('\n'));
    fs.writeFileSync(path.join(repo, 'keep', '.gitignore'), '!kept.tmp\n');
    fs.appendFileSync(path.join(repo, '.git', 'info', 'exclude'), 'excluded-locally\n');
    const git = spawnSync('git', ['ls-files', '--cached', '--others', '--exclude-standard', '-z'], { cwd: repo });
    const expected = git.stdout.toString().split('\0').filter(Boolean).sort();
    const ours = run(['manifest', '--gitignore', '--json', '-q'], { cwd: repo });
    assert.equal(ours.status, 0, ours.stderr);
    assert.deepEqual(JSON.parse(ours.stdout).manifest.map((e) => e[0]), expected);
    // A walk below the top still applies the rules of the directories above.
    const below = run(['manifest', '--gitignore', '--json', '-q', '--relative', 'doc'], { cwd: repo });
    assert.deepEqual(JSON.parse(below.stdout).manifest.map((e) => e[0]), ['frotz/a.txt', 'server/arch.txt']);

    const listed = run(['manifest', '--files-from', '-', '-0', '--json'], { cwd: repo, input: git.stdout });
    assert.equal(listed.status, 0, listed.stderr);
    assert.deepEqual(JSON.parse(listed.stdout).manifest, JSON.parse(ours.stdout).manifest);
    // A listed file that is gone is a failure, not a reason to stop.
    const gone = run(['manifest', '--files-from', '-'], { cwd: repo, input: 'hello.c\nvanished\n' });
    assert.equal(gone.status, 1);
    assert.match(gone.stdout, /^[0-9a-f]{64} {2}hello\.c\n# root: /);
    assert.match(gone.stderr, /^tov-engine: vanished: No such file or directory \(os error 2\)$/m);
  });

  it('checks the worker-count variable before loading the native module', () => {
    for (const [value, message] of [
      ['0', '"TOKIO_WORKER_THREADS" cannot be set to 0'],
      ['four', '"TOKIO_WORKER_THREADS" must be usize, error: invalid digit found in string, value: four'],
      ['', '"TOKIO_WORKER_THREADS" must be usize, error: cannot parse integer from empty string, value: '],
      ['18446744073709551616', '"TOKIO_WORKER_THREADS" must be usize, error: number too large to fit in target type, value: 18446744073709551616'],
    ]) {
      const r = run(['--version'], { env: { ...process.env, TOKIO_WORKER_THREADS: value } });
      assert.deepEqual(r, { status: 2, stdout: '', stderr: `tov-engine: ${message}\n` }, value);
    }
    assert.equal(run(['--version'], { env: { ...process.env, TOKIO_WORKER_THREADS: '+2' } }).status, 0);
  });
});

describe('tov-engine tokens', () => {
  it('prints counts per file and a total', () => {
    write(path.join(tmp, 't1.txt'), 'hello, world!');
    write(path.join(tmp, 't2.txt'), 'foo.bar()');
    const r = run(['tokens', 't1.txt', 't2.txt'], { cwd: tmp });
    assert.deepEqual(r, { status: 0, stdout: '4  t1.txt\n5  t2.txt\n9  total\n', stderr: '' });
    assert.deepEqual(JSON.parse(run(['tokens', '--json', 't1.txt'], { cwd: tmp }).stdout), {
      files: [{ path: 't1.txt', tokens: 4 }],
      total: 4,
    });
  });

  it('reads files larger than one piece with the counts and cuts of the whole text', () => {
    const addon = require('../..');
    // Runs of every length up to 3 MiB, so that piece ends fall inside words,
    // between blanks and inside multi-byte characters.
    const words = [];
    for (let i = 0, size = 0; size < 3 << 20; i++) {
      const word = i % 997 === 0 ? 'w'.repeat(70000) : `${'x'.repeat(i % 13)}é${i % 7 === 0 ? '中' : ''}`;
      words.push(word);
      size += word.length + 1;
    }
    const text = words.map((w, i) => w + (i % 3 === 0 ? '\n' : ' ')).join('');
    const file = path.join(tmp, 'big.txt');
    fs.writeFileSync(file, text);
    const count = addon.countTokens(text);
    // By its name in the current directory: printed names are escaped as
    // sha256sum escapes them, which a Windows path's backslashes would be.
    assert.equal(run(['tokens', 'big.txt'], { cwd: tmp }).stdout, `${count}  big.txt\n`);
    for (const budget of [1, count >> 1, count - 1]) {
      const r = run(['tokens', '--budget', String(budget), file]);
      assert.ok(r.stdout === addon.truncateToTokens(text, budget), `budget ${budget}`);
    }
    assert.equal(run(['tokens'], { input: text }).stdout, `${count}\n`);
  });

  it('reads standard input and cuts to a budget', () => {
    assert.equal(run(['tokens'], { input: 'naïve über' }).stdout, '7\n');
    assert.equal(run(['tokens', '--budget', '1'], { input: 'hello world' }).stdout, 'hello ');
    assert.equal(run(['tokens', '--budget', '0'], { input: 'hello' }).stdout, '');
    assert.equal(run(['tokens', '--budget', '99', '-'], { input: 'a-b-c  ' }).stdout, 'a-b-c  ');
  });
});

describe('tov-engine errors', () => {
  // Several cases name the fixture tree that the skipped suites build.
  it('answer bad input with one line on standard error and status 2', { skip: POSIX_TREES }, () => {
    fs.writeFileSync(path.join(tmp, 'bad.sha256'), `${EMPTY}  ok\nnot a checksum line\n`);
    fs.writeFileSync(path.join(tmp, 'bad.json'), '{"manifest": [["a"]]}');
    fs.writeFileSync(path.join(tmp, 'broken.json'), '[["a", ');
    const cases = [
      [[], /missing command/],
      [['frobnicate'], /unknown command 'frobnicate'/],
      [['manifest', '--frob'], /unknown option '--frob'/],
      [['manifest', '--output'], /option '--output' needs a value/],
      [['manifest', '--json=yes'], /takes no value/],
      [['manifest', 'no/such/path'], /no\/such\/path: No such file or directory/],
      [['manifest', 'tree', 'missing-last'], /missing-last: No such file/],
      [['manifest', '-o', path.join(tmp, 'no-dir', 'm.txt'), 'tree/empty'], /No such file or directory/],
      [['diff', 'bad.sha256', 'tree'], /bad\.sha256: malformed manifest: line 2/],
      [['diff', 'bad.json', 'tree'], /bad\.json: malformed manifest: entry 0/],
      [['diff', 'broken.json', 'tree'], /broken\.json: malformed manifest: invalid JSON/],
      [['diff', 'tree'], /two operands/],
      [['diff', '-', '-'], /only one operand/],
      [['diff', 'nope', 'tree'], /nope: No such file/],
      [['tokens', 'nope.txt'], /nope\.txt: No such file/],
      [['tokens', 'tree'], /tree: Is a directory/],
      [['tokens', '--budget=-1'], /--budget must be a whole number/],
      [['tokens', '--budget', '-1'], /option '--budget' needs a value \(write --budget=VALUE/],
      [['tokens', '--budget', '2.5'], /--budget must be a whole number/],
      [['tokens', '--budget', '4294967296'], /--budget must be a whole number/],
      [['tokens', '--budget', '3', 't1.txt', 't2.txt'], /at most one FILE/],
      // Not on Windows, whose command lines cannot carry a line feed intact.
      ...(WINDOWS ? [] : [[['manifest', 'new\nline-missing'], /new\\nline-missing: No such file/]]),
    ];
    for (const [args, pattern] of cases) assertOneLineError(run(args, { cwd: tmp }), pattern);
  });

  it('prints help for every command on standard output', () => {
    for (const args of [['--help'], ['help', 'diff'], ['manifest', '--help'], ['diff', '-h'], ['tokens', '--help']]) {
      const r = run(args);
      assert.equal(r.status, 0);
      assert.match(r.stdout, /^Usage: tov-engine/);
      assert.equal(r.stderr, '');
    }
    assert.match(run(['--version']).stdout, /^tov-engine \d+\.\d+\.\d+ \(tov-engine-native\/1\.0\.0\)\n$/);
  });
});

describe('manifest reader', () => {
  it('round-trips every path through the text format', () => {
    const entries = [['plain', EMPTY], ['a\\b', EMPTY], ['c\nd\re\\', EMPTY], ['#hash', EMPTY], [' lead', EMPTY]];
    const root = rootOf(entries);
    assert.deepEqual(entriesOf(format.parseManifest(Buffer.from(format.manifestText(entries, root)), 'm')), { entries, roots: [{ line: 6, root, end: 5 }] });
    assert.deepEqual(entriesOf(format.parseManifest(Buffer.from(format.manifestJson(entries, root)), 'm')), { entries, roots: [{ line: null, root, end: 5 }] });
  });

  it('reads a manifest of many chunks as it parses one string, lines cut anywhere', async () => {
    // Lines of every length, so that the reads of 1 MiB cut some inside a
    // line, inside a two-byte character and between CR and LF.
    const lines = [];
    for (let i = 0; lines.join('').length < 3 << 20; i++) lines.push(`${EMPTY}  ${'é'.repeat(i % 97)}${i}${i % 5 === 0 ? '\r' : ''}\n`);
    const file = path.join(tmp, 'chunked.txt');
    fs.writeFileSync(file, `\ufeff${lines.join('')}${EMPTY}  tail-without-line-end`);
    const streamed = entriesOf(await format.readManifest(file, {}));
    assert.deepEqual(streamed, entriesOf(format.parseManifest(fs.readFileSync(file), file)));
    assert.equal(streamed.entries.length, lines.length + 1);

    fs.writeFileSync(file, `${EMPTY}  a\n${EMPTY}  ${'x'.repeat(3 << 20)}\n`);
    await assert.rejects(format.readManifest(file, {}), { message: `${file}: line 2 is longer than ${1 << 20} bytes` });
  });

  it('accepts CRLF line ends, comments, binary and tagged lines', () => {
    const text = `# a comment\r\n${EMPTY} *bin\r\nSHA256 (tag (1)) = ${EMPTY}\r\n\r\n`;
    assert.deepEqual(format.parseManifest(Buffer.from(text), 'm').listing.entries(), [['bin', EMPTY], ['tag (1)', EMPTY]]);
  });

  it('rejects bad escapes, short digests and empty paths', () => {
    const bad = [`\\${EMPTY}  a\\tb`, `${EMPTY.slice(1)}  x`, `${EMPTY} x`, `${EMPTY}  `, '[["a", "xyz"]]', '{"root": 1, "manifest": []}', '"just a string"'];
    for (const text of bad) assert.throws(() => format.parseManifest(Buffer.from(text), 'm'), /malformed manifest/, text);
  });

  it('orders strings by UTF-8 bytes', () => {
    const words = ['\uFB01', '\u{1F600}', 'a', 'a.txt', 'a/b', 'B', '', 'é', '\u0000', 'a\u{10FFFF}', 'a\uFFFF'];
    const bytes = [...words].sort((a, b) => Buffer.compare(Buffer.from(a), Buffer.from(b)));
    assert.deepEqual([...words].sort(format.compareBytes), bytes);
  });
});

describe('progress line', () => {
  function fakeTerminal(isTTY) {
    const stream = { isTTY, columns: 40, text: '', write(s) { this.text += s; } };
    return stream;
  }

  it('draws on a terminal after its delay, throttled, and clears itself', () => {
    let t = 0;
    const stream = fakeTerminal(true);
    const p = new Progress({ stream, delay: 100, interval: 50, now: () => t });
    p.update('early');
    t = 100;
    p.update('one');
    t = 120;
    p.update('too soon');
    t = 150;
    p.update('x'.repeat(60));
    p.clear();
    assert.equal(stream.text, `\r\x1b[Kone\r\x1b[K${'x'.repeat(36)}...\r\x1b[K`);
  });

  it('shows bytes and a rate when the events carry them, files alone otherwise', () => {
    const event = { phase: 'hashing', files: 10, hashed: 1 };
    assert.equal(progressText(event, '', 5000), 'tov-engine: hashing 1/10 files');
    assert.equal(progressText({ ...event, bytes: 999 }, 'old', 500), 'tov-engine: hashing old: 1/10 files, 999 B');
    // One large file: the files stand still while the bytes move.
    assert.equal(
      progressText({ ...event, bytes: 1.5e9, totalBytes: 2.25e9 }, '', 3000),
      'tov-engine: hashing 1/10 files, 1.50 GB of 2.25 GB, 500 MB/s',
    );
    assert.equal(progressText({ phase: 'scanning', files: 7, hashed: 0, bytes: 5 }), 'tov-engine: scanning 7 files');
  });

  it('is drawn by a long manifest run on a terminal only, and not with --quiet', async () => {
    const dir = path.join(tmp, 'progress');
    for (let i = 0; i < 2100; i++) write(path.join(dir, `f${i}`), String(i));
    const capture = () => ({ text: '', write(s) { this.text += s; return true; } });
    for (const [isTTY, quiet] of [[true, false], [true, true], [false, false]]) {
      const stdout = capture();
      const stderr = Object.assign(capture(), { isTTY, columns: 100 });
      const args = ['manifest', ...(quiet ? ['--quiet'] : []), dir];
      assert.equal(await main(args, { stdout, stderr, progressDelay: 0 }), 0);
      assert.equal(stdout.text.split('\n').length, 2102);
      if (isTTY && !quiet) assert.match(stderr.text, /^\r\x1b\[Ktov-engine: (scanning|hashing) .*\r\x1b\[K$/s);
      else assert.equal(stderr.text, '', `isTTY ${isTTY}, quiet ${quiet}`);
    }
  });
});
