#include "tree/tree_napi.h"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/texts.h"
#include "frame/async_job_napi.h"
#include "frame/call_napi.h"
#include "frame/results_napi.h"
#include "hashing/hex_napi.h"
#include "tree/file_list.h"

namespace tov::tree {

namespace {

using frame::ErrorRecord;
using frame::Result;

constexpr base::FixedText kTypeofFailed = "unreadable argument";
constexpr base::FixedText kBadIdentityNumber = "a file identity must be two non-negative integers";
constexpr base::FixedText kPathsNotArray = "The \"paths\" argument must be an array";
constexpr base::FixedText kUnreadableBuffer = "unreadable path buffer";
constexpr base::FixedText kBadPath = "every path must be a string or a Buffer";
constexpr base::FixedText kLeaveOutNotArray = "The \"leaveOut\" argument must be an array";
constexpr base::FixedText kBadIdentity = "a file identity must be a [device, inode] pair";
constexpr base::FixedText kCancelled = "hashing cancelled";
constexpr base::FixedText kStartFailed = "could not start hashing";

struct HashJob {
  PathList paths;
  std::vector<platform::FileIdentity> leave_out;
  frame::AsyncJob async;
  // Set by the work thread, read by the completion on the JavaScript thread.
  std::optional<base::Result<ListReport>> report;
};

Result<std::uint64_t> to_u64(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  if (napi_typeof(env, value, &type) != napi_ok)
    return ErrorRecord(napi_generic_failure, kTypeofFailed);
  if (type == napi_bigint) {
    std::uint64_t number = 0;
    bool lossless = false;
    if (napi_get_value_bigint_uint64(env, value, &number, &lossless) == napi_ok && lossless) {
      return number;
    }
  } else if (type == napi_number) {
    double number = 0;
    if (napi_get_value_double(env, value, &number) == napi_ok && number >= 0 &&
        number <= 9007199254740991.0 &&
        number == static_cast<double>(static_cast<std::uint64_t>(number))) {
      return static_cast<std::uint64_t>(number);
    }
  }
  return ErrorRecord(napi_invalid_arg, kBadIdentityNumber);
}

frame::Status read_paths(napi_env env, napi_value list, PathList& paths) {
  bool is_array = false;
  std::uint32_t length = 0;
  if (napi_is_array(env, list, &is_array) != napi_ok || !is_array ||
      napi_get_array_length(env, list, &length) != napi_ok) {
    return ErrorRecord(napi_invalid_arg, kPathsNotArray);
  }
  paths.reserve(length, std::size_t{length} * 48);
  std::string text;
  for (std::uint32_t index = 0; index < length; ++index) {
    napi_value item = nullptr;
    if (napi_get_element(env, list, index, &item) != napi_ok) {
      return ErrorRecord::from_pending_exception(env);
    }
    bool is_buffer = false;
    napi_is_buffer(env, item, &is_buffer);
    if (is_buffer) {
      void* data = nullptr;
      std::size_t size = 0;
      if (napi_get_buffer_info(env, item, &data, &size) != napi_ok) {
        return ErrorRecord(napi_invalid_arg, kUnreadableBuffer);
      }
      paths.add({static_cast<const char*>(data), size});
      continue;
    }
    std::size_t size = 0;
    if (napi_get_value_string_utf8(env, item, nullptr, 0, &size) != napi_ok) {
      return ErrorRecord(napi_string_expected, kBadPath);
    }
    text.resize(size + 1);
    napi_get_value_string_utf8(env, item, text.data(), text.size(), &size);
    paths.add({text.data(), size});
  }
  return {};
}

frame::Status read_identities(napi_env env, napi_value list,
                              std::vector<platform::FileIdentity>& identities) {
  napi_valuetype type = napi_undefined;
  napi_typeof(env, list, &type);
  if (type == napi_undefined || type == napi_null) return {};
  bool is_array = false;
  std::uint32_t length = 0;
  if (napi_is_array(env, list, &is_array) != napi_ok || !is_array ||
      napi_get_array_length(env, list, &length) != napi_ok) {
    return ErrorRecord(napi_invalid_arg, kLeaveOutNotArray);
  }
  for (std::uint32_t index = 0; index < length; ++index) {
    napi_value pair = nullptr;
    napi_value device = nullptr;
    napi_value inode = nullptr;
    if (napi_get_element(env, list, index, &pair) != napi_ok ||
        napi_get_element(env, pair, 0, &device) != napi_ok ||
        napi_get_element(env, pair, 1, &inode) != napi_ok) {
      return ErrorRecord(napi_invalid_arg, kBadIdentity);
    }
    TOV_TRY(dev, to_u64(env, device));
    TOV_TRY(ino, to_u64(env, inode));
    identities.push_back({dev, ino});
  }
  return {};
}

Result<napi_value> make_report(napi_env env, const ListReport& report) {
  TOV_TRY(outcomes, frame::make_array(env, report.outcomes.size()));
  napi_value null_value = nullptr;
  napi_get_null(env, &null_value);
  for (std::size_t index = 0; index < report.outcomes.size(); ++index) {
    const hashing::FileOutcome& outcome = report.outcomes[index];
    napi_value element = null_value;
    if (outcome.kind == hashing::FileOutcome::Kind::kHashed) {
      TOV_TRY(digest, hashing::make_hex(env, outcome.digest));
      element = digest;
    } else if (outcome.kind == hashing::FileOutcome::Kind::kFailed) {
      TOV_TRY(object, frame::make_object(env));
      TOV_TRY(reason, frame::make_string(env, outcome.reason->description()));
      TOV_CHECK(frame::set_field(env, object, "reason", reason));
      element = object;
    }
    TOV_CHECK(frame::set_element(env, outcomes, index, element));
  }
  TOV_TRY(result, frame::make_object(env));
  TOV_CHECK(frame::set_field(env, result, "outcomes", outcomes));
  napi_value bytes = nullptr;
  napi_create_double(env, static_cast<double>(report.bytes), &bytes);
  TOV_CHECK(frame::set_field(env, result, "bytes", bytes));
  return result;
}

void execute(napi_env, void* data) {
  HashJob& job = *static_cast<HashJob*>(data);
  try {
    job.report.emplace(hash_list(job.paths, job.leave_out));
  } catch (const std::bad_alloc&) {
    job.report.emplace(base::Error(base::texts::kOutOfMemory));
  }
}

void complete(napi_env env, napi_status status, void* data) {
  std::unique_ptr<HashJob> job(static_cast<HashJob*>(data));
  napi_delete_async_work(env, job->async.work);
  frame::guard_host_call([&]() -> napi_value {
    frame::settle(env, job->async.deferred, [&]() -> Result<napi_value> {
      if (status != napi_ok || !job->report) {
        return ErrorRecord(status == napi_ok ? napi_generic_failure : status, kCancelled);
      }
      if (!*job->report) {
        return ErrorRecord(napi_generic_failure, std::string(base::texts::kReadError) +
                                                     job->report->error().description());
      }
      return make_report(env, **job->report);
    }());
    return nullptr;
  });
}

}  // namespace

napi_value hash_files(napi_env env, napi_callback_info info) {
  return frame::call_with_args<2>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    auto job = std::make_unique<HashJob>();
    TOV_CHECK(read_paths(env, args[0], job->paths));
    TOV_CHECK(read_identities(env, args[1], job->leave_out));
    napi_value promise = nullptr;
    if (!frame::queue_async_job(env, "tovHashFiles", execute, complete, job.get(), job->async,
                                promise)) {
      return ErrorRecord(napi_generic_failure, kStartFailed);
    }
    job.release();
    return promise;
  });
}

}  // namespace tov::tree
