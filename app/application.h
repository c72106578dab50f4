// The application object: Qt's, with the default display of an exception
// that escapes an event (a message box titled with the application title,
// error icon, OK, and the same on stderr; without a screen only the line);
// the event loop then goes on.
#pragma once

#include <QApplication>
#include <string>

// What the command line asks for: the window in one of its modes, or a
// text on stdout without any window.
struct StartRequest {
  enum Kind { kInteractive, kOpenFile, kBatch, kHelp, kVersion } kind = kInteractive;
  std::string input, output;
};
// One argument is a file to open interactively (as a desktop passes it),
// two are input and output for batch mode; --help and --version alone
// print; any other count starts an empty window.
StartRequest ParseCommandLine(int argc, const char* const* argv);
// The --help text.
extern const char* const kUsageText;

class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
  static void ShowException(const char* what);
  // The application's names, as the constructor sets them.
  static void Configure();
};
