#include "app/qt/TimeEdit.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QToolButton>
#include <QVBoxLayout>

namespace wavecrate {

TTimeEdit::TTimeEdit(int tag, const QString& initialText, QWidget* parent)
    : QLineEdit(parent), model_(tag, initialText.toStdString()) {
  // The user never types into the field directly: every change goes through
  // the model, which replaces the two-character selection.
  setReadOnly(true);
  setContextMenuPolicy(Qt::NoContextMenu);
  setDragEnabled(false);
  SyncFromModel();
}

void TTimeEdit::SetFieldText(const QString& text) {
  model_.SetText(text.toStdString());
  SyncFromModel();
}

void TTimeEdit::StepBy(bool up) {
  model_.UpDownClick(up);
  SyncFromModel();
  setFocus(Qt::OtherFocusReason);
}

void TTimeEdit::SyncFromModel() {
  const QString text = QString::fromStdString(model_.Text());
  if (QLineEdit::text() != text) QLineEdit::setText(text);
  const int start = model_.SelStart();
  const int length = model_.SelLength();
  if (length > 0 && start >= 0 && start + length <= text.size()) {
    setSelection(start, length);
  } else {
    setCursorPosition(std::max(0, std::min<int>(start, text.size())));
  }
}

void TTimeEdit::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  // Where the click itself would put the caret, for the clicks that leave the
  // selection where the click put it.
  const int caret = cursorPositionAt(event->position().toPoint());
  model_.MouseDown(static_cast<int>(event->position().x()), caret);
  SyncFromModel();
  event->accept();
}

void TTimeEdit::mouseMoveEvent(QMouseEvent* event) {
  event->accept();
}
void TTimeEdit::mouseDoubleClickEvent(QMouseEvent* event) {
  mousePressEvent(event);
}

void TTimeEdit::keyPressEvent(QKeyEvent* event) {
  const QString t = event->text();
  if (t.size() == 1 && t.at(0).unicode() < 128 && t.at(0).isPrint()) {
    model_.KeyPress(static_cast<char>(t.at(0).unicode()));
    SyncFromModel();
    event->accept();
    return;
  }
  if (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab) {
    QLineEdit::keyPressEvent(event);
    return;
  }
  event->accept();
}

void TTimeEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  SyncFromModel();
}

void TTimeEdit::focusOutEvent(QFocusEvent* event) {
  model_.Exit();
  SyncFromModel();
  QLineEdit::focusOutEvent(event);
}

TUpDown::TUpDown(int tag, QWidget* parent) : QWidget(parent), tag_(tag) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* up = new QToolButton(this);
  auto* down = new QToolButton(this);
  up->setObjectName("Up");
  down->setObjectName("Down");
  up->setArrowType(Qt::UpArrow);
  down->setArrowType(Qt::DownArrow);
  for (QToolButton* b : {up, down}) {
    b->setFocusPolicy(Qt::NoFocus);
    b->setAutoRepeat(true);
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    layout->addWidget(b);
  }
  connect(up, &QToolButton::clicked, this, [this] { emit Clicked(true); });
  connect(down, &QToolButton::clicked, this, [this] { emit Clicked(false); });
}

}  // namespace wavecrate
