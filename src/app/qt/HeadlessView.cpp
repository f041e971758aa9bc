#include "app/qt/HeadlessView.h"

#include <cstdio>

namespace wavecrate {

void THeadlessView::ShowMessage(const std::string& text) {
  // Nobody is there to acknowledge it: the log keeps it.
  std::fprintf(stderr, "wavecrate: %s\n", text.c_str());
}

}  // namespace wavecrate
