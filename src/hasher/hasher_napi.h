// JavaScript entry points of the incremental hasher, reached through the
// extension table (addon/extensions.cc), for lib/hasher/.
//
// A hasher's state lives in JavaScript memory that the calls are given: the
// eight working words in a Uint32Array and the incomplete bytes in the
// hasher's own Uint8Array. The garbage collector releases it like any other
// object; nothing native outlives a call. A stream job, which hashes on a
// background thread, is native and shared: its handle's finalizer and the
// running drain each hold a reference.
#pragma once

#include <node_api.h>

namespace tov::hasher {

// sha256Blocks(words, bytes, offset, blocks): compresses `blocks` whole
// blocks of `bytes` from byte `offset` into `words`.
napi_value blocks_napi(napi_env env, napi_callback_info info);
// sha256Finish(words, bytes, offset, length, total): the hex digest of a
// message whose last `length` bytes are bytes[offset..] and whose length is
// `total`; `words` become the digest's words.
napi_value finish_napi(napi_env env, napi_callback_info info);
// sha256Save(words, pending, length, total): the saved form (saved_state.h)
// as a Uint8Array; `length` (the first bytes of `pending`) is total % 64.
napi_value save_napi(napi_env env, napi_callback_info info);
// sha256Restore(saved, words, pending): checks a saved form, writes its
// words and incomplete bytes, and returns its byte count.
napi_value restore_napi(napi_env env, napi_callback_info info);

// sha256StreamOpen(): a new stream job's handle.
napi_value stream_open_napi(napi_env env, napi_callback_info info);
// sha256StreamPush(job, bytes): queues a copy, or hashes a large chunk at
// once when nothing is ahead of it; returns the bytes queued.
napi_value stream_push_napi(napi_env env, napi_callback_info info);
// sha256StreamWait(job, limit): a promise of "" once at most `limit` bytes
// are queued.
napi_value stream_wait_napi(napi_env env, napi_callback_info info);
// sha256StreamFinish(job): a promise of the hex digest once all is hashed.
napi_value stream_finish_napi(napi_env env, napi_callback_info info);

}  // namespace tov::hasher
