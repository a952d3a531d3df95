// The application's single hover-tip window. It shows a short formatted text at
// a screen point and hides it again; the controls decide when (hex_controls.h).
//
// The text may be plain (line ends are kept) or a subset of HTML that Qt's rich
// text understands: <b>, <i>, <u>, <br>, <p>, <font color=...>, <span
// style="color:...">, <table>/<tr>/<td>, and <img src="..."> for icons (":/..."
// resources or files).
#pragma once

#include <QPoint>
#include <QString>
#include <QWidget>

class QLabel;
class QTimer;

class TipRenderer : public QWidget {
  Q_OBJECT

 public:
  enum class Icon { None, Information, Warning, Error };

  // `parent` is only used for ownership; the tip is a top-level tool tip window.
  explicit TipRenderer(QWidget* parent = nullptr);
  ~TipRenderer() override;

  // Shows `text` with its top-left corner just below and right of `screenPoint`,
  // moved as needed to stay on the screen that holds the point. Replaces a tip
  // already on screen.
  void ShowTip(const QString& text, const QPoint& screenPoint, Icon icon = Icon::None);
  void HideTip();

  bool IsShown() const { return isVisible(); }
  const QString& text() const { return text_; }
  QPoint point() const { return point_; }
  Icon icon() const { return icon_; }

  // Safety net: a tip hides itself after this many ms even when no control asks
  // (0 = never). Default 10000.
  void SetAutoHideMs(int ms);

 private:
  QLabel* iconLabel_;
  QLabel* textLabel_;
  QTimer* autoHide_;
  QString text_;
  QPoint point_;
  Icon icon_ = Icon::None;
};
