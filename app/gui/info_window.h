// The information window: a read-only rich-text box at the bottom of the main
// window whose text is the only store of the session log. Each entry is the
// local time "yyyy-MM-dd HH:mm:ss", a blank and the message text (which carries
// its own line ends). The operator clears it from the context menu and saves it
// to a log file on request; nothing goes to disk on its own.
#pragma once

#include <QDate>
#include <QString>
#include <QTextEdit>

class QMenu;

class InfoWindow : public QTextEdit {
  Q_OBJECT

 public:
  static constexpr int kClearCommand = 1039;

  explicit InfoWindow(QWidget* parent = nullptr);

  // Adds one entry at the end, red when `highlight` is set, scrolls it into view
  // and repaints the window at once (entries show while a long command runs).
  void AppendLog(const QString& text, bool highlight);
  // Adds table message `number`; red exactly for the three connection messages.
  void AppendMessage(int number);
  // True for 1925 (connected), 1930 (connection failed), 1950 (no reader).
  static bool IsConnectionMessage(int number);

  // Context-menu command 1039: removes the whole text.
  void ClearLog();
  // Whether the window holds any text (the main window enables "save log" on it).
  bool HasText() const;

  // The save command (menu 1840): counts the save, proposes "[date]logN.log"
  // with the log/text/all-files filter through CurrentPrompts(), and writes the
  // window's whole text (UTF-8) to the chosen file. A failed write replaces
  // nothing and is reported in a message box. Returns true when a file was
  // written; false when cancelled or failed.
  bool SaveLog();
  // Writes the text to `path` (replacing the file only once the whole text is
  // written). Returns false when it could not, with the reason in `error`.
  bool WriteTo(const QString& path, QString* error = nullptr) const;

  // "[%s]log%d.log" with `date` as yyyy-MM-dd.
  static QString ProposedLogName(const QDate& date, int counter);
  // The program-wide save counter: 0 at start, one more at every save command.
  static int SaveCounter();
  static void ResetSaveCounterForTest();

 signals:
  // After every entry or clear; the main window uses it to enable "save log".
  void contentChanged(bool hasText);

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  // The pop-up with the one item "清空" (command 1039); built per use.
  QMenu* BuildContextMenu();
};
