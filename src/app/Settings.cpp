#include "app/Settings.h"

#include <iostream>
#include <string_view>
#include <system_error>
#include <variant>

#include "app/IniFile.h"
#include "common/Files.h"

namespace wavecrate {

namespace {

constexpr std::string_view kUserInfo = "UserInfo";
constexpr std::string_view kUser = "User";
constexpr std::string_view kSystem = "System";
// Choices made in the window's menus. A section of their own keeps the three
// sections above exactly as older copies of the program read and write them.
constexpr std::string_view kOptions = "Options";

// The layout of the file, in the order it is written: the profile, then the
// slot keys row by row (a row is one key for each of the four slots), then the
// system keys. Defaults come from the default-constructed records, so the
// header's initialisers are the one place they are stated.
template <typename Record>
struct TKey {
  const char* name;
  std::variant<std::string Record::*, bool Record::*> field;
};

const TKey<TSettings> kProfileKeys[] = {
    {"Gender", &TSettings::Gender},         {"YearOfBirth", &TSettings::YearOfBirth},
    {"Country", &TSettings::Country},       {"State", &TSettings::State},
    {"PostalCode", &TSettings::PostalCode}, {"Occupation", &TSettings::Occupation},
};

const TKey<TSlotControls> kSlotRows[] = {
    {"URL", &TSlotControls::URL},
    {"Check", &TSlotControls::Check},
    {"StartTime", &TSlotControls::StartTime},
    {"EndTime", &TSlotControls::EndTime},
    {"ShowName", &TSlotControls::ShowName},
    {"Station", &TSlotControls::Station},
    {"Daily", &TSlotControls::Daily},
    {"WeekDay", &TSlotControls::WeekDay},
    {"Sat", &TSlotControls::Sat},
    {"Sun", &TSlotControls::Sun},
};

const TKey<TSettings> kSystemKeys[] = {
    {"SaveFilePath", &TSettings::SaveFilePath},
    {"FileNameFormat", &TSettings::FileNameFormat},
    {"IsMute", &TSettings::IsMute},
    {"IsVista", &TSettings::IsVista},
};

const TKey<TSettings> kOptionKeys[] = {
    {"JoinShowsUnderWay", &TSettings::JoinShowsUnderWay}, {"KeepRecordings", &TSettings::KeepRecordings},
    {"SharePodcast", &TSettings::SharePodcast},           {"PodcastPort", &TSettings::PodcastPort},
    {"PodcastToken", &TSettings::PodcastToken},
};

constexpr const char* kFileTypeKey = "FileType";

template <typename Record>
void ReadKey(const TIniFile& ini, std::string_view section, const std::string& name, const TKey<Record>& key,
             Record& record, const Record& defaults) {
  if (const auto* text = std::get_if<std::string Record::*>(&key.field)) {
    record.*(*text) = ini.ReadString(section, name, defaults.*(*text));
  } else {
    const auto flag = std::get<bool Record::*>(key.field);
    record.*flag = ini.ReadBool(section, name, defaults.*flag);
  }
}

template <typename Record>
void WriteKey(TIniWriter& out, const std::string& name, const TKey<Record>& key, const Record& record) {
  if (const auto* text = std::get_if<std::string Record::*>(&key.field)) {
    out.Value(name, record.*(*text));
  } else {
    out.BoolValue(name, record.*std::get<bool Record::*>(key.field));
  }
}

std::string SlotKeyName(const char* row, std::size_t slotIndex) {
  return row + std::to_string(slotIndex + 1);
}

}  // namespace

TSettings LoadSettings(const std::string& path) {
  const TIniFile ini = TIniFile::FromFile(path);
  const TSettings defaults;
  const TSlotControls slotDefaults;
  TSettings settings;
  for (const auto& key : kProfileKeys) ReadKey(ini, kUserInfo, key.name, key, settings, defaults);
  for (const auto& row : kSlotRows) {
    for (std::size_t i = 0; i < settings.Slots.size(); ++i) {
      ReadKey(ini, kUser, SlotKeyName(row.name, i), row, settings.Slots[i], slotDefaults);
    }
  }
  for (const auto& key : kSystemKeys) ReadKey(ini, kSystem, key.name, key, settings, defaults);
  for (const auto& key : kOptionKeys) ReadKey(ini, kOptions, key.name, key, settings, defaults);
  settings.FileType =
      ParseRecordingFileType(ini.ReadString(kOptions, kFileTypeKey, RecordingFileTypeKey(defaults.FileType)));
  return settings;
}

void WriteSettings(const std::string& path, const TSettings& settings) {
  TIniWriter out;
  out.Section(kUserInfo);
  for (const auto& key : kProfileKeys) WriteKey(out, key.name, key, settings);
  out.Section(kUser);
  for (const auto& row : kSlotRows) {
    for (std::size_t i = 0; i < settings.Slots.size(); ++i) {
      WriteKey(out, SlotKeyName(row.name, i), row, settings.Slots[i]);
    }
  }
  out.Section(kSystem);
  for (const auto& key : kSystemKeys) WriteKey(out, key.name, key, settings);
  out.Section(kOptions);
  for (const auto& key : kOptionKeys) WriteKey(out, key.name, key, settings);
  out.Value(kFileTypeKey, RecordingFileTypeKey(settings.FileType));

  try {
    WriteFileAtomically(path, out.Text());
  } catch (const std::system_error& e) {
    // The message box shows only the path; the reason goes to the log.
    std::cerr << "wavecrate: settings not written: " << e.what() << '\n';
    throw TSettingsWriteError("Unable to write to " + path);
  }
}

}  // namespace wavecrate
