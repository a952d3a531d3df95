// Quillon: the demonstration application for MIFARE Plus cards.
#include <QApplication>

#include "core/application.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  return Application::Run();
}
