#include "app/ShowNames.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace wavecrate {
namespace {

struct TCategory {
  std::string heading;
  int named;
  std::string closing;  // "" for none
};

const std::vector<TCategory> kCategories = {
    {"All", 2, "  Other Computer"},
    {"Political", 17, "  Other Political"},
    {"Religious", 10, "  Other Religious"},
    {"Financial", 4, "  Other Financial"},
    {"Medical", 2, "  Other Medical"},
    {"Legal", 2, "  Other Legal"},
    {"Morning", 4, "  Other Morning"},
    {"Sports", 3, "  Other Sports"},
    {"Home Improvement", 2, "  Other Home Improve"},
    {"Automotive", 2, "  Other Auto"},
    {"NPR", 3, "  Other NPR"},
    {"Pets", 1, "  Other Pets"},
    {"Travel", 1, "  Other Travel"},
    {"Afternoon", 2, "  Other Afternoon"},
    {"Relationship", 2, "  Other Relationship"},
    {"Music", 4, "  Other Music"},
    {"Other", 1, ""},
};

bool IsIndented(const std::string& entry) {
  return entry.size() > 2 && entry.compare(0, 2, "  ") == 0 && entry[2] != ' ';
}

TEST(ShowNames, CategoriesInOrder) {
  const std::vector<std::string>& entries = ShowNameEntries();
  ASSERT_EQ(entries.size(), 95u);

  std::size_t i = 0;
  int named = 0;
  for (const TCategory& category : kCategories) {
    SCOPED_TRACE(category.heading);
    ASSERT_LT(i, entries.size());
    EXPECT_EQ(entries[i++], category.heading);
    for (int k = 0; k < category.named; ++k, ++i) {
      ASSERT_LT(i, entries.size());
      EXPECT_TRUE(IsIndented(entries[i])) << '"' << entries[i] << '"';
      EXPECT_NE(entries[i].compare(0, 7, "  Other"), 0) << entries[i];
      ++named;
    }
    if (!category.closing.empty()) {
      ASSERT_LT(i, entries.size());
      EXPECT_EQ(entries[i++], category.closing);
    }
  }
  EXPECT_EQ(i, entries.size());
  EXPECT_EQ(named, 62);
}

TEST(ShowNames, EntriesAreDistinctAndTidy) {
  const std::vector<std::string>& entries = ShowNameEntries();
  const std::set<std::string> distinct(entries.begin(), entries.end());
  EXPECT_EQ(distinct.size(), entries.size());
  for (const std::string& entry : entries) {
    EXPECT_FALSE(entry.empty());
    EXPECT_NE(entry.back(), ' ') << '"' << entry << '"';
    // A show name becomes part of a file name.
    EXPECT_EQ(entry.find_first_of("/\\:*?\"<>|\t"), std::string::npos) << entry;
  }
}

}  // namespace
}  // namespace wavecrate
