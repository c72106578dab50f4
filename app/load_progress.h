// How a load looks while it runs: a busy cursor from the first report, and,
// for a load through the decoder or one that takes longer than a moment, a
// dialog that names the encoding and can cancel the load; its bar counts
// the frames the decoder has sent back, or is busy where none are known. Each report lets
// the window paint, so a slow decode never leaves it frozen.
#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <memory>

#include "core/load_options.h"

class QProgressBar;
class QProgressDialog;
class QWidget;

class LoadProgressView {
 public:
  explicit LoadProgressView(QWidget* parent);
  ~LoadProgressView();
  LoadProgressView(const LoadProgressView&) = delete;
  LoadProgressView& operator=(const LoadProgressView&) = delete;

  // The load's progress callback: false once the operator has cancelled.
  bool Report(const LoadProgress& progress);

 private:
  void Show(const LoadProgress& progress);

  QPointer<QWidget> parent_;
  std::unique_ptr<QProgressDialog> dialog_;
  QProgressBar* bar_ = nullptr;  // the dialog's
  QElapsedTimer clock_;
  bool busy_ = false;
};
