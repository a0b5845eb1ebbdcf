// statFiles(paths): the identities of many files, queried off the JavaScript
// thread, for the content cache of the tree functions. The cache asks for one
// list while the walk is still listing the next, so the call returns a
// promise. The paths come as one string, joined by NULs (which no path
// holds): one conversion instead of one per path.
#include <node_api.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cache/identity_batch.h"
#include "cache/identity_napi.h"
#include "frame/args_napi.h"
#include "frame/async_job_napi.h"
#include "frame/call_napi.h"

namespace tov::cache {

using frame::ErrorRecord;
using frame::Result;

namespace {

struct StatJob {
  frame::Text joined;
  std::vector<std::string_view> paths;
  std::vector<std::uint8_t> bytes;  // records, then the error slots
  bool done = false;
  frame::AsyncJob async;
};

void execute(napi_env, void* data) {
  StatJob& job = *static_cast<StatJob*>(data);
  try {
    std::vector<std::string_view>& paths = job.paths;
    const std::string_view joined = job.joined.view();
    for (std::size_t start = 0; !joined.empty();) {
      const std::size_t end = std::min(joined.find('\0', start), joined.size());
      paths.push_back(joined.substr(start, end - start));
      if (end == joined.size()) break;
      start = end + 1;
    }
    const std::size_t count = paths.size();
    job.bytes.resize(count * (kRecordSize + sizeof(std::int32_t)));
    std::vector<std::int32_t> errors(count);
    // One thread per list: the lists of a walk are queried side by side.
    query_identities(paths, std::span(job.bytes.data(), count * kRecordSize), errors, 1);
    std::memcpy(job.bytes.data() + count * kRecordSize, errors.data(),
                count * sizeof(std::int32_t));
    job.done = true;
  } catch (const std::bad_alloc&) {
  }
}

// { records: Uint8Array, errors: Int32Array } over one buffer: kRecordSize
// bytes and one error slot per path, in list order.
Result<napi_value> make_result(napi_env env, const StatJob& job) {
  const std::size_t count = job.paths.size();
  const std::size_t record_bytes = count * kRecordSize;
  void* data = nullptr;
  napi_value buffer = nullptr;
  napi_value records = nullptr;
  napi_value errors = nullptr;
  napi_value result = nullptr;
  napi_status status = napi_create_arraybuffer(env, job.bytes.size(), &data, &buffer);
  if (status == napi_ok && !job.bytes.empty())
    std::memcpy(data, job.bytes.data(), job.bytes.size());
  if (status != napi_ok ||
      (status = napi_create_typedarray(env, napi_uint8_array, record_bytes, buffer, 0, &records)) !=
          napi_ok ||
      (status = napi_create_typedarray(env, napi_int32_array, count, buffer, record_bytes,
                                       &errors)) != napi_ok ||
      (status = napi_create_object(env, &result)) != napi_ok ||
      (status = napi_set_named_property(env, result, "records", records)) != napi_ok ||
      (status = napi_set_named_property(env, result, "errors", errors)) != napi_ok) {
    return ErrorRecord(status, std::string("statFiles: the result could not be made"));
  }
  return result;
}

void complete(napi_env env, napi_status status, void* data) {
  std::unique_ptr<StatJob> job(static_cast<StatJob*>(data));
  napi_delete_async_work(env, job->async.work);
  frame::guard_host_call([&]() -> napi_value {
    frame::settle(
        env, job->async.deferred,
        status == napi_ok && job->done
            ? make_result(env, *job)
            : Result<napi_value>(ErrorRecord(status == napi_ok ? napi_generic_failure : status,
                                             std::string("statFiles: the query did not run"))));
    return nullptr;
  });
}

}  // namespace

napi_value stat_files(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(joined, frame::to_text(env, args[0]));
    if (joined.replaced()) {
      return ErrorRecord(napi_invalid_arg,
                         std::string("statFiles: a path is not well-formed text"));
    }
    auto job = std::make_unique<StatJob>();
    job->joined = std::move(joined);
    napi_value promise = nullptr;
    if (!frame::queue_async_job(env, "tovStatFiles", execute, complete, job.get(), job->async,
                                promise)) {
      return ErrorRecord(napi_generic_failure, std::string("statFiles: could not start"));
    }
    job.release();
    return promise;
  });
}

}  // namespace tov::cache
