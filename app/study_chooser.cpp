#include "app/study_chooser.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QProgressDialog>
#include <QScreen>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <thread>

#include "form/patient_identity.h"

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

namespace {

// The list's columns: what tells a patient's series apart (stress from
// rest), with texts decoded as the form decodes them.
const char* const kChooserColumns[] = {"Patient ID", "Name",        "Study",          "Series",
                                       "Series No.", "Series time", "Gates x frames", "File"};
constexpr int kFileColumn = 7;
constexpr int kMostFileWidth = 320;  // a longer path loses its middle
// The columns of free text, which give up their middles (each cell's
// tooltip holds it whole) so that every column stays in view.
constexpr int kTextColumns[] = {1, 2, 3, kFileColumn};
constexpr int kLeastTextWidth = 90;

// Narrows the text columns to one common width, the widest that lets all
// columns fit in width, never below kLeastTextWidth; a column already
// narrower keeps its own.
void FitColumns(QTableWidget* table, int width) {
  int fixed = 0;
  for (int column = 0; column < table->columnCount(); ++column)
    if (std::find(std::begin(kTextColumns), std::end(kTextColumns), column) ==
        std::end(kTextColumns))
      fixed += table->columnWidth(column);
  auto textWidth = [&](int cap) {
    int sum = 0;
    for (int column : kTextColumns) sum += std::min(table->columnWidth(column), cap);
    return sum;
  };
  int cap = 0;
  for (int column : kTextColumns) cap = std::max(cap, table->columnWidth(column));
  while (cap > kLeastTextWidth && fixed + textWidth(cap) > width) --cap;
  for (int column : kTextColumns)
    table->setColumnWidth(column, std::min(table->columnWidth(column), cap));
}

QString Decoded(const std::string& bytes, const std::string& characterSet) {
  return QString::fromUtf8(ShownUtf8(bytes, characterSet).c_str()).trimmed();
}

// HHMMSS[.frac] as HH:MM:SS; another form as it stands.
QString SeriesTime(const std::string& time) {
  const QString text = QString::fromLatin1(time.c_str()).trimmed();
  if (text.size() < 6 || !text.left(6).toInt()) return text;
  return text.left(2) + ":" + text.mid(2, 2) + ":" + text.mid(4, 2);
}

// A column whose cells keep to one line, elided as the view elides.
class OneLineDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    option->features &= ~QStyleOptionViewItem::WrapText;
  }
};

QTableWidgetItem* Cell(const QString& text) {
  auto* item = new QTableWidgetItem(text);
  item->setToolTip(text);
  return item;
}

}  // namespace

std::optional<std::size_t> PickStudyFromTable(QWidget* parent,
                                              const std::vector<StudyFacts>& studies) {
  QDialog dialog(parent);
  dialog.setWindowTitle("NM studies found");
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(new QLabel("Pick the study to load (a heading sorts by its column):"));
  auto* table = new QTableWidget(static_cast<int>(studies.size()),
                                 static_cast<int>(std::size(kChooserColumns)));
  QStringList headers;
  for (const char* column : kChooserColumns) headers << column;
  table->setHorizontalHeaderLabels(headers);
  for (std::size_t row = 0; row < studies.size(); ++row) {
    const StudyFacts& facts = studies[row];
    const std::string& set = facts.specificCharacterSet;
    const QString path = QString::fromLocal8Bit(facts.path.c_str());
    QTableWidgetItem* cells[] = {
        Cell(Decoded(facts.patientId, set)),
        Cell(Decoded(facts.patientName, set)),
        Cell(Decoded(facts.studyDescription, set)),
        Cell(Decoded(facts.seriesDescription, set)),
        Cell(QString()),
        Cell(SeriesTime(facts.seriesTime)),
        Cell(QString("%1 x %2").arg(facts.gates).arg(facts.framesPerGate)),
        Cell(path),
    };
    // Series numbers sort as numbers; the row remembers the study it shows.
    bool isNumber = false;
    const int number = QString::fromLatin1(facts.seriesNumber.c_str()).trimmed().toInt(&isNumber);
    if (isNumber)
      cells[4]->setData(Qt::DisplayRole, number);
    else
      cells[4]->setText(QString::fromLatin1(facts.seriesNumber.c_str()).trimmed());
    cells[0]->setData(Qt::UserRole, static_cast<qulonglong>(row));
    for (int column = 0; column < static_cast<int>(std::size(cells)); ++column)
      table->setItem(static_cast<int>(row), column, cells[column]);
  }
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setSelectionMode(QAbstractItemView::SingleSelection);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  // Texts wrap in their rows, where "rest" and "stress" in the middle of
  // a description stay in view; the path alone keeps to one line elided in
  // the middle, where wrapping would cut its file's name at the cell's foot.
  table->setItemDelegateForColumn(kFileColumn, new OneLineDelegate(table));
  table->setTextElideMode(Qt::ElideMiddle);
  table->verticalHeader()->hide();
  table->horizontalHeader()->setStretchLastSection(true);
  table->resizeColumnsToContents();
  table->setColumnWidth(kFileColumn, std::min(table->columnWidth(kFileColumn), kMostFileWidth));
  // In the order found until the operator sorts by a heading.
  table->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  table->setSortingEnabled(true);
  table->selectRow(0);
  layout->addWidget(table);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  layout->addWidget(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  QObject::connect(table, &QTableWidget::cellDoubleClicked, &dialog, &QDialog::accept);
  // As wide as its columns, as far as the screen has room; where it has
  // less, the text columns give way, so that no column lies beyond the
  // right edge.
  int wanted = 0;
  for (int column = 0; column < table->columnCount(); ++column)
    wanted += table->columnWidth(column);
  QScreen* screen = parent != nullptr ? parent->screen() : QGuiApplication::primaryScreen();
  const QRect room = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  const QMargins margins = layout->contentsMargins();
  const int around = margins.left() + margins.right() + 2 * table->frameWidth() +
                     table->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, table);
  const int width = std::min(wanted + around, room.width() - 40);
  FitColumns(table, width - around);
  table->resizeRowsToContents();
  dialog.resize(width, std::min(320, room.height() - 80));
  if (dialog.exec() != QDialog::Accepted || table->currentRow() < 0) return std::nullopt;
  return static_cast<std::size_t>(
      table->item(table->currentRow(), 0)->data(Qt::UserRole).toULongLong());
}
