// Save changes without the window: checks the schedule the window shows and
// hands every complete, switched-on slot to its slot thread. The window shows
// the message of a refused save and writes the settings file after a
// successful one.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/Settings.h"
#include "scheduler/RecodeThread.h"

namespace wavecrate {

inline constexpr const char* kSavePathMissingMessage = "Save Path Must be Entered.";
inline constexpr const char* kSlotIncompleteMessage =
    "Please enter start time/end time/show name/stream link first.";

struct TSaveResult {
  // True when the slots were handed over: the caller writes the settings file.
  bool Saved = false;
  // Why nothing was saved (empty when Saved): one of the two messages above,
  // or the "'<text>' is not a valid time" of an unreadable time.
  std::string Message;
  // The message is that of an unreadable time, a failure of the settings
  // rather than a user's omission.
  bool InvalidTime = false;
  // Saved, yet something stands in the way of recording: one sentence per
  // folder of switched-on slots that does not exist or cannot be written.
  // Empty when there is nothing to say. For the window to show after the save.
  std::string Warning;
};

// The warning of a save (see TSaveResult::Warning) for these switched-on
// slot records (slot n at index n-1), as the folders are now.
std::string FolderWarning(const std::array<std::optional<TSlotSettings>, 4>& records);

class TScheduleEditor {
 public:
  // Makes a new, not yet resumed slot thread for slot n (1..4); called once
  // per slot, at the slot's first hand-over.
  using TRecodeThreadFactory = std::function<std::unique_ptr<TRecodeThread>(int slot)>;
  // Asks the web service for a show's advertisement address and returns at
  // once; `answer` is called later on the editor's thread with the address
  // ("" when there is none or the request failed), or never. Called once per
  // handed-over slot.
  using TAdAnswer = std::function<void(const std::string& adUrl)>;
  using TReportUserDetails = std::function<void(const std::string& showName, TAdAnswer answer)>;

  TScheduleEditor(TRecodeThreadFactory recodeThreadFactory, TReportUserDetails reportUserDetails);
  // Raises StopRequested on every slot thread and then waits for them to end
  // (a thread that is recording ends only when its recording does).
  ~TScheduleEditor();
  TScheduleEditor(const TScheduleEditor&) = delete;
  TScheduleEditor& operator=(const TScheduleEditor&) = delete;

  // The Save changes command (`Button2Click`); `autoSaving` for the start-up
  // save pass, which skips the folder and template checks. All or nothing:
  // every check and every time conversion runs before the first slot is
  // handed over, so a refused save leaves all threads and flags as they were.
  // Every slot handed over is asked to join its show if it is under way.
  TSaveResult SaveChanges(const TSettings& window, bool autoSaving);

  // After a wake from sleep: every handed-over slot joins its show if it is
  // under way (and joining is on).
  void RequestJoinAll();
  // The Options menu's "Join Shows Already Under Way", at once for every
  // slot thread; later saves hand the window's choice over with each slot.
  void SetJoinShowsUnderWay(bool join);

  // Slot n (1..4): its thread, null until the slot's first hand-over; and
  // whether the last successful save handed it over.
  TRecodeThread* RecodeThreads(int n) const;
  bool SlotActive(int n) const;

  // At exit: raises StopRequested on every slot thread there is. Never waits.
  void RequestStopAll();

 private:
  TRecodeThreadFactory recodeThreadFactory_;
  TReportUserDetails reportUserDetails_;
  std::array<std::unique_ptr<TRecodeThread>, 4> recodeThreads_;
  std::array<bool, 4> slotActive_{};
  // Counts each slot's user-details requests: only the answer to the latest
  // one is taken, so an answer that comes after the slot was saved again
  // is dropped.
  std::array<std::uint64_t, 4> adRequests_{};
};

}  // namespace wavecrate
