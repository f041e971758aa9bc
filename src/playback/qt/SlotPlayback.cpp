#include "playback/qt/SlotPlayback.h"

#include <QTimer>
#include <QWebEnginePage>
#include <chrono>
#include <cstdio>
#include <utility>

#include "common/WorkQueue.h"
#include "playback/PlaybackLogic.h"
#include "playback/qt/Browsers.h"
#include "playback/qt/PlayerHost.h"

namespace wavecrate {
namespace {

// Stands in for the network where the window runs without one (window-only
// tests): every request fails as an unreachable host does.
class TUnreachableHttpClient final : public IHttpClient {
 public:
  THttpResponse Get(const THttpRequest&) override {
    THttpResponse r;
    r.Error = "no network client";
    return r;
  }
};

struct TPlace {
  int X, Y, W, H;
};
// Outside the 954 x 671 client area: never seen, yet heard.
constexpr TPlace kPlayerPlaces[4] = {
    {2240, 8, 245, 240}, {3760, 8, 245, 240}, {3120, 8, 245, 240}, {3840, 8, 245, 240}};
constexpr TPlace kPagePlaces[4] = {
    {2120, 300, 300, 150}, {2280, 300, 300, 150}, {2296, 300, 300, 150}, {2112, 300, 300, 150}};
const char* const kPageBrowserNames[4] = {"WebPageBrowser", "WebPageBrowser1", "WebPageBrowser2",
                                          "WebPageBrowser3"};
constexpr TPlace kBannerPlaces[2] = {{616, 412, 328, 250}, {12, 565, 500, 75}};
const char* const kBannerNames[2] = {"WebBrowser", "WebBrowser1"};

// A page that could not be loaded is tried again (as media first) after this.
constexpr std::chrono::milliseconds kPageRetry{2000};

}  // namespace

TSlotPlayback::TSlotPlayback(TPlaybackServices services, IPlaybackSlots& slotSource, QWidget* client)
    : services_(std::move(services)), slots_(slotSource), client_(client) {
  http_ = services_.Http ? services_.Http : std::make_shared<TUnreachableHttpClient>();
  vendorQueue_ = std::make_unique<TWorkQueue>();
  vendorQueue_->Resume();

  // No web view is made here: each one holds a renderer process of the web
  // engine (and the first one starts the engine itself), so banners wait for
  // an address that can load and page browsers for a page to play.
  for (int i = 0; i < 4; ++i) {
    linkQueues_[i] = std::make_unique<TWorkQueue>();
    linkQueues_[i]->Resume();
    backoff_[i] = std::make_unique<TMediaRetryBackoff>();
    retryTimers_[i] = new QTimer(this);
    retryTimers_[i]->setSingleShot(true);
    connect(retryTimers_[i], &QTimer::timeout, this, [this, i] { ActOnMediaError(i + 1); });
    if (!services_.WithMedia) continue;
    const TPlace& pp = kPlayerPlaces[i];
    players_[i] = new TPlayerHost(QString("WindowsMediaPlayer%1").arg(i + 1), client);
    players_[i]->setGeometry(pp.X, pp.Y, pp.W, pp.H);
    connect(players_[i]->FastCheck, &QTimer::timeout, this, [this, i] { Tick(i + 1); });
    TWindowsMediaPlayer& player = players_[i]->Player();
    // Asked on the GUI thread at every connection, so a slot's own mix that
    // the sound server lost and got back is found again.
    player.AudioDevice = [this, i] {
      return services_.SlotSinkFor ? services_.SlotSinkFor(i + 1) : std::string();
    };
    player.SinkCarriesVolume = services_.SinkCarriesPlayerVolume;
    // Called on the GUI thread, which runs GLib's default main context.
    player.MediaError = [this, i](const TMediaErrorInfo& info) {
      std::fprintf(stderr, "wavecrate: slot %d player: %s (%s)\n", i + 1, info.Message.c_str(),
                   info.URL.c_str());
      OnMediaError(i + 1);
    };
    player.StatusChange = [this, i] {
      if (players_[i]->Player().PlayState() == TPlayState::Playing) {
        backoff_[i]->NotePlaying(std::chrono::steady_clock::now());
        const bool first = !players_[i]->LinkPlayed;
        players_[i]->LinkPlayed = true;
        // A stream that plays after a page was tried: the page goes.
        if (players_[i]->PageOpened) LeavePage(i + 1);
        if (first) emit StreamHeard(i + 1, true);
      }
    };
  }
}

TSlotPlayback::~TSlotPlayback() {
  // The queues go first: their threads post answers to this object, so they
  // must be over before any member is.
  vendorQueue_.reset();
  for (auto& q : linkQueues_) q.reset();
  // The players are widgets of the window and may outlive this object by a
  // moment: nothing of theirs calls back into it any more.
  for (TPlayerHost* host : players_) {
    if (host == nullptr) continue;
    host->Player().MediaError = nullptr;
    host->Player().StatusChange = nullptr;
    host->Player().AudioDevice = nullptr;
  }
}

TPlayerHost* TSlotPlayback::Player(int n) const {
  return n >= 1 && n <= 4 ? players_[n - 1] : nullptr;
}
TWebBrowser* TSlotPlayback::PageBrowser(int n) const {
  return n >= 1 && n <= 4 ? pageBrowsers_[n - 1] : nullptr;
}
TWebBrowser* TSlotPlayback::Banner(int n) const {
  return n >= 1 && n <= 2 ? banners_[n - 1] : nullptr;
}

TWebBrowser* TSlotPlayback::MakePageBrowser(int n) {
  TWebBrowser*& page = pageBrowsers_[n - 1];
  if (page == nullptr) {
    const TPlace& p = kPagePlaces[n - 1];
    page = new TWebBrowser(kPageBrowserNames[n - 1], false, client_);
    page->setGeometry(p.X, p.Y, p.W, p.H);
    page->show();
    const std::uint64_t show = showSerial_[n - 1];
    connect(page, &TWebBrowser::NavigationFinished, this, [this, n, show](bool ok) {
      TPlayerHost* host = Player(n);
      if (host == nullptr || show != showSerial_[n - 1] || !host->PageOpened) return;
      if (ok) {
        emit StreamHeard(n, true);
        return;
      }
      // A page that does not load may be a host that is not up yet: the link
      // is judged and tried again the way a stream that is away is.
      std::fprintf(stderr, "wavecrate: slot %d page did not load; trying again\n", n);
      if (!retryTimers_[n - 1]->isActive()) retryTimers_[n - 1]->start(static_cast<int>(kPageRetry.count()));
    });
  }
  return page;
}

void TSlotPlayback::DropPageBrowser(int n) {
  // Deleting the view ends its page and, with the last page of its renderer,
  // the renderer process; nothing of the show's page is heard after this.
  // Never called from the view's own signals, so it can go at once.
  delete pageBrowsers_[n - 1];
  pageBrowsers_[n - 1] = nullptr;
}

void TSlotPlayback::LeavePage(int n) {
  // The link plays in the player again: its page goes, and the recording
  // goes back to the slot's own mix.
  TPlayerHost* host = Player(n);
  DropPageBrowser(n);
  if (host != nullptr && host->PageOpened && services_.SlotUsesSharedMix)
    services_.SlotUsesSharedMix(n, false);
  if (host != nullptr) host->PageOpened = false;
}

void TSlotPlayback::LoadBanners() {
  if (bannersRunning_) {
    bannersAgain_ = true;
    return;
  }
  bannersRunning_ = true;
  // The job works on copies: the profile may change while it runs.
  auto job = [this, http = http_, base = services_.VendorBase, profile = profile_,
              cancel = &vendorQueue_->Cancelled()] {
    TWebLookups lookups(*http, base, ProgramFileName());
    lookups.SetProfile(profile);
    std::array<std::string, 2> urls;
    std::array<bool, 2> answered{};
    for (int i = 0; i < 2; ++i) {
      bool hostAnswered = false;
      urls[i] = lookups.GetBannerUrl(i == 0 ? "banner1" : "banner2", &hostAnswered, cancel);
      answered[i] = hostAnswered;
    }
    QMetaObject::invokeMethod(
        this, [this, urls, answered] { ShowBanners(urls, answered); }, Qt::QueuedConnection);
  };
  vendorQueue_->Post(std::move(job));
}

void TSlotPlayback::ShowBanners(const std::array<std::string, 2>& urls, const std::array<bool, 2>& answered) {
  bannersRunning_ = false;
  for (int i = 0; i < 2; ++i) {
    if (!services_.WithMedia || !answered[i]) {
      // Nothing could load from an unreachable host: the area stays in the
      // window's colour with no renderer behind it.
      delete banners_[i];
      banners_[i] = nullptr;
      continue;
    }
    if (banners_[i] == nullptr) {
      const TPlace& p = kBannerPlaces[i];
      banners_[i] = new TWebBrowser(kBannerNames[i], true, client_);
      banners_[i]->setGeometry(p.X, p.Y, p.W, p.H);
      banners_[i]->show();
    }
    banners_[i]->Navigate(QString::fromStdString(urls[i]));
  }
  if (bannersAgain_) {
    bannersAgain_ = false;
    LoadBanners();
  }
}

void TSlotPlayback::ReportUserDetails(const std::string& showName,
                                      std::function<void(const std::string&)> answer) {
  auto job = [this, http = http_, base = services_.VendorBase, profile = profile_, showName,
              answer = std::move(answer), cancel = &vendorQueue_->Cancelled()] {
    TWebLookups lookups(*http, base, ProgramFileName());
    lookups.SetProfile(profile);
    const std::string adUrl = lookups.ReportUserDetails(showName, cancel);
    QMetaObject::invokeMethod(
        this, [answer, adUrl] { answer(adUrl); }, Qt::QueuedConnection);
  };
  vendorQueue_->Post(std::move(job));
}

void TSlotPlayback::Tick(int n) {
  TPlayerHost* host = Player(n);
  if (host == nullptr) return;
  TWindowsMediaPlayer& player = host->Player();

  TPlaybackTickInput in;
  in.Now = services_.AppClock->Now();
  const std::shared_ptr<const TSlotSettings> settings = slots_.Settings(n);
  in.HasThread = settings != nullptr;
  in.SlotActive = slots_.SlotActive(n);
  std::optional<std::int64_t> plannedEnd;
  if (settings) {
    in.RecordingActive = slots_.Recording(n);
    in.StartTime = settings->StartTime;
    in.EndTime = settings->EndTime;
    in.DayFlags = settings->DayFlags;
    if (in.RecordingActive) plannedEnd = slots_.PlannedEnd(n);
  }
  in.PlayerUrl = player.URL();
  in.HeldBack = host->HeldBack;
  // The end of the recording the player plays for is remembered, so the
  // player still stops at it when the capture has ended early.
  if (plannedEnd && !in.PlayerUrl.empty() && !host->HeldBack) host->PlannedEndUnix = plannedEnd;
  in.PlannedEndUnix = plannedEnd ? plannedEnd : host->PlannedEndUnix;

  // Sends the slot back to where no show is: no page browser, heard again,
  // its own mix, nothing remembered.
  const auto finishShow = [&] {
    retryTimers_[n - 1]->stop();
    ++showSerial_[n - 1];
    LeavePage(n);
    player.SetVolume(TPlayerHost::kAudibleVolume);
    host->ForgetShow();
  };
  // A new show begins in the player, heard or held back.
  const auto beginShow = [&](bool heldBack) {
    // A page of an earlier show has no place in this one.
    retryTimers_[n - 1]->stop();
    ++showSerial_[n - 1];
    LeavePage(n);
    host->ForgetShow();
    backoff_[n - 1]->Reset();
    lastJudgment_[n - 1] = TLinkKind::Media;
    host->HeldBack = heldBack;
    emit StreamHeard(n, false);
    player.SetVolume(heldBack ? 0 : TPlayerHost::kAudibleVolume);
    player.SetURL(settings->StreamUrl);
    player.controls.play();
    if (heldBack) host->FastCheck->start();
  };

  PrepareMix(n, in);
  switch (DecidePlaybackTick(in)) {
    case TPlaybackStep::None:
      ReturnToOwnMix(n);
      break;
    case TPlaybackStep::End:
      slots_.EndRecording(n);
      player.controls.stop();
      player.SetURL("");
      finishShow();
      break;
    case TPlaybackStep::DropEarly:
      player.controls.stop();
      player.SetURL("");
      finishShow();
      break;
    case TPlaybackStep::Start:
      beginShow(false);
      if (plannedEnd) host->PlannedEndUnix = plannedEnd;
      LoadBanners();
      break;
    case TPlaybackStep::MakeAudible:
      player.SetVolume(TPlayerHost::kAudibleVolume);
      if (TWebBrowser* page = PageBrowser(n)) page->page()->setAudioMuted(false);
      host->HeldBack = false;
      host->FastCheck->stop();
      if (plannedEnd) host->PlannedEndUnix = plannedEnd;
      LoadBanners();
      break;
    case TPlaybackStep::PreConnect:
      beginShow(true);
      break;
  }
}

void TSlotPlayback::PrepareMix(int n, const TPlaybackTickInput& in) {
  // The player asks for its slot's mix as it connects, on this thread; a mix
  // that is not loaded yet would be loaded then, holding the window up while
  // the sound server answers. So it is asked for in the background first.
  if (!services_.SlotSinkFor || !in.SlotActive || in.RecordingActive) {
    mixPrepared_[n - 1] = false;
    return;
  }
  const std::optional<TNextStart> next = NextStart(in.Now, in.StartTime, in.DayFlags);
  const bool soon = next && next->OnScheduledDay && next->Until <= kPrepareMixLead;
  if (!soon) {
    mixPrepared_[n - 1] = false;
    return;
  }
  if (mixPrepared_[n - 1]) return;
  mixPrepared_[n - 1] = true;
  linkQueues_[n - 1]->Post([sinkFor = services_.SlotSinkFor, n] { sinkFor(n); });
}

void TSlotPlayback::ReturnToOwnMix(int n) {
  // A stream that reconnected while its mix was missing (the sound server had
  // just restarted and the slot's sink was not loaded again yet) plays into
  // another output, where its capture does not hear it. Once the slot's own
  // sink is back, the stream is opened again into it.
  TPlayerHost* host = Player(n);
  const std::shared_ptr<const TSlotSettings> settings = slots_.Settings(n);
  if (host == nullptr || settings == nullptr || host->PageOpened || !services_.SlotSinkFor) return;
  TWindowsMediaPlayer& player = host->Player();
  if (player.URL().empty()) return;
  // Also a stream that went to the user's own output while the program's
  // mixes could not be loaded, once they can.
  const std::string sink = services_.SlotSinkFor(n);
  if (sink.empty() || player.CurrentAudioDevice() == sink) return;
  std::fprintf(stderr, "wavecrate: slot %d player: back into %s\n", n, sink.c_str());
  player.SetURL(settings->StreamUrl);
  player.controls.play();
}

void TSlotPlayback::OnMediaError(int n) {
  // Wait before acting, growing with each failure in a row: a link that fails
  // at once must not keep the slot busy with one request after another. A
  // stream that played in this show, or that was not there when last asked,
  // is waited for a few seconds at most.
  TPlayerHost* host = Player(n);
  const bool away = host != nullptr && (host->LinkPlayed || lastJudgment_[n - 1] == TLinkKind::Unknown);
  const auto delay = backoff_[n - 1]->NextDelay(std::chrono::steady_clock::now(), away);
  retryTimers_[n - 1]->start(static_cast<int>(delay.count()));
}

void TSlotPlayback::ActOnMediaError(int n) {
  TPlayerHost* host = Player(n);
  const std::shared_ptr<const TSlotSettings> settings = slots_.Settings(n);
  if (host == nullptr || judging_[n - 1]) return;
  const std::string link = settings ? settings->StreamUrl : std::string();
  const std::uint64_t show = showSerial_[n - 1];
  if (settings == nullptr || host->Player().URL().empty()) {
    ApplyJudgment(n, show, TLinkKind::Media);  // ignored: nothing plays
    return;
  }
  // A link that played in this show is an outage: tried again as media at
  // once, without asking the server what it is.
  if (host->LinkPlayed) {
    ApplyJudgment(n, show, TLinkKind::Media);
    return;
  }
  // The question goes to the slot's own queue; its answer comes back here
  // and is dropped when the show has changed meanwhile.
  judging_[n - 1] = true;
  auto job = [this, n, show, link, http = http_, cancel = &linkQueues_[n - 1]->Cancelled()] {
    TWebLookups lookups(*http, DefaultVendorBase(), ProgramFileName());
    const TLinkKind kind = lookups.JudgeLink(link, cancel);
    QMetaObject::invokeMethod(
        this,
        [this, n, show, kind] {
          judging_[n - 1] = false;
          ApplyJudgment(n, show, kind);
        },
        Qt::QueuedConnection);
  };
  linkQueues_[n - 1]->Post(std::move(job));
}

void TSlotPlayback::ApplyJudgment(int n, std::uint64_t show, TLinkKind kind) {
  TPlayerHost* host = Player(n);
  const std::shared_ptr<const TSlotSettings> settings = slots_.Settings(n);
  if (host == nullptr || show != showSerial_[n - 1]) return;
  TWindowsMediaPlayer& player = host->Player();
  const std::string link = settings ? settings->StreamUrl : std::string();
  if (!host->LinkPlayed) lastJudgment_[n - 1] = kind;
  switch (DecideMediaError(settings != nullptr, player.URL(), kind)) {
    case TMediaErrorAction::Ignore:
      break;
    case TMediaErrorAction::Retry:
      if (kind == TLinkKind::Unknown) {
        std::fprintf(stderr, "wavecrate: slot %d: %s does not answer yet; trying it again as a stream\n", n,
                     link.c_str());
      }
      // A page that was tried for this link did not load: the player has it.
      if (host->PageOpened) LeavePage(n);
      // The volume stays: an early connection is still held back.
      player.SetURL(link);
      player.controls.play();
      break;
    case TMediaErrorAction::OpenPage: {
      // The slot's page browser is made now, the first time its show needs
      // one; it plays nothing while the early connection is held back.
      std::fprintf(stderr, "wavecrate: slot %d: %s is a web page; it plays in the page browser\n", n,
                   link.c_str());
      TWebBrowser* page = MakePageBrowser(n);
      page->page()->setAudioMuted(host->HeldBack);
      // Sound of a page can only reach the shared mix: the slot's recording
      // follows it there.
      if (!host->PageOpened && services_.SlotUsesSharedMix) services_.SlotUsesSharedMix(n, true);
      host->PageOpened = true;
      page->Navigate(QString::fromStdString(link));
      break;
    }
  }
}

}  // namespace wavecrate
