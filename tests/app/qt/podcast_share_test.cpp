// "Share Recordings as a Podcast…" as a user meets it: the dialog over a real
// share serving on 127.0.0.1 (from a thread of its own), the address it
// shows answered, "New Address" retiring the old one.
#include "app/qt/PodcastShare.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <future>

#include "app/RecordingHistory.h"
#include "app/qt/HeadlessView.h"
#include "app/qt/MainController.h"
#include "audio/RiffHeader.h"
#include "support/TempDir.h"

namespace wavecrate {
namespace {

using test::TempDir;
using test::WriteFile;

// The status code of a GET of `url` (an http://127.0.0.1:port/... address),
// asked from another thread while this one keeps the dialog's event loop
// running.
int StatusOf(const QString& url) {
  const QUrl parsed(url);
  auto answer = std::async(std::launch::async, [port = parsed.port(), path = parsed.path().toStdString()] {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return std::string();
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (write(fd, request.data(), request.size()) < 0) return std::string();
    std::string reply;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
      reply.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return reply;
  });
  while (answer.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) QTest::qWait(10);
  const std::string reply = answer.get();
  return reply.starts_with("HTTP/1.1 ") ? std::stoi(reply.substr(9, 3)) : 0;
}

TEST(PodcastShareTest, DialogShowsWorkingAddressesAndNewAddressRetiresTheOld) {
  TempDir dir;
  const TBytes head = BuildRiffHeader(MakeMpegLayer3FormatBlock(44100, 2, 128000), 4000);
  WriteFile(dir.File("show.mp3"), std::string(head.begin(), head.end()) + std::string(4000, '\x55'));
  TRecordingHistory history(dir.File("history.jsonl"));
  TRecordingReport r;
  r.Slot = 2;
  r.ShowName = "Night Line";
  r.File = dir.File("show.mp3");
  r.ActualStart = r.ScheduledStart = 2000000000;
  r.Result = TRecordingResult::Recorded;
  ASSERT_TRUE(history.Append({THistoryRecord::TEvent::Finished, RecordingId(r), r}, false));

  TPodcastShare share(nullptr, true);
  share.SetHistoryPath(history.Path());
  TSettings settings;
  share.Load(settings);  // off by default
  EXPECT_FALSE(share.Serving());
  std::string error;
  ASSERT_TRUE(share.Apply(true, 0, &error)) << error;
  ASSERT_TRUE(share.Serving());

  TPodcastDialog dialog(share, nullptr);
  dialog.show();
  ASSERT_EQ(dialog.FeedBox()->count(), 2);
  EXPECT_EQ(dialog.FeedBox()->itemText(1), "Night Line");
  auto* address = dialog.findChild<QLineEdit*>("Address");
  const QString all = address->text();
  EXPECT_TRUE(all.endsWith(QString::fromStdString("/" + share.Token() + "/feed.rss"))) << all.toStdString();
  EXPECT_FALSE(dialog.QrCode()->pixmap().isNull());
  dialog.findChild<QPushButton*>("Copy")->click();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), all);
  dialog.FeedBox()->setCurrentIndex(1);
  const QString show = address->text();
  EXPECT_EQ(StatusOf(all), 200);
  EXPECT_EQ(StatusOf(show), 200);

  dialog.findChild<QPushButton*>("NewAddress")->click();
  EXPECT_NE(address->text(), show);
  EXPECT_EQ(StatusOf(show), 404);
  EXPECT_EQ(StatusOf(all), 404);
  EXPECT_EQ(StatusOf(address->text()), 200);
  share.Store(settings);
  EXPECT_TRUE(settings.SharePodcast);
  EXPECT_EQ(settings.PodcastToken, share.Token());
  EXPECT_EQ(all.indexOf(QString::fromStdString(settings.PodcastToken)), -1);

  // Switched off, nothing listens any more.
  ASSERT_TRUE(share.Apply(false, share.Port(), &error));
  EXPECT_EQ(StatusOf(address->text()), 0);
}

// Through the controller (headless here), a new address is in the settings
// file at once, and nothing else of the window's unsaved edits with it.
TEST(PodcastShareTest, ANewAddressIsWrittenAtOnceWithoutTheUnsavedSchedule) {
  TempDir dir;
  const TAppPaths paths = TAppPaths::ForExecutable(dir.File("wavecrate"));
  const std::string old = "00112233445566778899aabbccddeeff";
  WriteFile(paths.SettingsPath, "[User]\nShowName1=Night Line\n[Options]\nPodcastToken=" + old + "\n");
  THeadlessView view;
  QWidget host;
  TMainController controller(paths, nullptr, view, &host);
  controller.StartUp();
  TSettings edited = view.ReadControls();
  edited.Slots[0].ShowName = "Not saved";
  view.LoadIntoControls(edited);
  controller.Podcast()->NewToken();
  const TSettings file = LoadSettings(paths.SettingsPath);
  EXPECT_EQ(file.PodcastToken, controller.Podcast()->Token());
  EXPECT_NE(file.PodcastToken, old);
  EXPECT_EQ(file.Slots[0].ShowName, "Night Line");
  controller.ExitSequence(false);
}

}  // namespace
}  // namespace wavecrate
