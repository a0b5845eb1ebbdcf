'use strict';
// Hashes files while the walk is still finding more, and builds manifests
// from bytes. Paths go to the native side in lists; each list is hashed on
// the shared pool off this thread, and its outcomes come back by position.

const fs = require('node:fs');
const { encodeName, fsName } = require('./names');
const { Listing } = require('./listing');

// Loaded on first use: the path helpers here serve callers that never hash.
const addon = () => require('../../index.js');

// The native root of NUL-joined names, where this build has it; else null.
let rootOfJoined;
function joinedRoot() {
  if (rootOfJoined === undefined) {
    try {
      rootOfJoined = require('../native/extensions.js').load().rootOfJoined ?? null;
    } catch {
      rootOfJoined = null;
    }
  }
  return rootOfJoined;
}

// A list per native call: large enough that the per-call cost vanishes,
// small enough that hashing starts soon after the walk does. The first
// lists are shorter still, so the pool has work within the first directory.
const FIRST_LIST = 128;
const LIST_SIZE = 2048;
// Lists handed over and not yet back. Two keep the pool busy across the end
// of each list; a few more cover cold reads. Bounds the paths held natively.
const LISTS_IN_FLIGHT = 4;

/**
 * Hashes files as they are added. Outcomes are kept by the position of the
 * file's add: a hex digest, { reason } for a file that was not hashed (from
 * the attempt that failed), or null for one whose identity is in `leaveOut`.
 * A file whose outcome is known already (a cached digest) takes its place
 * with `addKnown` and is not read. `onList(indexes, outcomes)` follows each
 * list's return, with the positions it covered: where fresh digests can be
 * stored.
 */
class HashPipeline {
  constructor({ leaveOut = [], onList = () => {} } = {}) {
    this.native = require('../native/extensions.js').load();
    this.leaveOut = leaveOut;
    this.onList = onList;
    this.pending = [];
    this.pendingIndexes = [];
    this.added = 0;
    this.hashed = 0;
    this.bytes = 0;
    this.outcomes = [];
    this.inFlight = [];
    this.error = null;
  }

  // `path` is a name as the walk decodes it (see names.js).
  add(path) {
    this.pending.push(fsName(path));
    this.pendingIndexes.push(this.added++);
    if (this.pending.length >= (this.added <= LIST_SIZE ? FIRST_LIST : LIST_SIZE)) this.flush();
  }

  addKnown(outcome) {
    this.outcomes[this.added++] = outcome;
    this.hashed++;
  }

  flush() {
    if (this.pending.length === 0) return;
    const list = this.pending;
    const indexes = this.pendingIndexes;
    this.pending = [];
    this.pendingIndexes = [];
    const done = this.native.hashFiles(list, this.leaveOut).then(
      ({ outcomes, bytes }) => {
        for (let i = 0; i < outcomes.length; i++) this.outcomes[indexes[i]] = outcomes[i];
        this.hashed += outcomes.length;
        this.bytes += bytes;
        this.onList(indexes, outcomes);
      },
      (err) => {
        this.error ??= err;
      },
    );
    this.inFlight.push(done);
  }

  // Whether the caller should wait (`await drain()`) before adding more.
  get full() {
    return this.inFlight.length >= LISTS_IN_FLIGHT;
  }

  async drain() {
    while (this.inFlight.length >= LISTS_IN_FLIGHT) await this.inFlight.shift();
    if (this.error !== null) throw this.error;
  }

  async finish() {
    this.flush();
    await Promise.all(this.inFlight);
    this.inFlight = [];
    if (this.error !== null) throw this.error;
    return this.outcomes;
  }
}

// Hashes a whole list of paths; one outcome per path, in list order.
async function hashPaths(paths, options) {
  const pipeline = new HashPipeline(options);
  for (const path of paths) {
    pipeline.add(path);
    if (pipeline.full) await pipeline.drain();
  }
  return pipeline.finish();
}

// Identities of files to leave out: paths (those that exist) or { dev, ino }.
function identitiesOf(items) {
  const identities = [];
  for (const item of items) {
    if (typeof item === 'string') {
      try {
        const st = fs.statSync(fsName(item), { bigint: true });
        identities.push([st.dev, st.ino]);
      } catch {
        // A file that does not exist cannot turn up in the walk.
      }
    } else {
      identities.push([BigInt(item.dev), BigInt(item.ino)]);
    }
  }
  return identities;
}

// Orders strings by their UTF-8 bytes, the order merkleRoot sorts by. Plain
// `<` compares UTF-16 code units, which puts U+E000..U+FFFF after the
// surrogate pairs of astral characters; UTF-8 puts them before.
function compareBytes(a, b) {
  const n = Math.min(a.length, b.length);
  for (let i = 0; i < n; i++) {
    let x = a.charCodeAt(i);
    let y = b.charCodeAt(i);
    if (x === y) continue;
    if (x >= 0xd800 && y >= 0xd800) {
      x = x >= 0xe000 ? x - 0x800 : x + 0x2000;
      y = y >= 0xe000 ? y - 0x800 : y + 0x2000;
    }
    return x < y ? -1 : 1;
  }
  return a.length - b.length;
}

// Below U+D800, UTF-16 code units order as UTF-8 bytes do.
const BEYOND_PLAIN_ORDER = /[\uD800-\uFFFF]/;

// Sorts items by the bytes of key(item), escaped name bytes included; stable.
function sortByBytes(items, key = (x) => x) {
  if (!items.some((x) => BEYOND_PLAIN_ORDER.test(key(x)))) {
    return items.sort((a, b) => {
      const x = key(a);
      const y = key(b);
      return x < y ? -1 : x > y ? 1 : 0;
    });
  }
  if (items.every((x) => key(x).isWellFormed())) return items.sort((a, b) => compareBytes(key(a), key(b)));
  const keyed = items.map((item) => ({ item, bytes: encodeName(key(item)) }));
  keyed.sort((a, b) => Buffer.compare(a.bytes, b.bytes));
  for (let i = 0; i < items.length; i++) items[i] = keyed[i].item;
  return items;
}

// merkleRoot over the paths' bytes: merkleRoot itself when every path is
// text, and the same lines hashed with sha256 when some name is not UTF-8.
function rootOf(entries) {
  const { sha256, merkleRoot } = addon();
  if (entries.every((e) => e[0].isWellFormed())) return merkleRoot(entries);
  const sorted = sortByBytes(entries.slice(), (e) => e[0]);
  const lines = [];
  sorted.forEach(([path, digest], i) => {
    if (i > 0) lines.push(Buffer.from('\n'));
    lines.push(encodeName(path), Buffer.from(`:${digest}`));
  });
  return sha256(Buffer.concat(lines));
}

// rootOf for any entries, without an array per entry crossing to the native
// side: see rootOfListing. Entries with a digest that is not 64 characters
// take rootOf's way.
function manifestRoot(entries) {
  const names = new Array(entries.length);
  const digests = new Array(entries.length);
  for (let i = 0; i < entries.length; i++) {
    const path = entries[i]?.[0];
    const digest = entries[i]?.[1];
    if (typeof path !== 'string' || typeof digest !== 'string' || digest.length !== 64) return rootOf(entries);
    names[i] = path;
    digests[i] = digest;
  }
  const listing = new Listing();
  listing.addNames(names, digests);
  return rootOfListing(listing);
}

// rootOf for the entries of a Listing (listing.js): the names and digests go
// across joined. Where they cannot (no native module, a NUL in a name), the
// entries take rootOf's way.
function rootOfListing(listing) {
  const native = listing.count > 1 ? joinedRoot() : null;
  const joined = native === null ? null : listing.joinedNames();
  return (joined !== null && native(joined, listing.digests(), listing.count)) || rootOf(listing.entries());
}

// rootOf for paths already in byte order and distinct, with their digests:
// the text merkleRoot would sort and join is hashed here as it is made, a
// piece at a time, which spares handing every entry across to the native side.
function rootOfSorted(paths, digests) {
  if (!paths.every((p) => p.isWellFormed())) return rootOf(paths.map((p, i) => [p, digests[i]]));
  const hash = require('node:crypto').createHash('sha256');
  let text = '';
  for (let i = 0; i < paths.length; i++) {
    text += `${i === 0 ? '' : '\n'}${paths[i]}:${digests[i]}`;
    if (text.length >= 65536) {
      hash.update(text);
      text = '';
    }
  }
  return hash.update(text).digest('hex');
}

module.exports = { HashPipeline, hashPaths, identitiesOf, rootOf, rootOfListing, rootOfSorted, manifestRoot, sortByBytes, compareBytes };
