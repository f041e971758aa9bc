// The main window's playback side: the four slots' players and hidden page
// browsers, the two banners, the playback timers' ticks and the players'
// error handlers. Everything here runs on the GUI thread.
#include <QTimer>
#include <QWebEnginePage>
#include <chrono>
#include <cstdio>
#include <optional>

#include "app/SaveChanges.h"
#include "app/qt/AppServices.h"
#include "app/qt/MainForm.h"
#include "playback/PlaybackLogic.h"
#include "playback/WebLookups.h"
#include "playback/qt/Browsers.h"
#include "playback/qt/PlayerHost.h"
#include "scheduler/RecodeThread.h"

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

}  // namespace

void TForm1::CreatePlaybackControls(QWidget* client) {
  http_ = services_ ? services_->Http : nullptr;
  if (!http_) http_ = std::make_shared<TUnreachableHttpClient>();
  const std::string base = services_ ? services_->VendorBase : DefaultVendorBase();
  lookups_ = std::make_unique<TWebLookups>(*http_, base, ProgramFileName());
  webClient_ = client;

  // No web view is made here: each one holds a renderer process of the web
  // engine (and the first one starts the engine itself), so banners wait for
  // an address that can load and page browsers for a page to play.
  const bool media = services_ && services_->WithMedia;
  for (int i = 0; i < 4; ++i) {
    backoff_[i] = std::make_unique<TMediaRetryBackoff>();
    retryTimers_[i] = new QTimer(this);
    retryTimers_[i]->setSingleShot(true);
    connect(retryTimers_[i], &QTimer::timeout, this, [this, i] { ActOnMediaError(i + 1); });
    if (!media) continue;
    const TPlace& pp = kPlayerPlaces[i];
    players_[i] = new TPlayerHost(QString("WindowsMediaPlayer%1").arg(i + 1), client);
    players_[i]->setGeometry(pp.X, pp.Y, pp.W, pp.H);
    connect(players_[i]->FastCheck, &QTimer::timeout, this, [this, i] { PlaybackTick(i + 1); });
    TWindowsMediaPlayer& player = players_[i]->Player();
    // Asked on the GUI thread at every connection, so a slot's own mix that
    // the sound server lost and got back is found again.
    player.AudioDevice = [this, i] {
      return services_ && services_->SlotSinkFor ? services_->SlotSinkFor(i + 1) : std::string();
    };
    // Called on the GUI thread, which runs GLib's default main context.
    player.MediaError = [this, i](const TMediaErrorInfo& info) {
      std::fprintf(stderr, "wavecrate: slot %d player: %s (%s)\n", i + 1, info.Message.c_str(),
                   info.URL.c_str());
      OnMediaError(i + 1);
    };
    player.StatusChange = [this, i] {
      if (players_[i]->Player().PlayState() == TPlayState::Playing) {
        backoff_[i]->NotePlaying(std::chrono::steady_clock::now());
        players_[i]->LinkPlayed = true;
      }
    };
  }
}

TPlayerHost* TForm1::Player(int n) const {
  return n >= 1 && n <= 4 ? players_[n - 1] : nullptr;
}
TWebBrowser* TForm1::PageBrowser(int n) const {
  return n >= 1 && n <= 4 ? pageBrowsers_[n - 1] : nullptr;
}
TWebBrowser* TForm1::Banner(int n) const {
  return n >= 1 && n <= 2 ? banners_[n - 1] : nullptr;
}

TWebBrowser* TForm1::MakePageBrowser(int n) {
  TWebBrowser*& page = pageBrowsers_[n - 1];
  if (page == nullptr) {
    const TPlace& p = kPagePlaces[n - 1];
    page = new TWebBrowser(kPageBrowserNames[n - 1], false, webClient_);
    page->setGeometry(p.X, p.Y, p.W, p.H);
    page->show();
  }
  return page;
}

void TForm1::DropPageBrowser(int n) {
  // Deleting the view ends its page and, with the last page of its renderer,
  // the renderer process; nothing of the show's page is heard after this.
  // Never called from the view's own signals, so it can go at once.
  delete pageBrowsers_[n - 1];
  pageBrowsers_[n - 1] = nullptr;
}

void TForm1::LoadBanners() {
  const bool media = services_ && services_->WithMedia;
  for (int i = 0; i < 2; ++i) {
    bool hostAnswered = false;
    const std::string url = lookups_->GetBannerUrl(i == 0 ? "banner1" : "banner2", &hostAnswered);
    if (!media || !hostAnswered) {
      // Nothing could load from an unreachable host: the area stays in the
      // window's colour with no renderer behind it.
      delete banners_[i];
      banners_[i] = nullptr;
      continue;
    }
    if (banners_[i] == nullptr) {
      const TPlace& p = kBannerPlaces[i];
      banners_[i] = new TWebBrowser(kBannerNames[i], true, webClient_);
      banners_[i]->setGeometry(p.X, p.Y, p.W, p.H);
      banners_[i]->show();
    }
    banners_[i]->Navigate(QString::fromStdString(url));
  }
}

std::string TForm1::ReportUserDetails(const std::string& showName) {
  lookups_->SetProfile(TUserProfile{Gender, YearOfBirth, Country, State, PostalCode, Occupation});
  return lookups_->ReportUserDetails(showName);
}

void TForm1::PlaybackTick(int n) {
  TPlayerHost* host = Player(n);
  TRecodeThread* thread = editor_->RecodeThreads(n);
  if (host == nullptr) return;
  TWindowsMediaPlayer& player = host->Player();
  const Clock& clock = services_ ? *services_->AppClock : SystemClock();

  TPlaybackTickInput in;
  in.Now = clock.Now();
  in.HasThread = thread != nullptr;
  in.SlotActive = editor_->SlotActive(n);
  std::shared_ptr<const TSlotSettings> settings;
  std::optional<std::int64_t> plannedEnd;
  if (thread) {
    settings = thread->Settings();
    in.RecordingActive = thread->RecordingActive.load();
    in.StartTime = settings->StartTime;
    in.EndTime = settings->EndTime;
    in.DayFlags = settings->DayFlags;
    if (in.RecordingActive) plannedEnd = thread->PlannedEndUnix();
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
    DropPageBrowser(n);
    if (host->PageOpened && services_ && services_->SlotUsesSharedMix) services_->SlotUsesSharedMix(n, false);
    player.SetVolume(TPlayerHost::kAudibleVolume);
    host->ForgetShow();
  };
  // A new show begins in the player, heard or held back.
  const auto beginShow = [&](bool heldBack) {
    // A page of an earlier show has no place in this one.
    DropPageBrowser(n);
    host->ForgetShow();
    backoff_[n - 1]->Reset();
    host->HeldBack = heldBack;
    player.SetVolume(heldBack ? 0 : TPlayerHost::kAudibleVolume);
    player.SetURL(settings->StreamUrl);
    player.controls.play();
    if (heldBack) host->FastCheck->start();
  };
  // The banners are reloaded after the other slots' ticks of this second,
  // which must not wait for the lookups' requests.
  const auto reloadBanners = [this] { QTimer::singleShot(0, this, [this] { LoadBanners(); }); };

  switch (DecidePlaybackTick(in)) {
    case TPlaybackStep::None:
      ReturnToOwnMix(n);
      break;
    case TPlaybackStep::End:
      thread->StopRecording();
      player.controls.stop();
      player.SetURL("");
      thread->RecordingActive = false;
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
      reloadBanners();
      break;
    case TPlaybackStep::MakeAudible:
      player.SetVolume(TPlayerHost::kAudibleVolume);
      if (TWebBrowser* page = PageBrowser(n)) page->page()->setAudioMuted(false);
      host->HeldBack = false;
      host->FastCheck->stop();
      if (plannedEnd) host->PlannedEndUnix = plannedEnd;
      reloadBanners();
      break;
    case TPlaybackStep::PreConnect:
      beginShow(true);
      break;
  }
}

void TForm1::ReturnToOwnMix(int n) {
  // A stream that reconnected while its mix was missing (the sound server had
  // just restarted and the slot's sink was not loaded again yet) plays into
  // the default output, where its capture does not hear it. Once the slot's
  // own sink is back, the stream is opened again into it.
  TPlayerHost* host = Player(n);
  TRecodeThread* thread = editor_->RecodeThreads(n);
  if (host == nullptr || thread == nullptr || host->PageOpened || !services_ || !services_->SlotSinkFor)
    return;
  TWindowsMediaPlayer& player = host->Player();
  if (player.URL().empty() || player.CurrentAudioDevice() != "") return;
  const std::string sink = services_->SlotSinkFor(n);
  if (sink.empty()) return;
  std::fprintf(stderr, "wavecrate: slot %d player: back into %s\n", n, sink.c_str());
  player.SetURL(thread->Settings()->StreamUrl);
  player.controls.play();
}

void TForm1::OnMediaError(int n) {
  // Wait before acting, growing with each failure in a row: a link that fails
  // at once must not keep the window busy with one request after another. A
  // link that played in this show is waited for a few seconds at most.
  TPlayerHost* host = Player(n);
  const bool played = host != nullptr && host->LinkPlayed;
  const auto delay = backoff_[n - 1]->NextDelay(std::chrono::steady_clock::now(), played);
  retryTimers_[n - 1]->start(static_cast<int>(delay.count()));
}

void TForm1::ActOnMediaError(int n) {
  TPlayerHost* host = Player(n);
  TRecodeThread* thread = editor_->RecodeThreads(n);
  if (host == nullptr) return;
  TWindowsMediaPlayer& player = host->Player();
  const std::string link = thread ? thread->Settings()->StreamUrl : std::string();
  switch (DecideMediaError(thread != nullptr, player.URL(), host->LinkPlayed,
                           [&] { return lookups_->IsMediaLink(link); })) {
    case TMediaErrorAction::Ignore:
      break;
    case TMediaErrorAction::Retry:
      // The volume stays: an early connection is still held back.
      player.SetURL(link);
      player.controls.play();
      break;
    case TMediaErrorAction::OpenPage: {
      // The slot's page browser is made now, the first time its show needs
      // one; it plays nothing while the early connection is held back.
      TWebBrowser* page = MakePageBrowser(n);
      page->page()->setAudioMuted(host->HeldBack);
      // Sound of a page can only reach the shared mix: the slot's recording
      // follows it there.
      if (!host->PageOpened && services_ && services_->SlotUsesSharedMix)
        services_->SlotUsesSharedMix(n, true);
      host->PageOpened = true;
      page->Navigate(QString::fromStdString(link));
      break;
    }
  }
}

}  // namespace wavecrate
