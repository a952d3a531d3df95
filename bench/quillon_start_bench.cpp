// Quillon's start, from a new QApplication to the main window shown on screen
// (the offscreen platform): the settings and language, the registration of the
// commands, building the window, connecting the simulated reader and opening
// the stored tab. Each iteration starts a new application object; the process
// itself (dynamic loading before main) is not part of the figure.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QWindow>
#include <cstdlib>

#include "gui/application.h"
#include "gui/main_window.h"
#include "gui/registration.h"

namespace {

void BM_StartToShownWindow(benchmark::State& state) {
  QTemporaryDir dir;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("HOLLINK_READER", "sim");
  qputenv("OSTREL_HOLLINK", HOLLINK_LIBRARY);
  qputenv("QUILLON_INI", dir.filePath(QStringLiteral("Quillon.ini")).toLocal8Bit());
  int argc = 1;
  char name[] = "quillon";
  char* argv[] = {name, nullptr};
  bool shown = true;
  for (auto _ : state) {
    QApplication app(argc, argv);
    // What Application::Run does before it hands over to the event loop.
    Application::ChooseReader();
    Application::PrepareSettings();
    RegisterQuillon();
    MainWindow window;
    window.Initialise();
    window.show();
    while (window.windowHandle() == nullptr || !window.windowHandle()->isExposed()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    shown = shown && window.isVisible();
  }
  if (!shown) state.SkipWithError("the window was not shown");
}
// The first start of the process pays for the font cache and the platform
// plugin once; the later ones show what every start costs besides.
BENCHMARK(BM_StartToShownWindow)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_StartToShownWindow)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
