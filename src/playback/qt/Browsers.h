// Embedded web views: the two visible banners and the four hidden page
// browsers that play a slot's link when it is a page rather than a stream.
#pragma once

#include <QWebEnginePage>
#include <QWebEngineView>

namespace wavecrate {

// A page that never blocks on a script dialog: alerts, confirmations and
// prompts are answered at once and never shown, and sound may start without
// a click, as a radio station's player page expects.
class TQuietWebPage : public QWebEnginePage {
  Q_OBJECT
 public:
  explicit TQuietWebPage(QObject* parent = nullptr);

 protected:
  void javaScriptAlert(const QUrl& securityOrigin, const QString& msg) override;
  bool javaScriptConfirm(const QUrl& securityOrigin, const QString& msg) override;
  bool javaScriptPrompt(const QUrl& securityOrigin, const QString& msg, const QString& defaultValue,
                        QString* result) override;
  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int lineNumber,
                                const QString& sourceID) override;
};

class TWebBrowser : public QWebEngineView {
  Q_OBJECT
 public:
  // A banner shows a quiet blank area instead of an error page when its page
  // cannot be loaded.
  TWebBrowser(const QString& name, bool isBanner, QWidget* parent);
  void Navigate(const QString& url);
  QString LastUrl() const { return lastUrl_; }

 signals:
  void NavigationFinished(bool ok);

 private:
  bool isBanner_;
  bool blanking_ = false;
  QString lastUrl_;
};

}  // namespace wavecrate
