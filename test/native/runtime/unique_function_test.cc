#include "runtime/unique_function.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace tov::runtime {
namespace {

// --- UniqueFunction ------------------------------------------------------

struct Tracked {
  static inline int live = 0;
  static inline int destroyed = 0;
  Tracked() { ++live; }
  Tracked(Tracked&&) noexcept { ++live; }
  ~Tracked() {
    --live;
    ++destroyed;
  }
};

TEST(RuntimeUniqueFunction, OwnsMoveOnlyTargetsInlineAndOnTheHeap) {
  auto owned = std::make_unique<int>(41);
  UniqueFunction<int(int)> small = [p = std::move(owned)](int add) { return *p + add; };
  EXPECT_EQ(small(1), 42);

  std::vector<int> big_payload(3, 7);
  char padding[128] = {};
  UniqueFunction<int()> big = [v = std::move(big_payload), padding]() mutable {
    v.push_back(padding[0] + 1);
    return static_cast<int>(v.size());
  };
  EXPECT_EQ(big(), 4);
  EXPECT_EQ(big(), 5);  // the same target, mutated in place

  UniqueFunction<int()> moved = std::move(big);
  EXPECT_FALSE(big);
  EXPECT_EQ(moved(), 6);

  int seen = 0;
  UniqueFunction<void(int&, int)> by_ref = [](int& out, int v) { out = v; };
  by_ref(seen, 9);
  EXPECT_EQ(seen, 9);
}

TEST(RuntimeUniqueFunction, DestroysEachTargetExactlyOnce) {
  Tracked::live = 0;
  Tracked::destroyed = 0;
  {
    UniqueFunction<void()> inline_target = [t = Tracked()] {};
    struct Big {
      Tracked t;
      std::array<char, 256> pad{};
      void operator()() const {}
    };
    UniqueFunction<void()> heap_target = Big();
    EXPECT_EQ(Tracked::live, 2);
    UniqueFunction<void()> a = std::move(inline_target);
    UniqueFunction<void()> b = std::move(heap_target);
    EXPECT_EQ(Tracked::live, 2);
    a = std::move(b);  // a's old target goes now
    EXPECT_EQ(Tracked::live, 1);
    swap(a, b);
    EXPECT_FALSE(a);
    EXPECT_TRUE(b);
    b = nullptr;
    EXPECT_EQ(Tracked::live, 0);
  }
  EXPECT_EQ(Tracked::live, 0);
}

TEST(RuntimeUniqueFunction, EmptyWrappersAreFalseAndThrowWhenCalled) {
  UniqueFunction<void()> none;
  EXPECT_FALSE(none);
  EXPECT_TRUE(none == nullptr);
  void (*null_pointer)() = nullptr;
  UniqueFunction<void()> from_null = null_pointer;
  EXPECT_FALSE(from_null);
  EXPECT_THROW(none(), std::bad_function_call);
}

TEST(RuntimeUniqueFunction, HonoursOverAlignedTargets) {
  struct alignas(64) Wide {
    char bytes[64];
    std::uintptr_t operator()() const { return reinterpret_cast<std::uintptr_t>(this) % 64; }
  };
  UniqueFunction<std::uintptr_t()> f = Wide{};
  UniqueFunction<std::uintptr_t()> g = std::move(f);
  EXPECT_EQ(g(), 0u);
}

}  // namespace
}  // namespace tov::runtime
