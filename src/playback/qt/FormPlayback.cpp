// The main window's playback side: the four slots' players and hidden page
// browsers, the two banners, the playback timers' ticks and the players'
// error handlers. Everything here runs on the GUI thread.
#include <QTimer>
#include <chrono>
#include <cstdio>

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

}  // namespace

void TForm1::CreatePlaybackControls(QWidget* client) {
  http_ = services_ ? services_->Http : nullptr;
  if (!http_) http_ = std::make_shared<TUnreachableHttpClient>();
  const std::string base = services_ ? services_->VendorBase : DefaultVendorBase();
  lookups_ = std::make_unique<TWebLookups>(*http_, base, ProgramFileName());

  const bool media = services_ && services_->WithMedia;
  const TPlace bannerPlaces[2] = {{616, 412, 328, 250}, {12, 565, 500, 75}};
  const char* const bannerNames[2] = {"WebBrowser", "WebBrowser1"};
  for (int i = 0; i < 2; ++i) {
    const TPlace& p = bannerPlaces[i];
    if (media) {
      banners_[i] = new TWebBrowser(bannerNames[i], true, client);
      banners_[i]->setGeometry(p.X, p.Y, p.W, p.H);
    } else {
      auto* blank = new QWidget(client);
      blank->setObjectName(bannerNames[i]);
      blank->setGeometry(p.X, p.Y, p.W, p.H);
    }
  }
  for (int i = 0; i < 4; ++i) {
    backoff_[i] = std::make_unique<TMediaRetryBackoff>();
    retryTimers_[i] = new QTimer(this);
    retryTimers_[i]->setSingleShot(true);
    connect(retryTimers_[i], &QTimer::timeout, this, [this, i] { ActOnMediaError(i + 1); });
    if (!media) continue;
    const TPlace& pp = kPlayerPlaces[i];
    players_[i] = new TPlayerHost(QString("WindowsMediaPlayer%1").arg(i + 1), client);
    players_[i]->setGeometry(pp.X, pp.Y, pp.W, pp.H);
    TWindowsMediaPlayer& player = players_[i]->Player();
    // Called on the GUI thread, which runs GLib's default main context.
    player.MediaError = [this, i](const TMediaErrorInfo& info) {
      std::fprintf(stderr, "wavecrate: slot %d player: %s (%s)\n", i + 1, info.Message.c_str(),
                   info.URL.c_str());
      OnMediaError(i + 1);
    };
    player.StatusChange = [this, i] {
      if (players_[i]->Player().PlayState() == TPlayState::Playing) {
        backoff_[i]->NotePlaying(std::chrono::steady_clock::now());
      }
    };
    const TPlace& bp = kPagePlaces[i];
    pageBrowsers_[i] = new TWebBrowser(kPageBrowserNames[i], false, client);
    pageBrowsers_[i]->setGeometry(bp.X, bp.Y, bp.W, bp.H);
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

void TForm1::LoadBanners() {
  for (int i = 0; i < 2; ++i) {
    const std::string url = lookups_->GetBannerUrl(i == 0 ? "banner1" : "banner2");
    if (banners_[i]) banners_[i]->Navigate(QString::fromStdString(url));
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
  if (thread) {
    settings = thread->Settings();
    in.RecordingActive = thread->RecordingActive.load();
    in.EndTime = settings->EndTime;
    in.DayFlags = settings->DayFlags;
  }
  in.PlayerUrl = player.URL();
  const TPlaybackTickActions act = DecidePlaybackTick(in);
  if (act.End) {
    thread->StopRecording();
    player.controls.stop();
    player.SetURL("");
    thread->RecordingActive = false;
    retryTimers_[n - 1]->stop();
    if (TWebBrowser* page = PageBrowser(n)) page->Navigate(kBlankPage);
  }
  if (act.Start) {
    backoff_[n - 1]->Reset();
    player.SetURL(settings->StreamUrl);
    player.controls.play();
    LoadBanners();
  }
}

void TForm1::OnMediaError(int n) {
  // Wait before acting, growing with each failure in a row: a link that fails
  // at once must not keep the window busy with one request after another.
  const auto delay = backoff_[n - 1]->NextDelay(std::chrono::steady_clock::now());
  retryTimers_[n - 1]->start(static_cast<int>(delay.count()));
}

void TForm1::ActOnMediaError(int n) {
  TPlayerHost* host = Player(n);
  TRecodeThread* thread = editor_->RecodeThreads(n);
  if (host == nullptr) return;
  TWindowsMediaPlayer& player = host->Player();
  const std::string link = thread ? thread->Settings()->StreamUrl : std::string();
  switch (DecideMediaError(thread != nullptr, player.URL(), [&] { return lookups_->IsMediaLink(link); })) {
    case TMediaErrorAction::Ignore:
      break;
    case TMediaErrorAction::Retry:
      player.SetURL(link);
      player.controls.play();
      break;
    case TMediaErrorAction::OpenPage:
      if (TWebBrowser* page = PageBrowser(n)) page->Navigate(QString::fromStdString(link));
      break;
  }
}

}  // namespace wavecrate
