// Message boxes and the save-file dialog behind one small interface, so that
// tests can answer them. Code asks CurrentPrompts(); tests install a
// ScriptedPrompts for the duration of a test.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QWidget;

class Prompts {
 public:
  enum class Icon { None, Information, Warning, Error, Question };

  virtual ~Prompts() = default;
  // A box with `text`, `caption` and one OK button.
  virtual void Message(QWidget* parent, const QString& text, const QString& caption,
                       Icon icon = Icon::Information) = 0;
  // A box with Yes and No, No being the default button. True on Yes.
  virtual bool AskYesNo(QWidget* parent, const QString& text, const QString& caption) = 0;
  // The save-file dialog: proposes `proposedName`, offers the filters of
  // `windowsFilter` ("Name|pattern|Name|pattern||" as the string table holds
  // them), adds no extension and asks before overwriting. Returns the chosen
  // path, or an empty text when the operator cancels.
  virtual QString SaveFileName(QWidget* parent, const QString& proposedName,
                               const QString& windowsFilter) = 0;
  // The open-file dialog for an existing file, with filters as above. Returns
  // the chosen path, or an empty text when the operator cancels.
  virtual QString OpenFileName(QWidget* parent, const QString& windowsFilter) = 0;
};

// The prompts in force: the Qt ones unless a test installed others.
Prompts& CurrentPrompts();
// Installs `prompts` (not owned); nullptr restores the Qt prompts.
void InstallPrompts(Prompts* prompts);

// The message box for malformed hex input: text 2378, caption 2379.
void ShowWrongLength(QWidget* parent);

// "日志文件(*.log)|*.log|文本文件(*.txt)|*.txt||" -> "日志文件(*.log);;文本文件(*.txt)",
// the form Qt's file dialogs take. A name without its pattern in parentheses gets
// " (pattern)" appended.
QString QtFileFilter(const QString& windowsFilter);

// The real dialogs (QMessageBox, QFileDialog).
class QtPrompts : public Prompts {
 public:
  void Message(QWidget* parent, const QString& text, const QString& caption, Icon icon) override;
  bool AskYesNo(QWidget* parent, const QString& text, const QString& caption) override;
  QString SaveFileName(QWidget* parent, const QString& proposedName,
                       const QString& windowsFilter) override;
  QString OpenFileName(QWidget* parent, const QString& windowsFilter) override;
};

// For tests: records every prompt and answers from queues. An empty queue answers
// No to AskYesNo and cancels SaveFileName and OpenFileName. Installs itself on construction and
// restores the previous prompts on destruction.
class ScriptedPrompts : public Prompts {
 public:
  struct Shown {
    enum class Kind { Message, YesNo, SaveFile, OpenFile } kind;
    QString text;     // message text, or the proposed file name
    QString caption;  // caption, or the filter as passed
    Icon icon = Icon::None;
  };

  ScriptedPrompts();
  ~ScriptedPrompts() override;
  ScriptedPrompts(const ScriptedPrompts&) = delete;
  ScriptedPrompts& operator=(const ScriptedPrompts&) = delete;

  void QueueYesNo(bool yes) { yesNo_.append(yes); }
  void QueueSavePath(const QString& path) { savePaths_.append(path); }  // "" = cancel
  void QueueOpenPath(const QString& path) { openPaths_.append(path); }  // "" = cancel

  const QList<Shown>& shown() const { return shown_; }
  // The texts of the message boxes shown so far, in order.
  QStringList messages() const;
  void clear() { shown_.clear(); }

  void Message(QWidget* parent, const QString& text, const QString& caption, Icon icon) override;
  bool AskYesNo(QWidget* parent, const QString& text, const QString& caption) override;
  QString SaveFileName(QWidget* parent, const QString& proposedName,
                       const QString& windowsFilter) override;
  QString OpenFileName(QWidget* parent, const QString& windowsFilter) override;

 private:
  Prompts* previous_;
  QList<bool> yesNo_;
  QStringList savePaths_;
  QStringList openPaths_;
  QList<Shown> shown_;
};
