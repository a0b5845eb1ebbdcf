'use strict';

const fs = require('node:fs');
const { checkListing, listingRoot, pathBytes } = require('../../tree/index.js');
const { parse } = require('../args');
const { CliError, describeFailure, describeFsError } = require('../errors');
const format = require('../format');
const { HELP } = require('../help');
const { sourceName } = require('../io');
const { progressText } = require('../progress');

const OPTIONS = {
  quiet: { type: 'boolean' },
  status: { type: 'boolean' },
  directory: { type: 'string', short: 'C' },
};

// Each root line must match the entries it covers; the problems as text.
function rootProblems({ listing, roots }, source) {
  const problems = [];
  let start = 0;
  for (const { line, root, end } of roots) {
    if (root !== listingRoot(listing.slice(start, end))) {
      const where = line === null ? 'the root' : `the root on line ${line}`;
      const n = end - start;
      problems.push(`${source}: ${where} does not match the ${n} ${n === 1 ? 'entry' : 'entries'} it covers (edited or truncated?)`);
    }
    start = end;
  }
  return problems;
}

// Fewer entries than this wait for more lines before their files are read,
// unless the manifest has ended: a call costs more than a few files.
const LEAST_BLOCK = 1024;

/**
 * The files of the manifests, checked while the manifests are still read:
 * whatever entries have been parsed go out as one block whenever the block
 * before has been checked, so reading and hashing overlap. One block at a
 * time, manifests in the order given.
 */
class Checks {
  constructor(directory, io) {
    this.directory = directory;
    this.io = io;
    this.jobs = [];
    this.running = false;
    this.controller = new AbortController();
  }

  // A manifest about to be read; `offer` hands it its entries as they come.
  open() {
    const job = { listing: null, sent: 0, complete: false, settled: false, blocks: [], done: { files: 0, bytes: 0 }, started: 0 };
    job.results = new Promise((resolve, reject) => Object.assign(job, { resolve, reject }));
    job.results.catch(() => {});
    this.jobs.push(job);
    return job;
  }

  offer(job, listing, complete = false) {
    job.listing = listing;
    job.complete = complete;
    this.pump();
  }

  // Stops the checks under way and any still to start.
  abort() {
    this.controller.abort();
  }

  pump() {
    if (this.running || this.controller.signal.aborted) return;
    const job = this.jobs.find((j) => !j.settled);
    if (job === undefined || job.listing === null) return;
    const waiting = job.listing.count - job.sent;
    if (job.complete && waiting === 0) {
      job.settled = true;
      job.resolve(joinResults(job.blocks));
      this.pump();
      return;
    }
    if (waiting === 0 || (!job.complete && waiting < LEAST_BLOCK)) return;
    const block = job.listing.slice(job.sent);
    job.sent = job.listing.count;
    if (job.started === 0) job.started = Date.now();
    this.running = true;
    let last = { bytes: 0 };
    // The block's counts on top of those of the blocks before it.
    const onProgress = (event) => {
      last = event;
      const { files, bytes } = job.done;
      const total = { phase: 'checking', files: files + event.files, hashed: files + event.hashed, bytes: bytes + event.bytes };
      this.io.progress.update(progressText(total, '', Date.now() - job.started));
    };
    checkListing(block, this.directory, { signal: this.controller.signal, onProgress }).then(
      (result) => {
        job.blocks.push({ start: job.done.files, ...result });
        job.done.files += block.count;
        job.done.bytes += last.bytes ?? 0;
        this.running = false;
        this.pump();
      },
      (err) => {
        job.settled = true;
        job.reject(err);
        this.running = false;
        this.abort();
      },
    );
  }
}

// The blocks' statuses as one string, and their reasons by entry.
function joinResults(blocks) {
  const reasons = new Map();
  for (const { start, reasons: some } of blocks) for (const [i, reason] of some) reasons.set(start + i, reason);
  return { statuses: blocks.map((b) => b.statuses).join(''), reasons };
}

/**
 * Verifies each manifest operand against the files below `directory`
 * (the current one by default), printing as sha256sum -c does.
 */
async function checkManifests(operands, { quiet, status, directory = '.' }, io) {
  if (operands.length === 0) throw new CliError("check needs a MANIFEST (see 'tov-engine check --help')");
  if (operands.filter((o) => o === '-').length > 1) throw new CliError('standard input (-) can be named only once');
  if (directory === '') throw new CliError("option '--directory' needs a directory");
  let st;
  try {
    st = fs.statSync(directory.isWellFormed() ? directory : pathBytes(directory));
  } catch (err) {
    throw new CliError(`${directory}: ${describeFsError(err)}`);
  }
  if (!st.isDirectory()) throw new CliError(`${directory}: Not a directory`);
  io = io.with({ quiet });
  const checks = new Checks(directory, io);
  try {
    return await report(await readAll(operands, io, checks), { quiet, status }, io);
  } finally {
    checks.abort();
  }
}

// Every operand read (a malformed one ends the command before any output),
// its files checked meanwhile.
async function readAll(operands, io, checks) {
  const parsed = [];
  for (const operand of operands) {
    const job = checks.open();
    const manifest = await format.readManifest(operand, io, (listing) => checks.offer(job, listing));
    checks.offer(job, manifest.listing, true);
    parsed.push({ source: sourceName(operand), manifest, job });
  }
  return parsed;
}

async function report(parsed, { quiet, status }, io) {
  let mismatched = 0;
  let unreadable = 0;
  let badRoots = 0;
  for (const { source, manifest, job } of parsed) {
    if (manifest.listing.count === 0 && manifest.roots.length === 0) {
      if (!status) io.error(`${source}: no checksum lines found`);
      badRoots++;
      continue;
    }
    // Worked out while the last files are read.
    const problems = rootProblems(manifest, source);
    const { statuses, reasons } = await job.results.catch((err) => {
      throw new CliError(describeFailure(err, 'checking files'));
    });
    // Names are taken apart only when some line needs one.
    const lines = [];
    let names = null;
    const name = (i) => (names ??= manifest.listing.names())[i];
    for (let i = 0; i < statuses.length; i++) {
      const result = statuses[i];
      if (result === 'o') {
        if (!quiet) lines.push(format.pathLine('', name(i)) + ': OK');
        continue;
      }
      if (result === 'f') mismatched++;
      else {
        unreadable++;
        if (!status) io.error(`${name(i)}: ${reasons.get(i)}`);
      }
      lines.push(format.pathLine('', name(i)) + (result === 'f' ? ': FAILED' : ': FAILED open or read'));
    }
    badRoots += problems.length;
    if (manifest.roots.length > problems.length && !quiet) lines.push('# root: OK');
    if (problems.length > 0) lines.push('# root: FAILED');
    if (!status) {
      if (lines.length > 0) io.out(`${lines.join('\n')}\n`);
      for (const p of problems) io.error(p);
    }
  }
  if (!status) {
    const plural = (n, one, many) => `${n} ${n === 1 ? one : many}`;
    if (unreadable > 0) io.error(`WARNING: ${plural(unreadable, 'listed file', 'listed files')} could not be read`);
    if (mismatched > 0) io.error(`WARNING: ${plural(mismatched, 'computed checksum', 'computed checksums')} did NOT match`);
  }
  return mismatched + unreadable + badRoots > 0 ? 1 : 0;
}

async function checkCommand(args, io) {
  const { values, positionals } = parse(args, OPTIONS, 'check');
  if (values.help) return io.out(HELP.check), 0;
  const quiet = values.quiet || values.status;
  return checkManifests(positionals, { quiet, status: values.status, directory: values.directory }, io);
}

module.exports = { checkCommand, checkManifests, rootProblems, OPTIONS };
