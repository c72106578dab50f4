#include "app/field_edit.h"

#include <QEvent>
#include <QStyle>
#include <QStyleOptionFrame>

namespace {
// QLineEdit keeps this many pixels free on either side of its text.
constexpr int kLineEditMargin = 2;
}  // namespace

FieldEdit::FieldEdit(const QString& text, QWidget* parent) : QLineEdit(text, parent) {
  connect(this, &QLineEdit::textChanged, this, [this] { UpdateToolTip(); });
  UpdateToolTip();
}

bool FieldEdit::TextFits() const {
  QStyleOptionFrame option;
  initStyleOption(&option);
  const QRect room = style()
                         ->subElementRect(QStyle::SE_LineEditContents, &option, this)
                         .marginsRemoved(textMargins());
  return fontMetrics().horizontalAdvance(text()) <= room.width() - 2 * kLineEditMargin;
}

void FieldEdit::UpdateToolTip() {
  setToolTip(TextFits() ? QString() : text());
}

void FieldEdit::resizeEvent(QResizeEvent* event) {
  QLineEdit::resizeEvent(event);
  UpdateToolTip();
}

void FieldEdit::changeEvent(QEvent* event) {
  QLineEdit::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) UpdateToolTip();
}
