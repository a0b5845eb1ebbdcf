// fileHash: the file is read and digested on the runtime's blocking pool, in
// bounded chunks; the JavaScript thread only converts the path and makes the
// promise, and a worker settles it.
#include <node_api.h>

#include <string>
#include <utility>

#include "addon/exports.h"
#include "base/result.h"
#include "frame/call_napi.h"
#include "frame/convert_napi.h"
#include "frame/promise_napi.h"
#include "hashing/digest.h"
#include "hashing/file_digest.h"
#include "runtime/runtime.h"

namespace tov {

napi_value addon::file_hash(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(
      env, info, [](napi_env env, auto& args) -> frame::Result<napi_value> {
        TOV_TRY(path, frame::to_text(env, args[0]));
        std::string owned(path.view());
        return frame::spawn_promise_work(env, [path = std::move(owned)](
                                                  frame::PromiseSettler settler) mutable {
          // Workers run inside their own runtime's context.
          runtime::current()->run_blocking(
              [path = std::move(path)] { return hashing::hash_file(path); },
              [settler](base::Result<hashing::Digest> digest) {
                if (!digest) {
                  settler.fail(std::string(base::texts::kReadError) + digest.error().description());
                  return;
                }
                settler.deliver(hashing::to_hex(*digest));
              });
        });
      });
}

}  // namespace tov
