// Type declarations for tov-engine-native.
//
// `require('tov-engine-native')` returns the native exports object itself;
// these declarations describe its nine functions. `index.d.mts` re-exports
// them for ES module consumers, with the same object as the default export.

/**
 * A SHA-256 digest as exactly 64 lowercase hexadecimal characters
 * (`0-9a-f`), two per digest byte, high nibble first. No prefix, no line end.
 *
 * @example 'e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855'
 */
export type HexDigest = string;

/**
 * One manifest entry: a file path (the key) and its hex digest (the value).
 *
 * Items after the second are allowed and ignored by `merkleRoot` and
 * `merkleDiff`. Keys and values are compared byte for byte as UTF-8, with no
 * trimming, case folding or path normalisation.
 */
export type ManifestEntry = readonly [path: string, digest: HexDigest, ...extra: string[]];

/**
 * A manifest: an array of entries, as returned by `batchFileHash` and taken
 * by `merkleRoot` and `merkleDiff`.
 */
export type Manifest = readonly ManifestEntry[];

/** The manifest that `batchFileHash` returns: exactly `[path, digest]` per kept file. */
export type BatchManifest = Array<[path: string, digest: HexDigest]>;

/**
 * The difference between an earlier and a later manifest, as returned by
 * `merkleDiff`. Each list holds paths (keys) only, each path at most once and
 * in at most one list. The order within a list is unspecified.
 */
export interface MerkleDiff {
  /** Paths present only in the later manifest. */
  added: string[];
  /** Paths present in both whose digests differ (exact, case-sensitive comparison). */
  modified: string[];
  /** Paths present only in the earlier manifest. */
  deleted: string[];
}

/**
 * The `code` of every error that the module throws or rejects with: the name
 * of the Node-API status that failed. Wrong argument types give
 * `'StringExpected'`, `'NumberExpected'` or `'InvalidArg'`; failures in
 * background work (a `fileHash` read error) give `'GenericFailure'`.
 */
export type ErrorCode =
  | 'InvalidArg'
  | 'ObjectExpected'
  | 'StringExpected'
  | 'NameExpected'
  | 'FunctionExpected'
  | 'NumberExpected'
  | 'BooleanExpected'
  | 'ArrayExpected'
  | 'GenericFailure'
  | 'PendingException'
  | 'Cancelled'
  | 'EscapeCalledTwice'
  | 'HandleScopeMismatch'
  | 'CallbackScopeMismatch'
  | 'QueueFull'
  | 'Closing'
  | 'BigintExpected'
  | 'DateExpected'
  | 'ArrayBufferExpected'
  | 'DetachableArraybufferExpected'
  | 'WouldDeadlock'
  | 'NoExternalBuffersAllowed'
  | 'Unknown';

/**
 * The shape of a thrown error or a rejection reason: a plain `Error` whose
 * `code` is a status name. Errors are not instances of a special class;
 * check `code` instead.
 *
 * @example
 * try { sha256String(42 as any); } catch (e) {
 *   if ((e as TovEngineError).code === 'StringExpected') { ... }
 * }
 */
export interface TovEngineError extends Error {
  code: ErrorCode;
}

/**
 * SHA-256 of the bytes of a Buffer (or any other TypedArray or DataView: the
 * bytes of the view only). Synchronous; the bytes are hashed in place.
 *
 * @throws {TovEngineError} `'InvalidArg'` when `data` is not a byte view.
 * @example sha256(Buffer.from('abc')) // 'ba7816bf...'
 */
export function sha256(data: ArrayBufferView): HexDigest;

/**
 * SHA-256 of the contents of one file. The file is streamed through the
 * digest in fixed-size chunks off the JavaScript thread, so memory stays
 * bounded whatever its size. Relative paths resolve against the current
 * directory when the file is opened.
 *
 * @returns A promise of the hex digest. It rejects with an error whose code
 *   is `'GenericFailure'` and whose message starts with `"Read error: "` when
 *   the file cannot be read (missing, a directory, no permission).
 * @throws {TovEngineError} synchronously, with `'StringExpected'`, when
 *   `path` is not a string; no promise is returned then.
 */
export function fileHash(path: string): Promise<HexDigest>;

/**
 * Compares an earlier manifest with a later one. Entries with fewer than two
 * items are ignored; when a path occurs several times, its last entry counts.
 *
 * @throws {TovEngineError} when an argument is not an array of arrays of strings.
 * @example
 * merkleDiff([['a', '1'], ['b', '2']], [['a', '1'], ['b', '9'], ['c', '3']])
 * // { added: ['c'], modified: ['b'], deleted: [] }
 */
export function merkleDiff(earlier: Manifest, later: Manifest): MerkleDiff;

/**
 * One digest for a whole manifest: the SHA-256 of its lines `path:digest`,
 * sorted by path (bytewise, stable), joined by line feeds, no final line
 * feed. Independent of entry order except among equal paths. An empty
 * manifest gives the digest of zero bytes.
 *
 * @throws {TovEngineError} when the argument is not an array of arrays of strings.
 */
export function merkleRoot(manifest: Manifest): HexDigest;

/**
 * The token estimate of a text: each run of ASCII letters, digits and `_`
 * counts 1, each other byte of its UTF-8 form counts 1, except space, tab,
 * line feed and carriage return, which count 0. An integer from 0 to 2^32-1.
 *
 * @throws {TovEngineError} `'StringExpected'` when `text` is not a string.
 * @example countTokens('hello, world!') // 4
 */
export function countTokens(text: string): number;

/**
 * SHA-256 of the UTF-8 encoding of a string. Equal to `sha256` of
 * `Buffer.from(text, 'utf8')`.
 *
 * @throws {TovEngineError} `'StringExpected'` when `text` is not a string.
 */
export function sha256String(text: string): HexDigest;

/**
 * The module's name and version, `"tov-engine-native/1.0.0"` for this
 * release. Takes no arguments and never throws.
 */
export function nativeVersion(): string;

/**
 * SHA-256 of many files at once, in parallel. Paths that do not name a
 * readable regular file (symbolic links are followed) are left out silently;
 * the others keep their input order and the path text exactly as passed.
 * Blocks the JavaScript thread until every file is done.
 *
 * @throws {TovEngineError} when `paths` is not an array of strings.
 * @example batchFileHash(['package.json', 'missing']) // [['package.json', '...']]
 */
export function batchFileHash(paths: readonly string[]): BatchManifest;

/**
 * The longest prefix of `text` whose token estimate (see `countTokens`) does
 * not exceed `budget`. Word runs are kept whole or not at all; nothing is
 * appended. A budget of 0 gives `''`; a text within budget comes back whole.
 *
 * @param budget An unsigned 32-bit integer; other numbers are converted the
 *   way Node-API converts to uint32.
 * @throws {TovEngineError} `'StringExpected'` when `text` is not a string,
 *   `'NumberExpected'` when `budget` is not a number.
 * @example truncateToTokens('hello world', 1) // 'hello '
 */
export function truncateToTokens(text: string, budget: number): string;
