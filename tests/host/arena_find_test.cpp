// Finding a needle in a name arena through its rarest byte.
#include "host/index/arena_find.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ArenaFind, FindsWhatAPlainFindFindsThroughAnyOfTheNeedlesBytes) {
    const std::string text = "ab.txt\nsetup.txt\nxx.tx\n.txt";
    for (const std::string& needle : {std::string("t"), std::string(".txt"), std::string("txt\n"), std::string("xx"),
                                      std::string("tx"), std::string("zzz"), std::string("t\n.txt"),
                                      std::string("b.txt\nsetup"), text, text + "x"})
        for (size_t rare = 0; rare < needle.size(); ++rare)
            for (size_t from = 0; from <= text.size(); ++from)
                ASSERT_EQ(host::arena_find(text, from, needle, rare), text.find(needle, from))
                    << needle << " rare " << rare << " from " << from;
}

TEST(ArenaFind, TheRareByteIsTheOneTheArenaHoldsLeast) {
    host::ArenaByteCounts counts = host::arena_byte_counts("sss.txt\nsetup.txt\n");
    EXPECT_EQ(host::arena_rare_byte(counts, "setup"), 1u);  // 'e', 'u' and 'p' once: the first of them
    EXPECT_EQ(host::arena_rare_byte(counts, ".txt"), 0u);
    EXPECT_EQ(host::arena_rare_byte(counts, "tq"), 1u);  // a byte the arena lacks is the rarest
    // A large arena is sampled: the estimate keeps the order of common and rare bytes.
    std::string large(4 << 20, 'a');
    for (size_t at = 0; at < large.size(); at += 512) large[at] = 'q';
    counts = host::arena_byte_counts(large);
    EXPECT_GT(counts.of['q'], 0u);
    EXPECT_GT(counts.of['a'], 100 * counts.of['q']);
    EXPECT_EQ(host::arena_rare_byte(counts, "aaqa"), 2u);
}

}  // namespace
