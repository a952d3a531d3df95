#include "gui/card_level_page.h"

#include <QRegularExpression>
#include <map>

#include "core/command_table.h"
#include "core/messages.h"

namespace {

std::map<int, SettingDialogRunner>& SettingDialogs() {
  static std::map<int, SettingDialogRunner> dialogs;
  return dialogs;
}

}  // namespace

AesAuthMemory& TheAesAuthMemory() {
  static AesAuthMemory memory;
  return memory;
}

void RegisterSettingDialog(int templateId, SettingDialogRunner runner) {
  SettingDialogs()[templateId] = std::move(runner);
}

void UnregisterSettingDialog(int templateId) {
  SettingDialogs().erase(templateId);
}

int RegisteredMessageCode(int messageNumber) {
  return RegisterMessage(LoadMessage(messageNumber));
}

QString MenuCommandText(int commandId) {
  QString text = ControlText(commandId);
  text.remove(QRegularExpression(QStringLiteral("\\(&[A-Za-z0-9]\\)")));
  text.remove(u'&');
  return text;
}

QString NotAvailableText(const QString& what) {
  return UiText(QStringLiteral("notAvailable")).arg(what);
}

CardLevelPage::CardLevelPage(int level, QWidget* parent) : QWidget(parent), level_(level) {}

CardLevelPage::~CardLevelPage() = default;

int CardLevelPage::Activate(int force, int* errorOut, QString* cardInfoOut, int* cardVariant) {
  if (owner_ == nullptr) return 0;
  return owner_->Activate(force, errorOut, cardInfoOut, cardVariant);
}

void CardLevelPage::SetTips(TipRenderer*) {}

int CardLevelPage::SettingDialogFor(int commandId) const {
  return PageDialogTemplate(level_, commandId);
}

void CardLevelPage::RunSettingCommand(int commandId) {
  const int templateId = SettingDialogFor(commandId);
  if (templateId == 0) return;
  auto it = SettingDialogs().find(templateId);
  if (it != SettingDialogs().end() && it->second) {
    it->second(*this, commandId);
    return;
  }
  LogNotAvailable(MenuCommandText(commandId));
}

void CardLevelPage::LogNotAvailable(const QString& what) const {
  if (owner_ == nullptr) return;
  owner_->AppendLog(NotAvailableText(what), false);
}

int CardLevelPage::Backup(int, int) {
  return kMsgNotImplemented;
}
int CardLevelPage::Increment(int, int, int) {
  return kMsgNotImplemented;
}
int CardLevelPage::Decrement(int, int, int) {
  return kMsgNotImplemented;
}
int CardLevelPage::ReadValue(int, int*, int, int*) {
  return kMsgNotImplemented;
}
int CardLevelPage::WriteValue(int, const int*, int) {
  return kMsgNotImplemented;
}
int CardLevelPage::ReadBlocks(int, unsigned char*, int, int*) {
  return kMsgNotImplemented;
}
int CardLevelPage::WriteBlocks(int, const unsigned char*, int) {
  return kMsgNotImplemented;
}

int CardLevelPage::Authenticate(int, int, int, const unsigned char*, int* errorOut, int) {
  if (errorOut != nullptr) *errorOut = kMsgNotImplemented;
  return 0;
}
