'use strict';

const SKIPS = `Left out by design, with a note unless -q: FIFOs, sockets and devices,
broken links and link loops, and links to directories (without --follow;
one note with their count, --verbose names each); left out silently:
excluded paths (--exclude, --gitignore, .git, node_modules).
Left out as failures, always reported with the system's reason and making
the exit status 1: files and directories that cannot be read, and files that
vanish during the run.`;

const HELP = {
  main: `Usage: tov-engine <command> [options]

Commands:
  manifest [PATH...]   hash files; print a manifest that sha256sum -c checks
  check MANIFEST...    verify files against manifests, like sha256sum -c
  diff OLD NEW         compare two manifests or directories
  tokens [FILE...]     print token estimates, or cut text to a token budget

Options:
  -h, --help           show help ('tov-engine <command> --help' for a command)
  -V, --version        print the versions of the command and the native module

Exit status: 0 on success (diff: no differences), 1 when a file could not be
read, a check failed or diff finds differences, 2 on any other error.
`,
  manifest: `Usage: tov-engine manifest [options] [PATH...]

Hashes every regular file under each PATH (default: the current directory)
and prints one "DIGEST  PATH" line per file, then one "# root: DIGEST" line
with the manifest's Merkle root. 'sha256sum -c' checks the output as it is:
it skips lines that start with '#'.

Directories are walked in byte order of names; .git and node_modules are
skipped unless --all is given. A link to a file is hashed as that file; a
link to a directory is not entered unless --follow is given. Paths are
printed as sha256sum prints the same paths: each PATH joined with the path
below it (an absolute PATH gives absolute paths), relative to the current
directory without a PATH or with '.'. A path holding a
backslash, line feed or carriage return is escaped and its line starts with a
backslash; a name that is not UTF-8 is printed as its bytes, as sha256sum
does. The file named by --output, or the file standard output is
redirected to, is never listed. --output writes a temporary file beside FILE
and renames it into place when complete: a failed or interrupted run leaves
an older FILE as it was.

${SKIPS}

Exit status: 0 when every file was hashed, 1 when some could not be read (the
manifest is then incomplete), 2 on any other error.

Options:
  --json               print {"root": DIGEST, "manifest": [[PATH, DIGEST], ...]}
  -o, --output FILE    write the manifest to FILE instead of standard output
  --relative           print paths relative to each directory PATH
  --all                also walk .git and node_modules directories
  --follow             enter links to directories (loops are skipped)
  --exclude GLOB       leave out paths matching GLOB, a .gitignore pattern
                       relative to each PATH ('*.log', 'build/', '/dist');
                       may be repeated
  --gitignore          leave out what git ignores: .gitignore files and
                       .git/info/exclude, with git's rules
  --files-from FILE    also hash the paths listed in FILE (- for standard
                       input), one per line, e.g. from 'git ls-files'
  -0, --null           the --files-from list is NUL-separated
                       ('git ls-files -z | tov-engine manifest --files-from - -0')
  --check              verify the manifests named as PATHs instead (see check)
  -q, --quiet          no progress line and no notes; failures are still shown
  -v, --verbose        name each link to a directory that is not followed
  -h, --help           show this help
`,
  check: `Usage: tov-engine check [options] MANIFEST...

Reads each MANIFEST (the text of 'tov-engine manifest' or 'sha256sum', or
JSON; - for standard input), hashes the files it lists, with paths relative
to the current directory (to DIR with -C DIR), and prints "PATH: OK",
"PATH: FAILED" or "PATH: FAILED open or read" for each, as 'sha256sum -c'
does. Each
"# root:" line is verified too, against the entries above it since the
previous root line: "# root: OK" or "# root: FAILED" (the manifest was
edited or cut short).

Exit status: 0 when everything matches, 1 on any mismatch or unreadable
file, 2 on any other error (a malformed manifest, for example).

Options:
  -C, --directory DIR   read the listed paths relative to DIR (for a
                        manifest made inside DIR), as tar -C and git -C do
  --quiet               do not print OK lines
  --status              print nothing; the exit status tells
  -h, --help            show this help
`,
  diff: `Usage: tov-engine diff [options] OLD NEW

Compares two manifests and prints each path that differs, sorted, as
  A  PATH    added: only in NEW
  M  PATH    modified: the digests differ
  D  PATH    deleted: only in OLD
added first, then modified, then deleted. OLD and NEW are each a manifest
file (the text of 'tov-engine manifest' or 'sha256sum', or JSON: the --json
shape or a plain [[PATH, DIGEST], ...] array), a directory (hashed now), or
- for standard input. Against a manifest, a directory's paths are named as
'manifest DIR' names them (DIR/a), or relative to it when no path of the
manifest starts with DIR/ (a manifest made inside DIR); two directories are
compared relative to each, so two copies of a tree compare equal. A leading './' is not part of a path. A manifest operand
that lies inside the other, directory operand is not part of that tree.

A file that cannot be read in a directory operand is not a difference: it
is reported on standard error and left out of the comparison, and the exit
status is 2.

Exit status: 0 when equal, 1 when they differ, 2 on error.

Options:
  --json           print {"added": [...], "modified": [...], "deleted": [...]}
  --all            in directory operands, also walk .git and node_modules
  --follow         in directory operands, enter links to directories
  --exclude GLOB   in directory operands, leave out paths matching GLOB
  --gitignore      in directory operands, leave out what git ignores
  -q, --quiet      no progress line and no notes or warnings
  -v, --verbose    name each link to a directory that is not followed
  -h, --help       show this help
`,
  tokens: `Usage: tov-engine tokens [options] [FILE...]

Prints the token estimate of each FILE as "COUNT  FILE", and "COUNT  total"
after two or more files. With no FILE, or with -, reads standard input (and
prints the count alone when no FILE was named). Each run of ASCII letters,
digits and underscores counts one token; every other byte of the UTF-8 text
counts one, except spaces, tabs, line feeds and carriage returns. Files are
read as UTF-8, in pieces, so any size works in little memory.

Options:
  --budget N   print the text cut to at most N tokens instead (one FILE at
               most); reading stops at the cut
  --json       print {"files": [{"path": FILE, "tokens": COUNT}, ...], "total": COUNT}
  -q, --quiet  accepted for symmetry; tokens draws no progress line
  -h, --help   show this help
`,
};

module.exports = { HELP };
