// The window in batch mode with the text fields decoded under a given
// Specific Character Set, for looking at names before the load reports the
// file's own:  window_name_driver INPUT OUTPUT CHARACTER-SET
#include <QLineEdit>
#include <QTimer>
#include <QToolTip>
#include <cstdio>

#include "app/application.h"
#include "app/main_form.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: window_name_driver INPUT OUTPUT CHARACTER-SET\n", stderr);
    return 2;
  }
  const WindowStart start{true, argv[1], argv[2]};
  TApplication application(argc, argv);
  TMainForm form(start);
  form.SetCharacterSet(argv[3]);
  form.FillFieldsFromStudy();
  form.show();
  // The name whole, as hovering shows it when it does not fit its field.
  QTimer::singleShot(500, &form, [&form] {
    QToolTip::showText(form.edName->mapToGlobal(QPoint(0, form.edName->height())),
                       form.edName->toolTip(), form.edName, QRect(), 60000);
  });
  return application.exec();
}
