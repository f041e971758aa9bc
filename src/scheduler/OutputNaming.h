// The path a recording is written to: save folder + expanded file-name
// template + ".mp3". Nothing here touches the file system.
#pragma once

#include <string>

#include "common/Clock.h"

namespace wavecrate {

// Removes characters with codes 0 to 32 (blanks, tabs, line ends and other
// control characters) from both ends; nothing inside the text changes.
std::string Trim(const std::string& text);

// Replaces every occurrence of `token` in `text`, scanning from left to right
// and never looking at text it has just inserted.
std::string ReplaceAll(const std::string& text, const std::string& token, const std::string& replacement);

// Expands the case-sensitive tokens "yyyy", "mm", "dd" and "showname" of
// `fileNameFormat`, in that order, and returns folder + result + ".mp3". The
// folder is a plain prefix: no separator is put between it and the name. The
// date tokens go in first, so a show name holding the letters of a token
// keeps them; `showName` is used as given (the caller trims it).
std::string BuildOutputFileName(const std::string& folder, const std::string& showName,
                                const std::string& fileNameFormat, const TLocalTime& date);

}  // namespace wavecrate
