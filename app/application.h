// The application object: Qt's, with the default display of an exception
// that escapes an event (a message box titled with the application title,
// error icon, OK, and the same on stderr; without a screen only the line);
// the event loop then goes on.
#pragma once

#include <QApplication>

class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
  static void ShowException(const char* what);
  // The application's names, as the constructor sets them.
  static void Configure();
};
