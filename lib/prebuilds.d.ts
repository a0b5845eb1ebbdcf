// Types of `tov-engine-native/prebuilds`: which native binary this
// installation loads, for programs that want to know before loading it.

/** One platform the package is built for. */
export interface Target {
  /** `${platform}-${arch}`, the folder under prebuilds/: 'linux-x64'. */
  readonly id: string;
  readonly platform: NodeJS_Platform;
  readonly arch: string;
  /** The C library the binary needs; null where a platform has one. */
  readonly libc: 'glibc' | 'musl' | null;
  /** The oldest glibc the binary runs on, or null. */
  readonly glibc: string | null;
}

/** process.platform's values, without depending on @types/node. */
export type NodeJS_Platform = 'aix' | 'android' | 'darwin' | 'freebsd' | 'haiku' | 'linux' | 'openbsd' | 'sunos' | 'win32' | 'cygwin' | 'netbsd';

/** Where a binary was found: a source build or the platform's prebuilt one. */
export type ResolvedBinary =
  | { readonly file: string; readonly kind: 'source' }
  | { readonly file: string; readonly kind: 'prebuilt'; readonly target: Target };

/** The oldest glibc the Linux binaries run on: '2.28'. */
export declare const GLIBC_FLOOR: string;
/** Every target the package is built for. */
export declare const TARGETS: readonly Target[];
/** The binary's file name: 'tov_engine_native.node'. */
export declare const BINARY_NAME: string;

/** The path of a target's prebuilt binary below the package root. */
export declare function prebuiltPath(id: string, root?: string): string;
/** The path of a source build below the package root. */
export declare function sourceBuildPath(root?: string): string;
/** The host's C library on Linux ('glibc' or 'musl'), null elsewhere. */
export declare function hostLibc(): 'glibc' | 'musl' | null;
/** The target matching this host, or null when none does. */
export declare function targetForHost(): Target | null;
/** The targets whose binary this copy of the package carries. */
export declare function shipped(root?: string): Target[];
/** The binary this installation loads, or null when there is none. */
export declare function resolveBinary(root?: string): ResolvedBinary | null;
/**
 * Loads the binary with `requireFn`; throws an Error with code
 * 'MODULE_NOT_FOUND' when there is none and 'ERR_DLOPEN_FAILED' when the
 * system refuses it.
 */
export declare function loadAddon(requireFn: (file: string) => unknown, root?: string): unknown;
/** Whether the environment asks for a source build on install. */
export declare function buildFromSourceRequested(env?: Record<string, string | undefined>): boolean;
