'use strict';
// Benchmarks of every native function against the plain Node.js way of doing
// the same work, measured side by side in one run.
//
//   node bench/run.js [selector ...] [options]
//
// A selector is a group (sha256, sha256String, tokens, long, merkleRoot,
// merkleDiff, batch, fileHash, lanes, tree, hasher) or the start of a case id (see --list).
//   node bench/run.js tokenizers [--json]   the token estimate against real
//                                           tokenizers (bench/tokenizers.js)
// Options:
//   --json          print the results as JSON on stdout (progress goes to stderr)
//   --quick         fewer and shorter rounds, for a rough look
//   --long          also run the cases on a text of about 256 Mi characters
//                   (a few minutes; about 3 GiB of memory)
//   --rounds N      timed rounds per case (default 40; slow cases use fewer)
//   --stat S        best (default) or median: which round stands for a side
//   --dir PATH      where the fixture files live (default: <tmpdir>/tov-engine-native-bench)
//   --addon PATH    time another build of the addon (a .node file)
//   --clean         remove the fixture files after the run
//   --clean-only    remove the fixture files and exit
//   --list          list the cases and exit
// The figures are reported, never asserted: a MISS does not change the exit
// status. The run fails only when a case cannot run or when the native and
// JavaScript sides disagree on an answer.
const path = require('node:path');
const machine = require('./lib/machine');
const { Fixtures, defaultRoot } = require('./lib/fixtures');
const { MismatchError } = require('./lib/case');
const { table } = require('./lib/report');

const CASES = [
  ...require('./cases/digests'),
  ...require('./cases/tokens'),
  ...require('./cases/long_texts'),
  ...require('./cases/manifest'),
  ...require('./cases/batch'),
  ...require('./cases/file_hash'),
  ...require('./cases/lanes'),
  ...require('./cases/tree'),
  ...require('./cases/hasher'),
];

function usage(message) {
  if (message) process.stderr.write(`${message}\n`);
  const header = require('node:fs').readFileSync(__filename, 'utf8').split('\n');
  const start = header.findIndex((line) => line.startsWith('//   node bench/run.js'));
  const end = header.findIndex((line, i) => i > start && !line.startsWith('//'));
  process.stderr.write(`${header.slice(start, end).map((l) => l.replace(/^\/\/ ?/, '')).join('\n')}\n`);
  process.exit(message ? 2 : 0);
}

function parseArgs(argv) {
  const options = {
    json: false,
    quick: false,
    long: false,
    rounds: 40,
    stat: 'best',
    dir: defaultRoot(),
    addon: null,
    clean: false,
    cleanOnly: false,
    list: false,
    selectors: [],
  };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    const value = () => {
      if (i + 1 >= argv.length) usage(`${arg} needs a value`);
      return argv[++i];
    };
    if (arg === '--json') options.json = true;
    else if (arg === '--quick') options.quick = true;
    else if (arg === '--long') options.long = true;
    else if (arg === '--rounds') options.rounds = Number(value());
    else if (arg === '--stat') options.stat = value();
    else if (arg === '--dir') options.dir = path.resolve(value());
    else if (arg === '--addon') options.addon = path.resolve(value());
    else if (arg === '--clean') options.clean = true;
    else if (arg === '--clean-only') options.cleanOnly = true;
    else if (arg === '--list') options.list = true;
    else if (arg === '--help' || arg === '-h') usage();
    else if (arg.startsWith('-')) usage(`unknown option ${arg}`);
    else options.selectors.push(arg);
  }
  if (!Number.isInteger(options.rounds) || options.rounds < 1) usage('--rounds needs a positive integer');
  if (!['best', 'median'].includes(options.stat)) usage('--stat is best or median');
  if (options.quick) options.rounds = Math.min(options.rounds, 12);
  options.sampleScale = options.quick ? 0.5 : 1;
  return options;
}

function select(selectors, long) {
  const available = CASES.filter((c) => long || !c.long);
  if (selectors.length === 0) return available;
  const chosen = new Set();
  for (const selector of selectors) {
    const s = selector.toLowerCase();
    const byGroup = available.filter((c) => c.group.toLowerCase() === s);
    const matches = byGroup.length > 0 ? byGroup : available.filter((c) => c.id.toLowerCase().startsWith(s));
    if (matches.length === 0) usage(`no case matches "${selector}" (try --list)`);
    for (const c of matches) chosen.add(c);
  }
  return available.filter((c) => chosen.has(c));
}

function otherLabel(options) {
  return options.stat === 'best' ? 'median' : 'best';
}

function header(info, addonPath, version, options) {
  const busy = info.loadAverage[0] > info.cores * 0.5;
  return [
    `${version}  (${addonPath})`,
    `CPU: ${info.cpu}  [${info.cpuFeatures.join(' ') || 'no SHA/AVX flags seen'}], ` +
      `${info.cores} cores, ${info.memoryGiB} GiB`,
    `Node ${info.node} with OpenSSL ${info.nodeOpenssl}; ${info.platform}`,
    `load average at start: ${info.loadAverage.join(' ')}` +
      (busy ? '  (other work is running: expect noisy figures)' : ''),
    `method: ${options.stat === 'best' ? 'best' : 'median'} time per call over up to ${options.rounds} ` +
      'alternating rounds after warm-up; ratio = peer time / our time ' +
      `(column "${otherLabel(options)}": the same from the ${options.stat === 'best' ? 'median' : 'best'} rounds); ` +
      '"rounds" = middle half of the per-round ratios',
  ].join('\n');
}

async function main() {
  // A reader that stops early (| head) is not a failure of the run.
  process.stdout.on('error', (error) => {
    if (error.code === 'EPIPE') process.exit(0);
    throw error;
  });
  const options = parseArgs(process.argv.slice(2));
  if (options.list) {
    for (const c of CASES) process.stdout.write(`${c.group.padEnd(13)} ${c.id.padEnd(26)} ${c.title}\n`);
    return 0;
  }
  const fixtures = new Fixtures(options.dir);
  if (options.cleanOnly) {
    fixtures.clean();
    process.stderr.write(`removed ${options.dir}\n`);
    return 0;
  }
  const cases = select(options.selectors, options.long);
  const addonPath = options.addon || require.resolve(path.join(__dirname, '..'));
  const native = require(addonPath);
  const info = machine.describe();
  const ctx = { native, fixtures, options, machine: info, addonPath };
  const progress = (text) => process.stderr.write(`${text}\n`);
  if (!options.json) process.stdout.write(`${header(info, addonPath, native.nativeVersion(), options)}\n\n`);

  const rows = [];
  let failed = false;
  const started = Date.now();
  for (const c of cases) {
    progress(`running ${c.id} ...`);
    try {
      ctx.current = c;
      const produced = await c.run(ctx);
      rows.push(...produced);
      for (const r of produced) {
        progress(`  ${r.title}: ${r.oursText} vs ${r.peerText}${r.verdict ? ` -> ${r.verdict}` : ''}`);
      }
    } catch (error) {
      failed = true;
      const what = error instanceof MismatchError ? 'WRONG ANSWER' : 'ERROR';
      progress(`  ${what}: ${error.stack || error}`);
      const note = String(error.message).split('\n')[0];
      rows.push({ id: c.id, group: c.group, title: c.title, kind: 'error', verdict: what, note });
    }
  }
  if (options.clean) fixtures.clean();
  const seconds = (Date.now() - started) / 1000;

  const misses = rows.filter((r) => r.verdict === 'MISS');
  const passes = rows.filter((r) => r.verdict === 'PASS');
  if (options.json) {
    const strip = ({ raw, ...r }) => ({
      ...r,
      samples: raw ? { ours: raw.ours.samples, peer: raw.peer.samples } : undefined,
    });
    const report = {
      machine: info,
      version: native.nativeVersion(),
      addon: addonPath,
      options: { rounds: options.rounds, quick: options.quick, stat: options.stat },
      seconds,
      loadAverageAtEnd: require('node:os').loadavg(),
      rows: rows.map(strip),
    };
    process.stdout.write(`${JSON.stringify(report, null, 2)}\n`);
  } else {
    process.stdout.write(`${table(rows, otherLabel(options))}\n\n`);
    const load = require('node:os').loadavg().map((x) => x.toFixed(2)).join(' ');
    process.stdout.write(
      `${passes.length} PASS, ${misses.length} MISS in ${seconds.toFixed(0)} s (load average at end: ${load})`,
    );
    process.stdout.write(misses.length ? `; missed: ${misses.map((r) => r.id).join(', ')}\n` : '\n');
  }
  return failed ? 1 : 0;
}

if (process.argv[2] === 'tokenizers') require('./tokenizers').main(process.argv.slice(3));
else main().then(
  (code) => {
    process.exitCode = code;
  },
  (error) => {
    process.stderr.write(`${error.stack || error}\n`);
    process.exitCode = 1;
  },
);
