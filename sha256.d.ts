// Type declarations for tov-engine-native/sha256: SHA-256 of data that
// arrives in pieces, and of streams.

import type { HexDigest } from './index.js';
import type { AbortSignalLike } from './tree.js';

/**
 * What a hasher takes: the bytes of any view (Buffer, TypedArray, DataView),
 * or a string, hashed as UTF-8 with each lone surrogate as U+FFFD (as
 * `sha256String` does).
 */
export type Sha256Input = string | ArrayBufferView;

export interface Sha256 {
  /** Adds `data`; returns this hasher. Throws a TypeError for anything else. */
  update(data: Sha256Input): this;
  /** The hex digest. Ends the hasher: any later call throws (code ERR_SHA256_FINISHED). */
  digest(encoding?: 'hex'): HexDigest;
  /** The digest's 32 bytes, as a Buffer. Ends the hasher. */
  digest(encoding: 'buffer'): Uint8Array;
  /** An independent hasher in the same state. */
  copy(): Sha256;
  /**
   * The state in the saved layout (version 1, 48 bytes plus the bytes of the
   * incomplete block; see the README), for restoreSha256.
   */
  save(): Uint8Array;
  /** Bytes taken so far. */
  readonly bytesHashed: number;
}

/** A new SHA-256 hasher. */
export function createSha256(): Sha256;

/**
 * A hasher in the state that `saved` (from save(), possibly in another
 * process) holds. Throws an Error with code InvalidArg for bytes that are not
 * a saved state.
 */
export function restoreSha256(saved: ArrayBufferView | ArrayBuffer): Sha256;

/** A web ReadableStream, as far as hashStream uses it. */
export interface ReadableStreamLike {
  getReader(): {
    read(): Promise<{ done: boolean; value?: unknown }>;
    cancel(reason?: unknown): Promise<void>;
    releaseLock(): void;
  };
}

export interface HashStreamOptions {
  /** Stops reading; the promise rejects with the signal's reason and the source is destroyed or cancelled. */
  signal?: AbortSignalLike;
}

/**
 * The hex digest of everything `source` yields: a Node readable stream, a
 * web ReadableStream, or an (async) iterable of chunks (strings, Buffers,
 * TypedArrays, DataViews). Rejects with a TypeError for any other chunk.
 */
export function hashStream(
  source: AsyncIterable<unknown> | Iterable<unknown> | ReadableStreamLike,
  options?: HashStreamOptions,
): Promise<HexDigest>;

/**
 * A Node `stream.Transform` that passes its chunks through unchanged while
 * hashing them (declared here by the members it adds).
 */
export interface Sha256Transform {
  /** Resolves to the hex digest once every chunk has gone through; rejects if the stream fails first. */
  digest(): Promise<HexDigest>;
  /** The hex digest after the end ('finish'/'end'), null before. */
  readonly hexDigest: HexDigest | null;
  pipe<T>(destination: T, options?: { end?: boolean }): T;
  write(chunk: unknown, callback?: (error?: Error | null) => void): boolean;
  end(callback?: () => void): this;
  on(event: string, listener: (...args: any[]) => void): this;
}

/** Options of the underlying Transform (highWaterMark and the like). */
export type Sha256TransformOptions = Record<string, unknown>;

export function createSha256Transform(options?: Sha256TransformOptions): Sha256Transform;

/**
 * A web `TransformStream` that passes its chunks through unchanged while
 * hashing them (declared here by what it adds).
 */
export interface Sha256TransformStream {
  readonly readable: unknown;
  readonly writable: unknown;
  /** Resolves to the hex digest once the stream has ended; rejects if it fails or is cancelled first. */
  digest(): Promise<HexDigest>;
}

export function createSha256TransformStream(): Sha256TransformStream;
