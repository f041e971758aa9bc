#include "app/qt/PodcastShare.h"

#include <qrencode.h>

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cstdio>
#include <set>

#include "app/PodcastFeed.h"
#include "app/RecordingHistory.h"

namespace wavecrate {

namespace {

// The recordings the per-show feeds are listed from, newest first.
constexpr std::size_t kShowsLookedAt = 1000;

std::uint16_t PortFromText(const std::string& text) {
  try {
    const int port = std::stoi(text);
    if (port >= 1024 && port <= 65535) return static_cast<std::uint16_t>(port);
  } catch (const std::exception&) {
  }
  return kDefaultPodcastPort;
}

bool IsToken(const std::string& text) {
  return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A QR code of `text`, each module `scale` pixels, with the quiet border
// readers need.
QImage QrImage(const std::string& text, int scale) {
  QRcode* code = QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
  if (code == nullptr) return {};
  constexpr int kBorder = 4;
  const int side = (code->width + 2 * kBorder) * scale;
  QImage image(side, side, QImage::Format_Mono);
  image.fill(0);  // colour 0 is white below
  image.setColor(0, qRgb(255, 255, 255));
  image.setColor(1, qRgb(0, 0, 0));
  for (int y = 0; y < code->width; ++y) {
    for (int x = 0; x < code->width; ++x) {
      if ((code->data[y * code->width + x] & 1) == 0) continue;
      for (int dy = 0; dy < scale; ++dy) {
        for (int dx = 0; dx < scale; ++dx)
          image.setPixel((x + kBorder) * scale + dx, (y + kBorder) * scale + dy, 1);
      }
    }
  }
  QRcode_free(code);
  return image;
}

}  // namespace

TPodcastShare::TPodcastShare(QObject* parent, bool loopbackOnly)
    : QObject(parent), loopbackOnly_(loopbackOnly) {
  setObjectName("PodcastShare");
}

TPodcastShare::~TPodcastShare() = default;

void TPodcastShare::SetHistoryPath(const std::string& path) {
  historyPath_ = path;
}

void TPodcastShare::Load(const TSettings& settings) {
  token_ = IsToken(settings.PodcastToken) ? settings.PodcastToken : "";
  std::string error;
  if (!Apply(settings.SharePodcast, PortFromText(settings.PodcastPort), &error)) {
    std::fprintf(stderr, "wavecrate: podcast share not started: %s\n", error.c_str());
  }
}

void TPodcastShare::Store(TSettings& settings) const {
  settings.SharePodcast = on_;
  settings.PodcastPort = std::to_string(port_);
  settings.PodcastToken = token_;
}

bool TPodcastShare::Apply(bool on, std::uint16_t port, std::string* error) {
  if (server_ && (!on || port != port_)) {
    server_.reset();
    std::fprintf(stderr, "wavecrate: podcast share stopped\n");
  }
  on_ = on;
  port_ = port;
  if (on && token_.empty()) token_ = NewPodcastToken();
  bool ok = true;
  if (on && !server_ && !historyPath_.empty()) {
    TPodcastServerOptions options;
    options.HistoryPath = historyPath_;
    options.Token = token_;
    options.Port = port;
    options.LoopbackOnly = loopbackOnly_;
    auto server = std::make_unique<TPodcastServer>(options);
    std::string why;
    if (server->Start(&why)) {
      server_ = std::move(server);
      port_ = server_->Port();  // the one chosen, when any would do
      std::fprintf(stderr, "wavecrate: podcast share on port %u\n", static_cast<unsigned>(port_));
    } else {
      on_ = false;
      ok = false;
      if (error) *error = why;
    }
  }
  emit Changed();
  return ok;
}

void TPodcastShare::NewToken() {
  token_ = NewPodcastToken();
  if (server_) server_->SetToken(token_);
  std::fprintf(stderr, "wavecrate: podcast share has a new address\n");
  emit Changed();
  emit TokenReplaced();
}

std::vector<TPodcastShare::TFeed> TPodcastShare::Feeds() const {
  std::vector<TFeed> feeds;
  if (token_.empty()) return feeds;
  const std::vector<std::string> lan = loopbackOnly_ ? std::vector<std::string>{} : LanAddresses();
  const std::string base = "http://" + (lan.empty() ? std::string("127.0.0.1") : lan.front()) + ":" +
                           std::to_string(port_) + "/" + token_;
  feeds.push_back({"All recordings", base + "/feed.rss"});
  if (historyPath_.empty()) return feeds;
  std::set<std::string> seen;
  for (const TPodcastEpisode& e : PodcastEpisodes(ReadRecentRecordings(historyPath_, kShowsLookedAt))) {
    if (!seen.insert(e.ShowKey).second) continue;
    const std::string& show = e.Record.Report.ShowName;
    feeds.push_back({show.empty() ? "Untitled show" : show, base + "/shows/" + e.ShowKey + ".rss"});
  }
  return feeds;
}

TPodcastDialog::TPodcastDialog(TPodcastShare& share, QWidget* parent) : QDialog(parent), share_(share) {
  setObjectName("PodcastDialog");
  setWindowTitle("Share Recordings as a Podcast");
  auto* layout = new QVBoxLayout(this);
  on_ = new QCheckBox("&Share the recordings with podcast apps on this network", this);
  on_->setObjectName("ShareOn");
  on_->setChecked(share.On());
  layout->addWidget(on_);
  auto* form = new QFormLayout;
  port_ = new QSpinBox(this);
  port_->setObjectName("Port");
  port_->setRange(1024, 65535);
  port_->setValue(share.Port());
  form->addRow("&Port:", port_);
  feeds_ = new QComboBox(this);
  feeds_->setObjectName("Feeds");
  form->addRow("&Feed:", feeds_);
  auto* row = new QHBoxLayout;
  address_ = new QLineEdit(this);
  address_->setObjectName("Address");
  address_->setReadOnly(true);
  address_->setMinimumWidth(420);
  auto* copy = new QPushButton("&Copy", this);
  copy->setObjectName("Copy");
  row->addWidget(address_);
  row->addWidget(copy);
  form->addRow("Address:", row);
  layout->addLayout(form);
  qr_ = new QLabel(this);
  qr_->setObjectName("QrCode");
  qr_->setAlignment(Qt::AlignCenter);
  layout->addWidget(qr_);
  auto* note = new QLabel(
      "Scan the code with a phone on the same network, or paste the address into a podcast app. "
      "Anyone who has the address can listen; it travels unencrypted. \"New Address\" makes every "
      "address given out before useless.",
      this);
  note->setWordWrap(true);
  layout->addWidget(note);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  QPushButton* renew = buttons->addButton("&New Address", QDialogButtonBox::ResetRole);
  renew->setObjectName("NewAddress");
  layout->addWidget(buttons);

  connect(copy, &QPushButton::clicked, this,
          [this] { QGuiApplication::clipboard()->setText(address_->text()); });
  connect(renew, &QPushButton::clicked, this, [this] {
    share_.NewToken();
    ShowFeeds();
  });
  connect(feeds_, &QComboBox::currentIndexChanged, this, &TPodcastDialog::ShowChosen);
  connect(buttons, &QDialogButtonBox::accepted, this, &TPodcastDialog::Accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  ShowFeeds();
}

void TPodcastDialog::ShowFeeds() {
  const int chosen = std::max(feeds_->currentIndex(), 0);
  feeds_->clear();
  // The addresses carry the port the share listens on; one typed in the box
  // but not yet applied would lead nowhere.
  for (const TPodcastShare::TFeed& feed : share_.Feeds()) {
    feeds_->addItem(QString::fromStdString(feed.Title), QString::fromStdString(feed.Url));
  }
  feeds_->setCurrentIndex(std::min(chosen, feeds_->count() - 1));
  ShowChosen();
}

void TPodcastDialog::ShowChosen() {
  const QString url = feeds_->currentData().toString();
  address_->setText(url);
  qr_->setPixmap(url.isEmpty() ? QPixmap() : QPixmap::fromImage(QrImage(url.toStdString(), 4)));
}

void TPodcastDialog::Accept() {
  std::string error;
  if (!share_.Apply(on_->isChecked(), static_cast<std::uint16_t>(port_->value()), &error)) {
    QMessageBox::warning(this, windowTitle(),
                         QString::fromStdString("The share could not start on port " +
                                                std::to_string(port_->value()) + ": " + error));
    ShowFeeds();
    return;
  }
  accept();
}

void AddPodcastMenuItem(QMenu* menu, QWidget* window, TPodcastShare* share) {
  QAction* action = menu->addAction(QString::fromUtf8("Share Recordings as a &Podcast\u2026"));
  action->setObjectName("SharePodcast1");
  QObject::connect(action, &QAction::triggered, window, [window, share] {
    auto* dialog = window->findChild<TPodcastDialog*>("PodcastDialog");
    if (dialog == nullptr) {
      dialog = new TPodcastDialog(*share, window);
      dialog->setAttribute(Qt::WA_DeleteOnClose);
      // Window-modal without a nested event loop, like the other option
      // dialogs: recordings go on meanwhile.
      dialog->open();
    }
    dialog->raise();
    dialog->activateWindow();
  });
}

}  // namespace wavecrate
