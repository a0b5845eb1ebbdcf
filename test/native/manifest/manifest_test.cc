#include "manifest/manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace tov::manifest {
namespace {

using namespace std::string_literals;

constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kAOneBTwoDigest[] =
    "2bc11e86e8348c7c62f11e681435b5d013a262e5a9f3b8ce61c25831a516a45e";

// Owns the strings that the pairs view.
struct Manifest {
  std::vector<std::pair<std::string, std::string>> entries;

  std::vector<Pair> pairs() const {
    std::vector<Pair> out;
    for (const auto& [key, value] : entries) out.push_back({key, value});
    return out;
  }
};

Manifest make(std::initializer_list<std::pair<std::string, std::string>> entries) {
  return Manifest{entries};
}

std::string root_hex(const Manifest& m) {
  const auto pairs = m.pairs();
  return hashing::to_hex(merkle_root(pairs));
}

std::string text_of(const Manifest& m) {
  const auto pairs = m.pairs();
  return canonical_text(pairs);
}

bool unsigned_less(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  });
}

std::string reference_text(const Manifest& m) {
  auto entries = m.entries;
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return unsigned_less(a.first, b.first); });
  std::string text;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i != 0) text += '\n';
    text += entries[i].first + ':' + entries[i].second;
  }
  return text;
}

struct SortedDiff {
  std::vector<std::string> added, modified, deleted;
  bool operator==(const SortedDiff&) const = default;
};

std::vector<std::string> sorted(const std::vector<std::string_view>& keys) {
  std::vector<std::string> out(keys.begin(), keys.end());
  std::sort(out.begin(), out.end());
  return out;
}

SortedDiff run_diff(const Manifest& first, const Manifest& second) {
  const auto a = first.pairs();
  const auto b = second.pairs();
  const DiffResult r = diff(a, b);
  return {sorted(r.added), sorted(r.modified), sorted(r.deleted)};
}

SortedDiff reference_diff(const Manifest& first, const Manifest& second) {
  std::map<std::string, std::string> a, b;
  for (const auto& [k, v] : first.entries) a[k] = v;
  for (const auto& [k, v] : second.entries) b[k] = v;
  SortedDiff d;
  for (const auto& [k, v] : b) {
    auto it = a.find(k);
    if (it == a.end()) {
      d.added.push_back(k);
    } else if (it->second != v) {
      d.modified.push_back(k);
    }
  }
  for (const auto& [k, v] : a) {
    if (!b.count(k)) d.deleted.push_back(k);
  }
  return d;
}

// Keys from a small alphabet over a few shared stems, so that duplicates,
// prefixes, long common runs and the awkward bytes (NUL, 0xFF, UTF-8 lead
// bytes, '/', '.') all turn up often.
Manifest random_manifest(std::mt19937_64& rng, std::size_t n) {
  static const std::string stems[] = {
      "", "src/dir", std::string(29, 'x'), std::string(50, 'y'), "a\0b"s, "\xff\xff"};
  static const std::string alphabet = "\0ab./\xc3\xe2\xf0\xff:\n"s;
  std::uniform_int_distribution<std::size_t> stem(0, std::size(stems) - 1);
  std::uniform_int_distribution<std::size_t> length(0, 17);
  std::uniform_int_distribution<std::size_t> letter(0, alphabet.size() - 1);
  Manifest m;
  for (std::size_t i = 0; i < n; ++i) {
    std::string key = stems[stem(rng)];
    for (std::size_t j = length(rng); j > 0; --j) key += alphabet[letter(rng)];
    std::string value(length(rng) % 3, '\0');
    for (char& c : value) c = alphabet[letter(rng)];
    m.entries.emplace_back(std::move(key), std::move(value));
  }
  return m;
}

// Paths and digests shaped like a real source tree.
Manifest tree_manifest(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Manifest m;
  for (std::size_t i = 0; i < n; ++i) {
    std::string value(64, '0');
    for (char& c : value) c = "0123456789abcdef"[rng() % 16];
    m.entries.emplace_back(
        "src/dir" + std::to_string(rng() % 300) + "/file" + std::to_string(rng() % 1000) + ".ts",
        std::move(value));
  }
  return m;
}

TEST(ManifestText, JoinsSortedLinesWithoutTrailingNewline) {
  const Manifest m = make({{"b", "2"}, {"a", "1"}, {"c", ""}, {"", "z"}});
  EXPECT_EQ(text_of(m), ":z\na:1\nb:2\nc:");
  const auto pairs = m.pairs();
  // (1+1+1+1+1+0+0+1) key/value bytes + 4 colons + 3 line feeds.
  EXPECT_EQ(canonical_text_size(pairs), 13u);
  EXPECT_EQ(text_of(m).size(), 13u);
}

TEST(ManifestText, EmptyAndSingle) {
  EXPECT_EQ(text_of({}), "");
  EXPECT_EQ(canonical_text_size({}), 0u);
  EXPECT_EQ(text_of(make({{"a", "1"}})), "a:1");
  EXPECT_EQ(text_of(make({{"", ""}})), ":");
}

TEST(ManifestText, OrdersKeysAsUnsignedBytes) {
  const Manifest m = make({{"\xff", "9"},
                           {"a/b", "4"},
                           {"\xf0\x9f\x98\x80", "8"},
                           {"a.txt", "3"},
                           {"a\xc3\xa9", "6"},
                           {"a", "2"},
                           {"\xe2\x82\xac", "7"},
                           {"B", "1"},
                           {"az", "5"}});
  EXPECT_EQ(text_of(m),
            "B:1\na:2\na.txt:3\na/b:4\naz:5\na\xc3\xa9:6\n\xe2\x82\xac:7\n\xf0\x9f\x98\x80:8\n"
            "\xff:9");
}

TEST(ManifestText, NulBytesAreData) {
  const Manifest m = make({{"a\0b"s, "v\0"s}, {"a"s, "x"}, {"a\0"s, "\0"s}, {"\0"s, "y"}});
  EXPECT_EQ(text_of(m), "\0:y\na:x\na\0:\0\na\0b:v\0"s);
}

TEST(ManifestText, EqualKeysKeepInputOrder) {
  EXPECT_EQ(text_of(make({{"a", "2"}, {"b", "0"}, {"a", "1"}, {"a", "3"}})), "a:2\na:1\na:3\nb:0");
}

TEST(ManifestRoot, DocumentedDigests) {
  EXPECT_EQ(root_hex({}), kEmptyDigest);
  EXPECT_EQ(root_hex(make({{"a", "1"}, {"b", "2"}})), kAOneBTwoDigest);
  EXPECT_EQ(root_hex(make({{"b", "2"}, {"a", "1"}})), kAOneBTwoDigest);
  EXPECT_EQ(root_hex(make({{"a", "1"}})), hashing::hex_digest("a:1"));
}

TEST(ManifestRoot, EqualKeysOrderMatters) {
  EXPECT_NE(root_hex(make({{"a", "2"}, {"a", "1"}})), root_hex(make({{"a", "1"}, {"a", "2"}})));
  EXPECT_EQ(root_hex(make({{"a", "2"}, {"a", "1"}})), hashing::hex_digest("a:2\na:1"));
}

TEST(ManifestRoot, NoEscapingAndVerbatimValues) {
  EXPECT_EQ(root_hex(make({{"a:b", "c"}})), root_hex(make({{"a", "b:c"}})));
  EXPECT_EQ(root_hex(make({{"a\nb", "c"}})), hashing::hex_digest("a\nb:c"));
  EXPECT_NE(root_hex(make({{"a", "ABCDEF"}})), root_hex(make({{"a", "abcdef"}})));
}

TEST(ManifestRoot, ValuesLongerThanTheHashBufferAgreeWithText) {
  const Manifest m =
      make({{"z", std::string(100'000, 'q')}, {"m", "1"}, {"a", std::string(16384, 'r')}});
  EXPECT_EQ(root_hex(m), hashing::hex_digest(text_of(m)));
}

TEST(ManifestRandom, MatchesStableSortReference) {
  std::mt19937_64 rng(20240611);
  // Sizes on both sides of the switch between comparison and radix sorting.
  for (std::size_t n : {0, 1, 2, 3, 7, 31, 255, 256, 257, 600, 3000, 20000}) {
    const Manifest m = random_manifest(rng, n);
    const std::string expected = reference_text(m);
    ASSERT_EQ(text_of(m), expected) << "n=" << n;
    ASSERT_EQ(root_hex(m), hashing::hex_digest(expected)) << "n=" << n;
  }
}

// Sorted input is told in one pass; an input sorted but for one pair at
// either end, or with equal keys whose values differ, must still come out
// as the stable sort has it.
TEST(ManifestRandom, InputSortedOrNearlySoMatchesReference) {
  std::mt19937_64 rng(20261211);
  for (std::size_t n : {2, 3, 300, 5000}) {
    Manifest m = random_manifest(rng, n);
    std::stable_sort(m.entries.begin(), m.entries.end(),
                     [](const auto& a, const auto& b) { return unsigned_less(a.first, b.first); });
    ASSERT_EQ(text_of(m), reference_text(m)) << "sorted, n=" << n;
    Manifest last = m;
    std::swap(last.entries[n - 2], last.entries[n - 1]);
    ASSERT_EQ(text_of(last), reference_text(last)) << "last pair swapped, n=" << n;
    Manifest first = m;
    first.entries.push_back(first.entries.front());
    first.entries.front().first += "\xff";
    ASSERT_EQ(text_of(first), reference_text(first)) << "first key grown, n=" << n;
    ASSERT_EQ(root_hex(first), hashing::hex_digest(reference_text(first))) << "n=" << n;
  }
}

TEST(ManifestRandom, LargeTreeMatchesReference) {
  const Manifest m = tree_manifest(100'000, 7);
  const std::string expected = reference_text(m);
  EXPECT_EQ(text_of(m), expected);
  EXPECT_EQ(root_hex(m), hashing::hex_digest(expected));
}

TEST(ManifestDiff, EmptyManifests) {
  EXPECT_EQ(run_diff({}, {}), SortedDiff{});
  const Manifest m = make({{"x", "1"}, {"y", "2"}, {"x", "3"}});
  EXPECT_EQ(run_diff({}, m), (SortedDiff{{"x", "y"}, {}, {}}));
  EXPECT_EQ(run_diff(m, {}), (SortedDiff{{}, {}, {"x", "y"}}));
}

TEST(ManifestDiff, AddedModifiedDeleted) {
  const Manifest first = make({{"a", "1"}, {"b", "2"}, {"c", "3"}});
  const Manifest second = make({{"a", "1"}, {"b", "9"}, {"d", "4"}});
  EXPECT_EQ(run_diff(first, second), (SortedDiff{{"d"}, {"b"}, {"c"}}));
  EXPECT_EQ(run_diff(second, first), (SortedDiff{{"c"}, {"b"}, {"d"}}));
  EXPECT_EQ(run_diff(first, first), SortedDiff{});
}

TEST(ManifestDiff, LastDuplicateWins) {
  EXPECT_EQ(run_diff(make({{"a", "1"}}), make({{"a", "2"}, {"a", "1"}})), SortedDiff{});
  EXPECT_EQ(run_diff(make({{"a", "1"}}), make({{"a", "1"}, {"a", "2"}})),
            (SortedDiff{{}, {"a"}, {}}));
  EXPECT_EQ(run_diff(make({{"a", "2"}, {"a", "1"}}), make({{"a", "1"}})), SortedDiff{});
  EXPECT_EQ(run_diff(make({{"a", "1"}, {"a", "2"}}), make({{"a", "1"}})),
            (SortedDiff{{}, {"a"}, {}}));
}

TEST(ManifestDiff, RepeatedKeyListedOnce) {
  EXPECT_EQ(run_diff({}, make({{"x", "1"}, {"x", "1"}})), (SortedDiff{{"x"}, {}, {}}));
  EXPECT_EQ(run_diff(make({{"x", "0"}, {"x", "0"}}), make({{"x", "1"}, {"x", "2"}, {"x", "3"}})),
            (SortedDiff{{}, {"x"}, {}}));
}

TEST(ManifestDiff, KeysAndValuesCompareExactly) {
  const Manifest first = make({{"A", "ab"}, {"dir/x", "1"}, {"k", "abc"}, {"n\0"s, "1"}});
  const Manifest second = make({{"a", "ab"}, {"dir\\x", "1"}, {"k", "ABC"}, {"n"s, "1"}});
  EXPECT_EQ(run_diff(first, second),
            (SortedDiff{{"a", "dir\\x", "n"}, {"k"}, {"A", "dir/x", "n\0"s}}));
  EXPECT_EQ(run_diff(make({{"k", "1\0"s}}), make({{"k", "1"}})), (SortedDiff{{}, {"k"}, {}}));
  EXPECT_EQ(run_diff(make({{"", ""}}), make({{"", ""}})), SortedDiff{});
}

TEST(ManifestDiff, ListsFollowInputOrderOfLastEntries) {
  const Manifest first = make({{"q", "1"}, {"p", "1"}, {"gone2", "1"}, {"gone1", "1"}});
  const Manifest second =
      make({{"new2", "1"}, {"p", "2"}, {"new1", "1"}, {"q", "2"}, {"new2", "3"}});
  const auto a = first.pairs();
  const auto b = second.pairs();
  const DiffResult r = diff(a, b);
  EXPECT_EQ(r.added, (std::vector<std::string_view>{"new1", "new2"}));
  EXPECT_EQ(r.modified, (std::vector<std::string_view>{"p", "q"}));
  EXPECT_EQ(r.deleted, (std::vector<std::string_view>{"gone2", "gone1"}));
}

TEST(ManifestDiffRandom, MatchesMapReference) {
  std::mt19937_64 rng(99);
  for (std::size_t n : {1, 5, 40, 500, 5000}) {
    const Manifest first = random_manifest(rng, n);
    Manifest second = random_manifest(rng, n / 2);
    // Share most keys so that every outcome is common.
    for (std::size_t i = 0; i < first.entries.size(); i += 2) {
      auto entry = first.entries[i];
      if (rng() % 4 == 0) entry.second += "!";
      second.entries.push_back(std::move(entry));
    }
    std::shuffle(second.entries.begin(), second.entries.end(), rng);
    ASSERT_EQ(run_diff(first, second), reference_diff(first, second)) << "n=" << n;
  }
}

TEST(ManifestDiffRandom, LargeTreesMatchReference) {
  const Manifest first = tree_manifest(100'000, 1);
  Manifest second = first;
  std::mt19937_64 rng(2);
  for (auto& entry : second.entries) {
    const auto roll = rng() % 100;
    if (roll < 2) entry.second[0] = entry.second[0] == 'f' ? '0' : 'f';
    if (roll == 2) entry.first += ".moved";
  }
  const SortedDiff expected = reference_diff(first, second);
  EXPECT_FALSE(expected.added.empty());
  EXPECT_FALSE(expected.modified.empty());
  EXPECT_EQ(run_diff(first, second), expected);
}

}  // namespace
}  // namespace tov::manifest
