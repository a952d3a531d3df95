#include "gui/info_window.h"

#include <QContextMenuEvent>
#include <QDateTime>
#include <QMenu>
#include <QMouseEvent>
#include <QSaveFile>
#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>

#include "core/messages.h"
#include "gui/prompts.h"

namespace {

int g_saveCounter = 0;

// Message numbers with a fixed role here.
constexpr int kConnected = 1925;
constexpr int kConnectFailed = 1930;
constexpr int kNoReader = 1950;
constexpr int kLogFilter = 2376;

}  // namespace

InfoWindow::InfoWindow(QWidget* parent) : QTextEdit(parent) {
  setObjectName(QStringLiteral("infoWindow"));
  setReadOnly(true);
  setAcceptRichText(false);
  setUndoRedoEnabled(false);
  setLineWrapMode(QTextEdit::NoWrap);  // block dumps keep their columns
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setFrameShape(QFrame::StyledPanel);
}

bool InfoWindow::IsConnectionMessage(int number) {
  return number == kConnected || number == kConnectFailed || number == kNoReader;
}

void InfoWindow::AppendLog(const QString& text, bool highlight) {
  const QString entry =
      QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + u' ' + text;
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  QTextCharFormat format;  // the default character format
  if (highlight) format.setForeground(QColor(255, 0, 0));
  cursor.insertText(entry, format);
  // The caret rests after the new entry, so the next one follows it.
  setTextCursor(cursor);
  QScrollBar* bar = verticalScrollBar();
  bar->setValue(bar->maximum());
  horizontalScrollBar()->setValue(horizontalScrollBar()->minimum());
  if (QWidget* top = window()) top->repaint();
  emit contentChanged(true);
}

void InfoWindow::AppendMessage(int number) {
  AppendLog(LoadMessage(number), IsConnectionMessage(number));
}

void InfoWindow::ClearLog() {
  // The original lifted read-only around the deletion; a document clear needs no
  // such step and cannot be undone (undo is off).
  clear();
  emit contentChanged(false);
}

bool InfoWindow::HasText() const {
  return !document()->isEmpty();
}

QString InfoWindow::ProposedLogName(const QDate& date, int counter) {
  return QStringLiteral("[%1]log%2.log")
      .arg(date.toString(QStringLiteral("yyyy-MM-dd")))
      .arg(counter);
}

int InfoWindow::SaveCounter() {
  return g_saveCounter;
}

void InfoWindow::ResetSaveCounterForTest() {
  g_saveCounter = 0;
}

bool InfoWindow::WriteTo(const QString& path, QString* error) const {
  // QSaveFile writes beside the target and renames at commit, so a failed write
  // leaves an existing file as it was.
  QSaveFile file(path);
  const QByteArray bytes = toPlainText().toUtf8();
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
    if (error != nullptr) *error = file.errorString();
    file.cancelWriting();
    return false;
  }
  return true;
}

bool InfoWindow::SaveLog() {
  ++g_saveCounter;
  const QString proposed = ProposedLogName(QDate::currentDate(), g_saveCounter);
  const QString path = CurrentPrompts().SaveFileName(this, proposed, LoadMessage(kLogFilter));
  if (path.isEmpty()) return false;
  QString error;
  if (WriteTo(path, &error)) return true;
  CurrentPrompts().Message(this, UiText(QStringLiteral("logSaveFailed")).arg(path, error),
                           LoadMessage(2379), Prompts::Icon::Error);
  return false;
}

QMenu* InfoWindow::BuildContextMenu() {
  auto* menu = new QMenu(this);
  menu->setObjectName(QStringLiteral("infoWindowMenu"));
  menu->setAttribute(Qt::WA_DeleteOnClose);
  QAction* clearAction = menu->addAction(UiText(QStringLiteral("infoMenu.1039")));
  clearAction->setObjectName(QStringLiteral("clearLogAction"));
  clearAction->setData(kClearCommand);
  connect(clearAction, &QAction::triggered, this, &InfoWindow::ClearLog);
  return menu;
}

void InfoWindow::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    BuildContextMenu()->popup(event->globalPosition().toPoint());
  }
  QTextEdit::mouseReleaseEvent(event);
}

void InfoWindow::contextMenuEvent(QContextMenuEvent* event) {
  // Our one-item menu replaces the standard one. The mouse opens it on the
  // button release (above); the keyboard's menu key opens it here.
  if (event->reason() != QContextMenuEvent::Mouse) BuildContextMenu()->popup(event->globalPos());
  event->accept();
}
