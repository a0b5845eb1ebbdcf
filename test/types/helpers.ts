// Compile-time assertions: `expectType<Equal<A, B>>()` fails to compile
// unless A and B are the same type (an `any` does not pass for anything).
export type Equal<A, B> =
  (<T>() => T extends A ? 1 : 2) extends <T>() => T extends B ? 1 : 2 ? true : false;

export function expectType<T extends true>(): T | void {}
