#include "src/fullmap/normalize.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "storage/tests/support/random_seed.h"

namespace rs::fullmap {
namespace {

// The keys emit_term records for `raw`, sorted.
std::vector<std::string> keys_of(std::string_view raw) {
  TermMap map;
  emit_term(raw, 11, 3, &map);
  std::vector<std::string> keys;
  map.for_each([&](std::string_view term, const TermMap::Postings& postings) {
    EXPECT_EQ(postings, (TermMap::Postings{{11, 3}})) << term;
    keys.emplace_back(term);
  });
  std::sort(keys.begin(), keys.end());
  return keys;
}

using Keys = std::vector<std::string>;

TEST(FullmapNormalize, EmitTermKeys) {
  struct Case {
    std::string raw;
    Keys keys;
  } cases[] = {
      {"  \"Tumor Necrosis Factor-Alpha\" ",
       {"tumor necrosis factor-alpha", "tumornecrosisfactoralpha"}},
      {"N/A", {"n/a"}},                        // na is a stop word
      {"12-34", {"12-34"}},                    // 1234 is all digits
      {"p-value", {"p-value", "pvalue"}},
      {"P_Value", {}},                         // p_value is a stop word
      {"InChIKey=ABC", {}},
      {"inchi key", {"inchi key"}},            // inchikey is rejected
      {"\xCE\x91\xCE\xBB\xCF\x86\xCE\xB1", {"\xCE\xB1\xCE\xBB\xCF\x86\xCE\xB1"}},  // Greek Alpha
      {"'word'", {"word"}},
      {"'word", {"'word", "word"}},
      {"\"", {"\""}},
      {"  \t ", {}},
      {"", {}},
      {"tumor\nnecrosis", {}},
      {"9606", {}},
      {"9606a", {"9606a"}},
      {"0000", {}},
      {"1234567890123456789012345678901234567890", {}},
      {"HP:0001250", {"hp0001250", "hp:0001250"}},
      {"snake_case_9", {"snake_case_9"}},
      // Every stop word, whatever its case; the list's second 8-letter word is
      // "estimate".
      {"NaN", {}},
      {"None", {}},
      {"NULL", {}},
      {"Result", {}},
      {"Symbol", {}},
      {"Unknown", {}},
      {"Exposure", {}},
      {"Estimate", {}},
      {"ESTIMATE", {}},
      {"Expression", {}},
      {"Not Applicable", {}},
      {"\"estimate\"", {}},
      {"estimates", {"estimates"}},
      {"gene expression", {"gene expression", "geneexpression"}},
      {"uncharacterized protein", {}},
      {"Hypothetical", {}},
      // Final sigma: a capital sigma ending a word becomes the final form.
      {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3", {"\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82"}},
      // U+0130 lowercases to i and a combining dot above in the root locale;
      // the second key keeps only the ASCII letters.
      {"\xC4\xB0stanbul", {"istanbul", "i\xCC\x87stanbul"}},
      // Turkish rules never apply: plain I is i.
      {"I\xC4\xB0", {"ii", "ii\xCC\x87"}},
      // No-break space and ideographic space are trimmed; inside, they stay.
      {"\xC2\xA0" "Beta Cell\xE3\x80\x80", {"beta cell", "betacell"}},
      {"a\xC2\xA0" "b", {"ab", "a\xC2\xA0" "b"}},
      // A combining acute is kept in the first key and dropped in the second.
      {"CAFE\xCC\x81", {"cafe", "cafe\xCC\x81"}},
  };
  for (const Case& c : cases) EXPECT_EQ(keys_of(c.raw), c.keys) << "raw: " << c.raw;
}

TEST(FullmapNormalize, CleanSlice) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"  word  ", "word"},
      {"\"\"word\"\"", "word\""},
      {"\"", "\""},
      {"\"\"", "\""},
      {"''", "'"},
      {"'word", "'word"},
      {"\"a'", "\"a'"},
      {" ' x ' ", "x"},
      {"\xE3\x80\x80\"y\"\xC2\xA0", "y"},
      {"\x1Fword", "\x1Fword"},  // not White_Space
      {"\"'\"", "'"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(clean_slice(c.in), c.out) << c.in;
  std::string text = "  \"abc\" ";
  std::string_view cleaned = clean_slice(text);
  EXPECT_EQ(cleaned.data(), text.data() + 3) << "a sub-slice, not a copy";
}

TEST(FullmapNormalize, LowercaseCopiesOnlyWhenItMust) {
  std::string scratch = "stale";
  std::string already = "already lower 123 ~";
  EXPECT_EQ(lowercase(already, &scratch).data(), already.data());
  // Capitals in every position of a word, and a tail.
  EXPECT_EQ(lowercase("ABCDEFGHIJKLMNOPQRSTUVWXYZ@[`{", &scratch),
            "abcdefghijklmnopqrstuvwxyz@[`{");
  EXPECT_EQ(lowercase("\xC3\x89" "COLE", &scratch), "\xC3\xA9" "cole");
}

TEST(FullmapNormalize, AsciiLowercaseMatchesBytewiseModel) {
  uint64_t seed = storage_test_support::random_seed();
  std::printf("seed %llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  std::string scratch;
  for (int round = 0; round < 2000; ++round) {
    std::string s(rng() % 40, ' ');
    for (char& c : s) c = static_cast<char>(rng() % 128);
    std::string expect = s;
    for (char& c : expect) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    ASSERT_EQ(lowercase(s, &scratch), expect) << "seed " << seed;
  }
}

TEST(FullmapNormalize, LevelTwoKeepsAsciiWordCharacters) {
  EXPECT_EQ(level_two("a-B_9 \xC3\xA9z!"), "aB_9z");
  EXPECT_EQ(level_two("\xCE\xB1"), "");
}

TEST(FullmapNormalize, StopTestAndQualityTest) {
  EXPECT_TRUE(is_dead_term(""));
  EXPECT_TRUE(is_dead_term("7"));
  EXPECT_FALSE(is_dead_term("7a"));
  EXPECT_FALSE(is_dead_term("NA"));  // compared after lowercasing only
  for (std::string_view w : stop_words()) EXPECT_TRUE(is_dead_term(w)) << w;
  EXPECT_EQ(stop_words().size(), 12u);
  EXPECT_FALSE(token_qc(""));
  EXPECT_FALSE(token_qc("a\tb"));
  EXPECT_FALSE(token_qc("a\rb"));
  EXPECT_TRUE(token_qc("InChIKey"));  // case-sensitive: texts are lowercased first
  EXPECT_TRUE(token_qc("a b"));
}

TEST(FullmapTermMap, KeepsRepeatsInArrivalOrderAndDrainsKeepingItsTable) {
  TermMap map;
  emit_term("Beta", 5, 1, &map);
  emit_term("beta", 2, 0, &map);
  emit_term("BETA", 5, 1, &map);
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(*map.find("beta"), (TermMap::Postings{{5, 1}, {2, 0}, {5, 1}}));
  for (int i = 0; i < 1000; ++i) map.add("t" + std::to_string(i), {uint32_t(i), 0});
  size_t buckets = map.bucket_count();
  std::map<std::string, size_t> drained;
  map.drain([&](TermMap::Term&& term, TermMap::Postings&& postings) {
    drained.emplace(std::string(term), postings.size());
  });
  EXPECT_EQ(drained.size(), 1001u);
  EXPECT_EQ(drained["beta"], 3u);
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.bucket_count(), buckets);
  EXPECT_EQ(map.find("beta"), nullptr);
}

// Plain and queued adds mixed, flushed at random points: arrival order holds
// across the queue, and queued adds are seen only once flushed.
TEST(FullmapTermMap, RandomAddsMatchTheModelAcrossGrowthAndRefills) {
  uint64_t seed = storage_test_support::random_seed();
  std::printf("seed %llu\n", static_cast<unsigned long long>(seed));
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  TermMap map;
  for (int fill = 0; fill < 3; ++fill) {
    std::map<std::string, TermMap::Postings> model;
    size_t n = 1 + rng() % 20000;
    size_t seen = 0;  // distinct terms of the adds made so far
    std::set<std::string> queued;
    for (size_t i = 0; i < n; ++i) {
      // Short terms over a small alphabet: many repeats, and prefixes of each other.
      std::string term(rng() % 6, 'a');
      for (char& c : term) c = static_cast<char>('a' + rng() % 4);
      Posting p{static_cast<uint32_t>(rng()), static_cast<uint8_t>(rng())};
      if (rng() % 3 == 0) {
        map.add(term, p);
        queued.clear();
      } else {
        if (queued.size() == 0) seen = model.size();
        map.add_queued(term, p);
        queued.insert(term);
      }
      model[term].push_back(p);
      if (rng() % 50 == 0) {
        map.flush();
        queued.clear();
      }
      // Queued adds are unseen until flushed (a queue of at most 32 flushes
      // itself when full, so only the bound is certain).
      if (queued.empty()) {
        ASSERT_EQ(map.size(), model.size());
      } else {
        ASSERT_GE(map.size(), seen);
      }
    }
    map.flush();
    ASSERT_EQ(map.size(), model.size());
    for (const auto& [term, postings] : model) {
      ASSERT_NE(map.find(term), nullptr) << term;
      EXPECT_EQ(*map.find(term), postings) << term;
    }
    EXPECT_EQ(map.find("zzzz"), nullptr);
    std::map<std::string, TermMap::Postings> drained;
    size_t slots = map.bucket_count();
    map.drain([&](TermMap::Term&& t, TermMap::Postings&& p) { drained.emplace(std::string(t), p); });
    EXPECT_EQ(drained, model);
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(map.bucket_count(), slots);
    EXPECT_EQ(map.find(""), nullptr);
  }
}

// Threads normalise at once (each with its own map, sharing the case
// mapping) and get what one thread gets.
TEST(FullmapNormalizeConcurrent, ThreadsAgreeWithOneThread) {
  std::vector<std::string> names;
  const char* parts[] = {"\xC4\xB0", "Caf\xC3\xA9", "\xCE\xA3", "TNF-Alpha", " ", "\"", "x_1",
                         "\xE3\x80\x80", "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"};
  std::mt19937_64 rng(3);
  for (int i = 0; i < 3000; ++i) {
    std::string n;
    for (int k = 0, len = 1 + static_cast<int>(rng() % 4); k < len; ++k) {
      n += parts[rng() % std::size(parts)];
    }
    names.push_back(n);
  }
  auto run = [&](TermMap* map) {
    for (size_t i = 0; i < names.size(); ++i) {
      emit_term(names[i], static_cast<uint32_t>(i), 0, map);
    }
  };
  auto as_model = [](const TermMap& map) {
    std::map<std::string, TermMap::Postings> m;
    map.for_each([&](std::string_view t, const TermMap::Postings& p) { m[std::string(t)] = p; });
    return m;
  };
  TermMap alone;
  run(&alone);
  TermMap queued;
  for (size_t i = 0; i < names.size(); ++i) {
    emit_term_queued(names[i], static_cast<uint32_t>(i), 0, &queued);
  }
  queued.flush();
  EXPECT_EQ(as_model(queued), as_model(alone));
  std::vector<TermMap> maps(4);
  std::vector<std::thread> threads;
  for (TermMap& m : maps) threads.emplace_back(run, &m);
  for (std::thread& t : threads) t.join();
  for (const TermMap& m : maps) EXPECT_EQ(as_model(m), as_model(alone));
}

TEST(FullmapFxHash, TextsHashAlikeHoweverPassed) {
  EXPECT_EQ(fx_hash_bytes("abcdefghijk"), FxHash{}(std::string("abcdefghijk")));
}

}  // namespace
}  // namespace rs::fullmap
