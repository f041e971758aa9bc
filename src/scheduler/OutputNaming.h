// The path a recording is written to: save folder + expanded file-name
// template + ".mp3". BuildOutputFileName does not touch the file system;
// SaveFolderPrefix and ClaimOutputFile, which the slot thread calls around
// it, do.
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

// The save folder as a path prefix. A typed folder that names an existing
// folder but lacks the trailing "/" gets one, so the files go inside that
// folder rather than beside it with its name in front of theirs. Any other
// text (empty, not a folder, already ending in "/") is kept as it is.
std::string SaveFolderPrefix(const std::string& saveFolder);

// "<name> (n).mp3" for n >= 2 ("<path> (n)" when the path does not end in
// ".mp3").
std::string NumberedFileName(const std::string& path, int n);

// The path a new recording may use without replacing anything: `path` when
// no file of that name exists, else the first free "<name> (2).mp3",
// "<name> (3).mp3", ... The name is claimed by creating the file empty, so
// two slots (or two copies of the program) never get the same one. When the
// file cannot be created for any other reason (a folder that does not
// exist), that name is returned unclaimed and the capture reports the
// failure.
struct TClaimedFile {
  std::string Path;
  bool Created = false;  // the empty file is ours
};
TClaimedFile ClaimOutputFile(const std::string& path);

}  // namespace wavecrate
