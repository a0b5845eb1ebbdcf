'use strict';
// A manifest as text: one line per file in the form `sha256sum` prints and
// `sha256sum -c` checks, then the root on a line of its own.

const ROOT_PREFIX = '# root: ';

// sha256sum marks a line whose file name holds a backslash, line feed or
// carriage return with a leading backslash and escapes those characters. A
// NUL, which no file name holds but a manifest line may, is escaped the same
// way, so that no output line carries the byte itself.
function needsEscape(path) {
  return /[\\\n\r\0]/.test(path);
}

const ESCAPES = { '\\': '\\\\', '\n': '\\n', '\r': '\\r', '\0': '\\0' };

function escapePath(path) {
  return path.replace(/[\\\n\r\0]/g, (c) => ESCAPES[c]);
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

module.exports = { ROOT_PREFIX, escapePath, pathLine, manifestText };
