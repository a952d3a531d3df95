#include "gui/application.h"

#include <QApplication>

#include "core/messages.h"
#include "core/settings.h"
#include "gui/main_window.h"
#include "gui/registration.h"

QString Application::DefaultReader() {
  // The simulator's own persistent card file (under the user's data folder).
  return QStringLiteral("sim:state");
}

void Application::ChooseReader() {
  if (!qEnvironmentVariableIsEmpty("HOLLINK_READER")) return;
  qputenv("HOLLINK_READER", DefaultReader().toLocal8Bit());
}

void Application::PrepareSettings() {
  // The path is decided once, before the window reads anything from it.
  SetSettingsPath(SettingsPath());
  SetLanguage(ReadLanguage());
}

int Application::Run() {
  QApplication::setApplicationName(QStringLiteral("Quillon"));
  QApplication::setApplicationVersion(QStringLiteral("1.0"));
  ChooseReader();
  PrepareSettings();
  RegisterQuillon();
  MainWindow window;
  window.Initialise();
  window.show();
  QApplication::exec();
  return 0;
}
