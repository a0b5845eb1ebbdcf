'use strict';
// Two edits to a linked 64-bit little-endian Mach-O file that Zig's linker
// cannot be asked for: an export table that holds the module's entry point
// alone (Zig 0.11 takes no exported-symbols list, and exports all of the
// libc++ it links statically), and a fresh ad-hoc code signature after that
// edit (Apple silicon kills code whose pages do not match their hashes).
const crypto = require('node:crypto');

const MH_MAGIC_64 = 0xfeedfacf;
const LC_SEGMENT_64 = 0x19;
const LC_SYMTAB = 0x2;
const LC_CODE_SIGNATURE = 0x1d;
const LC_DYLD_INFO_ONLY = 0x80000022;
const LC_DYLD_EXPORTS_TRIE = 0x80000033;
const CSMAGIC_EMBEDDED_SIGNATURE = 0xfade0cc0;
const CSMAGIC_CODEDIRECTORY = 0xfade0c02;
const CS_HASHTYPE_SHA256 = 2;

function loadCommands(buf) {
  if (buf.readUInt32LE(0) !== MH_MAGIC_64) throw new Error('not a 64-bit little-endian Mach-O file');
  const commands = [];
  let offset = 32;
  for (let i = 0, n = buf.readUInt32LE(16); i < n; ++i) {
    commands.push({ cmd: buf.readUInt32LE(offset), offset, size: buf.readUInt32LE(offset + 4) });
    offset += buf.readUInt32LE(offset + 4);
  }
  return commands;
}

function uleb(value) {
  const bytes = [];
  do {
    let byte = value & 0x7f;
    value = Math.floor(value / 128);
    if (value !== 0) byte |= 0x80;
    bytes.push(byte);
  } while (value !== 0);
  return bytes;
}

// The address of a defined symbol, from the symbol table, relative to the
// start of __TEXT (the image base that export entries count from).
function symbolOffset(buf, commands, name) {
  const text = commands.find((c) => c.cmd === LC_SEGMENT_64 && buf.toString('latin1', c.offset + 8, c.offset + 24).startsWith('__TEXT\0'));
  const symtab = commands.find((c) => c.cmd === LC_SYMTAB);
  if (!text || !symtab) throw new Error('no __TEXT segment or symbol table');
  const [symoff, nsyms, stroff] = [8, 12, 16].map((at) => buf.readUInt32LE(symtab.offset + at));
  for (let i = 0; i < nsyms; ++i) {
    const entry = symoff + 16 * i;
    const start = stroff + buf.readUInt32LE(entry);
    const end = buf.indexOf(0, start);
    if (buf.toString('latin1', start, end) === name && (buf[entry + 4] & 0x0e) === 0x0e) {
      return Number(buf.readBigUInt64LE(entry + 8) - buf.readBigUInt64LE(text.offset + 24));
    }
  }
  throw new Error(`${name} is not defined in the file`);
}

// Rewrites the export trie in place to hold `name` alone; the rest of its
// space is zeroed, so no offset in the file moves.
function keepOneExport(buf, name) {
  const commands = loadCommands(buf);
  const info = commands.find((c) => c.cmd === LC_DYLD_EXPORTS_TRIE) || commands.find((c) => c.cmd === LC_DYLD_INFO_ONLY);
  if (!info) throw new Error('no export trie');
  const at = info.cmd === LC_DYLD_EXPORTS_TRIE ? info.offset + 8 : info.offset + 40;
  const [trieOffset, trieSize] = [buf.readUInt32LE(at), buf.readUInt32LE(at + 4)];
  const terminal = [0, ...uleb(symbolOffset(buf, commands, name))]; // flags 0: a regular symbol
  const label = [...Buffer.from(`${name}\0`, 'latin1')];
  const rootSize = 2 + label.length + 1; // child offsets below 128 take one byte
  const trie = Buffer.from([0, 1, ...label, rootSize, ...uleb(terminal.length), ...terminal, 0]);
  if (trie.length > trieSize || rootSize > 127) throw new Error('the new export trie does not fit');
  buf.fill(0, trieOffset, trieOffset + trieSize);
  trie.copy(buf, trieOffset);
}

// The code directory of the embedded signature, or null.
function codeDirectory(buf) {
  const sig = loadCommands(buf).find((c) => c.cmd === LC_CODE_SIGNATURE);
  if (!sig) return null;
  const base = buf.readUInt32LE(sig.offset + 8);
  if (buf.readUInt32BE(base) !== CSMAGIC_EMBEDDED_SIGNATURE) throw new Error('the code signature is not an embedded signature');
  for (let i = 0, n = buf.readUInt32BE(base + 8); i < n; ++i) {
    const blob = base + buf.readUInt32BE(base + 16 + 8 * i);
    if (buf.readUInt32BE(blob) !== CSMAGIC_CODEDIRECTORY) continue;
    const hashOffset = buf.readUInt32BE(blob + 16);
    const slots = buf.readUInt32BE(blob + 28);
    const codeLimit = buf.readUInt32BE(blob + 32);
    const hashSize = buf[blob + 36];
    const hashType = buf[blob + 37];
    const pageSize = 2 ** buf[blob + 39];
    if (hashType !== CS_HASHTYPE_SHA256 || hashSize !== 32) throw new Error(`unexpected code hash type ${hashType}`);
    return { hashes: blob + hashOffset, slots, codeLimit, pageSize };
  }
  throw new Error('the code signature has no code directory');
}

function pageHash(buf, cd, i) {
  const end = Math.min((i + 1) * cd.pageSize, cd.codeLimit);
  return crypto.createHash('sha256').update(buf.subarray(i * cd.pageSize, end)).digest();
}

// Recomputes the page hashes of an ad-hoc signature. No key is involved: an
// ad-hoc signature is the code directory's hashes alone.
function resign(buf) {
  const cd = codeDirectory(buf);
  if (!cd) return false;
  for (let i = 0; i < cd.slots; ++i) pageHash(buf, cd, i).copy(buf, cd.hashes + 32 * i);
  return true;
}

// The pages whose hash does not match, or null without a signature.
function unsignedPages(buf) {
  const cd = codeDirectory(buf);
  if (!cd) return null;
  const bad = [];
  for (let i = 0; i < cd.slots; ++i) if (!pageHash(buf, cd, i).equals(buf.subarray(cd.hashes + 32 * i, cd.hashes + 32 * (i + 1)))) bad.push(i);
  return bad;
}

module.exports = { keepOneExport, resign, unsignedPages, codeDirectory };
