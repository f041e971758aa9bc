// Options, "Share Recordings as a Podcast…": the share's settings and its
// server, kept by the controller (so that a headless run shares too), and
// the dialog that switches it on and shows its addresses.
#pragma once

#include <QDialog>
#include <QObject>
#include <QPointer>
#include <memory>
#include <string>
#include <vector>

#include "app/Settings.h"
#include "app/soup/PodcastServer.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QSpinBox;

namespace wavecrate {

class TPodcastShare : public QObject {
  Q_OBJECT
 public:
  // `loopbackOnly`: listens on 127.0.0.1 alone (the tests).
  explicit TPodcastShare(QObject* parent, bool loopbackOnly = false);
  ~TPodcastShare() override;

  // Where the history is; until it is set nothing is served.
  void SetHistoryPath(const std::string& path);
  // Takes the share's settings and starts or stops the server to match.
  void Load(const TSettings& settings);
  void Store(TSettings& settings) const;

  // Switches the share on (on `port`) or off. False, with `error`, when the
  // port cannot be listened on; the share is then off.
  bool Apply(bool on, std::uint16_t port, std::string* error);
  // A new token: every address given out before stops working at once.
  void NewToken();

  bool On() const { return on_; }
  bool Serving() const { return server_ && server_->Running(); }
  std::uint16_t Port() const { return port_; }
  const std::string& Token() const { return token_; }

  // The feeds a phone can subscribe to: every recording first, then one
  // per show; addresses on the machine's first network address.
  struct TFeed {
    std::string Title;
    std::string Url;
  };
  std::vector<TFeed> Feeds() const;

 signals:
  void Changed();
  // NewToken made the addresses given out so far useless.
  void TokenReplaced();

 private:
  std::string historyPath_;
  bool loopbackOnly_;
  bool on_ = false;
  std::uint16_t port_ = kDefaultPodcastPort;
  std::string token_;
  std::unique_ptr<TPodcastServer> server_;
};

class TPodcastDialog : public QDialog {
  Q_OBJECT
 public:
  TPodcastDialog(TPodcastShare& share, QWidget* parent);
  QComboBox* FeedBox() const { return feeds_; }
  QLabel* QrCode() const { return qr_; }

 private:
  void ShowFeeds();
  void ShowChosen();
  void Accept();

  TPodcastShare& share_;
  QCheckBox* on_ = nullptr;
  QSpinBox* port_ = nullptr;
  QComboBox* feeds_ = nullptr;
  QLineEdit* address_ = nullptr;
  QLabel* qr_ = nullptr;
};

// The menu item, at the end of `menu`, that opens the dialog over `window`.
void AddPodcastMenuItem(QMenu* menu, QWidget* window, TPodcastShare* share);

}  // namespace wavecrate
