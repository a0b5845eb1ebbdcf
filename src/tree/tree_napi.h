// The tree module's entry points in the extension table.
#pragma once

#include <node_api.h>

namespace tov::tree {

// hashFiles(paths, leaveOut?) -> Promise<{ outcomes, bytes }>. `paths` holds
// strings (well-formed text) or Buffers (a name's bytes); `leaveOut` holds
// [device, inode] pairs as numbers or bigints. Each outcome is the file's
// hex digest, { reason } when it was not hashed, or null when its identity
// is one to leave out. The hashing runs off the JavaScript thread.
napi_value hash_files(napi_env env, napi_callback_info info);

// walkTree(root, display, all, follow, leaveOut, trailer?, known?) -> [Promise, control]: the
// directory `root` walked and hashed off the JavaScript thread (see
// tree_walk.h). The promise resolves to { paths, digests, count, root,
// bytes, skipped } (paths NUL-joined in byte order, a string or, when some
// name is not UTF-8, a Buffer; digests the hex digests back to back; skipped
// [path, reason, failed] triples, the walk's own `walkSkips` first; found,
// the files handed to hashing; with a `trailer` string, `text`, a Buffer of
// the manifest's lines and the root line, instead of paths and digests;
// with `known`, a content cache's entries { names, records, digests, count,
// probe } (see KnownFiles), `cache`: { names, records, digests, count,
// reused, unchanged }, the entries for the next run) or { rootError, errno } when `root` could
// not be listed. walkProgress(control) -> [found, hashed, bytes, walking];
// walkCancel(control) stops the walk, whose promise then rejects.
// canWalk() says whether this system walks natively at all.
napi_value walk_tree(napi_env env, napi_callback_info info);
// checkFiles(paths, digests, count) -> [Promise, control]: `count` files
// (paths NUL-joined, a string or a Buffer of bytes) hashed as walkTree
// hashes, each compared with its digest (NUL-joined, or 64 characters each
// without a separator; any case). Resolves to
// { statuses, reasons, bytes }: one letter per file, o(k), f(ailed) or u(nreadable),
// and [index, reason] for each unreadable one. The control works as
// walkTree's.
napi_value check_files(napi_env env, napi_callback_info info);
// rootOfJoined(names, digests, count) -> the merkle root of `count` entries:
// names NUL-joined (a string, or a Buffer of their bytes), digests of 64
// characters each, joined without a separator. null when the lists do not
// split into `count` entries that way.
napi_value root_of_joined(napi_env env, napi_callback_info info);
// splitChecksums(buffer) -> [names, digests, count, taken] for the lines at
// the start of a block of checksum lines that split_checksum_lines takes
// apart (Buffers: names NUL-joined, digests lower-cased without a separator;
// `taken` as there), or null when it takes none.
napi_value split_checksums(napi_env env, napi_callback_info info);
napi_value walk_progress(napi_env env, napi_callback_info info);
napi_value walk_cancel(napi_env env, napi_callback_info info);
napi_value can_walk(napi_env env, napi_callback_info info);

}  // namespace tov::tree
