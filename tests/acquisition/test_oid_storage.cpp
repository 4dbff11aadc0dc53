#include <gtest/gtest.h>

#include <vector>

#include "acquisition/Oid.h"

namespace tarvik {
namespace {

std::vector<std::uint32_t> Components(const Oid& oid) {
    return {oid.Components().begin(), oid.Components().end()};
}

// Names short enough to live inline and names that outgrow that space behave the same:
// appending, copying, writing a component, comparing and printing.
TEST(OidStorageTest, LongNamesBehaveLikeShortOnes) {
    Oid grown;
    std::vector<std::uint32_t> expected;
    for (std::uint32_t i = 0; i < 40; ++i) {
        grown.Append(i * 7);
        expected.push_back(i * 7);
        ASSERT_EQ(Components(grown), expected) << "after " << i + 1 << " components";
    }
    Oid inOneGo;
    inOneGo.Append(std::span<const std::uint32_t>(expected).first(20));
    inOneGo.Append(std::span<const std::uint32_t>(expected).subspan(20));
    EXPECT_EQ(inOneGo, grown);
    EXPECT_EQ(Oid(expected), grown);

    Oid copy = grown;
    copy[35] = 1;
    EXPECT_EQ(grown[35], 245u);
    EXPECT_EQ(copy[35], 1u);
    EXPECT_LT(copy, grown);

    const Oid prefix(std::vector<std::uint32_t>(expected.begin(), expected.begin() + 30));
    EXPECT_TRUE(grown.StartsWith(prefix));
    EXPECT_TRUE(prefix.IsPrefixOf(grown));
    EXPECT_FALSE(prefix.StartsWith(grown));
    EXPECT_LT(prefix, grown);
    EXPECT_TRUE(copy.StartsWith(prefix));  // it differs only past the prefix

    const auto parsed = Oid::Parse(grown.ToString());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, grown);
    EXPECT_EQ(parsed->size(), 40u);
}

}  // namespace
}  // namespace tarvik
