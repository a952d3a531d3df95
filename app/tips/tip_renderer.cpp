#include "tips/tip_renderer.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>

namespace {

// Pixels between the pointer and the tip's corner, so the tip does not sit
// under the cursor.
constexpr int kOffset = 16;

QStyle::StandardPixmap StandardIcon(TipRenderer::Icon icon) {
  switch (icon) {
    case TipRenderer::Icon::Warning:
      return QStyle::SP_MessageBoxWarning;
    case TipRenderer::Icon::Error:
      return QStyle::SP_MessageBoxCritical;
    default:
      break;
  }
  return QStyle::SP_MessageBoxInformation;
}

}  // namespace

TipRenderer::TipRenderer(QWidget* parent)
    : QWidget(parent, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      iconLabel_(new QLabel(this)),
      textLabel_(new QLabel(this)),
      autoHide_(new QTimer(this)) {
  setObjectName(QStringLiteral("tipRenderer"));
  setAttribute(Qt::WA_ShowWithoutActivating);
  setForegroundRole(QPalette::ToolTipText);
  setBackgroundRole(QPalette::ToolTipBase);
  setPalette(QToolTip::palette());
  setAutoFillBackground(true);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(6, 4, 6, 4);
  layout->setSpacing(6);
  iconLabel_->setObjectName(QStringLiteral("tipIcon"));
  iconLabel_->setAlignment(Qt::AlignTop);
  iconLabel_->hide();
  textLabel_->setObjectName(QStringLiteral("tipText"));
  textLabel_->setTextFormat(Qt::RichText);
  textLabel_->setWordWrap(false);
  layout->addWidget(iconLabel_);
  layout->addWidget(textLabel_);
  autoHide_->setSingleShot(true);
  autoHide_->setInterval(10000);
  connect(autoHide_, &QTimer::timeout, this, &TipRenderer::HideTip);
}

TipRenderer::~TipRenderer() = default;

void TipRenderer::SetAutoHideMs(int ms) {
  autoHide_->setInterval(ms);
}

void TipRenderer::ShowTip(const QString& text, const QPoint& screenPoint, Icon icon) {
  text_ = text;
  point_ = screenPoint;
  icon_ = icon;
  // Plain texts keep their line ends; HTML passes to Qt's rich text as is.
  textLabel_->setText(
      Qt::mightBeRichText(text) ? text : Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal));
  if (icon == Icon::None) {
    iconLabel_->hide();
  } else {
    const int size = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
    iconLabel_->setPixmap(style()->standardIcon(StandardIcon(icon)).pixmap(size, size));
    iconLabel_->show();
  }
  adjustSize();

  QPoint topLeft = screenPoint + QPoint(kOffset, kOffset);
  QScreen* screen = QGuiApplication::screenAt(screenPoint);
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen != nullptr) {
    const QRect area = screen->availableGeometry();
    // Flip to the other side of the pointer when the tip would leave the screen.
    if (topLeft.x() + width() > area.right()) topLeft.setX(screenPoint.x() - kOffset - width());
    if (topLeft.y() + height() > area.bottom()) topLeft.setY(screenPoint.y() - kOffset - height());
    topLeft.setX(qMax(area.left(), topLeft.x()));
    topLeft.setY(qMax(area.top(), topLeft.y()));
  }
  move(topLeft);
  show();
  raise();
  if (autoHide_->interval() > 0) autoHide_->start();
}

void TipRenderer::HideTip() {
  autoHide_->stop();
  hide();
}
