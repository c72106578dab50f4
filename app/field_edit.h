// An edit field of the study form that says when its text does not fit: the
// whole text then shows as its tooltip.
#pragma once

#include <QLineEdit>

class FieldEdit : public QLineEdit {
 public:
  FieldEdit(const QString& text, QWidget* parent);
  // True when the text is drawn whole inside the field's frame.
  bool TextFits() const;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void UpdateToolTip();
};
