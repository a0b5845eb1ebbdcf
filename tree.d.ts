// Type declarations for tov-engine-native/tree: hashing and checking whole
// directory trees in a worker thread.

import type { HexDigest } from './index.js';

/**
 * A `[path, digest]` entry of a tree manifest. Paths use `/` and are relative
 * to the tree's root. A file name that is not valid UTF-8 holds each byte
 * outside a valid sequence as a lone surrogate U+DC80..U+DCFF (U+DC00 plus
 * the byte); `pathBytes` gives the name's bytes back.
 */
export type TreeEntry = [path: string, digest: HexDigest];

/** Something left out of a tree manifest. */
export interface SkippedPath {
  /** The path, relative to the root like the manifest's paths. */
  path: string;
  /**
   * Why: the system's text for a read failure ("Permission denied (os error
   * 13)"), or a note such as "symbolic link to a directory, not followed".
   */
  reason: string;
  /**
   * `true` when the path could not be read (the manifest is incomplete);
   * `false` when it is left out by design (FIFOs, sockets, devices, broken
   * links, link loops, links to directories without `follow`).
   */
  failed: boolean;
}

/**
 * Progress reported while a tree is walked and hashed. Files are hashed
 * while the walk goes on, so `hashed` and `bytes` grow in both phases.
 */
export interface TreeProgress {
  /** `scanning` while files are still being found, then `hashing`. */
  phase: 'scanning' | 'hashing';
  /** Files found so far (`scanning`), or files to hash in all (`hashing`). */
  files: number;
  /** Files hashed so far. */
  hashed: number;
  /** Bytes hashed so far. */
  bytes: number;
  /** Bytes to hash in all, once known (the last event carries it). */
  totalBytes?: number;
}

/** A file's identity as `fs.stat` gives it: device and inode numbers. */
export interface FileIdentity {
  dev: number | bigint;
  ino: number | bigint;
}

/**
 * The parts of an `AbortSignal` that are used; declared here so that the
 * types need no DOM or Node.js declarations. Any `AbortSignal` fits.
 */
export interface AbortSignalLike {
  readonly aborted: boolean;
  readonly reason?: unknown;
  addEventListener(type: 'abort', listener: () => void, options?: { once?: boolean }): void;
  removeEventListener(type: 'abort', listener: () => void): void;
}

export interface HashTreeOptions {
  /**
   * Paths to leave out, as .gitignore patterns relative to the root
   * (`'*.log'`, `'build/'`, `'/dist'`).
   */
  exclude?: string | readonly string[];
  /** Leave out what git ignores: .gitignore files and .git/info/exclude. Default `false`. */
  gitignore?: boolean;
  /** Enter links to directories (loops are skipped). Default `false`. */
  follow?: boolean;
  /** Also walk `.git` and `node_modules` directories. Default `false`. */
  all?: boolean;
  /**
   * Files to leave out by identity (device and inode) wherever the walk
   * meets them, under any name or through any link: a manifest being
   * written, say. Paths, or identities for a file without one (a
   * redirected standard output).
   */
  excludeFiles?: readonly (string | FileIdentity)[];
  /** Cancels the work; the promise then rejects with the signal's reason. */
  signal?: AbortSignalLike;
  /**
   * Called on the caller's thread as the work goes on. If it throws, the
   * work stops and the promise rejects with what it threw.
   */
  onProgress?: (progress: TreeProgress) => void;
}

export interface TreeManifest {
  /** One entry per file, in byte order of paths. */
  manifest: TreeEntry[];
  /** The merkle root of `manifest` (`merkleRoot(manifest)` when every path is UTF-8). */
  root: HexDigest;
  /** What was left out, failures and notes alike. */
  skipped: SkippedPath[];
}

/** The outcome of checking one manifest entry. */
export interface CheckResult {
  path: string;
  /** `ok`: same digest; `failed`: another digest; `unreadable`: see `reason`. */
  status: 'ok' | 'failed' | 'unreadable';
  /** The system's text, for an unreadable file. */
  reason?: string;
}

export interface CheckTreeOptions {
  signal?: AbortSignalLike;
  /** As for `hashTree`: a throw stops the work and rejects the promise. */
  onProgress?: (progress: TreeProgress) => void;
}

/**
 * Hashes every regular file under `root` (or `root` itself, when it is a
 * file) in a worker thread. Rejects when `root` cannot be read, and with the
 * signal's reason when aborted.
 */
export function hashTree(root: string, options?: HashTreeOptions): Promise<TreeManifest>;

/**
 * Hashes the files that `manifest` lists, relative to `root` (default the
 * current directory; absolute paths as they are), and compares digests
 * (letter case aside). `ok` is true when every entry matches. Paths are
 * opened as written, as `sha256sum -c` opens them: `link/../x` is resolved
 * by the system, not shortened to `x`. Only regular files are read;
 * anything else is `unreadable` with the reason "not a regular file".
 */
export function checkTree(
  manifest: ReadonlyArray<readonly [path: string, digest: string, ...extra: string[]]>,
  root?: string,
  options?: CheckTreeOptions,
): Promise<{ ok: boolean; results: CheckResult[] }>;

/** The bytes of a manifest path: its UTF-8, with escaped name bytes restored. */
export function pathBytes(path: string): Uint8Array;
