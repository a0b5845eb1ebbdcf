// fileHash: the file is read and digested on the runtime's blocking pool, in
// bounded chunks; the JavaScript thread only converts the path and makes the
// promise, and a worker settles it.
#include <node_api.h>

#include <string>
#include <utility>

#include "base/result.h"
#include "frame/args_napi.h"
#include "frame/call_napi.h"
#include "frame/promise_napi.h"
#include "hashing/digest.h"
#include "hashing/file_digest.h"
#include "hashing/hashing_napi.h"
#include "runtime/runtime.h"

namespace tov::hashing {

napi_value file_hash_napi(napi_env env, napi_callback_info info) {
  return frame::call_promise_with_args<1>(
      env, info, [](napi_env env, auto& args) -> frame::Result<napi_value> {
        TOV_TRY(path, frame::to_text(env, args[0]));
        std::string owned(path.view());
        return frame::spawn_promise_work(env, [path = std::move(owned)](
                                                  frame::PromiseSettler settler) mutable {
          // Workers run inside their own runtime's context.
          runtime::current()->run_blocking(
              [path = std::move(path)] { return hash_file(path); },
              [settler](base::Result<Digest> digest) {
                if (!digest) {
                  settler.fail(std::string(base::texts::kReadError) + digest.error().description());
                  return;
                }
                settler.deliver(to_hex(*digest));
              });
        });
      });
}

}  // namespace tov::hashing
