#include "gui/operator_commands.h"

#include <QByteArray>
#include <QComboBox>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>

#include "core/card_text.h"
#include "core/messages.h"
#include "gui/card_level_page.h"
#include "gui/command_host.h"
#include "gui/dialogs/upgrade_dialog.h"
#include "gui/prompts.h"

namespace {

constexpr int kMsgNotConnected = 1950;
constexpr int kMsgReauthFailed = 2215;
constexpr int kMsgWrongKey = 2200;

int Store(int* errorOut, int code) {
  if (errorOut != nullptr) *errorOut = code;
  return 0;
}

// A DefaultPage outside 0..3 leaves the window without a page; commands say so.
int NoPageCode() {
  return RegisterMessage(UiText(QStringLiteral("noLevelPage")));
}

bool CheckConnected(CommandHost& window) {
  if (window.IsConnected()) return true;
  window.AppendLog(LoadMessage(kMsgNotConnected), true);
  return false;
}

void AuthenticateCommand(CommandHost& window) {
  if (!CheckConnected(window)) return;
  CardLevelPage* page = window.CurrentPage();
  if (page == nullptr) {
    window.AppendLog(UiText(QStringLiteral("noLevelPage")), false);
    return;
  }
  if (page->level() == 0) {
    window.AppendLog(LoadMessage(2145), false);
    return;
  }
  int code = kReportedInBox;
  if (window.Recover(&code) != 0) {
    window.AppendLog(LoadMessage(2150), false);
  } else if (code != kReportedInBox) {
    window.AppendLog(FormatMessage(2170, qUtf8Printable(CodeText(code))), false);
  }
}

void AesAuthenticateCommand(CommandHost& window) {
  int code = kReportedInBox;
  window.AesAuthenticate(&code);
}

// ---------------------------------------------------------------- frame ----

// The first two steps every card command shares: a reader and a level page.
CardLevelPage* ReadyPage(CommandHost& window) {
  if (!CheckConnected(window)) return nullptr;
  CardLevelPage* page = window.CurrentPage();
  if (page == nullptr) window.AppendLog(UiText(QStringLiteral("noLevelPage")), false);
  return page;
}

// Runs the page operation; when it fails, recovers once and runs it again.
// Without `repeat` the failure stands after the recovery (an operation that may
// already have changed the card is not sent twice). nullopt: the recovery
// failed and has been reported (log entry 2170 or the message box).
std::optional<int> RunRecovering(CommandHost& window, const std::function<int()>& operation,
                                 bool repeat = true) {
  const int code = operation();
  if (code == 0) return 0;
  int recoverCode = kReportedInBox;
  if (window.Recover(&recoverCode) == 0) {
    if (recoverCode != kReportedInBox) {
      window.AppendLog(FormatMessage(2170, qUtf8Printable(CodeText(recoverCode))), false);
    }
    return std::nullopt;
  }
  return repeat ? operation() : code;
}

QByteArray Reason(int code) {
  return MessageText(code).toUtf8();
}

// The block count is checked again when a block command runs, not only when a
// box changes: a count running past the sector's data blocks would reach its
// trailer. The window then corrects the count (message 2140) and nothing is sent.
bool CountFitsSector(CommandHost& window) {
  const int limit =
      CommandHost::DataBlocks(window.SelectedSector()) - window.SelectedBlockInSector();
  const int count = window.SelectedBlockCount();
  if (count >= 1 && count <= limit) return true;
  window.BlockCountCheck();
  return false;
}

// ---------------------------------------------------------- value commands --

enum class ValueOp { Backup, Increment, Decrement };

void SourceToDestinationCommand(CommandHost& window, ValueOp op) {
  CardLevelPage* page = ReadyPage(window);
  if (page == nullptr) return;
  const int level = page->level();
  const int source = window.BlockAddress(CommandHost::BlockBox::Source);
  const int destination = window.BlockAddress(CommandHost::BlockBox::Destination);
  const int operand = window.Operand();
  auto operation = [&] {
    switch (op) {
      case ValueOp::Backup:
        return page->Backup(source, destination);
      case ValueOp::Increment:
        return page->Increment(source, operand, destination);
      case ValueOp::Decrement:
        break;
    }
    return page->Decrement(source, operand, destination);
  };
  // Into its own block a value command changes what it reads: when the first
  // answer was lost, a repeat could apply the change twice.
  const bool sameBlock = source == destination;
  const std::optional<int> code = RunRecovering(window, operation, !sameBlock);
  if (!code) return;
  QString text;
  if (op == ValueOp::Backup) {
    text = *code == 0 ? FormatMessage(1980, level, source, destination)
                      : FormatMessage(1990, level, source, destination, Reason(*code).constData());
  } else {
    const bool up = op == ValueOp::Increment;
    text = *code == 0 ? FormatMessage(up ? 1995 : 2015, level, source, operand, destination)
                      : FormatMessage(up ? 2005 : 2025, level, source, operand, destination,
                                      Reason(*code).constData());
  }
  if (*code != 0 && sameBlock) text += UiText(QStringLiteral("101.notRepeated"));
  window.AppendLog(text, false);
}

// Codes of a block that holds no value: 124 from the CRYPTO1 levels, 0xC3 from Level 3.
bool IsValueFormatError(int code) {
  return code == 124 || code == 0xC3;
}

void ReadValueCommand(CommandHost& window) {
  CardLevelPage* page = ReadyPage(window);
  if (page == nullptr) return;
  const int source = window.BlockAddress(CommandHost::BlockBox::Source);
  int value = 0;
  const std::optional<int> code =
      RunRecovering(window, [&] { return page->ReadValue(source, &value, 1, nullptr); });
  if (!code) return;
  if (*code == 0) {
    window.AppendLog(FormatMessage(2035, page->level(), source, value), false);
    return;
  }
  QString text = FormatMessage(2045, page->level(), source, Reason(*code).constData());
  if (IsValueFormatError(*code)) {
    // Show what the block holds instead.
    std::uint8_t block[16] = {};
    int bytes = 0;
    if (page->ReadBlocks(source, block, 16, &bytes) == 0) {
      text += FormatMessage(2050, qUtf8Printable(BlockDataText(block, 1)));
    }
  }
  window.AppendLog(text, false);
}

void WriteValueCommand(CommandHost& window) {
  CardLevelPage* page = ReadyPage(window);
  if (page == nullptr) return;
  const int source = window.BlockAddress(CommandHost::BlockBox::Source);
  const int operand = window.Operand();
  const std::optional<int> code =
      RunRecovering(window, [&] { return page->WriteValue(source, &operand, 1); });
  if (!code) return;
  window.AppendLog(*code == 0
                       ? FormatMessage(2060, page->level(), source, operand)
                       : FormatMessage(2070, page->level(), source, Reason(*code).constData()),
                   false);
}

// ---------------------------------------------------------- block commands --

void ReadBlocksCommand(CommandHost& window) {
  CardLevelPage* page = ReadyPage(window);
  if (page == nullptr || !CountFitsSector(window)) return;
  const int start = window.BlockAddress(CommandHost::BlockBox::Block);
  const int count = window.SelectedBlockCount();
  std::uint8_t buffer[64] = {};
  const std::optional<int> code = RunRecovering(window, [&] {
    std::fill(std::begin(buffer), std::end(buffer), 0);
    return page->ReadBlocks(start, buffer, 16 * count, nullptr);
  });
  if (!code) return;
  if (*code != 0) {
    window.AppendLog(FormatMessage(2095, page->level(), start, count, Reason(*code).constData()),
                     false);
    return;
  }
  for (int row = 0; row < count; ++row) window.ShowDataRow(row, buffer + 16 * row, 16);
  window.AppendLog(FormatMessage(2085, page->level(), start, count) + BlockDataText(buffer, count),
                   false);
}

void WriteBlocksCommand(CommandHost& window) {
  CardLevelPage* page = ReadyPage(window);
  if (page == nullptr) return;
  const int start = window.BlockAddress(CommandHost::BlockBox::Block);
  if (start == 0) {
    // The table text has no line end; the next entry starts on a line of its own.
    window.AppendLog(LoadMessage(2100) + u'\n', false);
    return;
  }
  if (!CountFitsSector(window)) return;
  const int count = window.SelectedBlockCount();
  std::uint8_t buffer[64] = {};
  for (int row = count - 1; row >= 0; --row) {
    if (!window.DataRowBytes(row, buffer + 16 * row, 16)) {
      ShowWrongLength(window.DialogParent());
      return;
    }
  }
  const std::optional<int> code =
      RunRecovering(window, [&] { return page->WriteBlocks(start, buffer, 16 * count); });
  if (!code) return;
  window.AppendLog(
      *code == 0 ? FormatMessage(2115, page->level(), start, count,
                                 qUtf8Printable(BlockDataText(buffer, count)))
                 : FormatMessage(2125, page->level(), start, count, Reason(*code).constData()),
      false);
}

void UpgradeCommand(CommandHost& window) {
  RunUpgradeDialog(window);
}

}  // namespace

int AesAuthenticateCard(CommandHost& window, int* errorOut) {
  if (!CheckConnected(window)) return Store(errorOut, kMsgNotConnected);
  CardLevelPage* page = window.CurrentPage();
  if (page == nullptr) {
    window.AppendLog(UiText(QStringLiteral("noLevelPage")), false);
    return Store(errorOut, NoPageCode());
  }
  std::uint8_t key[16] = {};
  if (!window.AesKeyBytes(key, 16)) {
    ShowWrongLength(window.DialogParent());
    return 0;
  }
  int code = kMsgReauthFailed;
  if (window.Activate(0, &code, nullptr, nullptr) == 0) {
    window.AppendLog(FormatMessage(2160, qUtf8Printable(MessageText(code))), false);
    return Store(errorOut, code);
  }
  code = 0;
  if (page->Authenticate(0, kKeyTypeL2Aes, window.SelectedAesKeyAddress(), key, &code, 0) != 0) {
    window.AppendLog(LoadMessage(2155), false);
    return 1;
  }
  if (code == 224) code = kMsgWrongKey;
  window.AppendLog(FormatMessage(2160, qUtf8Printable(MessageText(code))), false);
  return Store(errorOut, code);
}

int RecoverCard(CommandHost& window, int* errorOut) {
  CardLevelPage* page = window.CurrentPage();
  if (page == nullptr) return Store(errorOut, NoPageCode());
  int code = kMsgReauthFailed;
  if (window.Activate(0, &code, nullptr, nullptr) == 0) {
    return Store(errorOut, code != 0 ? code : kMsgReauthFailed);
  }
  // The key box must hold the whole key of its type: bytes nobody typed never
  // go to the card as a key.
  const int keyType = window.SelectedKeyType();
  std::uint8_t key[16] = {};
  if (!window.KeyBytes(key, IsAesKeyType(keyType) ? 16 : 6)) {
    ShowWrongLength(window.DialogParent());
    return 0;
  }
  auto authenticate = [&](int* codeOut) {
    return page->Authenticate(window.SelectedSector(), keyType, window.SelectedAesKeyAddress(), key,
                              codeOut, 0);
  };
  code = 0;
  if (authenticate(&code) != 0) return 1;
  if (code == kMsgAesAuthFirst) {
    if (AesAuthenticateCard(window, errorOut) == 0) return 0;
    code = 0;
    if (authenticate(&code) != 0) return 1;
    return Store(errorOut, code);
  }
  return Store(errorOut, code == 1 ? kMsgWrongKey : code);
}

void RegisterOperatorCommands() {
  RegisterOperatorCommand(CommandHost::kAuthenticate, AuthenticateCommand);
  RegisterOperatorCommand(CommandHost::kAesAuthenticate, AesAuthenticateCommand);
  RegisterOperatorCommand(CommandHost::kBackup,
                          [](CommandHost& w) { SourceToDestinationCommand(w, ValueOp::Backup); });
  RegisterOperatorCommand(CommandHost::kIncrement, [](CommandHost& w) {
    SourceToDestinationCommand(w, ValueOp::Increment);
  });
  RegisterOperatorCommand(CommandHost::kDecrement, [](CommandHost& w) {
    SourceToDestinationCommand(w, ValueOp::Decrement);
  });
  RegisterOperatorCommand(CommandHost::kReadValue, ReadValueCommand);
  RegisterOperatorCommand(CommandHost::kWriteValue, WriteValueCommand);
  RegisterOperatorCommand(CommandHost::kReadBlocks, ReadBlocksCommand);
  RegisterOperatorCommand(CommandHost::kWriteBlocks, WriteBlocksCommand);
  RegisterOperatorCommand(CommandHost::kCardUpgrade, UpgradeCommand);
}
