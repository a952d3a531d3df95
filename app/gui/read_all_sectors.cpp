#include "gui/read_all_sectors.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProgressDialog>

#include "cardtools/card.h"
#include "cardtools/files.h"
#include "cardtools/status.h"
#include "core/card_text.h"
#include "core/messages.h"
#include "gui/card_level_page.h"
#include "gui/card_map_window.h"
#include "gui/hex_controls.h"
#include "gui/main_window.h"
#include "gui/prompts.h"

namespace {

constexpr int kMsgNotConnected = 1950;

QString Text(const char* name) {
  return UiText(QStringLiteral("readAll.") + QLatin1String(name));
}

QString Hex2(int value) {
  return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

// The same key for every sector, from the key boxes as the tab's level reads them.
// False after the wrong-length message box.
bool KeysOnScreen(MainWindow& window, int level, cardtools::KeyFile* keys) {
  const int keyType = window.SelectedKeyType();
  const bool aes = IsAesKeyType(keyType);
  const bool keyB = keyType == kKeyTypeL1B || keyType == kKeyTypeL2B || keyType == kKeyTypeL3B;
  std::uint8_t key[16] = {}, aesKey[16] = {};
  if (!window.keyBox()->GetExactBytes(key, aes ? 16 : 6) ||
      (level == 2 && !window.aesKeyBox()->GetExactBytes(aesKey, 16))) {
    ShowWrongLength(&window);
    return false;
  }
  for (int sector = 0; sector < 40; ++sector) {
    cardtools::SectorKeys& set = keys->sectors[sector];
    if (aes || level == 2) {
      cardtools::AesKey value;
      std::copy(aes ? key : aesKey, (aes ? key : aesKey) + 16, value.begin());
      (keyB ? set.aesB : set.aesA) = value;
    }
    if (!aes) {
      cardtools::Crypto1Key value;
      std::copy(key, key + 6, value.begin());
      (keyB ? set.crypto1B : set.crypto1A) = value;
    }
  }
  return true;
}

// Asks whether to use a key file and loads it. False when the operator cancels or
// the file cannot be used (after a message box saying why).
bool ChooseKeys(MainWindow& window, int level, cardtools::KeyFile* keys) {
  Prompts& prompts = CurrentPrompts();
  if (!prompts.AskYesNo(&window, Text("useKeyFile"), Text("title"))) {
    return KeysOnScreen(window, level, keys);
  }
  const QString path = prompts.OpenFileName(&window, Text("keyFilter"));
  if (path.isEmpty()) return false;
  std::string text, error;
  if (!cardtools::ReadFile(path.toStdString(), &text, &error) ||
      !cardtools::ParseKeyFile(text, keys, &error)) {
    prompts.Message(&window, Text("badKeyFile").arg(QString::fromStdString(error)), Text("title"),
                    Prompts::Icon::Warning);
    return false;
  }
  return true;
}

QString SectorEntry(int level, int sector, const cardtools::Dump& dump) {
  const cardtools::SectorRecord& record = dump.sectors.at(sector);
  if (record.status == "read") {
    QString entry = Text("sector").arg(level).arg(Hex2(sector));
    const int first = cardtools::FirstBlockOfSector(sector);
    for (int block = first; block < first + cardtools::BlocksInSector(sector); ++block) {
      entry += BlockDataText(dump.blocks.at(block).data(), 1);
    }
    return entry;
  }
  const char* reason = record.status == "key missing"   ? "keyMissing"
                       : record.status == "key refused" ? "keyRefused"
                                                        : "partial";
  return Text("sectorFailed").arg(level).arg(Hex2(sector)).arg(Text(reason));
}

void OfferToSave(MainWindow& window, const cardtools::Dump& dump) {
  Prompts& prompts = CurrentPrompts();
  const QString proposed =
      QStringLiteral("%1.json").arg(QString::fromStdString(cardtools::ToHex(dump.card.uid)));
  const QString path = prompts.SaveFileName(&window, proposed, Text("dumpFilter"));
  if (path.isEmpty()) return;
  const bool image =
      QFileInfo(path).suffix().compare(QStringLiteral("bin"), Qt::CaseInsensitive) == 0;
  std::string error;
  if (!cardtools::WriteFileAtomically(
          path.toStdString(), image ? cardtools::DumpImage(dump) : cardtools::SerializeDump(dump),
          &error)) {
    prompts.Message(&window, Text("saveFailed").arg(QString::fromStdString(error)), Text("title"),
                    Prompts::Icon::Warning);
    return;
  }
  window.AppendLog(Text("saved").arg(path), false);
}

}  // namespace

void ReadAllSectorsCommand(MainWindow& window) {
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
  info.level = level;  // the tab says how to read; a card at another level refuses each sector
  if (!info.sizeKnown) info.size = cardtools::CardSize::k4K;

  const int total = cardtools::SectorCount(info.size);
  QProgressDialog progress(Text("progress"), Text("cancel"), 0, total, &window);
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
  RegisterOperatorCommand(MainWindow::kReadAllSectors, ReadAllSectorsCommand);
}
