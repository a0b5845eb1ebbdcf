#include "tree/tree_napi.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/texts.h"
#include "cache/identity_batch.h"
#include "frame/async_job_napi.h"
#include "frame/call_napi.h"
#include "frame/results_napi.h"
#include "hashing/hex_napi.h"
#include "manifest/manifest.h"
#include "platform/directory.h"
#include "text/utf8.h"
#include "tree/checksum_lines.h"
#include "tree/file_list.h"
#include "tree/tree_walk.h"

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

// A Buffer's bytes where they lie (valid until the call returns), or nothing
// for any other value.
std::optional<std::string_view> buffer_bytes(napi_env env, napi_value value) {
  bool is_buffer = false;
  void* data = nullptr;
  std::size_t size = 0;
  if (napi_is_buffer(env, value, &is_buffer) != napi_ok || !is_buffer ||
      napi_get_buffer_info(env, value, &data, &size) != napi_ok) {
    return std::nullopt;
  }
  return std::string_view(static_cast<const char*>(data), size);
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

// Runs a job's work on the host's work thread into `outcome`; running out
// of memory is its outcome too.
template <class T, class Work>
void run_job(std::optional<base::Result<T>>& outcome, Work&& work) {
  try {
    outcome.emplace(work());
  } catch (const std::bad_alloc&) {
    outcome.emplace(base::Error(base::texts::kOutOfMemory));
  }
}

// Settles a finished job's promise on the JavaScript thread: cancelled when
// the host did not run the work, rejected with `prefix` and the failure's
// text, or resolved with what `make` builds of the outcome.
template <class T, class Make>
void settle_job(napi_env env, napi_status status, frame::AsyncJob& async,
                std::optional<base::Result<T>>& outcome, std::string_view prefix, Make&& make) {
  napi_delete_async_work(env, async.work);
  frame::guard_host_call([&]() -> napi_value {
    frame::settle(env, async.deferred, [&]() -> Result<napi_value> {
      if (status != napi_ok || !outcome) {
        return ErrorRecord(status == napi_ok ? napi_generic_failure : status, kCancelled);
      }
      if (!*outcome) {
        return ErrorRecord(napi_generic_failure,
                           std::string(prefix) + outcome->error().description());
      }
      return make(**outcome);
    }());
    return nullptr;
  });
}

void execute(napi_env, void* data) {
  HashJob& job = *static_cast<HashJob*>(data);
  run_job(job.report, [&] { return hash_list(job.paths, job.leave_out); });
}

void complete(napi_env env, napi_status status, void* data) {
  std::unique_ptr<HashJob> job(static_cast<HashJob*>(data));
  settle_job(env, status, job->async, job->report, base::texts::kReadError.view(),
             [&](const ListReport& report) { return make_report(env, report); });
}

// --- walkTree: one directory walked and hashed natively -------------------

constexpr base::FixedText kBadWalkPath =
    "The \"root\" and \"display\" arguments must be strings or Buffers";
constexpr base::FixedText kBadControl = "not a tree walk";
constexpr base::FixedText kBadLines = "checksum lines must be a Buffer";

// The JavaScript side's handle on a running walk: progress and cancel.
constexpr napi_type_tag kWalkTag = {0x7a3c51e2d94b0f86ULL, 0x1d6e8a4f2c93b750ULL};
using SharedProgress = std::shared_ptr<WalkProgress>;

struct WalkJob {
  std::string root;
  std::string display;
  bool all = false;
  bool follow = false;
  std::vector<platform::FileIdentity> leave_out;
  // With a trailer, the result is the manifest's lines (manifest_lines).
  std::optional<std::string> trailer;
  // A content cache's entries, copied, and the clock it was given.
  bool caching = false;
  std::string known_names;
  std::string known_records;
  std::string known_digests;
  KnownFiles known;
  SharedProgress progress = std::make_shared<WalkProgress>();
  frame::AsyncJob async;
  std::optional<base::Result<TreeManifest>> manifest;
};

frame::Status read_path(napi_env env, napi_value value, std::string& path) {
  if (const auto bytes = buffer_bytes(env, value)) {
    path.assign(*bytes);
    return {};
  }
  std::size_t size = 0;
  if (napi_get_value_string_utf8(env, value, nullptr, 0, &size) != napi_ok) {
    return ErrorRecord(napi_string_expected, kBadWalkPath);
  }
  path.resize(size + 1);
  napi_get_value_string_utf8(env, value, path.data(), path.size(), &size);
  path.resize(size);
  return {};
}

bool truthy(napi_env env, napi_value value) {
  napi_value coerced = nullptr;
  bool flag = false;
  return napi_coerce_to_bool(env, value, &coerced) == napi_ok &&
         napi_get_value_bool(env, coerced, &flag) == napi_ok && flag;
}

// A Buffer holding a copy of `bytes`.
Result<napi_value> make_bytes(napi_env env, std::string_view bytes) {
  napi_value buffer = nullptr;
  void* data = nullptr;
  if (napi_create_buffer_copy(env, bytes.size(), bytes.data(), &data, &buffer) != napi_ok) {
    return ErrorRecord::from_pending_exception(env);
  }
  return buffer;
}

// Text when it is UTF-8, else a Buffer of the bytes (the caller decodes).
Result<napi_value> make_name(napi_env env, std::string_view bytes) {
  if (!text::first_invalid_utf8(bytes)) return frame::make_string(env, bytes);
  return make_bytes(env, bytes);
}

Result<napi_value> make_number(napi_env env, double number) {
  napi_value value = nullptr;
  if (napi_create_double(env, number, &value) != napi_ok) {
    return ErrorRecord::from_pending_exception(env);
  }
  return value;
}

void text_finalized(napi_env, void*, void* hint) {
  delete static_cast<std::string*>(hint);
}

// A Buffer over the text itself where the host allows it (the text can be
// as large as a manifest of millions of files), a copy where it does not.
Result<napi_value> make_buffer(napi_env env, std::string text) {
  auto owned = std::make_unique<std::string>(std::move(text));
  napi_value buffer = nullptr;
  if (napi_create_external_buffer(env, owned->size(), owned->data(), text_finalized, owned.get(),
                                  &buffer) == napi_ok) {
    owned.release();  // the finalizer owns it now
    return buffer;
  }
  bool pending = false;
  napi_is_exception_pending(env, &pending);
  if (pending) {
    napi_value ignored = nullptr;
    napi_get_and_clear_last_exception(env, &ignored);
  }
  return make_bytes(env, *owned);
}

Result<napi_value> make_cache_report(napi_env env, const CacheEntries& cache) {
  TOV_TRY(result, frame::make_object(env));
  std::string_view joined = cache.names;
  if (!joined.empty()) joined.remove_suffix(1);  // the last NUL
  TOV_TRY(names, make_bytes(env, joined));
  TOV_CHECK(frame::set_field(env, result, "names", names));
  TOV_TRY(records, make_bytes(env, cache.records));
  TOV_CHECK(frame::set_field(env, result, "records", records));
  TOV_TRY(digests, make_bytes(env, cache.digests));
  TOV_CHECK(frame::set_field(env, result, "digests", digests));
  TOV_TRY(count, make_number(env, static_cast<double>(cache.count)));
  TOV_CHECK(frame::set_field(env, result, "count", count));
  TOV_TRY(reused, make_number(env, static_cast<double>(cache.reused)));
  TOV_CHECK(frame::set_field(env, result, "reused", reused));
  napi_value unchanged = nullptr;
  napi_get_boolean(env, cache.unchanged, &unchanged);
  TOV_CHECK(frame::set_field(env, result, "unchanged", unchanged));
  return result;
}

Result<napi_value> make_walk_report(napi_env env, TreeManifest& manifest, bool as_text,
                                    bool caching) {
  TOV_TRY(result, frame::make_object(env));
  if (manifest.root_error) {
    TOV_TRY(message, frame::make_string(env, manifest.root_error->description()));
    TOV_CHECK(frame::set_field(env, result, "rootError", message));
    TOV_TRY(code, make_number(env, manifest.root_error->system_code()));
    TOV_CHECK(frame::set_field(env, result, "errno", code));
    return result;
  }
  TOV_TRY(count, make_number(env, static_cast<double>(manifest.count)));
  TOV_CHECK(frame::set_field(env, result, "count", count));
  if (as_text) {
    TOV_TRY(lines, make_buffer(env, std::move(manifest.text)));
    TOV_CHECK(frame::set_field(env, result, "text", lines));
  } else {
    std::string_view paths = manifest.paths;
    if (!paths.empty()) paths.remove_suffix(1);  // the last NUL
    TOV_TRY(names, make_name(env, paths));
    TOV_CHECK(frame::set_field(env, result, "paths", names));
    std::string hex(manifest.digests.size() * hashing::kHexDigestSize, '\0');
    for (std::size_t i = 0; i < manifest.digests.size(); ++i) {
      hashing::to_hex(manifest.digests[i], hex.data() + i * hashing::kHexDigestSize);
    }
    std::vector<hashing::Digest>().swap(manifest.digests);
    TOV_TRY(digests, frame::make_ascii_string(env, hex));
    TOV_CHECK(frame::set_field(env, result, "digests", digests));
  }
  TOV_TRY(root, hashing::make_hex(env, manifest.root));
  TOV_CHECK(frame::set_field(env, result, "root", root));
  TOV_TRY(bytes, make_number(env, static_cast<double>(manifest.bytes)));
  TOV_CHECK(frame::set_field(env, result, "bytes", bytes));
  TOV_TRY(skipped, frame::make_array(env, manifest.skipped.size()));
  for (std::size_t i = 0; i < manifest.skipped.size(); ++i) {
    const Skip& skip = manifest.skipped[i];
    TOV_TRY(entry, frame::make_array(env, 3));
    TOV_TRY(path, make_name(env, skip.path));
    TOV_TRY(reason, frame::make_string(env, skip.reason));
    napi_value failed = nullptr;
    napi_get_boolean(env, skip.failed, &failed);
    TOV_CHECK(frame::set_element(env, entry, 0, path));
    TOV_CHECK(frame::set_element(env, entry, 1, reason));
    TOV_CHECK(frame::set_element(env, entry, 2, failed));
    TOV_CHECK(frame::set_element(env, skipped, i, entry));
  }
  TOV_CHECK(frame::set_field(env, result, "skipped", skipped));
  TOV_TRY(walk_skips, make_number(env, static_cast<double>(manifest.walk_skips)));
  TOV_CHECK(frame::set_field(env, result, "walkSkips", walk_skips));
  TOV_TRY(found, make_number(env, static_cast<double>(manifest.found)));
  TOV_CHECK(frame::set_field(env, result, "found", found));
  if (caching) {
    TOV_TRY(cache, make_cache_report(env, manifest.cache));
    TOV_CHECK(frame::set_field(env, result, "cache", cache));
  }
  return result;
}

constexpr base::FixedText kBadKnown =
    "The \"known\" argument must be { names, records, digests, count, probe }";

frame::Status read_bytes_field(napi_env env, napi_value object, const char* name,
                               std::string& bytes) {
  napi_value value = nullptr;
  if (napi_get_named_property(env, object, name, &value) != napi_ok) {
    return ErrorRecord(napi_invalid_arg, kBadKnown);
  }
  const auto buffer = buffer_bytes(env, value);
  if (!buffer) return ErrorRecord(napi_invalid_arg, kBadKnown);
  bytes.assign(*buffer);
  return {};
}

// The cache's entries as cache.js decoded them; their sizes must agree.
frame::Status read_known(napi_env env, napi_value object, WalkJob& job) {
  napi_valuetype type = napi_undefined;
  napi_typeof(env, object, &type);
  if (type == napi_undefined || type == napi_null) return {};
  if (type != napi_object) return ErrorRecord(napi_invalid_arg, kBadKnown);
  TOV_CHECK(read_bytes_field(env, object, "names", job.known_names));
  TOV_CHECK(read_bytes_field(env, object, "records", job.known_records));
  TOV_CHECK(read_bytes_field(env, object, "digests", job.known_digests));
  napi_value count_value = nullptr;
  napi_value probe_value = nullptr;
  if (napi_get_named_property(env, object, "count", &count_value) != napi_ok ||
      napi_get_named_property(env, object, "probe", &probe_value) != napi_ok) {
    return ErrorRecord(napi_invalid_arg, kBadKnown);
  }
  TOV_TRY(count, to_u64(env, count_value));
  if (job.known_records.size() != count * cache::kRecordSize ||
      job.known_digests.size() != count * 32 ||
      static_cast<std::size_t>(std::count(job.known_names.begin(), job.known_names.end(), '\0')) !=
          (count == 0 ? 0 : count - 1)) {
    return ErrorRecord(napi_invalid_arg, kBadKnown);
  }
  KnownFiles& known = job.known;
  known.names = job.known_names;
  known.records = {reinterpret_cast<const std::uint8_t*>(job.known_records.data()),
                   job.known_records.size()};
  known.digests = {reinterpret_cast<const std::uint8_t*>(job.known_digests.data()),
                   job.known_digests.size()};
  known.count = static_cast<std::size_t>(count);
  napi_valuetype probe_type = napi_undefined;
  napi_typeof(env, probe_value, &probe_type);
  if (probe_type == napi_bigint) {
    std::int64_t probe = 0;
    bool lossless = false;
    if (napi_get_value_bigint_int64(env, probe_value, &probe, &lossless) != napi_ok || !lossless) {
      return ErrorRecord(napi_invalid_arg, kBadKnown);
    }
    known.probe_ns = probe;
  } else if (probe_type != napi_null && probe_type != napi_undefined) {
    return ErrorRecord(napi_invalid_arg, kBadKnown);
  }
  job.caching = true;
  return {};
}

void execute_walk(napi_env, void* data) {
  WalkJob& job = *static_cast<WalkJob*>(data);
  run_job(job.manifest, [&] {
    WalkOptions options{job.all, job.follow, job.leave_out, std::nullopt, nullptr};
    if (job.trailer) options.text_trailer = *job.trailer;
    if (job.caching) options.known = &job.known;
    return hash_tree(job.root, job.display, options, *job.progress);
  });
}

void complete_walk(napi_env env, napi_status status, void* data) {
  std::unique_ptr<WalkJob> job(static_cast<WalkJob*>(data));
  settle_job(env, status, job->async, job->manifest, {}, [&](TreeManifest& manifest) {
    return make_walk_report(env, manifest, job->trailer.has_value(), job->caching);
  });
}

// --- checkFiles: listed files hashed and compared natively ---------------

struct CheckJob {
  std::string paths;     // NUL-joined
  std::string expected;  // NUL-joined digests as the manifest gives them
  std::size_t count = 0;
  SharedProgress progress = std::make_shared<WalkProgress>();
  frame::AsyncJob async;
  std::optional<base::Result<ListedOutcomes>> outcomes;
};

std::vector<std::string_view> split_joined(std::string_view joined, std::size_t count) {
  std::vector<std::string_view> parts;
  parts.reserve(count);
  std::size_t start = 0;
  while (parts.size() < count) {
    std::size_t end = joined.find('\0', start);
    if (end == std::string_view::npos) end = joined.size();
    parts.push_back(joined.substr(start, end - start));
    start = std::min(end + 1, joined.size());
  }
  return parts;
}

// A manifest's digest matches when it is the computed one in either case.
bool same_digest(const hashing::Digest& digest, std::string_view expected) {
  if (expected.size() != hashing::kHexDigestSize) return false;
  char hex[hashing::kHexDigestSize];
  hashing::to_hex(digest, hex);
  for (std::size_t i = 0; i < hashing::kHexDigestSize; ++i) {
    char c = expected[i];
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (c != hex[i]) return false;
  }
  return true;
}

void execute_check(napi_env, void* data) {
  CheckJob& job = *static_cast<CheckJob*>(data);
  run_job(job.outcomes,
          [&] { return hash_listed(split_joined(job.paths, job.count), *job.progress); });
}

// The expected digests come NUL-joined, or as 64 characters each one after
// another (no NUL then: a joined list of two or more holds one).
std::vector<std::string_view> split_digests(std::string_view joined, std::size_t count) {
  if (joined.size() != count * hashing::kHexDigestSize ||
      joined.find('\0') != std::string_view::npos) {
    return split_joined(joined, count);
  }
  std::vector<std::string_view> parts(count);
  for (std::size_t i = 0; i < count; ++i) {
    parts[i] = joined.substr(i * hashing::kHexDigestSize, hashing::kHexDigestSize);
  }
  return parts;
}

Result<napi_value> make_check_report(napi_env env, const CheckJob& job,
                                     const ListedOutcomes& outcomes) {
  const std::vector<std::string_view> expected = split_digests(job.expected, job.count);
  std::string statuses(job.count, 'u');
  for (std::size_t i = 0; i < job.count; ++i) {
    if (outcomes.hashed[i]) statuses[i] = same_digest(outcomes.digests[i], expected[i]) ? 'o' : 'f';
  }
  TOV_TRY(result, frame::make_object(env));
  TOV_TRY(letters, frame::make_ascii_string(env, statuses));
  TOV_CHECK(frame::set_field(env, result, "statuses", letters));
  TOV_TRY(reasons, frame::make_array(env, outcomes.failures.size()));
  for (std::size_t i = 0; i < outcomes.failures.size(); ++i) {
    TOV_TRY(pair, frame::make_array(env, 2));
    TOV_TRY(at, make_number(env, static_cast<double>(outcomes.failures[i].first)));
    TOV_TRY(reason, frame::make_string(env, outcomes.failures[i].second));
    TOV_CHECK(frame::set_element(env, pair, 0, at));
    TOV_CHECK(frame::set_element(env, pair, 1, reason));
    TOV_CHECK(frame::set_element(env, reasons, i, pair));
  }
  TOV_CHECK(frame::set_field(env, result, "reasons", reasons));
  TOV_TRY(bytes, make_number(env, static_cast<double>(job.progress->bytes.load())));
  TOV_CHECK(frame::set_field(env, result, "bytes", bytes));
  return result;
}

void complete_check(napi_env env, napi_status status, void* data) {
  std::unique_ptr<CheckJob> job(static_cast<CheckJob*>(data));
  settle_job(env, status, job->async, job->outcomes, {}, [&](const ListedOutcomes& outcomes) {
    return make_check_report(env, *job, outcomes);
  });
}

void control_finalized(napi_env, void* data, void*) {
  delete static_cast<SharedProgress*>(data);
}

Result<WalkProgress*> progress_of(napi_env env, napi_value control) {
  bool tagged = false;
  void* data = nullptr;
  if (napi_check_object_type_tag(env, control, &kWalkTag, &tagged) != napi_ok || !tagged ||
      napi_unwrap(env, control, &data) != napi_ok || data == nullptr) {
    return ErrorRecord(napi_invalid_arg, kBadControl);
  }
  return static_cast<SharedProgress*>(data)->get();
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

namespace {

// The control object of a job's progress, and the pair [promise, control].
Result<napi_value> make_control(napi_env env, const SharedProgress& progress) {
  TOV_TRY(control, frame::make_object(env));
  auto handle = std::make_unique<SharedProgress>(progress);
  if (napi_wrap(env, control, handle.get(), control_finalized, nullptr, nullptr) != napi_ok) {
    return ErrorRecord::from_pending_exception(env);
  }
  handle.release();  // the finalizer owns it now
  if (napi_type_tag_object(env, control, &kWalkTag) != napi_ok) {
    return ErrorRecord::from_pending_exception(env);
  }
  return control;
}

Result<napi_value> make_pair(napi_env env, napi_value promise, napi_value control) {
  TOV_TRY(pair, frame::make_array(env, 2));
  TOV_CHECK(frame::set_element(env, pair, 0, promise));
  TOV_CHECK(frame::set_element(env, pair, 1, control));
  return pair;
}

}  // namespace

napi_value check_files(napi_env env, napi_callback_info info) {
  return frame::call_with_args<3>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    auto job = std::make_unique<CheckJob>();
    TOV_CHECK(read_path(env, args[0], job->paths));
    TOV_CHECK(read_path(env, args[1], job->expected));
    TOV_TRY(count, to_u64(env, args[2]));
    job->count = static_cast<std::size_t>(count);
    TOV_TRY(control, make_control(env, job->progress));
    napi_value promise = nullptr;
    if (!frame::queue_async_job(env, "tovCheckFiles", execute_check, complete_check, job.get(),
                                job->async, promise)) {
      return ErrorRecord(napi_generic_failure, kStartFailed);
    }
    job.release();
    return make_pair(env, promise, control);
  });
}

napi_value walk_tree(napi_env env, napi_callback_info info) {
  return frame::call_with_args<7>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    auto job = std::make_unique<WalkJob>();
    TOV_CHECK(read_path(env, args[0], job->root));
    TOV_CHECK(read_path(env, args[1], job->display));
    job->all = truthy(env, args[2]);
    job->follow = truthy(env, args[3]);
    TOV_CHECK(read_identities(env, args[4], job->leave_out));
    napi_valuetype trailer_type = napi_undefined;
    napi_typeof(env, args[5], &trailer_type);
    if (trailer_type == napi_string) TOV_CHECK(read_path(env, args[5], job->trailer.emplace()));
    TOV_CHECK(read_known(env, args[6], *job));
    TOV_TRY(control, make_control(env, job->progress));
    napi_value promise = nullptr;
    if (!frame::queue_async_job(env, "tovWalkTree", execute_walk, complete_walk, job.get(),
                                job->async, promise)) {
      return ErrorRecord(napi_generic_failure, kStartFailed);
    }
    job.release();
    return make_pair(env, promise, control);
  });
}

napi_value walk_progress(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(progress, progress_of(env, args[0]));
    TOV_TRY(counts, frame::make_array(env, 4));
    const double values[] = {
        static_cast<double>(progress->found.load()), static_cast<double>(progress->hashed.load()),
        static_cast<double>(progress->bytes.load()), progress->walking.load() ? 1.0 : 0.0};
    for (std::size_t i = 0; i < 4; ++i) {
      TOV_TRY(value, make_number(env, values[i]));
      TOV_CHECK(frame::set_element(env, counts, i, value));
    }
    return counts;
  });
}

napi_value walk_cancel(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(progress, progress_of(env, args[0]));
    progress->cancelled.store(true);
    napi_value undefined = nullptr;
    napi_get_undefined(env, &undefined);
    return undefined;
  });
}

namespace {

// A Buffer's bytes where they lie, or a string's UTF-8 copied to `storage`;
// for use before the call returns.
Result<std::string_view> bytes_of(napi_env env, napi_value value, std::string& storage) {
  if (const auto bytes = buffer_bytes(env, value)) return *bytes;
  TOV_CHECK(read_path(env, value, storage));
  return std::string_view(storage);
}

}  // namespace

napi_value root_of_joined(napi_env env, napi_callback_info info) {
  return frame::call_with_args<3>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    std::string name_text;
    std::string digest_text;
    TOV_TRY(names, bytes_of(env, args[0], name_text));
    TOV_TRY(digests, bytes_of(env, args[1], digest_text));
    TOV_TRY(count, to_u64(env, args[2]));
    // A name holding a NUL, or a digest that is not 64 bytes, would shift
    // the pairs: the caller takes its own way then.
    const auto separators = static_cast<std::size_t>(std::count(names.begin(), names.end(), '\0'));
    if (count == 0 || separators != count - 1 ||
        digests.size() != count * hashing::kHexDigestSize) {
      napi_value none = nullptr;
      napi_get_null(env, &none);
      return none;
    }
    const std::vector<std::string_view> keys = split_joined(names, count);
    std::vector<manifest::Pair> pairs(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
      pairs[i] = {keys[i], digests.substr(i * hashing::kHexDigestSize, hashing::kHexDigestSize)};
    }
    return hashing::make_hex(env, manifest::merkle_root(pairs));
  });
}

napi_value split_checksums(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    const auto block = buffer_bytes(env, args[0]);
    if (!block) return ErrorRecord(napi_invalid_arg, kBadLines);
    const ChecksumColumns columns = split_checksum_lines(*block);
    if (columns.count == 0) {
      napi_value none = nullptr;
      napi_get_null(env, &none);
      return none;
    }
    TOV_TRY(result, frame::make_array(env, 4));
    TOV_TRY(names, make_bytes(env, columns.names));
    TOV_TRY(digests, make_bytes(env, columns.digests));
    TOV_TRY(count, make_number(env, static_cast<double>(columns.count)));
    TOV_TRY(taken, make_number(env, static_cast<double>(columns.taken)));
    TOV_CHECK(frame::set_element(env, result, 0, names));
    TOV_CHECK(frame::set_element(env, result, 1, digests));
    TOV_CHECK(frame::set_element(env, result, 2, count));
    TOV_CHECK(frame::set_element(env, result, 3, taken));
    return result;
  });
}

napi_value can_walk(napi_env env, napi_callback_info) {
  napi_value answer = nullptr;
  napi_get_boolean(env, platform::can_list_directories(), &answer);
  return answer;
}

}  // namespace tov::tree
