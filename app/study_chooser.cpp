#include "app/study_chooser.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QProgressDialog>
#include <QTableWidget>
#include <QVBoxLayout>
#include <atomic>
#include <chrono>
#include <iterator>
#include <thread>

#include "scan/study_table.h"

std::optional<TreeScanResult> ScanUnderProgressDialog(QWidget* parent, const QString& path) {
  std::atomic<bool> cancel{false}, done{false};
  std::atomic<long long> files{0};
  std::atomic<std::size_t> studies{0};
  TreeScanResult result;
  const std::string target = path.toLocal8Bit().toStdString();
  std::thread worker([&] {
    ScanOptions options;
    options.progress = [&](long long filesRead, std::size_t found) {
      files = filesRead;
      studies = found;
      return !cancel;
    };
    result = ScanTrees({target}, options);
    done = true;
  });
  QProgressDialog dialog(parent);
  dialog.setWindowTitle("Scanning");
  dialog.setLabelText("Looking for NM studies in " + path);
  dialog.setRange(0, 0);  // the number of files is not known beforehand
  dialog.setMinimumDuration(300);
  dialog.setWindowModality(Qt::WindowModal);
  while (!done) {
    if (dialog.wasCanceled()) cancel = true;
    dialog.setLabelText(QString("Looking for NM studies in %1\n%2 files read, %3 NM studies")
                            .arg(path)
                            .arg(files.load())
                            .arg(studies.load()));
    dialog.setValue(0);
    QApplication::processEvents(QEventLoop::AllEvents, 30);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  worker.join();
  if (result.cancelled) return std::nullopt;
  return result;
}

std::optional<std::size_t> PickStudyFromTable(QWidget* parent,
                                              const std::vector<StudyFacts>& studies) {
  QDialog dialog(parent);
  dialog.setWindowTitle("NM studies found");
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(new QLabel("Pick the study to load:"));
  auto* table = new QTableWidget(static_cast<int>(studies.size()),
                                 static_cast<int>(std::size(kStudyColumns)));
  QStringList headers;
  for (const char* column : kStudyColumns) headers << column;
  table->setHorizontalHeaderLabels(headers);
  for (std::size_t row = 0; row < studies.size(); ++row) {
    std::vector<std::string> cells = StudyCells(studies[row]);
    for (std::size_t column = 0; column < cells.size(); ++column) {
      auto* item = new QTableWidgetItem(QString::fromLocal8Bit(cells[column].c_str()));
      item->setToolTip(item->text());
      table->setItem(static_cast<int>(row), static_cast<int>(column), item);
    }
  }
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setSelectionMode(QAbstractItemView::SingleSelection);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->verticalHeader()->hide();
  table->horizontalHeader()->setStretchLastSection(true);
  table->resizeColumnsToContents();
  table->selectRow(0);
  layout->addWidget(table);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  layout->addWidget(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  QObject::connect(table, &QTableWidget::cellDoubleClicked, &dialog, &QDialog::accept);
  dialog.resize(900, 300);
  if (dialog.exec() != QDialog::Accepted || table->currentRow() < 0) return std::nullopt;
  return static_cast<std::size_t>(table->currentRow());
}
