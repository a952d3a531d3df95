// Quillon: the demonstration application for MIFARE Plus cards.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "gui/application.h"

namespace {

const char kHelp[] =
    "usage: quillon [Qt options]\n"
    "Reads, writes and configures MIFARE Plus cards through a Pelkin reader.\n"
    "  -h, --help     show this text and exit\n"
    "  -v, --version  show the version and exit\n"
    "Environment:\n"
    "  HOLLINK_READER  the reader: sim, sim:OPTIONS, tcp:HOST:PORT or serial:DEVICE[@BAUD]\n"
    "                  (default sim:state, a simulated card kept from one start to the next)\n"
    "  OSTREL_HOLLINK  the reader driver (default: libhollink.so beside libostrel.so)\n"
    "  OSTREL_TRACE    a file that receives every reader frame\n"
    "  QUILLON_INI     the settings file (default: Quillon.ini beside the program, or the\n"
    "                  user's configuration folder when that is not writable)\n";

bool Is(const char* arg, const char* shortName, const char* longName) {
  return std::strcmp(arg, shortName) == 0 || std::strcmp(arg, longName) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so that they work without a display.
  for (int i = 1; i < argc; ++i) {
    if (Is(argv[i], "-v", "--version")) {
      std::printf("quillon %s\n", OSTREL_VERSION);
      return 0;
    }
    if (Is(argv[i], "-h", "--help")) {
      std::fputs(kHelp, stdout);
      return 0;
    }
  }
  QApplication app(argc, argv);
  // Ties the window to its desktop entry (name and icon), on Wayland too.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.ostrel.Quillon"));
  return Application::Run();
}
