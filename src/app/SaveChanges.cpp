#include "app/SaveChanges.h"

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "app/TimeText.h"
#include "common/Clock.h"
#include "common/Files.h"
#include "scheduler/DayCode.h"
#include "scheduler/OutputNaming.h"

namespace wavecrate {

namespace {

std::size_t SlotIndex(int n) {
  if (n < 1 || n > 4) throw std::out_of_range("slot number must be 1 to 4");
  return static_cast<std::size_t>(n - 1);
}

std::string SlotList(const std::vector<int>& slots) {
  std::string text = slots.size() == 1 ? "slot " : "slots ";
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (i > 0) text += i + 1 == slots.size() ? " and " : ", ";
    text += std::to_string(slots[i]);
  }
  return text;
}

}  // namespace

std::string FolderWarning(const std::array<std::optional<TSlotSettings>, 4>& records) {
  // The folder a recording would go to today, as the slot thread names it
  // (the template may itself hold a folder), by folder.
  const TLocalTime today = SystemClock().Now();
  std::map<std::string, std::vector<int>> unusable;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!records[i] || !records[i]->Enabled) continue;
    const TSlotSettings& r = *records[i];
    const std::string path =
        BuildOutputFileName(SaveFolderPrefix(r.SaveFolder), Trim(r.ShowName), r.FileNameFormat, today);
    std::string folder = std::filesystem::path(path).parent_path().string();
    if (folder.empty()) folder = ".";
    if (!FolderTakesFiles(folder)) unusable[folder].push_back(static_cast<int>(i) + 1);
  }
  std::string warning;
  for (const auto& [folder, slots] : unusable) {
    if (!warning.empty()) warning += "\n";
    warning += "The folder " + folder + " of " + SlotList(slots) + " does not exist or cannot be written; " +
               (slots.size() == 1 ? "its" : "their") +
               " shows will not be recorded until it exists and can be written.";
  }
  return warning;
}

TScheduleEditor::TScheduleEditor(TRecodeThreadFactory recodeThreadFactory,
                                 TReportUserDetails reportUserDetails)
    : recodeThreadFactory_(std::move(recodeThreadFactory)),
      reportUserDetails_(std::move(reportUserDetails)) {}

TScheduleEditor::~TScheduleEditor() {
  RequestStopAll();
}

TRecodeThread* TScheduleEditor::RecodeThreads(int n) const {
  return recodeThreads_[SlotIndex(n)].get();
}

bool TScheduleEditor::SlotActive(int n) const {
  return slotActive_[SlotIndex(n)];
}

void TScheduleEditor::RequestJoinAll() {
  for (std::size_t i = 0; i < recodeThreads_.size(); ++i) {
    if (recodeThreads_[i] && slotActive_[i]) recodeThreads_[i]->RequestJoin();
  }
}

void TScheduleEditor::SetJoinShowsUnderWay(bool join) {
  for (const auto& thread : recodeThreads_) {
    if (thread) thread->SetJoinUnderWay(join);
  }
}

void TScheduleEditor::RequestStopAll() {
  for (const auto& thread : recodeThreads_) {
    if (thread) thread->StopRequested = true;
  }
}

TSaveResult TScheduleEditor::SaveChanges(const TSettings& window, bool autoSaving) {
  TSaveResult result;
  if (!autoSaving) {
    if (window.SaveFilePath.empty() || window.SaveFilePath == kSaveFolderHint ||
        window.FileNameFormat.empty()) {
      result.Message = kSavePathMissingMessage;
      return result;
    }
  }

  // Check and convert every switched-on slot before any is handed over, so
  // that a refusal (an incomplete slot, or a time that cannot be read) leaves
  // every thread and flag as it was.
  std::array<std::optional<TSlotSettings>, 4> records;
  try {
    for (std::size_t i = 0; i < records.size(); ++i) {
      const TSlotControls& slot = window.Slots[i];
      if (!slot.Check) continue;
      const std::string start = TimeTo24Hour(slot.StartTime);
      if (start.empty()) {
        result.Message = kSlotIncompleteMessage;
        return result;
      }
      const std::string duration = TimeTo24Hour(slot.EndTime);
      if (duration.empty() || slot.ShowName.empty() || slot.URL.empty()) {
        result.Message = kSlotIncompleteMessage;
        return result;
      }
      TSlotSettings record;
      record.StreamUrl = CleanStreamLink(slot.URL);
      record.FileNameFormat = window.FileNameFormat;
      record.StartTime = start;
      record.EndTime = AddDuration(start, duration);
      record.Enabled = slot.Check;
      record.DayFlags = MakeDayCode(slot.Daily, slot.WeekDay, slot.Sat, slot.Sun);
      record.IsVista = window.IsVista;
      record.ShowName = slot.ShowName;
      record.SaveFolder = window.SaveFilePath;
      record.IsMute = window.IsMute;
      record.Station = slot.Station;
      record.JoinUnderWay = window.JoinShowsUnderWay;
      records[i] = std::move(record);
    }
  } catch (const TInvalidTimeError& error) {
    result.Message = error.what();
    result.InvalidTime = true;
    return result;
  }

  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i] && !recodeThreads_[i]) {
      recodeThreads_[i] = recodeThreadFactory_(static_cast<int>(i) + 1);
      if (!recodeThreads_[i]) throw std::logic_error("the slot thread factory made no thread");
    }
  }

  for (std::size_t i = 0; i < records.size(); ++i) {
    TRecodeThread* thread = recodeThreads_[i].get();
    if (records[i]) {
      // The whole record is in place before the thread first runs; a thread
      // that already runs picks the new record up on its next look. A show
      // under way is joined (the start-up pass, or a save in its window).
      // The advertisement address of the same show is kept until the web
      // service answers again; the answer never holds the save up.
      const std::shared_ptr<const TSlotSettings> previous = thread->Settings();
      if (previous->ShowName == records[i]->ShowName) records[i]->AdUrl = previous->AdUrl;
      thread->SetSettings(*records[i]);
      thread->RequestJoin();
      thread->Resume();
      slotActive_[i] = true;
      if (reportUserDetails_) {
        const std::uint64_t request = ++adRequests_[i];
        const std::string show = records[i]->ShowName;
        reportUserDetails_(show, [this, i, request, show, thread](const std::string& adUrl) {
          if (adRequests_[i] == request) thread->SetAdUrl(show, adUrl);
        });
      }
    } else {
      slotActive_[i] = false;
      ++adRequests_[i];  // an answer still to come is for a show no longer saved
      // A slot switched off keeps its thread and its record; the thread
      // just starts no further recording until the slot is saved on again.
      if (thread) thread->SetEnabled(false);
    }
  }
  result.Saved = true;
  // Told, not refused: the folder may be a disk that is not mounted yet.
  result.Warning = FolderWarning(records);
  return result;
}

}  // namespace wavecrate
