'use strict';
// The incremental SHA-256 hasher. Its whole state is JavaScript memory: the
// eight working words (a Uint32Array), the bytes taken so far (a number) and
// a stage holding the bytes not yet compressed. Native calls are given that
// memory and keep nothing, so a hasher is released by the garbage collector
// like any object, with no finalizer.
//
// A native call costs about as much as hashing a few blocks, so small
// pieces are gathered on the stage and cross into native code together. The
// stage starts as one block; a hasher that fills it grows it once, so that
// many small updates share each crossing, while short-lived hashers of short
// messages stay small.
const native = require('../native/extensions.js').load();
const { typeError, describe, notBytes, finished } = require('./errors.js');

const BLOCK = 64;
const GROWN_STAGE = 8192;
// Strings too long for the stage are encoded in pieces of this many units.
const STRING_PIECE = 65536;
const INITIAL_WORDS = [
  0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
];

const encoder = new TextEncoder();
let scratch = null;

let BufferClass = null;
function toBuffer(hex) {
  BufferClass ??= require('node:buffer').Buffer;
  return BufferClass.from(hex, 'hex');
}

// The bytes of any ArrayBufferView, or null for anything else.
function viewBytes(data) {
  if (data instanceof Uint8Array) return data;
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  return null;
}

class Sha256 {
  #words;
  #stage;
  #used;
  #count;
  #done = false;

  constructor(words, stage, used, count) {
    if (words === undefined) {
      const memory = new ArrayBuffer(32 + BLOCK);
      words = new Uint32Array(memory, 0, 8);
      words.set(INITIAL_WORDS);
      stage = new Uint8Array(memory, 32, BLOCK);
      used = 0;
      count = 0;
    }
    this.#words = words;
    this.#stage = stage;
    this.#used = used;
    this.#count = count;
  }

  /** Adds `data` (bytes of a view, or a string as UTF-8); returns this hasher. */
  update(data) {
    if (this.#done) throw finished('update');
    if (typeof data === 'string') {
      this.#updateString(data);
      return this;
    }
    const bytes = viewBytes(data);
    if (bytes === null) throw notBytes('data', data);
    this.#absorb(bytes, bytes.length);
    return this;
  }

  /** The digest: a hex string, or a Buffer with 'buffer'. Ends the hasher. */
  digest(encoding) {
    if (this.#done) throw finished('digest');
    if (encoding !== undefined && encoding !== 'hex' && encoding !== 'buffer') {
      throw typeError(`tov-engine-native/sha256: digest() takes 'hex' or 'buffer'; got ${describe(encoding)} ${String(encoding)}`);
    }
    this.#done = true;
    const hex = native.sha256Finish(this.#words, this.#stage, 0, this.#used, this.#count + this.#used);
    this.#stage = null;
    return encoding === 'buffer' ? toBuffer(hex) : hex;
  }

  /** An independent hasher in the same state. */
  copy() {
    if (this.#done) throw finished('copy');
    const stage = new Uint8Array(this.#stage.length);
    stage.set(this.#stage.subarray(0, this.#used));
    return new Sha256(this.#words.slice(), stage, this.#used, this.#count);
  }

  /** The state in the saved layout (see the README), as a Uint8Array. */
  save() {
    if (this.#done) throw finished('save');
    this.#compressStage(true);
    return native.sha256Save(this.#words, this.#stage, this.#used, this.#count + this.#used);
  }

  /** Bytes taken so far. */
  get bytesHashed() {
    return this.#count + this.#used;
  }

  static restore(saved) {
    const bytes = saved instanceof ArrayBuffer ? new Uint8Array(saved) : viewBytes(saved);
    if (bytes === null) {
      throw typeError(`tov-engine-native/sha256: restoreSha256() takes the bytes save() gave; got ${describe(saved)}`);
    }
    const hasher = new Sha256();
    const total = native.sha256Restore(bytes, hasher.#words, hasher.#stage);
    hasher.#used = total % BLOCK;
    hasher.#count = total - hasher.#used;
    return hasher;
  }

  // Compresses the whole blocks on the stage. With `keepTail` the bytes
  // after them move to its start; otherwise the stage must hold whole blocks.
  #compressStage(keepTail) {
    const used = this.#used;
    const whole = used - (used % BLOCK);
    if (whole === 0) return;
    native.sha256Blocks(this.#words, this.#stage, 0, whole / BLOCK);
    this.#count += whole;
    if (keepTail) this.#stage.copyWithin(0, whole, used);
    this.#used = used - whole;
  }

  #absorb(bytes, n) {
    let stage = this.#stage;
    let used = this.#used;
    if (n <= stage.length - used) {
      stage.set(n === bytes.length ? bytes : bytes.subarray(0, n), used);
      this.#used = used + n;
      return;
    }
    // The data does not fit: complete the stage's last block from it, hash
    // the stage, and hash the data's whole blocks where they are.
    let offset = 0;
    if (used > 0) {
      offset = (BLOCK - (used % BLOCK)) % BLOCK;
      if (offset > 0) stage.set(bytes.subarray(0, offset), used);
      this.#used = used + offset;
      this.#compressStage(false);
      if (stage.length === BLOCK) {
        stage = new Uint8Array(GROWN_STAGE);
        this.#stage = stage;
      }
    }
    const rest = n - offset;
    if (rest <= stage.length) {
      stage.set(bytes.subarray(offset, n), 0);
      this.#used = rest;
      return;
    }
    const whole = rest - (rest % BLOCK);
    native.sha256Blocks(this.#words, bytes, offset, whole / BLOCK);
    this.#count += whole;
    if (whole < rest) stage.set(bytes.subarray(offset + whole, n), 0);
    this.#used = rest - whole;
  }

  #updateString(text) {
    const length = text.length;
    const stage = this.#stage;
    const used = this.#used;
    // UTF-8 takes at most three bytes per UTF-16 unit.
    if (length * 3 <= stage.length - used) {
      if (length <= 32) {
        let i = 0;
        for (; i < length; i++) {
          const unit = text.charCodeAt(i);
          if (unit > 0x7f) break;
          stage[used + i] = unit;
        }
        if (i === length) {
          this.#used = used + length;
          return;
        }
      }
      this.#used = used + encoder.encodeInto(text, stage.subarray(used)).written;
      return;
    }
    scratch ??= new Uint8Array(3 * STRING_PIECE);
    for (let start = 0; start < length; ) {
      let end = Math.min(start + STRING_PIECE, length);
      // A surrogate pair stays in one piece; a lone half is replaced the
      // same way wherever the cut falls.
      if (end < length) {
        const unit = text.charCodeAt(end - 1);
        if (unit >= 0xd800 && unit <= 0xdbff) end -= 1;
      }
      const { written } = encoder.encodeInto(text.substring(start, end), scratch);
      this.#absorb(scratch, written);
      start = end;
    }
  }
}

/** A new SHA-256 hasher. */
function createSha256() {
  return new Sha256();
}

/** A hasher in the state that `saved` (from save()) holds. */
function restoreSha256(saved) {
  return Sha256.restore(saved);
}

module.exports = { createSha256, restoreSha256, viewBytes, encoder };
