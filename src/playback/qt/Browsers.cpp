#include "playback/qt/Browsers.h"

#include <QWebEngineSettings>

namespace wavecrate {

TQuietWebPage::TQuietWebPage(QObject* parent) : QWebEnginePage(parent) {
  settings()->setAttribute(QWebEngineSettings::PlaybackRequiresUserGesture, false);
  settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
  settings()->setAttribute(QWebEngineSettings::ShowScrollBars, false);
  // Pages must never hold the window with a "leave this page?" question.
  connect(this, &QWebEnginePage::featurePermissionRequested, this,
          [this](const QUrl& origin, QWebEnginePage::Feature feature) {
            setFeaturePermission(origin, feature, QWebEnginePage::PermissionDeniedByUser);
          });
}

void TQuietWebPage::javaScriptAlert(const QUrl&, const QString&) {}
bool TQuietWebPage::javaScriptConfirm(const QUrl&, const QString&) {
  return true;
}
bool TQuietWebPage::javaScriptPrompt(const QUrl&, const QString&, const QString& defaultValue,
                                     QString* result) {
  if (result) *result = defaultValue;
  return true;
}
void TQuietWebPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString&, int,
                                             const QString&) {}

TWebBrowser::TWebBrowser(const QString& name, bool isBanner, QWidget* parent)
    : QWebEngineView(parent), isBanner_(isBanner) {
  setObjectName(name);
  setPage(new TQuietWebPage(this));
  setContextMenuPolicy(Qt::NoContextMenu);
  // GUI thread: load results arrive from the event loop.
  connect(this, &QWebEngineView::loadFinished, this, [this](bool ok) {
    if (blanking_) {  // the blank page that stands in for a failed banner
      blanking_ = false;
      return;
    }
    if (!ok && isBanner_) {
      // Replace the failed page with an empty one in the window's colour.
      blanking_ = true;
      setHtml("<html><body style=\"margin:0;background:#3656db\"></body></html>");
    }
    emit NavigationFinished(ok);
  });
}

void TWebBrowser::Navigate(const QString& url) {
  lastUrl_ = url;
  load(QUrl(url));
}

}  // namespace wavecrate
