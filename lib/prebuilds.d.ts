// Types of `tov-engine-native/prebuilds`: which native binary this
// installation loads, for programs that want to know before loading it.

/** process.platform's values, without depending on @types/node. */
export type NodeJS_Platform = 'aix' | 'android' | 'darwin' | 'freebsd' | 'haiku' | 'linux' | 'openbsd' | 'sunos' | 'win32' | 'cygwin' | 'netbsd';

/** One platform the package is built for. */
export interface Target {
  /** `${platform}-${arch}` with `-gnu`/`-musl` on Linux: 'linux-x64-gnu'. */
  readonly id: string;
  readonly platform: NodeJS_Platform;
  readonly arch: string;
  /** The C library the binary needs; null where a platform has one. */
  readonly libc: 'glibc' | 'musl' | null;
  /** The oldest glibc the binary runs on, or null. */
  readonly glibc: string | null;
  /** The oldest macOS the binary runs on, or null. */
  readonly macos: string | null;
}

/** A place the loader looks for a binary, and whether it is taken. */
export interface Candidate {
  readonly file: string | null;
  /** The source build, the platform's binary package, or the package's prebuilds/ folder. */
  readonly kind: 'source' | 'package' | 'prebuilt';
  /** How messages name the place. */
  readonly label: string;
  readonly usable: boolean;
  /** Why it is not taken ('not there', 'made for darwin-arm64', ...), or null. */
  readonly reason: string | null;
  /** The target it is for; null for a source build. */
  readonly target: Target | null;
}

/** What a binary file was made for, read from its header. */
export interface BinaryKind {
  readonly format: 'elf' | 'mach-o' | 'pe';
  readonly platform: NodeJS_Platform;
  readonly arch: string;
}

/** The package's name: 'tov-engine-native'. */
export declare const PACKAGE_NAME: string;
/** The oldest glibc the Linux glibc binaries run on: '2.28'. */
export declare const GLIBC_FLOOR: string;
/** The oldest macOS the macOS binaries run on: '11.0'. */
export declare const MACOS_FLOOR: string;
/** The environment variable that overrides the C library: 'TOV_ENGINE_LIBC'. */
export declare const LIBC_VARIABLE: string;
/** Every target the package is built for. */
export declare const TARGETS: readonly Target[];
/** The binary's file name: 'tov_engine_native.node'. */
export declare const BINARY_NAME: string;

/** The name of a target's binary package. */
export declare function packageName(id: string): string;
/** The path of a target's prebuilt binary below the package root. */
export declare function prebuiltPath(id: string, root?: string): string;
/** The path of a source build below the package root. */
export declare function sourceBuildPath(root?: string): string;
/** The command that builds the binary from source. */
export declare function sourceBuildCommand(root?: string): string;
/** The running process's C library on Linux, and how it was found. */
export declare function detectLibc(
  env?: Record<string, string | undefined>,
  platform?: string,
): { libc: 'glibc' | 'musl' | null; how: string };
/** The host's C library on Linux ('glibc' or 'musl'), null elsewhere. */
export declare function hostLibc(env?: Record<string, string | undefined>): 'glibc' | 'musl' | null;
/** The target matching this host, or null when none does. */
export declare function targetForHost(env?: Record<string, string | undefined>): Target | null;
/** What a binary file was made for, or null when it is none this package builds. */
export declare function binaryKind(file: string): BinaryKind | null;
/** Every place the loader looks, in order, with why each is or is not taken. */
export declare function candidates(root?: string, env?: Record<string, string | undefined>): Candidate[];
/** The targets whose binary this installation carries. */
export declare function shipped(root?: string): Target[];
/** The binary this installation loads, or null when there is none. */
export declare function resolveBinary(root?: string, env?: Record<string, string | undefined>): Candidate | null;
/**
 * Loads the binary with `requireFn`; throws an Error with code
 * 'MODULE_NOT_FOUND' when there is none and 'ERR_DLOPEN_FAILED' when the
 * system refuses it.
 */
export declare function loadAddon(
  requireFn: (file: string) => unknown,
  root?: string,
  env?: Record<string, string | undefined>,
): unknown;
