'use strict';
// Token counts and cuts of files of any size, read in chunks: each chunk ends
// at a blank byte where it can, so no word run spans two chunks, and never
// inside a UTF-8 sequence, so each chunk decodes as it would inside the whole
// text. The counts and cuts are those of the whole text.

const fs = require('node:fs');
const { countTokens, truncateToTokens } = require('../../index.js');

const CHUNK = 1 << 20;

const isBlank = (b) => b === 0x20 || b === 0x0a || b === 0x09 || b === 0x0d;
const isWord = (b) => ((b & 0xdf) >= 0x41 && (b & 0xdf) <= 0x5a) || (b >= 0x30 && b <= 0x39) || b === 0x5f;

// Where to end a chunk of `buf` when more bytes follow: after its last blank,
// else before a byte that starts a character among its last four (a word run
// cut there is mended by the caller), else at its end: past four
// continuation bytes no character is still open, and each further one is
// invalid on its own. A short run of them waits for more bytes (0).
function cutPoint(buf) {
  for (let i = buf.length - 1; i >= 0; i--) if (isBlank(buf[i])) return i + 1;
  for (let i = buf.length - 1; i > 0 && i >= buf.length - 4; i--) if ((buf[i] & 0xc0) !== 0x80) return i;
  return buf.length > 4 ? buf.length : 0;
}

/**
 * Yields the chunks of a byte source, read(buffer) => bytes read, `size` at
 * a time. Each chunk is a view of one reused buffer, valid until the next.
 */
function* chunksOf(read, size = CHUNK) {
  // A cut leaves less than one read behind (see cutPoint), so twice the
  // size always has room for what is carried and a fresh read.
  const buf = Buffer.allocUnsafe(2 * size + 4);
  let carried = 0;
  for (;;) {
    const n = read(buf.subarray(carried, carried + size));
    if (n === 0) break;
    const filled = carried + n;
    const cut = cutPoint(buf.subarray(0, filled));
    if (cut > 0) yield buf.subarray(0, cut);
    buf.copyWithin(0, cut, filled);
    carried = filled - cut;
  }
  if (carried > 0) yield buf.subarray(0, carried);
}

// Reads from a file descriptor; standard input may be a pipe that is not
// ready yet, which is waited for rather than treated as its end.
function reader(fd) {
  return (buf) => {
    for (;;) {
      try {
        return fs.readSync(fd, buf, 0, buf.length, null);
      } catch (err) {
        if (err.code === 'EAGAIN') {
          Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 5);
          continue;
        }
        if (err.code === 'EOF') return 0;
        throw err;
      }
    }
  };
}

/** The token estimate of everything `read` yields. */
function countStream(read, size) {
  let total = 0;
  let lastWord = false;
  for (const chunk of chunksOf(read, size)) {
    total += countTokens(chunk.toString('utf8'));
    // A run cut between two chunks was counted once in each.
    if (lastWord && isWord(chunk[0])) total -= 1;
    lastWord = isWord(chunk[chunk.length - 1]);
  }
  return total;
}

/**
 * Writes the text cut to `budget` tokens through write(string or bytes),
 * which may return a promise to hold the reading back; reads no further than
 * the cut.
 */
async function truncateStream(read, budget, write, size) {
  if (budget === 0) return;
  let used = 0;
  let lastWord = false;
  for (const chunk of chunksOf(read, size)) {
    const text = chunk.toString('utf8');
    // A chunk that goes on with a counted run owes nothing for that run:
    // cutting it with one more token in hand is the same cut.
    const credit = lastWord && isWord(chunk[0]) ? 1 : 0;
    const tokens = countTokens(text) - credit;
    if (used + tokens <= budget) {
      // Valid UTF-8 goes out as read (copied: the buffer is reused), which
      // spares encoding the text again.
      await write(text.includes('\uFFFD') ? text : Buffer.from(chunk));
      used += tokens;
      lastWord = isWord(chunk[chunk.length - 1]);
      continue;
    }
    const left = budget - used + credit;
    if (left > 0) {
      await write(truncateToTokens(text, left));
    } else {
      // The budget is spent: only the blanks before the next token stay.
      let i = 0;
      while (i < chunk.length && isBlank(chunk[i])) i++;
      await write(chunk.toString('latin1', 0, i));
    }
    return;
  }
}

module.exports = { countStream, truncateStream, reader, chunksOf, cutPoint };
