// The about box: created at start-up, kept for the whole run, shown modally.
#pragma once

#include <QDialog>

namespace wavecrate {

class TForm3 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm3(QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;  // FormShow: the box takes the window colour
};

// RGB(54, 86, 219), shared by the main window and the about box.
QColor FormColour();
// "http://" + the vendor's web host.
QString VendorHomeUrl();

}  // namespace wavecrate
