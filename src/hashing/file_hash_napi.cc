// fileHash: the file is read on the runtime's blocking pool and digested on a
// worker; the JavaScript thread only converts the path and makes the promise.
#include <node_api.h>

#include <string>
#include <utility>

#include "addon/exports.h"
#include "frame/call_napi.h"
#include "frame/convert_napi.h"
#include "frame/promise_napi.h"
#include "hashing/digest.h"
#include "hashing/file_read.h"
#include "runtime/runtime.h"

namespace tov {

namespace {

void digest_contents(const frame::PromiseSettler& settler,
                     runtime::Outcome<hashing::ReadResult> outcome) {
  if (!outcome.completed()) {
    settler.fail("Read error: " + hashing::IoError::background_task_failed().description());
    return;
  }
  hashing::ReadResult& read = outcome.value();
  if (!read.ok()) {
    settler.fail("Read error: " + read.error().description());
    return;
  }
  std::string hex = hashing::hex_digest(read.contents().data(), read.contents().size());
  settler.deliver(std::move(hex));
}

}  // namespace

napi_value addon::file_hash(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> frame::Result<napi_value> {
    TOV_TRY(path, frame::to_text(env, args[0]));
    std::string owned(path.view());
    return frame::spawn_promise_work(
        env, [path = std::move(owned)](frame::PromiseSettler settler) mutable {
          // Workers run inside their own runtime's context.
          runtime::current()->run_blocking(
              [path = std::move(path)] { return hashing::read_whole_file(path); },
              [settler](runtime::Outcome<hashing::ReadResult> outcome) {
                digest_contents(settler, std::move(outcome));
              });
        });
  });
}

}  // namespace tov
