#include "app/qt/AboutForm.h"

#include <QLabel>
#include <QPixmap>
#include <QPushButton>

namespace wavecrate {

QColor FormColour() {
  return QColor(54, 86, 219);
}

QString VendorHomeUrl() {
  return QStringLiteral("http://") + QStringLiteral(WAVECRATE_VENDOR_HOST);
}

namespace {

QLabel* WhiteLabel(QWidget* parent, const char* name, const QString& text, int x, int y, int w, int h) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setGeometry(x, y, w, h);
  label->setStyleSheet("color: white;");
  return label;
}

}  // namespace

TForm3::TForm3(QWidget* parent) : QDialog(parent) {
  setObjectName("Form3");
  setWindowTitle("About Wavecrate");
  setFixedSize(535, 252);
  move(275, 279);
  setModal(true);
  setAutoFillBackground(true);

  auto* logo = new QLabel(this);
  logo->setObjectName("Image1");
  logo->setGeometry(24, 8, 97, 121);
  logo->setScaledContents(true);
  logo->setPixmap(QPixmap(":/logo.jpg"));

  QLabel* title = WhiteLabel(this, "Label13", "Wavecrate Talk Radio Recorder ", 136, 12, 390, 28);
  QFont font("Arial Black");
  font.setPixelSize(16);
  font.setWeight(QFont::Black);
  title->setFont(font);

  WhiteLabel(this, "Label1", QStringLiteral(WAVECRATE_VENDOR_HOST), 136, 48, 380, 18);
  WhiteLabel(this, "Label2", "Version 1.2.01", 136, 68, 380, 18);
  WhiteLabel(this, "Label3", "Records your favourite talk-radio shows while you are away.", 136, 100, 390,
             18);
  WhiteLabel(this, "Label4", "Recordings are for your own personal listening only.", 136, 120, 390, 18);
  WhiteLabel(this, "Label5", "Copyright (C) Wavecrate. All rights reserved.", 136, 140, 390, 18);

  auto* close = new QPushButton("Close", this);
  close->setObjectName("Button1");
  close->setGeometry(224, 200, 87, 27);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
}

void TForm3::showEvent(QShowEvent* event) {
  QPalette p = palette();
  p.setColor(QPalette::Window, FormColour());
  setPalette(p);
  QDialog::showEvent(event);
}

}  // namespace wavecrate
