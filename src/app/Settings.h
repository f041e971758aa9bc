// The settings file: the user's profile, the four schedule slots as the window
// shows them, the save folder, the file-name template and two switches.
#pragma once

#include <array>
#include <stdexcept>
#include <string>

#include "audio/RecordingFile.h"

namespace wavecrate {

inline constexpr const char* kSaveFolderHint =
    "Vista Users: Please Ensure Selected Folder is Not Write Protected.";
inline constexpr const char* kDefaultFileNameFormat = "showname-mm-dd-yyyy";
inline constexpr const char* kDefaultStartTime = "00:00:00 AM";
inline constexpr const char* kDefaultDuration = "00:00:00";

// One schedule slot exactly as its row of controls holds it.
struct TSlotControls {
  std::string URL;                            // stream link as typed
  bool Check = false;                         // on/off
  std::string StartTime = kDefaultStartTime;  // 12-hour text, unchecked
  std::string EndTime = kDefaultDuration;     // the duration "hh:nn:ss"
  std::string ShowName;                       // as picked, indent included
  std::string Station;
  bool Daily = false;
  bool WeekDay = false;
  bool Sat = false;
  bool Sun = false;

  bool operator==(const TSlotControls&) const = default;
};

struct TSettings {
  // User profile.
  std::string Gender;
  std::string YearOfBirth;
  std::string Country;
  std::string State;
  std::string PostalCode;
  std::string Occupation;
  std::array<TSlotControls, 4> Slots;  // slots 1..4
  std::string SaveFilePath = kSaveFolderHint;
  std::string FileNameFormat = kDefaultFileNameFormat;
  bool IsMute = false;
  bool IsVista = false;
  // Options menu, "Join Shows Already Under Way": kept in an [Options]
  // section after the 50 keys, which readers of the older file ignore.
  bool JoinShowsUnderWay = true;
  // Options menu, "Keep Recordings…", as KeepRuleText writes it (the
  // housekeeping reads anything else as "forever").
  std::string KeepRecordings = "forever";
  // Recording Quality, the file type of new recordings; in [Options] too.
  TRecordingFileType FileType = TRecordingFileType::Wave;
  // Options, "Share Recordings as a Podcast…": off until switched on; the
  // port; the secret part of every address (32 hex digits, made when the
  // share is first switched on, and again by "New Address").
  bool SharePodcast = false;
  std::string PodcastPort = "41808";
  std::string PodcastToken;

  bool operator==(const TSettings&) const = default;
};

// Thrown when the settings file cannot be written; what() is
// "Unable to write to <path>".
class TSettingsWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the file with the private-profile reading rules; missing keys take
// their defaults. The caller decides whether the file exists.
TSettings LoadSettings(const std::string& path);

// Writes all 50 keys in their fixed order in [UserInfo], [User] and
// [System], then the [Options] section. The old file is replaced only once
// the new one is completely on disk; on failure it stays as it was and
// TSettingsWriteError is thrown.
void WriteSettings(const std::string& path, const TSettings& settings);

}  // namespace wavecrate
