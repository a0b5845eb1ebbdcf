'use strict';
// Manifest text and JSON: writing them in the form `sha256sum -c` checks, and
// reading them back (sha256sum's own output included) for `diff`.

const { CliError } = require('./errors');
const { compareBytes } = require('../tree/hash');
const { decodeName } = require('../tree/names');

const HEX64 = /^[0-9a-fA-F]{64}$/;
const ROOT_PREFIX = '# root: ';

// sha256sum marks a line whose file name holds a backslash, line feed or
// carriage return with a leading backslash and escapes those characters.
function needsEscape(path) {
  return /[\\\n\r]/.test(path);
}

function escapePath(path) {
  return path.replace(/[\\\n\r]/g, (c) => (c === '\\' ? '\\\\' : c === '\n' ? '\\n' : '\\r'));
}

function unescapePath(text) {
  let out = '';
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (c !== '\\') {
      out += c;
      continue;
    }
    const next = text[++i];
    if (next === '\\') out += '\\';
    else if (next === 'n') out += '\n';
    else if (next === 'r') out += '\r';
    else return null;
  }
  return out;
}

// One line for a path, with the leading-backslash convention when needed.
function pathLine(prefix, path) {
  return needsEscape(path) ? `\\${prefix}${escapePath(path)}` : `${prefix}${path}`;
}

function manifestText(entries, root) {
  const lines = entries.map(([path, digest]) => pathLine(`${digest}  `, path));
  lines.push(`${ROOT_PREFIX}${root}`);
  return `${lines.join('\n')}\n`;
}

// One entry per line keeps large manifests readable and diffable.
function manifestJson(entries, root) {
  if (entries.length === 0) return `{\n  "root": ${JSON.stringify(root)},\n  "manifest": []\n}\n`;
  const body = entries.map((e) => `    ${JSON.stringify([e[0], e[1]])}`).join(',\n');
  return `{\n  "root": ${JSON.stringify(root)},\n  "manifest": [\n${body}\n  ]\n}\n`;
}

function malformed(source, detail) {
  return new CliError(`${source}: malformed manifest: ${detail}`);
}

const TEXT_LINE = /^([0-9a-fA-F]{64}) [ *](.*)$/s;
const TAGGED_LINE = /^SHA256 \((.*)\) = ([0-9a-fA-F]{64})$/s;

// Each "# root:" line covers the entries since the one before it: a file that
// several runs appended to holds one root per run.
function parseText(text, source) {
  const entries = [];
  const roots = [];
  const lines = text.split('\n');
  if (lines[lines.length - 1] === '') lines.pop();
  lines.forEach((raw, index) => {
    // Like sha256sum, tolerate manifests that went through a DOS editor.
    const line = raw.endsWith('\r') ? raw.slice(0, -1) : raw;
    if (line === '') return;
    if (line.startsWith('#')) {
      if (line.startsWith(ROOT_PREFIX)) {
        roots.push({ line: index + 1, root: line.slice(ROOT_PREFIX.length).trim(), end: entries.length });
      }
      return;
    }
    const escaped = line.startsWith('\\');
    const body = escaped ? line.slice(1) : line;
    let digest;
    let path;
    let match = TEXT_LINE.exec(body);
    if (match) {
      [, digest, path] = match;
    } else if ((match = TAGGED_LINE.exec(body))) {
      [, path, digest] = match;
    } else {
      throw malformed(source, `line ${index + 1} is not a "DIGEST  PATH" line`);
    }
    if (escaped) {
      path = unescapePath(path);
      if (path === null) throw malformed(source, `line ${index + 1} has a bad escape sequence`);
    }
    if (path === '') throw malformed(source, `line ${index + 1} has an empty path`);
    entries.push([path, digest.toLowerCase()]);
  });
  return { entries, roots };
}

function parseJson(text, source) {
  let value;
  try {
    value = JSON.parse(text);
  } catch (err) {
    throw malformed(source, `invalid JSON (${err.message})`);
  }
  let list = value;
  let root = null;
  if (value !== null && typeof value === 'object' && !Array.isArray(value)) {
    list = value.manifest;
    if (value.root !== undefined) {
      if (typeof value.root !== 'string') throw malformed(source, '"root" is not a string');
      root = value.root;
    }
  }
  if (!Array.isArray(list)) {
    throw malformed(source, 'expected an array of [path, digest] or an object with "manifest"');
  }
  const entries = list.map((entry, index) => {
    if (!Array.isArray(entry) || entry.length < 2 || typeof entry[0] !== 'string') {
      throw malformed(source, `entry ${index} is not a [path, digest] array`);
    }
    if (typeof entry[1] !== 'string' || !HEX64.test(entry[1])) {
      throw malformed(source, `entry ${index} has no 64-digit hex digest`);
    }
    return [entry[0], entry[1].toLowerCase()];
  });
  return { entries, roots: root === null ? [] : [{ line: null, root, end: entries.length }] };
}

// Reads either format; JSON is recognised by its first non-blank character,
// which can never start a checksum line. Names that are not UTF-8 are read
// as the walk reads them from the file system.
function parseManifest(buffer, source) {
  const bom = buffer[0] === 0xef && buffer[1] === 0xbb && buffer[2] === 0xbf;
  const text = decodeName(bom ? buffer.subarray(3) : buffer);
  const first = text.trimStart()[0];
  return first === '{' || first === '[' ? parseJson(text, source) : parseText(text, source);
}

module.exports = {
  compareBytes,
  escapePath,
  unescapePath,
  pathLine,
  manifestText,
  manifestJson,
  parseManifest,
  ROOT_PREFIX,
};
