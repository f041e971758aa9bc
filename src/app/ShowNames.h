// The fixed list of show names that the four show name lists offer.
#pragma once

#include <string>
#include <vector>

namespace wavecrate {

// 95 entries in 17 categories: a category heading at the left margin, then its
// entries indented by two blanks; every category but the last closes with an
// indented "Other ..." entry. A show name is always one of these texts,
// blanks included.
const std::vector<std::string>& ShowNameEntries();

}  // namespace wavecrate
