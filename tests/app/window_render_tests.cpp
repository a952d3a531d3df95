// Renders the main window on each level tab to PNG files under the build folder
// (for a person to look at) and checks that every image shows something.
#include <QDir>
#include <QFontDatabase>
#include <QImage>
#include <QPixmap>
#include <map>

#include "window_fixture.h"

#ifndef QUILLON_TEST_OUTPUT_DIR
#define QUILLON_TEST_OUTPUT_DIR "."
#endif

namespace {

// Share of pixels that differ from the most common colour, and the number of
// distinct colours: a blank or single-colour image has neither.
struct Ink {
  double share = 0;
  std::size_t colours = 0;
};

Ink Measure(const QImage& image) {
  std::map<QRgb, int> counts;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) ++counts[image.pixel(x, y)];
  }
  int most = 0;
  for (const auto& [colour, n] : counts) most = std::max(most, n);
  const double total = static_cast<double>(image.width()) * image.height();
  return {total > 0 ? (total - most) / total : 0, counts.size()};
}

// Dark pixels in a band: glyphs of captions are the darkest things drawn.
int DarkPixels(const QImage& image, const QRect& band) {
  int dark = 0;
  for (int y = band.top(); y <= band.bottom() && y < image.height(); ++y) {
    for (int x = band.left(); x <= band.right() && x < image.width(); ++x) {
      if (qGray(image.pixel(x, y)) < 80) ++dark;
    }
  }
  return dark;
}

using Render = WindowTest;

TEST_F(Render, EveryLevelTabDrawsItsControlsAndTexts) {
  // Chinese captions need a CJK font; without one they would draw as boxes.
  const QStringList families = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
  bool cjk = false;
  for (const QString& family : families) cjk = cjk || family.contains(QStringLiteral("CJK"));
  EXPECT_TRUE(cjk) << "no CJK font installed";

  MainWindow& w = Open();
  // Every tab fits the window's default size, so nothing is cut off on start.
  const QSize initial = w.size();
  for (int level = 0; level < 4; ++level) {
    w.SelectLevel(level);
    EXPECT_LE(w.minimumSizeHint().width(), initial.width()) << "level " << level;
    EXPECT_LE(w.minimumSizeHint().height(), initial.height()) << "level " << level;
  }
  w.show();
  const QDir out(QStringLiteral(QUILLON_TEST_OUTPUT_DIR));
  ASSERT_TRUE(out.mkpath(QStringLiteral(".")));
  for (int level = 0; level < 4; ++level) {
    w.SelectLevel(level);
    w.AppendLog(QStringLiteral("Level %1\n").arg(level), false);
    QCoreApplication::processEvents();
    const QImage image = w.grab().toImage();
    EXPECT_EQ(image.size(), initial) << "level " << level;
    ASSERT_FALSE(image.isNull());
    ASSERT_GE(image.width(), 600);
    ASSERT_GE(image.height(), 400);
    const QString path = out.filePath(QStringLiteral("main_window_level%1.png").arg(level));
    EXPECT_TRUE(image.save(path)) << path.toStdString();

    const Ink ink = Measure(image);
    EXPECT_GT(ink.share, 0.05) << "level " << level;
    EXPECT_GT(ink.colours, 16u) << "level " << level;
    // The reader row at the top carries captions on every tab.
    EXPECT_GT(DarkPixels(image, QRect(0, 0, image.width(), image.height() / 6)), 200)
        << "level " << level;
  }
  w.hide();
}

TEST_F(Render, EnglishWindowFitsItsDefaultSize) {
  SetLanguage(Language::English);
  MainWindow& w = Open();
  const QSize initial = w.size();
  w.show();
  // Each test runs in its own process, in any order: make the folder here too.
  const QDir out(QStringLiteral(QUILLON_TEST_OUTPUT_DIR));
  ASSERT_TRUE(out.mkpath(QStringLiteral(".")));
  for (int level : {3, 0}) {
    w.SelectLevel(level);
    QCoreApplication::processEvents();
    const QImage image = w.grab().toImage();
    EXPECT_EQ(image.size(), initial) << "level " << level;
    const QString path = out.filePath(QStringLiteral("main_window_english_level%1.png").arg(level));
    EXPECT_TRUE(image.save(path)) << path.toStdString();
    EXPECT_GT(Measure(image).share, 0.05);
  }
  w.hide();
}

}  // namespace
