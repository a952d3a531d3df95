// Shared main for the tests of the widget-free logic: a QCoreApplication only,
// so anything there that needed widgets would fail to link or run.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
