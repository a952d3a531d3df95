#include "core/operator_commands.h"

#include <QComboBox>
#include <cstdint>

#include "core/card_level_page.h"
#include "core/card_text.h"
#include "core/main_window.h"
#include "core/messages.h"
#include "dialogs/hex_controls.h"

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

bool CheckConnected(MainWindow& window) {
  if (window.IsConnected()) return true;
  window.AppendLog(LoadMessage(kMsgNotConnected), true);
  return false;
}

int AesKeyAddress(const MainWindow& window) {
  return window.aesAddressBox()->currentData().toInt();
}

void AuthenticateCommand(MainWindow& window) {
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

void AesAuthenticateCommand(MainWindow& window) {
  int code = kReportedInBox;
  window.AesAuthenticate(&code);
}

}  // namespace

int AesAuthenticateCard(MainWindow& window, int* errorOut) {
  if (!CheckConnected(window)) return Store(errorOut, kMsgNotConnected);
  CardLevelPage* page = window.CurrentPage();
  if (page == nullptr) {
    window.AppendLog(UiText(QStringLiteral("noLevelPage")), false);
    return Store(errorOut, NoPageCode());
  }
  std::uint8_t key[16] = {};
  if (!window.aesKeyBox()->GetExactBytes(key, 16)) {
    ShowWrongLength(&window);
    return 0;
  }
  int code = kMsgReauthFailed;
  if (window.Activate(0, &code, nullptr, nullptr) == 0) {
    window.AppendLog(FormatMessage(2160, qUtf8Printable(MessageText(code))), false);
    return Store(errorOut, code);
  }
  code = 0;
  if (page->Authenticate(0, kKeyTypeL2Aes, AesKeyAddress(window), key, &code, 0) != 0) {
    window.AppendLog(LoadMessage(2155), false);
    return 1;
  }
  if (code == 224) code = kMsgWrongKey;
  window.AppendLog(FormatMessage(2160, qUtf8Printable(MessageText(code))), false);
  return Store(errorOut, code);
}

int RecoverCard(MainWindow& window, int* errorOut) {
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
  if (!window.keyBox()->GetExactBytes(key, IsAesKeyType(keyType) ? 16 : 6)) {
    ShowWrongLength(&window);
    return 0;
  }
  auto authenticate = [&](int* codeOut) {
    return page->Authenticate(window.SelectedSector(), keyType, AesKeyAddress(window), key, codeOut,
                              0);
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
  RegisterOperatorCommand(MainWindow::kAuthenticate, AuthenticateCommand);
  RegisterOperatorCommand(MainWindow::kAesAuthenticate, AesAuthenticateCommand);
}
