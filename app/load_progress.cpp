#include "app/load_progress.h"

#include <QApplication>
#include <QCoreApplication>
#include <QProgressBar>
#include <QProgressDialog>

namespace {

// A load shorter than this shows no dialog unless it waits for the decoder.
constexpr qint64 kQuietMilliseconds = 400;
// More frames than this are shown as a per cent (a file may state any count).
constexpr long long kMostFramesCounted = 1 << 20;

// "UID (name)" as the loader describes a transfer syntax: the operator
// reads the name; the UID is for the tooltip.
QString SyntaxName(const std::string& encoding) {
  const std::size_t open = encoding.find(" (");
  if (open == std::string::npos || encoding.empty() || encoding.back() != ')')
    return QString::fromStdString(encoding);
  return QString::fromStdString(encoding.substr(open + 2, encoding.size() - open - 3));
}

QString SyntaxUid(const std::string& encoding) {
  return QString::fromStdString(encoding.substr(0, encoding.find(" (")));
}

QString Describe(const LoadProgress& progress) {
  const QString encoding = SyntaxName(progress.encoding);
  switch (progress.stage) {
    case LoadStage::kDecoding:
      return QString("Decoding %1 ...").arg(encoding);
    case LoadStage::kReadingHeader:
      return QString("Reading the header (%1) ...").arg(encoding);
    case LoadStage::kReadingFrames:
      break;
  }
  return QString("Reading the frames (%1) ...").arg(encoding);
}

}  // namespace

LoadProgressView::LoadProgressView(QWidget* parent) : parent_(parent) {
  clock_.start();
}

LoadProgressView::~LoadProgressView() {
  if (dialog_) dialog_->close();
  if (busy_) QApplication::restoreOverrideCursor();
}

bool LoadProgressView::Report(const LoadProgress& progress) {
  if (!busy_) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    busy_ = true;
  }
  if (!dialog_ &&
      (progress.stage == LoadStage::kDecoding || clock_.elapsed() >= kQuietMilliseconds))
    Show(progress);
  if (dialog_) {
    dialog_->setLabelText(Describe(progress));
    dialog_->setToolTip(
        progress.encoding.empty() ? QString() : "Transfer syntax " + SyntaxUid(progress.encoding));
    if (progress.total <= 0) {
      dialog_->setRange(0, 0);  // no end known: a busy bar
    } else if (progress.stage == LoadStage::kDecoding && progress.total <= kMostFramesCounted) {
      // The helper sends the frames back in order as they are decoded.
      bar_->setFormat("%v of %m frames");
      dialog_->setRange(0, static_cast<int>(progress.total));
      dialog_->setValue(static_cast<int>(progress.done));
    } else {
      bar_->setFormat("%p%");
      dialog_->setRange(0, 1000);
      dialog_->setValue(static_cast<int>(1000 * progress.done / progress.total));
    }
  }
  // Paint and, once the dialog is up, let the operator reach its Cancel; the
  // dialog is modal, so no other click reaches the window meanwhile.
  QCoreApplication::processEvents(dialog_ ? QEventLoop::AllEvents
                                          : QEventLoop::ExcludeUserInputEvents);
  return !(dialog_ && dialog_->wasCanceled());
}

void LoadProgressView::Show(const LoadProgress& progress) {
  dialog_ = std::make_unique<QProgressDialog>(Describe(progress), "Cancel", 0, 0, parent_);
  bar_ = new QProgressBar(dialog_.get());
  dialog_->setBar(bar_);  // the dialog owns it
  dialog_->setWindowTitle("Loading");
  dialog_->setWindowModality(Qt::ApplicationModal);
  dialog_->setMinimumDuration(0);
  dialog_->setAutoClose(false);
  dialog_->setAutoReset(false);
  dialog_->show();
}
