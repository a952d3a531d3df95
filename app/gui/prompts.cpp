#include "gui/prompts.h"

#include <QFileDialog>
#include <QMessageBox>

#include "core/messages.h"

namespace {

Prompts*& Installed() {
  static Prompts* prompts = nullptr;
  return prompts;
}

QMessageBox::Icon ToQt(Prompts::Icon icon) {
  switch (icon) {
    case Prompts::Icon::Information:
      return QMessageBox::Information;
    case Prompts::Icon::Warning:
      return QMessageBox::Warning;
    case Prompts::Icon::Error:
      return QMessageBox::Critical;
    case Prompts::Icon::Question:
      return QMessageBox::Question;
    case Prompts::Icon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

Prompts& CurrentPrompts() {
  static QtPrompts qtPrompts;
  Prompts* installed = Installed();
  return installed != nullptr ? *installed : qtPrompts;
}

void InstallPrompts(Prompts* prompts) {
  Installed() = prompts;
}

void ShowWrongLength(QWidget* parent) {
  CurrentPrompts().Message(parent, LoadMessage(2378), LoadMessage(2379), Prompts::Icon::None);
}

QString QtFileFilter(const QString& windowsFilter) {
  // Pairs of display name and pattern; the list ends at the first empty name.
  const QStringList parts = windowsFilter.split(u'|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString& name = parts[i];
    const QString& pattern = parts[i + 1];
    if (name.isEmpty()) break;
    const QString patterns = QString(pattern).replace(u';', u' ');
    if (name.contains(u'(' + pattern + u')') || name.contains(u'(' + patterns + u')'))
      filters.append(name);
    else
      filters.append(name + QStringLiteral(" (") + patterns + u')');
  }
  return filters.join(QStringLiteral(";;"));
}

void QtPrompts::Message(QWidget* parent, const QString& text, const QString& caption, Icon icon) {
  QMessageBox box(ToQt(icon), caption, text, QMessageBox::Ok, parent);
  box.exec();
}

bool QtPrompts::AskYesNo(QWidget* parent, const QString& text, const QString& caption) {
  QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

QString QtPrompts::SaveFileName(QWidget* parent, const QString& proposedName,
                                const QString& windowsFilter) {
  // Overwrite confirmation is QFileDialog's default; no suffix is added, so the
  // file written is exactly the one the operator confirmed.
  QFileDialog dialog(parent, QString(), proposedName, QtFileFilter(windowsFilter));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.selectFile(proposedName);
  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList files = dialog.selectedFiles();
  return files.isEmpty() ? QString() : files.first();
}

QString QtPrompts::OpenFileName(QWidget* parent, const QString& windowsFilter) {
  QFileDialog dialog(parent, QString(), QString(), QtFileFilter(windowsFilter));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList files = dialog.selectedFiles();
  return files.isEmpty() ? QString() : files.first();
}

ScriptedPrompts::ScriptedPrompts() : previous_(Installed()) {
  InstallPrompts(this);
}

ScriptedPrompts::~ScriptedPrompts() {
  InstallPrompts(previous_);
}

QStringList ScriptedPrompts::messages() const {
  QStringList texts;
  for (const Shown& shown : shown_) {
    if (shown.kind == Shown::Kind::Message) texts.append(shown.text);
  }
  return texts;
}

void ScriptedPrompts::Message(QWidget*, const QString& text, const QString& caption, Icon icon) {
  shown_.append({Shown::Kind::Message, text, caption, icon});
}

bool ScriptedPrompts::AskYesNo(QWidget*, const QString& text, const QString& caption) {
  shown_.append({Shown::Kind::YesNo, text, caption, Icon::Question});
  return yesNo_.isEmpty() ? false : yesNo_.takeFirst();
}

QString ScriptedPrompts::SaveFileName(QWidget*, const QString& proposedName,
                                      const QString& windowsFilter) {
  shown_.append({Shown::Kind::SaveFile, proposedName, windowsFilter, Icon::None});
  return savePaths_.isEmpty() ? QString() : savePaths_.takeFirst();
}

QString ScriptedPrompts::OpenFileName(QWidget*, const QString& windowsFilter) {
  shown_.append({Shown::Kind::OpenFile, QString(), windowsFilter, Icon::None});
  return openPaths_.isEmpty() ? QString() : openPaths_.takeFirst();
}
