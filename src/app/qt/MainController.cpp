#include "app/qt/MainController.h"

#include <QTimer>
#include <chrono>
#include <cstdio>

#include "app/RecordingHistory.h"
#include "app/RecordingNotices.h"
#include "app/qt/AppServices.h"
#include "app/qt/DesktopNotifier.h"
#include "app/qt/Housekeeper.h"
#include "app/qt/PodcastShare.h"
#include "app/qt/RecordingDesk.h"
#include "app/qt/Session.h"
#include "audio/RecordingFile.h"
#include "common/ProgramFolders.h"
#include "playback/PlaybackLogic.h"
#include "playback/qt/SlotPlayback.h"
#include "scheduler/RecodeThread.h"

namespace wavecrate {

// Playback sees the slots as the editor's threads hold them.
class TMainController::TEditorSlots final : public IPlaybackSlots {
 public:
  // The editor is made after playback: it is looked up at each use.
  explicit TEditorSlots(const std::unique_ptr<TScheduleEditor>& editor) : editor_(editor) {}
  std::shared_ptr<const TSlotSettings> Settings(int n) const override {
    TRecodeThread* thread = Thread(n);
    return thread ? thread->Settings() : nullptr;
  }
  bool SlotActive(int n) const override { return editor_ && editor_->SlotActive(n); }
  bool Recording(int n) const override {
    TRecodeThread* thread = Thread(n);
    return thread != nullptr && thread->RecordingActive.load();
  }
  std::optional<std::int64_t> PlannedEnd(int n) const override {
    TRecodeThread* thread = Thread(n);
    return thread ? thread->PlannedEndUnix() : std::nullopt;
  }
  void EndRecording(int n) override {
    TRecodeThread* thread = Thread(n);
    if (thread == nullptr) return;
    thread->StopRecording();
    thread->RecordingActive = false;
  }

 private:
  TRecodeThread* Thread(int n) const {
    return editor_ && n >= 1 && n <= 4 ? editor_->RecodeThreads(n) : nullptr;
  }
  const std::unique_ptr<TScheduleEditor>& editor_;
};

TMainController::TMainController(const TAppPaths& paths, std::shared_ptr<TAppServices> services,
                                 IScheduleView& view, QWidget* playbackHost)
    : paths_(paths), services_(std::move(services)), view_(view) {
  TPlaybackServices playback;
  if (services_) {
    playback.AppClock = services_->AppClock;
    playback.WithMedia = services_->WithMedia;
    playback.VendorBase = services_->VendorBase;
    playback.Http = services_->Http;
    playback.SlotSinkFor = services_->SlotSinkFor;
    playback.SinkCarriesPlayerVolume = services_->SinkCarriesPlayerVolume;
    playback.SlotUsesSharedMix = services_->SlotUsesSharedMix;
  }
  editorSlots_ = std::make_unique<TEditorSlots>(editor_);
  playback_ = std::make_unique<TSlotPlayback>(std::move(playback), *editorSlots_, playbackHost);

  // The playback timers tick a few milliseconds after each whole second of
  // the clock, as the slot threads look at it, so a start or end minute is
  // seen within milliseconds: every tick sets the wait to the next one.
  for (int i = 0; i < 4; ++i) {
    auto* timer = new QTimer(this);
    playbackTimers_[i] = timer;
    timer->setObjectName(QString("Timer%1").arg(i + 1));
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(1000);
    connect(timer, &QTimer::timeout, this, [this, i, timer] {
      PlaybackTick(i + 1);
      timer->setInterval(static_cast<int>(TimeToNextTick(AppClock().Now()).count()));
    });
  }

  TAppServices* svc = services_.get();
  InstallRecordingObserver();
  podcast_ = new TPodcastShare(this);
  if (const auto history = History()) podcast_->SetHistoryPath(history->Path());
  connect(podcast_, &TPodcastShare::TokenReplaced, this, &TMainController::StoreNewPodcastToken);
  // Queued now, the start-up pass runs under the rule the settings load.
  keep_ = new THousekeeper(this);
  keep_->Start(History(), &AppClock(), [this] {
    return desk_ ? desk_->ShowsBeingRecorded()
                 : ShowsWithPlannedEnd(ScheduledSlots(), [this](int n) { return PlannedEnd(n); });
  });
  if (deskEvents_) deskEvents_->SetOnFinished([this] { keep_->Run(); });
  editor_ = std::make_unique<TScheduleEditor>(
      [svc, this](int slot) -> std::unique_ptr<TRecodeThread> {
        if (svc == nullptr) {
          static TNoAdvertisementStep noAd;
          return std::make_unique<TRecodeThread>(SystemClock(), TCaptureFactory{}, noAd);
        }
        auto thread = std::make_unique<TRecodeThread>(*svc->AppClock, svc->CaptureFactory, svc->NewAdStep());
        thread->Slot = slot;
        thread->Events = svc->Events;
        // The stream, connected early and held back, must be heard from the
        // capture's first sample, not from the next timer tick.
        thread->OnRecordingActive = [this, slot] {
          QMetaObject::invokeMethod(
              this, [this, slot] { PlaybackTick(slot); }, Qt::QueuedConnection);
        };
        return thread;
      },
      [this](const std::string& show, TScheduleEditor::TAdAnswer answer) {
        playback_->SetProfile(profile_);
        playback_->ReportUserDetails(show, std::move(answer));
      });

  // A sleep that happens in spite of the inhibitor: recordings write their
  // files' headers before it, and shows under way are joined after it.
  if (services_) {
    sleepWatcher_ = new TSleepWatcher(
        "Wavecrate", "Finishing recording files", [this] { BeforeSleep(); }, [this] { AfterWake(); }, this);
  }
}

TMainController::~TMainController() {
  ExitSequence(false);
  // Slot threads still finishing (the editor waits for them) tell nobody.
  if (deskEvents_) {
    deskEvents_->SetDesk(nullptr);
    deskEvents_->SetOnFinished(nullptr);
  }
}

void TMainController::InstallRecordingObserver() {
  if (!services_ || services_->Events) return;
  auto history =
      std::make_shared<TRecordingHistory>(HistoryPathFor(ProgramFolders().StateFolder, paths_.ExePath));
  // Recordings that the last run did not live to finish; nothing records yet.
  interrupted_ = history->CloseInterrupted();
  for (const TRecordingReport& r : interrupted_) {
    std::fprintf(stderr, "wavecrate: slot %d, \"%s\": interrupted when the program last ended, in %s\n",
                 r.Slot, r.ShowName.c_str(), r.File.c_str());
  }
  deskEvents_ = std::make_shared<TDeskEvents>(std::move(history));
  services_->Events = deskEvents_;
}

void TMainController::SetDesk(TRecordingDesk* desk) {
  desk_ = desk;
  if (deskEvents_) deskEvents_->SetDesk(desk_);
  if (desk_ == nullptr) return;
  connect(playback_.get(), &TSlotPlayback::StreamHeard, desk_, &TRecordingDesk::StreamHeard);
  for (const TRecordingReport& r : interrupted_) desk_->Notifier()->Notify(FinishedNotice(r));
  interrupted_.clear();
  desk_->RefreshTray();
}

void TMainController::StartUp() {
  settingsExisted_ = SettingsFileExists(paths_.SettingsPath);
  if (settingsExisted_) {
    const TSettings settings = LoadSettings(paths_.SettingsPath);
    profile_ = TUserProfile{settings.Gender, settings.YearOfBirth, settings.Country,
                            settings.State,  settings.PostalCode,  settings.Occupation};
    view_.LoadIntoControls(settings);
    // Chosen in Recording Quality; the settings file keeps it at each write.
    SetRecordingFileTypeChoice(settings.FileType);
    podcast_->Load(settings);
    keep_->SetRuleText(settings.KeepRecordings);
    playback_->SetProfile(profile_);
    view_.ShowWindow();
    SaveChanges(true);
    EnablePlaybackTimers();
  }
  playback_->LoadBanners();
}

TScheduledSlots TMainController::ScheduledSlots() const {
  TScheduledSlots scheduled;
  for (int n = 1; n <= 4; ++n) {
    TRecodeThread* thread = editor_ ? editor_->RecodeThreads(n) : nullptr;
    if (thread != nullptr && editor_->SlotActive(n)) scheduled[n - 1] = *thread->Settings();
  }
  return scheduled;
}

std::optional<std::int64_t> TMainController::PlannedEnd(int n) const {
  return editorSlots_->PlannedEnd(n);
}

const Clock& TMainController::AppClock() const {
  return services_ ? *services_->AppClock : SystemClock();
}

void TMainController::PlaybackTick(int n) {
  playback_->Tick(n);
}

void TMainController::EnablePlaybackTimers() {
  // A running timer keeps its rhythm; one started now waits for the next
  // whole second, like every tick after it.
  for (QTimer* t : playbackTimers_) {
    if (!t->isActive()) t->start(static_cast<int>(TimeToNextTick(AppClock().Now()).count()));
  }
}

bool TMainController::PlaybackTimersEnabled() const {
  for (QTimer* t : playbackTimers_) {
    if (!t->isActive()) return false;
  }
  return true;
}

TSettings TMainController::CurrentSettings() const {
  TSettings s = view_.ReadControls();
  s.Gender = profile_.Gender;
  s.YearOfBirth = profile_.YearOfBirth;
  s.Country = profile_.Country;
  s.State = profile_.State;
  s.PostalCode = profile_.PostalCode;
  s.Occupation = profile_.Occupation;
  s.FileType = RecordingFileTypeChoice();
  podcast_->Store(s);
  s.KeepRecordings = keep_->RuleText();
  return s;
}

bool TMainController::SaveChanges(bool autoSaving) {
  const TSaveResult result = editor_->SaveChanges(CurrentSettings(), autoSaving);
  if (!result.Saved) {
    view_.ShowMessage(result.Message);
    return false;
  }
  // A schedule saved on a first run must still play and stop, so a good save
  // switches the playback timers on.
  EnablePlaybackTimers();
  if (desk_) desk_->RefreshTray();
  WriteSettingsReporting(true);
  // Saved all the same: the folder may be a disk that is not mounted yet.
  if (!result.Warning.empty()) {
    std::fprintf(stderr, "wavecrate: %s\n", result.Warning.c_str());
    if (!autoSaving) {
      view_.ShowMessage(result.Warning);
    } else if (desk_) {
      desk_->Warning(0, result.Warning);
    }
  }
  return true;
}

bool TMainController::WriteSettingsReporting(bool interactive) {
  try {
    WriteSettings(paths_.SettingsPath, CurrentSettings());
    return true;
  } catch (const TSettingsWriteError& e) {
    std::fprintf(stderr, "wavecrate: %s\n", e.what());
    if (interactive) view_.ShowMessage(e.what());
    return false;
  }
}

void TMainController::StoreNewPodcastToken() {
  // The old address may have leaked: it must not come back with the
  // settings file after a crash. Only the share's keys change in the file;
  // edits of the schedule not saved yet stay unsaved.
  if (!SettingsFileExists(paths_.SettingsPath)) return;
  try {
    TSettings s = LoadSettings(paths_.SettingsPath);
    podcast_->Store(s);
    WriteSettings(paths_.SettingsPath, s);
  } catch (const TSettingsWriteError& e) {
    std::fprintf(stderr, "wavecrate: the podcast share's new address is not kept: %s\n", e.what());
  }
}

bool TMainController::ExitSequence(bool interactive) {
  if (exited_) return false;
  exited_ = true;
  if (editor_) editor_->RequestStopAll();
  if (services_) services_->FinishCapturesAtExit();
  return WriteSettingsReporting(interactive);
}

void TMainController::SetJoinShowsUnderWay(bool join) {
  // Takes effect at once; the settings file keeps it at the next write.
  if (editor_) editor_->SetJoinShowsUnderWay(join);
}

std::shared_ptr<TRecordingHistory> TMainController::History() const {
  return deskEvents_ ? deskEvents_->History() : nullptr;
}

void TMainController::BeforeSleep() {
  constexpr std::chrono::milliseconds kHeaderBound{3000};
  if (services_ && !services_->WriteCaptureHeadersNow(kHeaderBound)) {
    std::fprintf(stderr, "wavecrate: a recording did not write its header before the system slept\n");
  }
}

void TMainController::AfterWake() {
  editor_->RequestJoinAll();
}

}  // namespace wavecrate
