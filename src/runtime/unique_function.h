// A move-only, type-erased callable: what std::move_only_function gives in
// C++23. Tasks own move-only resources (buffers, handles, unique_ptrs), which
// std::function cannot hold because it demands copyable targets.
#pragma once

#include <cstddef>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

namespace tov::runtime {

template <class Signature>
class UniqueFunction;

namespace detail {

template <class T>
struct IsUniqueFunction : std::false_type {};
template <class Signature>
struct IsUniqueFunction<UniqueFunction<Signature>> : std::true_type {};

}  // namespace detail

template <class R, class... Args>
class UniqueFunction<R(Args...)> {
 public:
  // Targets up to this size that can be moved without throwing live inside
  // the object; larger ones go to the heap. Sized so that a lambda holding a
  // std::string and two pointers stays inline.
  static constexpr std::size_t kInlineSize = 48;
  static constexpr std::size_t kInlineAlign = alignof(std::max_align_t);

  UniqueFunction() noexcept = default;
  UniqueFunction(std::nullptr_t) noexcept {}

  template <class F, class D = std::decay_t<F>>
  requires(!std::is_same_v<D, UniqueFunction> && std::is_constructible_v<D, F> &&
           std::is_invocable_r_v<R, D&, Args...>) UniqueFunction(F&& f) {
    // A null function pointer or an empty wrapper makes an empty wrapper, as
    // with std::function, so that emptiness can be tested before a call.
    if constexpr (std::is_pointer_v<D> || std::is_member_pointer_v<D> ||
                  detail::IsUniqueFunction<D>::value) {
      if (f == nullptr) return;
    }
    if constexpr (stored_inline<D>) {
      ::new (static_cast<void*>(storage_)) D(std::forward<F>(f));
    } else {
      *heap_slot() = new D(std::forward<F>(f));
    }
    vtable_ = &kVTable<D>;
  }

  UniqueFunction(UniqueFunction&& other) noexcept { take(other); }

  UniqueFunction& operator=(UniqueFunction&& other) noexcept {
    if (this != &other) {
      reset();
      take(other);
    }
    return *this;
  }

  UniqueFunction& operator=(std::nullptr_t) noexcept {
    reset();
    return *this;
  }

  UniqueFunction(const UniqueFunction&) = delete;
  UniqueFunction& operator=(const UniqueFunction&) = delete;

  ~UniqueFunction() { reset(); }

  explicit operator bool() const noexcept { return vtable_ != nullptr; }
  friend bool operator==(const UniqueFunction& f, std::nullptr_t) noexcept { return !f; }

  // Calling an empty wrapper throws, like std::function, rather than
  // jumping through a null pointer.
  R operator()(Args... args) {
    if (vtable_ == nullptr) throw std::bad_function_call();
    return vtable_->invoke(storage_, std::forward<Args>(args)...);
  }

  void swap(UniqueFunction& other) noexcept {
    UniqueFunction tmp(std::move(other));
    other = std::move(*this);
    *this = std::move(tmp);
  }

 private:
  struct VTable {
    R (*invoke)(void* storage, Args&&... args);
    // Move-constructs the target into `to` and destroys the one in `from`.
    void (*relocate)(void* to, void* from) noexcept;
    void (*destroy)(void* storage) noexcept;
  };

  template <class D>
  static constexpr bool stored_inline =
      sizeof(D) <= kInlineSize &&
      alignof(D) <= kInlineAlign&& std::is_nothrow_move_constructible_v<D>;

  template <class D>
  static D& target(void* storage) noexcept {
    if constexpr (stored_inline<D>) {
      return *std::launder(static_cast<D*>(storage));
    } else {
      return **static_cast<D**>(storage);
    }
  }

  template <class D>
  static R invoke_target(void* storage, Args&&... args) {
    if constexpr (std::is_void_v<R>) {
      std::invoke(target<D>(storage), std::forward<Args>(args)...);
    } else {
      return std::invoke(target<D>(storage), std::forward<Args>(args)...);
    }
  }

  template <class D>
  static void relocate_target(void* to, void* from) noexcept {
    if constexpr (stored_inline<D>) {
      D& source = target<D>(from);
      ::new (to) D(std::move(source));
      source.~D();
    } else {
      *static_cast<D**>(to) = *static_cast<D**>(from);
    }
  }

  template <class D>
  static void destroy_target(void* storage) noexcept {
    if constexpr (stored_inline<D>) {
      target<D>(storage).~D();
    } else {
      delete *static_cast<D**>(storage);
    }
  }

  template <class D>
  static constexpr VTable kVTable{&invoke_target<D>, &relocate_target<D>, &destroy_target<D>};

  void** heap_slot() noexcept { return static_cast<void**>(static_cast<void*>(storage_)); }

  void take(UniqueFunction& other) noexcept {
    if (other.vtable_ == nullptr) return;
    other.vtable_->relocate(storage_, other.storage_);
    vtable_ = std::exchange(other.vtable_, nullptr);
  }

  void reset() noexcept {
    if (vtable_ != nullptr) std::exchange(vtable_, nullptr)->destroy(storage_);
  }

  alignas(kInlineAlign) unsigned char storage_[kInlineSize];
  const VTable* vtable_ = nullptr;
};

template <class Signature>
void swap(UniqueFunction<Signature>& a, UniqueFunction<Signature>& b) noexcept {
  a.swap(b);
}

}  // namespace tov::runtime
