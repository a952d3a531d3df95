// The application object: prepares the process (reader choice, settings file,
// language), creates the main window, runs it and returns the exit code.
#pragma once

#include <QString>

class Application {
 public:
  // The reader the driver opens when HOLLINK_READER is not set: the simulator,
  // keeping its card in a state file so that a card personalized today is
  // still there tomorrow.
  static QString DefaultReader();
  // Sets HOLLINK_READER to DefaultReader() unless the environment chose one.
  static void ChooseReader();
  // Fixes the settings path and loads the language stored in the settings file.
  static void PrepareSettings();
  // Prepares the process, opens the main window and runs until it closes.
  // Needs a QApplication. Returns the program's exit code.
  static int Run();
};
