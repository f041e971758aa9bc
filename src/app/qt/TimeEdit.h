// The masked time fields and their up/down buttons. The editing rules live in
// the GUI-free TTimeFieldModel; these widgets only route mouse, keys and
// clicks into it and show its text and selection.
#pragma once

#include <QLineEdit>
#include <QWidget>

#include "app/TimeField.h"

namespace wavecrate {

class TTimeEdit : public QLineEdit {
  Q_OBJECT
 public:
  TTimeEdit(int tag, const QString& initialText, QWidget* parent);

  int Tag() const { return model_.Tag(); }
  TTimeFieldModel& Model() { return model_; }
  // Replaces the text (settings load); no check or conversion.
  void SetFieldText(const QString& text);
  // Runs the shared up/down handler on this field.
  void StepBy(bool up);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;

 private:
  void SyncFromModel();

  TTimeFieldModel model_;
};

// Two small arrow buttons. One handler serves every up/down button and finds
// its field through the button's Tag.
class TUpDown : public QWidget {
  Q_OBJECT
 public:
  TUpDown(int tag, QWidget* parent);
  int Tag() const { return tag_; }

 signals:
  void Clicked(bool up);

 private:
  int tag_;
};

}  // namespace wavecrate
