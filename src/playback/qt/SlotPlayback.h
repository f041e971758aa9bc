// The playback side of the four slots: their players and hidden page
// browsers, the two banners, what a playback timer's tick does, the players'
// error handling and the lookups on the network. Everything here runs on the
// GUI thread, except the lookups, which run on background queues and answer
// by queued calls, so the window never waits on the network.
//
// It sees each slot through IPlaybackSlots: its settings, whether it
// records, the planned end of its recording, and the end step.
#pragma once

#include <QObject>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/Clock.h"
#include "playback/WebLookups.h"
#include "scheduler/SlotSettings.h"

class QTimer;
class QWidget;

namespace wavecrate {

class TPlayerHost;
class TWebBrowser;
class TMediaRetryBackoff;
class TWorkQueue;
struct TPlaybackTickInput;

class IPlaybackSlots {
 public:
  virtual ~IPlaybackSlots() = default;
  // Slot n (1..4): the record its recorder thread holds now; null while the
  // slot has no thread.
  virtual std::shared_ptr<const TSlotSettings> Settings(int n) const = 0;
  // SlotActive[n]: the last save handed the slot over.
  virtual bool SlotActive(int n) const = 0;
  // The thread's RecordingActive.
  virtual bool Recording(int n) const = 0;
  // The planned end (UTC seconds) of the recording in progress, if known.
  virtual std::optional<std::int64_t> PlannedEnd(int n) const = 0;
  // The end step's part in the slot thread: StopRecording, and
  // RecordingActive := false.
  virtual void EndRecording(int n) = 0;
};

struct TPlaybackServices {
  const Clock* AppClock = &SystemClock();
  // Players, page browsers and banners; off for window-only tests.
  bool WithMedia = false;
  std::string VendorBase = DefaultVendorBase();
  // With no client every lookup answers as if the host were unreachable.
  std::shared_ptr<IHttpClient> Http;
  // The sink slot n's player plays into ("" for the shared mix); may be empty.
  std::function<std::string(int slot)> SlotSinkFor;
  // Whether such a sink applies the players' volume on its way to the
  // speakers (the stream then goes in at its own level); may be empty.
  std::function<bool(const std::string& sink)> SinkCarriesPlayerVolume;
  // Slot n's link plays in its page browser (shared mix) or its player again.
  std::function<void(int slot, bool sharedMix)> SlotUsesSharedMix;
};

class TSlotPlayback : public QObject {
  Q_OBJECT
 public:
  // The web views and players are made inside `client`; `slotSource` and
  // `client` must outlive this object.
  TSlotPlayback(TPlaybackServices services, IPlaybackSlots& slotSource, QWidget* client);
  ~TSlotPlayback() override;

  // Slot n (1..4): its player (null without media) and its hidden page
  // browser, which exists only while the slot's show plays its link as a page.
  TPlayerHost* Player(int n) const;
  TWebBrowser* PageBrowser(int n) const;
  // 1: WebBrowser, 2: WebBrowser1; null until an address of the vendor's host
  // that answers is known, and again while the host cannot be reached.
  TWebBrowser* Banner(int n) const;

  // One tick of slot n's playback timer.
  void Tick(int n);

  // The user's answers, for the banner choice and the user-details report.
  void SetProfile(const TUserProfile& profile) { profile_ = profile; }
  // Looks the banners up in the background and shows them when the answer
  // comes. A call while a lookup is under way asks for one more afterwards.
  void LoadBanners();
  // Reports the profile with a show name in the background; `answer` gets the
  // advertisement address ("" for none) on the GUI thread, unless this object
  // is gone by then.
  void ReportUserDetails(const std::string& showName, std::function<void(const std::string&)> answer);

 signals:
  // Slot n's stream is heard (its player plays, or its page loaded), or a new
  // show begins in the slot and nothing is heard yet.
  void StreamHeard(int n, bool heard);

 private:
  void OnMediaError(int n);
  void ActOnMediaError(int n);
  void ApplyJudgment(int n, std::uint64_t show, TLinkKind kind);
  void ReturnToOwnMix(int n);
  void PrepareMix(int n, const TPlaybackTickInput& in);
  void ShowBanners(const std::array<std::string, 2>& urls, const std::array<bool, 2>& answered);
  TWebBrowser* MakePageBrowser(int n);
  void DropPageBrowser(int n);
  void LeavePage(int n);

  TPlaybackServices services_;
  IPlaybackSlots& slots_;
  QWidget* client_;
  std::shared_ptr<IHttpClient> http_;
  TUserProfile profile_;
  std::array<TPlayerHost*, 4> players_{};
  std::array<TWebBrowser*, 4> pageBrowsers_{};
  std::array<TWebBrowser*, 2> banners_{};
  std::array<QTimer*, 4> retryTimers_{};
  std::array<std::unique_ptr<TMediaRetryBackoff>, 4> backoff_;
  // Counts the shows of each slot, so an answer about an earlier show is
  // dropped; and the last judgment of the slot's link in this show.
  std::array<std::uint64_t, 4> showSerial_{};
  std::array<TLinkKind, 4> lastJudgment_{TLinkKind::Media, TLinkKind::Media, TLinkKind::Media,
                                         TLinkKind::Media};
  std::array<bool, 4> judging_{};
  // The slot's own mix was asked for ahead of its next show.
  std::array<bool, 4> mixPrepared_{};
  bool bannersRunning_ = false;
  bool bannersAgain_ = false;
  // The vendor's host (banners, user details) and each slot's stream links
  // are asked on queues of their own: a host that holds its connections
  // never delays the judgment of a stream, nor one slot's stream another's.
  std::unique_ptr<TWorkQueue> vendorQueue_;
  std::array<std::unique_ptr<TWorkQueue>, 4> linkQueues_;
};

}  // namespace wavecrate
