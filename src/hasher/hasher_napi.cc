#include "hasher/hasher_napi.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "base/texts.h"
#include "frame/args_napi.h"
#include "frame/call_napi.h"
#include "frame/promise_napi.h"
#include "hasher/saved_state.h"
#include "hasher/sha256.h"
#include "hasher/stream_job.h"
#include "hashing/hex_napi.h"
#include "runtime/runtime_slot.h"

namespace tov::hasher {

namespace texts = base::texts;
using frame::ErrorRecord;
using frame::Result;

namespace {

// The largest integer a JavaScript number holds exactly.
constexpr double kMaxSafeInteger = 9007199254740991.0;

ErrorRecord bad_arguments() {
  return ErrorRecord(napi_invalid_arg, texts::kHasherBadArguments);
}

// A TypedArray of the given type and at least `min_length` elements.
template <class T>
Result<T*> typed_elements(napi_env env, napi_value value, napi_typedarray_type want,
                          std::size_t min_length) {
  napi_typedarray_type type = napi_int8_array;
  std::size_t length = 0;
  void* data = nullptr;
  napi_value backing = nullptr;
  std::size_t offset = 0;
  if (napi_get_typedarray_info(env, value, &type, &length, &data, &backing, &offset) != napi_ok ||
      type != want || length < min_length || data == nullptr) {
    return bad_arguments();
  }
  return static_cast<T*>(data);
}

Result<std::uint32_t*> words_of(napi_env env, napi_value value) {
  return typed_elements<std::uint32_t>(env, value, napi_uint32_array, 8);
}

Result<std::span<const std::uint8_t>> bytes_of(napi_env env, napi_value value) {
  auto buffer = frame::to_buffer(env, value);
  if (!buffer) return bad_arguments();
  return std::span<const std::uint8_t>(buffer->data(), buffer->size());
}

Result<std::uint64_t> index_of(napi_env env, napi_value value) {
  double number = 0;
  if (napi_get_value_double(env, value, &number) != napi_ok || !(number >= 0) ||
      number > kMaxSafeInteger || std::floor(number) != number) {
    return bad_arguments();
  }
  return static_cast<std::uint64_t>(number);
}

// bytes[offset .. offset + size), checked against the view's length.
Result<std::span<const std::uint8_t>> range_of(std::span<const std::uint8_t> bytes,
                                               std::uint64_t offset, std::uint64_t size) {
  if (offset > bytes.size() || size > bytes.size() - offset) return bad_arguments();
  return bytes.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
}

// Words in JavaScript memory are copied in and out: a typed array's data
// carries no promise of alignment to the native side.
struct WordsCopy {
  explicit WordsCopy(std::uint32_t* where) : where(where) {
    std::memcpy(words, where, sizeof words);
  }
  void store() const { std::memcpy(where, words, sizeof words); }
  std::uint32_t* where;
  Words words;
};

Result<napi_value> make_number(napi_env env, double number) {
  napi_value value = nullptr;
  const napi_status status = napi_create_double(env, number, &value);
  if (status != napi_ok) return ErrorRecord(status, std::string());
  return value;
}

Result<napi_value> make_undefined(napi_env env) {
  napi_value value = nullptr;
  const napi_status status = napi_get_undefined(env, &value);
  if (status != napi_ok) return ErrorRecord(status, std::string());
  return value;
}

// ---- Stream jobs ----

// Chunks of this size hashed on the JavaScript thread when the job is idle
// (StreamJob::hash_here): from here up, copying and handing over cost more
// than the overlap gains. Larger chunks go to the background again, so that
// no single call holds the event loop for long.
constexpr std::size_t kHashHereMin = std::size_t{256} << 10;
constexpr std::size_t kHashHereMax = std::size_t{4} << 20;

using JobHandle = std::shared_ptr<StreamJob>;

void job_finalized(napi_env, void* data, void*) {
  delete static_cast<JobHandle*>(data);
}

Result<JobHandle> job_of(napi_env env, napi_value value) {
  napi_valuetype type = napi_undefined;
  void* data = nullptr;
  if (napi_typeof(env, value, &type) != napi_ok || type != napi_external ||
      napi_get_value_external(env, value, &data) != napi_ok || data == nullptr) {
    return bad_arguments();
  }
  return *static_cast<JobHandle*>(data);
}

// Starts the drain that push asked for. Without a runtime (the process is
// ending) the caller drains itself, so that waiters are still answered.
void start_drain(const JobHandle& job) {
  const bool spawned = runtime::spawn_guarded([job] { job->drain(); }, [](std::string_view) {});
  if (!spawned) job->drain();
}

}  // namespace

napi_value blocks_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<4>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(words, words_of(env, args[0]));
    TOV_TRY(bytes, bytes_of(env, args[1]));
    TOV_TRY(offset, index_of(env, args[2]));
    TOV_TRY(blocks, index_of(env, args[3]));
    if (blocks > bytes.size() / kBlockSize) return bad_arguments();
    TOV_TRY(run, range_of(bytes, offset, blocks * kBlockSize));
    WordsCopy copy(words);
    compress(copy.words, run.data(), run.size() / kBlockSize);
    copy.store();
    return make_undefined(env);
  });
}

napi_value finish_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<5>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(words, words_of(env, args[0]));
    TOV_TRY(bytes, bytes_of(env, args[1]));
    TOV_TRY(offset, index_of(env, args[2]));
    TOV_TRY(length, index_of(env, args[3]));
    TOV_TRY(total, index_of(env, args[4]));
    TOV_TRY(tail, range_of(bytes, offset, length));
    if (total < length) return bad_arguments();
    WordsCopy copy(words);
    const hashing::Digest digest = finish(copy.words, tail, total);
    copy.store();
    return hashing::make_hex(env, digest);
  });
}

napi_value save_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<4>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(words, words_of(env, args[0]));
    TOV_TRY(bytes, bytes_of(env, args[1]));
    TOV_TRY(length, index_of(env, args[2]));
    TOV_TRY(total, index_of(env, args[3]));
    TOV_TRY(pending, range_of(bytes, 0, length));
    if (length != total % kBlockSize) return bad_arguments();
    const WordsCopy copy(words);
    const std::vector<std::uint8_t> saved = save(copy.words, total, pending);

    void* data = nullptr;
    napi_value buffer = nullptr;
    napi_status status = napi_create_arraybuffer(env, saved.size(), &data, &buffer);
    if (status != napi_ok) return ErrorRecord(status, std::string());
    std::memcpy(data, saved.data(), saved.size());
    napi_value view = nullptr;
    status = napi_create_typedarray(env, napi_uint8_array, saved.size(), buffer, 0, &view);
    if (status != napi_ok) return ErrorRecord(status, std::string());
    return view;
  });
}

napi_value restore_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<3>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(saved, bytes_of(env, args[0]));
    TOV_TRY(words, words_of(env, args[1]));
    TOV_TRY(pending, typed_elements<std::uint8_t>(env, args[2], napi_uint8_array, kBlockSize));
    base::Result<Sha256> state = restore(saved);
    if (!state) return ErrorRecord(napi_invalid_arg, state.error().description());
    if (static_cast<double>(state->count()) > kMaxSafeInteger) {
      return ErrorRecord(napi_invalid_arg, texts::kSavedStateCountUnsafe);
    }
    std::memcpy(words, state->words(), sizeof(Words));
    const std::span<const std::uint8_t> tail = state->pending();
    if (!tail.empty()) std::memcpy(pending, tail.data(), tail.size());
    return make_number(env, static_cast<double>(state->count()));
  });
}

napi_value stream_open_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<0>(env, info, [](napi_env env, auto&) -> Result<napi_value> {
    auto handle = std::make_unique<JobHandle>(std::make_shared<StreamJob>());
    napi_value external = nullptr;
    const napi_status status =
        napi_create_external(env, handle.get(), job_finalized, nullptr, &external);
    if (status != napi_ok) return ErrorRecord(status, std::string());
    handle.release();  // the finalizer owns it now
    return external;
  });
}

napi_value stream_push_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<2>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(job, job_of(env, args[0]));
    TOV_TRY(bytes, bytes_of(env, args[1]));
    if (bytes.size() >= kHashHereMin && bytes.size() <= kHashHereMax && job->hash_here(bytes)) {
      return make_number(env, 0);
    }
    if (job->push(bytes)) start_drain(job);
    return make_number(env, static_cast<double>(job->queued()));
  });
}

napi_value stream_wait_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<2>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(job, job_of(env, args[0]));
    TOV_TRY(limit, index_of(env, args[1]));
    return frame::spawn_promise_work(env, [job, limit](frame::PromiseSettler settler) {
      job->when_queued_at_most(limit, [settler] { settler.deliver(std::string()); });
    });
  });
}

napi_value stream_finish_napi(napi_env env, napi_callback_info info) {
  return frame::call_with_args<1>(env, info, [](napi_env env, auto& args) -> Result<napi_value> {
    TOV_TRY(job, job_of(env, args[0]));
    return frame::spawn_promise_work(env, [job](frame::PromiseSettler settler) {
      // The waiter lives inside the job, so it holds no reference to it: the
      // drain that runs it, or this caller, keeps the job alive meanwhile.
      StreamJob* raw = job.get();
      raw->when_queued_at_most(0,
                               [raw, settler] { settler.deliver(hashing::to_hex(raw->finish())); });
    });
  });
}

}  // namespace tov::hasher
