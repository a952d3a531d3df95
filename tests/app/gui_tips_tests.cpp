// Hover tips: the renderer, and when a control shows and hides its tip.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QTest>

#include "core_qt_print.h"
#include "gui/hex_controls.h"
#include "tips/tip_renderer.h"

namespace {

void SendMove(QWidget* target, const QPoint& local) {
  QMouseEvent move(QEvent::MouseMove, QPointF(local), QPointF(target->mapToGlobal(local)),
                   Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(target, &move);
}

void SendLeave(QWidget* target) {
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(target, &leave);
}

TEST(TipRendererTest, ShowsRichTextNearThePointAndHides) {
  TipRenderer tip;
  tip.SetAutoHideMs(0);
  const QString html = QStringLiteral(
      "<b>Key</b> <font color=red>A</font><table><tr><td>1</td><td>2</td></tr></table>");
  tip.ShowTip(html, QPoint(100, 120));
  ASSERT_TRUE(tip.IsShown());
  EXPECT_EQ(tip.text(), html);
  EXPECT_EQ(tip.point(), QPoint(100, 120));
  EXPECT_GT(tip.pos().x(), 100);
  EXPECT_GT(tip.pos().y(), 120);
  auto* label = tip.findChild<QLabel*>(QStringLiteral("tipText"));
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->text(), html);
  EXPECT_FALSE(tip.findChild<QLabel*>(QStringLiteral("tipIcon"))->isVisible());
  tip.HideTip();
  EXPECT_FALSE(tip.IsShown());
}

TEST(TipRendererTest, PlainTextKeepsItsLinesAndIconsShow) {
  TipRenderer tip;
  tip.ShowTip(QStringLiteral("first line\nsecond <line>"), QPoint(10, 10),
              TipRenderer::Icon::Warning);
  auto* label = tip.findChild<QLabel*>(QStringLiteral("tipText"));
  ASSERT_NE(label, nullptr);
  EXPECT_TRUE(label->text().contains(QStringLiteral("<br")));
  EXPECT_TRUE(label->text().contains(QStringLiteral("&lt;line&gt;")));
  EXPECT_TRUE(tip.findChild<QLabel*>(QStringLiteral("tipIcon"))->isVisible());
  EXPECT_EQ(tip.icon(), TipRenderer::Icon::Warning);
  // Something is actually drawn.
  const QImage image = tip.grab().toImage();
  ASSERT_FALSE(image.isNull());
  const QRgb first = image.pixel(0, 0);
  bool varied = false;
  for (int y = 0; y < image.height() && !varied; ++y)
    for (int x = 0; x < image.width() && !varied; ++x) varied = image.pixel(x, y) != first;
  EXPECT_TRUE(varied);
}

TEST(TipRendererTest, StaysOnScreenNearTheEdge) {
  QScreen* screen = QGuiApplication::primaryScreen();
  ASSERT_NE(screen, nullptr);
  const QRect area = screen->availableGeometry();
  TipRenderer tip;
  tip.ShowTip(QStringLiteral("a tip that is quite a bit wider than the distance to the edge"),
              area.bottomRight() - QPoint(2, 2));
  EXPECT_TRUE(area.contains(tip.frameGeometry().topLeft()));
  EXPECT_LE(tip.frameGeometry().right(), area.right());
  EXPECT_LE(tip.frameGeometry().bottom(), area.bottom());
}

TEST(TipRendererTest, AutoHideIsASafetyNet) {
  TipRenderer tip;
  tip.SetAutoHideMs(50);
  tip.ShowTip(QStringLiteral("x"), QPoint(5, 5));
  EXPECT_TRUE(QTest::qWaitFor([&] { return !tip.IsShown(); }, 2000));
}

TEST(HoverTipTest, DefaultTexts) {
  HexBytesCombo bytes;
  TipHexBytesCombo tipBytes;
  TipButton button;
  TipCheckBox check;
  TipCombo combo;
  TipAddressCombo address;
  TipHexEdit edit;
  EXPECT_EQ(bytes.Tip().text(), QStringLiteral("Hex"));
  EXPECT_EQ(tipBytes.Tip().text(), QStringLiteral("Hello!"));
  EXPECT_EQ(button.Tip().text(), QStringLiteral("Hello!"));
  EXPECT_EQ(check.Tip().text(), QStringLiteral("Hello!"));
  EXPECT_EQ(combo.Tip().text(), QStringLiteral("Hello!"));
  EXPECT_EQ(address.Tip().text(), QStringLiteral("Hello!"));
  EXPECT_EQ(edit.Tip().text(), QStringLiteral("Hello!"));
  EXPECT_EQ(button.Tip().window(), nullptr);
}

TEST(HoverTipTest, WithoutTipWindowNothingShowsAndNoTimerRuns) {
  TipButton button(QStringLiteral("go"));
  button.show();
  SendMove(&button, QPoint(3, 3));
  EXPECT_FALSE(button.Tip().shown());
  EXPECT_FALSE(button.Tip().TimerActive());
  EXPECT_EQ(button.Tip().lastPoint(), button.mapToGlobal(QPoint(3, 3)));
}

TEST(HoverTipTest, ShowsOncePerEntryAndHidesOnLeave) {
  TipRenderer renderer;
  TipButton button(QStringLiteral("go"));
  button.Tip().SetText(QStringLiteral("connects to the reader"));
  button.Tip().SetWindow(&renderer);
  button.show();

  SendMove(&button, QPoint(4, 5));
  EXPECT_TRUE(button.Tip().shown());
  EXPECT_TRUE(button.Tip().TimerActive());
  EXPECT_TRUE(renderer.IsShown());
  EXPECT_EQ(renderer.text(), QStringLiteral("connects to the reader"));
  EXPECT_EQ(renderer.point(), button.mapToGlobal(QPoint(4, 5)));

  SendMove(&button, QPoint(8, 9));  // still inside: the tip does not follow
  EXPECT_EQ(renderer.point(), button.mapToGlobal(QPoint(4, 5)));

  SendLeave(&button);
  EXPECT_FALSE(button.Tip().shown());
  EXPECT_FALSE(button.Tip().TimerActive());
  EXPECT_FALSE(renderer.IsShown());

  SendMove(&button, QPoint(6, 6));  // a new entry shows it again
  EXPECT_TRUE(renderer.IsShown());
  EXPECT_EQ(renderer.point(), button.mapToGlobal(QPoint(6, 6)));
}

TEST(HoverTipTest, TimerHidesTheTipAfterThreeSeconds) {
  EXPECT_EQ(HoverTip::kPeriodMs, 3000);
  TipRenderer renderer;
  renderer.SetAutoHideMs(0);
  TipButton button(QStringLiteral("go"));
  button.Tip().SetWindow(&renderer);
  button.show();
  SendMove(&button, QPoint(2, 2));
  ASSERT_TRUE(renderer.IsShown());
  QTest::qWait(2000);
  EXPECT_TRUE(renderer.IsShown());
  EXPECT_TRUE(QTest::qWaitFor([&] { return !renderer.IsShown(); }, 2500));
  EXPECT_FALSE(button.Tip().shown());
  EXPECT_FALSE(button.Tip().TimerActive());
  // The pointer stays inside: no new tip until it leaves and comes back.
  button.Tip().OnTimer();
  EXPECT_FALSE(renderer.IsShown());
}

TEST(HoverTipTest, ComboEditFieldCarriesTheTipOfItsCombo) {
  TipRenderer renderer;
  TipHexBytesCombo combo;
  combo.Tip().SetWindow(&renderer);
  combo.show();
  QApplication::processEvents();
  ASSERT_NE(combo.lineEdit(), nullptr);
  SendMove(combo.lineEdit(), QPoint(5, 5));
  EXPECT_TRUE(renderer.IsShown());
  // Leaving the edit field for the combo's own arrow area is no leave.
  SendLeave(combo.lineEdit());
  EXPECT_TRUE(renderer.IsShown());
  SendLeave(&combo);
  EXPECT_FALSE(renderer.IsShown());
}

TEST(HoverTipTest, DisabledOrDetachedTipsShowNothing) {
  TipRenderer renderer;
  TipCheckBox check(QStringLiteral("tips"));
  check.Tip().SetWindow(&renderer);
  check.Tip().SetEnabled(false);
  check.show();
  SendMove(&check, QPoint(2, 2));
  EXPECT_FALSE(renderer.IsShown());
  EXPECT_FALSE(check.Tip().TimerActive());

  check.Tip().SetEnabled(true);
  SendMove(&check, QPoint(2, 2));
  ASSERT_TRUE(renderer.IsShown());
  check.Tip().SetWindow(nullptr);  // the tips option switched off meanwhile
  EXPECT_FALSE(renderer.IsShown());
  EXPECT_FALSE(check.Tip().shown());
  EXPECT_FALSE(check.Tip().TimerActive());
  SendMove(&check, QPoint(3, 3));
  EXPECT_FALSE(renderer.IsShown());
}

TEST(HoverTipTest, RendererDestroyedBeforeTheControlIsForgotten) {
  TipButton button;
  {
    TipRenderer renderer;
    button.Tip().SetWindow(&renderer);
    button.Tip().OnMouseMove(QPoint(1, 1));
    EXPECT_TRUE(renderer.IsShown());
  }
  EXPECT_EQ(button.Tip().window(), nullptr);
  button.Tip().OnLeave();  // must not touch the destroyed renderer
  button.Tip().OnMouseMove(QPoint(2, 2));
  EXPECT_EQ(button.Tip().lastPoint(), QPoint(2, 2));
}

}  // namespace
