#include "gui/read_all_sectors.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProgressDialog>

#include "cardtools/card.h"
#include "cardtools/diversify.h"
#include "cardtools/files.h"
#include "cardtools/status.h"
#include "core/messages.h"
#include "core/read_all_plan.h"
#include "gui/card_level_page.h"
#include "gui/card_map_window.h"
#include "gui/command_host.h"
#include "gui/hex_controls.h"
#include "gui/prompts.h"

namespace {

constexpr int kMsgNotConnected = 1950;

QString Text(const char* name) {
  return UiText(QStringLiteral("readAll.") + QLatin1String(name));
}

// The same key for every sector, from the key boxes as the tab's level reads them.
// False after the wrong-length message box.
bool KeysOnScreen(CommandHost& window, int level, cardtools::KeyFile* keys) {
  const int keyType = window.SelectedKeyType();
  const bool aes = IsAesKeyType(keyType);
  const bool keyB = keyType == kKeyTypeL1B || keyType == kKeyTypeL2B || keyType == kKeyTypeL3B;
  std::uint8_t key[16] = {}, aesKey[16] = {};
  if (!window.KeyBytes(key, aes ? 16 : 6) || (level == 2 && !window.AesKeyBytes(aesKey, 16))) {
    ShowWrongLength(window.DialogParent());
    return false;
  }
  *keys = KeysForEverySector(level, aes, keyB, key, aesKey);
  return true;
}

// Asks whether to use a key file and loads it. False when the operator cancels or
// the file cannot be used (after a message box saying why).
bool ChooseKeys(CommandHost& window, int level, cardtools::KeyFile* keys) {
  Prompts& prompts = CurrentPrompts();
  if (!prompts.AskYesNo(window.DialogParent(), Text("useKeyFile"), Text("title"))) {
    return KeysOnScreen(window, level, keys);
  }
  const QString path = prompts.OpenFileName(window.DialogParent(), Text("keyFilter"));
  if (path.isEmpty()) return false;
  std::string text, error;
  cardtools::Diversification diversification;
  if (!cardtools::ReadFile(path.toStdString(), &text, &error) ||
      !cardtools::ParseKeyFile(text, keys, &error) ||
      !cardtools::ParseDiversification(*keys, &diversification, &error)) {
    prompts.Message(window.DialogParent(), Text("badKeyFile").arg(QString::fromStdString(error)),
                    Text("title"), Prompts::Icon::Warning);
    return false;
  }
  return true;
}

void OfferToSave(CommandHost& window, const cardtools::Dump& dump) {
  Prompts& prompts = CurrentPrompts();
  const QString proposed =
      QStringLiteral("%1.json").arg(QString::fromStdString(cardtools::ToHex(dump.card.uid)));
  const QString path = prompts.SaveFileName(window.DialogParent(), proposed, Text("dumpFilter"));
  if (path.isEmpty()) return;
  const bool image =
      QFileInfo(path).suffix().compare(QStringLiteral("bin"), Qt::CaseInsensitive) == 0;
  std::string error;
  if (!cardtools::WriteFileAtomically(
          path.toStdString(), image ? cardtools::DumpImage(dump) : cardtools::SerializeDump(dump),
          &error)) {
    prompts.Message(window.DialogParent(), Text("saveFailed").arg(QString::fromStdString(error)),
                    Text("title"), Prompts::Icon::Warning);
    return;
  }
  window.AppendLog(Text("saved").arg(path), false);
}

}  // namespace

void ReadAllSectorsCommand(CommandHost& window) {
  if (!window.IsConnected()) {
    window.AppendLog(LoadMessage(kMsgNotConnected), true);
    return;
  }
  CardLevelPage* page = window.CurrentPage();
  if (page == nullptr) {
    window.AppendLog(UiText(QStringLiteral("noLevelPage")), false);
    return;
  }
  const int level = page->level();
  if (level == 0) {
    window.AppendLog(Text("level0"), false);
    return;
  }
  cardtools::KeyFile keys;
  if (!ChooseKeys(window, level, &keys)) return;

  cardtools::CardInfo info;
  const cardtools::Result activation = cardtools::ActivateCard(&info);
  if (!activation.ok()) {
    window.AppendLog(Text("activation").arg(QString::fromStdString(activation.message)), false);
    return;
  }
  // A key file with master keys ("Diversify") opens this card with the keys derived from its UID.
  std::string keyError;
  if (!cardtools::KeysForCard(keys, info.id.uid, &keys, &keyError)) {
    window.AppendLog(Text("badKeyFile").arg(QString::fromStdString(keyError)), false);
    return;
  }
  info.level = level;  // the tab says how to read; a card at another level refuses each sector
  if (!info.sizeKnown) info.size = cardtools::CardSize::k4K;

  const int total = cardtools::SectorCount(info.size);
  QProgressDialog progress(Text("progress"), Text("cancel"), 0, total, window.DialogParent());
  progress.setWindowTitle(Text("title"));
  progress.setAccessibleName(Text("title"));
  progress.setObjectName(QStringLiteral("readAllProgress"));
  progress.setWindowModality(Qt::WindowModal);
  progress.setMinimumDuration(0);
  progress.setValue(0);
  const cardtools::DumpOutcome outcome =
      cardtools::DumpCard(info, keys, [&](int sector, int, const cardtools::Dump& soFar) {
        window.AppendLog(SectorEntry(level, sector, soFar), false);
        progress.setValue(sector + 1);
        QCoreApplication::processEvents();
        return !progress.wasCanceled();
      });
  progress.reset();
  if (outcome.cancelled) {
    window.AppendLog(Text("cancelled"), false);
  } else if (outcome.result.outcome == cardtools::Outcome::kIoError) {
    window.AppendLog(Text("failed").arg(QString::fromStdString(outcome.result.message)), false);
  } else {
    window.AppendLog(
        Text("summary")
            .arg(outcome.sectorsRead)
            .arg(outcome.sectorsPartial + outcome.sectorsRefused + outcome.sectorsMissing),
        false);
  }
  if (outcome.sectorsRead + outcome.sectorsPartial > 0) {
    OfferToSave(window, outcome.dump);
    ShowCardMapAfterRead(window, outcome.dump);
  }
}

void RegisterReadAllSectors() {
  RegisterOperatorCommand(CommandHost::kReadAllSectors, ReadAllSectorsCommand);
}
