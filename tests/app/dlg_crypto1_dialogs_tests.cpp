// The CRYPTO1 keys dialog (Levels 1 and 2) and the Level 3 access conditions
// dialog against the simulated card: the trailer they write takes effect, the
// access bits round-trip, and every refusal leaves the card untouched (proved
// with the reader's frame trace).
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTimer>
#include <array>
#include <cstring>

#include "accessible_check.h"
#include "core/access_bits.h"
#include "core/card_text.h"
#include "core_qt_print.h"
#include "gui/dialogs/access_conditions_dialog.h"
#include "gui/dialogs/access_tables.h"
#include "gui/dialogs/aes_key_dialog.h"
#include "gui/dialogs/crypto1_keys_dialog.h"
#include "gui/dialogs/field_config_dialog.h"
#include "gui/dialogs/mfp_config_dialog.h"
#include "gui/hex_controls.h"
#include "gui/level_pages.h"
#include "window_fixture.h"

#ifndef QUILLON_TEST_OUTPUT_DIR
#define QUILLON_TEST_OUTPUT_DIR "."
#endif

namespace {

using Key16 = std::array<unsigned char, 16>;
Key16 Filled(unsigned char value) {
  Key16 k;
  k.fill(value);
  return k;
}
const Key16 kFF = Filled(0xFF);
const Key16 kNewA = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const Key16 kNewB = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
const QString kTextFF = QStringLiteral("FF FF FF FF FF FF");
const QString kTextA = QStringLiteral("A0 A1 A2 A3 A4 A5");
const QString kTextB = QStringLiteral("B0 B1 B2 B3 B4 B5");
const QString kTextFF16 = QStringLiteral("FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF");

// The dialogs' controls, found by their object names as a test or an
// assistive tool finds them.
struct Controls {
  explicit Controls(QDialog& d)
      : authKey(Find<QLineEdit>(d, "authKey")),
        newKeyA(Find<QLineEdit>(d, "newKeyA")),
        newKeyB(Find<QLineEdit>(d, "newKeyB")),
        newAccess(Find<QLineEdit>(d, "newAccess")),
        currentAccess(Find<QLineEdit>(d, "currentAccess")),
        currentKeyA(Find<QLineEdit>(d, "currentKeyA")),
        keyType(Find<QComboBox>(d, "keyType")),
        result(Find<QLabel>(d, "result")),
        status(Find<QLabel>(d, "status")),
        plain2(Find<QCheckBox>(d, "plain2")),
        plain3(Find<QCheckBox>(d, "plain3")),
        tables(Find<AccessTables>(d, "tables")),
        change(Find<QPushButton>(d, "changeButton")),
        sector(Find<QComboBox>(d, "sector")) {}
  template <typename W>
  static W* Find(QDialog& d, const char* name) {
    return d.findChild<W*>(QLatin1String(name));
  }
  QLineEdit *authKey, *newKeyA, *newKeyB, *newAccess, *currentAccess, *currentKeyA;
  QComboBox* keyType;
  QLabel *result, *status;
  QCheckBox *plain2, *plain3;
  AccessTables* tables;
  QPushButton* change;
  QComboBox* sector;
};

// ------------------------------------------------------------ access bits --

TEST(AccessBits, ComposeDecodeAndComplements) {
  std::uint8_t bits[3];
  accessbits::Compose({0, 0, 0, 4}, bits);
  EXPECT_EQ(QByteArray(reinterpret_cast<char*>(bits), 3).toHex(' '), "ff 07 80");
  accessbits::Compose({3, 0, 0, 4}, bits);
  EXPECT_EQ(QByteArray(reinterpret_cast<char*>(bits), 3).toHex(' '), "ee 17 81");

  // Every combination of rows round-trips, and any one flipped bit breaks a
  // complement and is refused.
  for (int code = 0; code < 8 * 8 * 8 * 8; ++code) {
    const accessbits::Rows rows{code & 7, (code >> 3) & 7, (code >> 6) & 7, (code >> 9) & 7};
    accessbits::Compose(rows, bits);
    accessbits::Rows back{};
    ASSERT_TRUE(accessbits::Decode(bits, &back));
    ASSERT_EQ(back, rows);
    for (int bit = 0; bit < 24; bit += 7) {
      std::uint8_t flipped[3] = {bits[0], bits[1], bits[2]};
      flipped[bit / 8] ^= static_cast<std::uint8_t>(1 << (bit % 8));
      accessbits::Rows untouched = rows;
      ASSERT_FALSE(accessbits::Decode(flipped, &untouched));
      ASSERT_EQ(untouched, rows);
    }
  }
}

TEST(AccessBits, TrailerBlocksPlainReadByteAndFreezingRows) {
  EXPECT_EQ(accessbits::TrailerBlock(0), 3);
  EXPECT_EQ(accessbits::TrailerBlock(31), 127);
  EXPECT_EQ(accessbits::TrailerBlock(32), 143);
  EXPECT_EQ(accessbits::TrailerBlock(39), 255);
  EXPECT_EQ(accessbits::PlainReadByte({true, true, true, true}), 0x0F);
  EXPECT_EQ(accessbits::PlainReadByte({true, true, true, false}), 0x87);
  EXPECT_EQ(accessbits::PlainReadByte({false, false, false, false}), 0xF0);
  // Only 001 and 011 leave both the access bits and a key changeable; at
  // Level 3 (keys outside the trailer) 101 does too.
  for (int row = 0; row < 8; ++row) {
    const int v = accessbits::RowValue(row);
    EXPECT_EQ(accessbits::FreezesTrailer(row, true), v != 1 && v != 3) << row;
    EXPECT_EQ(accessbits::FreezesTrailer(row, false), v != 1 && v != 3 && v != 5) << row;
  }
  // Readable key B opens nothing with CRYPTO1, but AES key B keeps its rights.
  EXPECT_FALSE(accessbits::MayWrite(4, accessbits::Part::KeyB, true));
  EXPECT_TRUE(accessbits::MayWrite(5, accessbits::Part::Access, true, false));
}

// ---------------------------------------------------------------- dialogs --

class Crypto1Dialogs : public TracedWindowTest {
 protected:
  // The window on `tab` with a fresh card at `level` (every key 0xFF).
  void OpenWithCardAt(int level, int tab) {
    WriteIni({{QStringLiteral("DefaultPage"), QString::number(tab)}});
    MainWindow& w = Open();
    ASSERT_TRUE(w.IsConnected());
    int code = 0;
    if (level >= 1) {
      ASSERT_EQ(w.Activate(1, &code, nullptr, nullptr), 1) << code;
      for (int address : {0x9000, 0x9001, 0x9002, 0x9003})
        ASSERT_EQ(PLUSWritePersoTCL(static_cast<unsigned short>(address), kFF.data()), 0);
      ASSERT_EQ(PLUSCommitPersoTCL(), 0);
    }
    if (level >= 2) {
      ASSERT_EQ(w.Activate(1, &code, nullptr, nullptr), 1) << code;
      ASSERT_EQ(PLUSSL3FirstAuth(level == 2 ? 0x9002 : 0x9003, kFF.data()), 0);
    }
    if (level == 2) {
      ASSERT_EQ(w.Activate(0, &code, nullptr, nullptr), 1) << code;
      ASSERT_EQ(w.page(2)->Authenticate(0, kKeyTypeL2Aes, 0x4002, kFF.data(), &code, 0), 1) << code;
    }
    trace_->Clear();
  }

  // Whether any request frame carried reader command `command`.
  bool Sent(int command) const {
    const std::vector<int> commands = trace_->Commands();
    return std::find(commands.begin(), commands.end(), command) != commands.end();
  }
  // Whether a Level 3 write (0xA0..0xA3 through the T=CL transfer) was sent.
  bool SentLevel3Write() const {
    for (const QByteArray& f : trace_->Requests()) {
      if (f.size() > 3 && static_cast<unsigned char>(f[1]) == 0x94 &&
          (static_cast<unsigned char>(f[3]) & 0xFC) == 0xA0)
        return true;
    }
    return false;
  }

  // CRYPTO1 authentication of a sector through the page, after a fresh activation.
  bool Crypto1Opens(int level, int sector, bool keyB, const Key16& key) {
    int code = 0;
    if (window().Activate(0, &code, nullptr, nullptr) == 0) return false;
    const int type =
        level == 2 ? (keyB ? kKeyTypeL2B : kKeyTypeL2A) : (keyB ? kKeyTypeL1B : kKeyTypeL1A);
    return window().page(level)->Authenticate(sector, type, 0, key.data(), &code, 0) == 1;
  }

  static void ChooseData(AccessTables* tables, int tab, int row) {
    tables->tabs()->setCurrentIndex(tab);
    tables->dataRadio(row)->click();
  }
};

TEST_F(Crypto1Dialogs, Level1ChangeTakesEffectAndRefusesWhatTheKeyMayNotWrite) {
  OpenWithCardAt(1, 1);
  CardLevelPage* page = window().page(1);
  Crypto1KeysDialog dialog(*page, 1, 5);
  Controls ui(dialog);
  EXPECT_TRUE(dialog.windowTitle().endsWith(QStringLiteral("\t PLUS LEVEL 1")));
  EXPECT_EQ(ui.newAccess->text(), QStringLiteral("FF 07 80 69"));

  // Block 0 read-only for key A (100), trailer 011: key B rules the trailer.
  ui.authKey->setText(kTextFF);
  ui.newKeyA->setText(kTextA);
  ui.newKeyB->setText(kTextB);
  ChooseData(ui.tables, 0, 2);
  ui.tables->trailerRadio(5)->click();
  dialog.Change();
  ASSERT_EQ(prompts_.messages(), QStringList{LoadMessage(2375)}) << ui.result->text().toStdString();
  EXPECT_EQ(ui.result->text(), LoadMessage(2220));
  ExpectResultsReadAsShown(dialog);

  EXPECT_FALSE(Crypto1Opens(1, 1, false, kFF));
  ASSERT_TRUE(Crypto1Opens(1, 1, false, kNewA));
  std::uint8_t block[16] = {1, 2, 3};
  EXPECT_EQ(page->ReadBlocks(4, block, 16, nullptr), 0);
  EXPECT_NE(page->WriteBlocks(4, block, 16), 0);  // 100: key B only
  ASSERT_TRUE(Crypto1Opens(1, 1, true, kNewB));
  EXPECT_EQ(page->WriteBlocks(4, block, 16), 0);

  // Reading shows the card's rows: the access bits decode back.
  ui.authKey->setText(kTextA);
  dialog.ReadCurrent();
  EXPECT_EQ(ui.tables->cardRows(), (accessbits::Rows{2, 0, 0, 5}));
  EXPECT_TRUE(ui.tables->TrailerRowGreyed(5));
  EXPECT_EQ(ui.currentAccess->text(), ui.newAccess->text());

  // Key A may change nothing under 011: refused before anything is written.
  prompts_.clear();
  trace_->Clear();
  ui.newKeyA->setText(kTextA);
  ui.newKeyB->setText(kTextFF);
  dialog.Change();
  ASSERT_EQ(prompts_.shown().size(), 1u);
  EXPECT_TRUE(prompts_.shown()[0].text.contains(UiText(QStringLiteral("113.keyBColumn"))));
  EXPECT_FALSE(Sent(0x47)) << "a trailer write went out";
  EXPECT_TRUE(Crypto1Opens(1, 1, true, kNewB));

  // Key B may: back to the transport conditions and keys.
  prompts_.clear();
  ui.keyType->setCurrentIndex(1);
  ui.authKey->setText(kTextB);
  ui.newKeyA->setText(kTextFF);
  ChooseData(ui.tables, 0, 0);
  ui.tables->trailerRadio(4)->click();
  dialog.Change();
  EXPECT_EQ(prompts_.messages(), QStringList{LoadMessage(2375)}) << ui.result->text().toStdString();
  EXPECT_TRUE(Crypto1Opens(1, 1, false, kFF));
  EXPECT_FALSE(Crypto1Opens(1, 1, true, kNewB));
}

TEST_F(Crypto1Dialogs, Level2ChangesTheBoundKeys) {
  OpenWithCardAt(2, 2);
  Crypto1KeysDialog dialog(*window().page(2), 1, 5);
  Controls ui(dialog);
  EXPECT_TRUE(dialog.windowTitle().endsWith(QStringLiteral("\t PLUS LEVEL 2")));
  ui.authKey->setText(kTextFF);
  ui.newKeyA->setText(kTextA);
  ui.newKeyB->setText(kTextFF);
  dialog.Change();
  ASSERT_EQ(prompts_.messages(), QStringList{LoadMessage(2375)}) << ui.result->text().toStdString();
  EXPECT_TRUE(Crypto1Opens(2, 1, false, kNewA));
  EXPECT_FALSE(Crypto1Opens(2, 1, false, kFF));
}

TEST_F(Crypto1Dialogs, MalformedFieldsAndFreezingRowsSendNothing) {
  OpenWithCardAt(1, 1);
  Crypto1KeysDialog dialog(*window().page(1), 1, 5);
  Controls ui(dialog);
  QLineEdit* fields[] = {ui.authKey, ui.newKeyA, ui.newKeyB, ui.newAccess};
  const QString good[] = {kTextFF, kTextA, kTextB, QStringLiteral("FF 07 80 69")};
  for (int f = 0; f < 4; ++f) {
    for (const QString& bad :
         {QStringLiteral("A0 A1 A2"), QStringLiteral("A0 A1 A2 A3 A4 A"), QString()}) {
      for (int i = 0; i < 4; ++i) fields[i]->setText(i == f ? bad : good[i]);
      prompts_.clear();
      dialog.Change();
      EXPECT_EQ(prompts_.messages(), QStringList{LoadMessage(2378)}) << f << bad.toStdString();
    }
  }
  ui.authKey->setText(QStringLiteral("FF FF"));
  dialog.ReadCurrent();
  EXPECT_TRUE(trace_->Requests().empty());

  // Mismatched complements are never written.
  for (int i = 0; i < 4; ++i) fields[i]->setText(good[i]);
  ui.newAccess->setText(QStringLiteral("FF 07 81 69"));
  prompts_.clear();
  dialog.Change();
  EXPECT_EQ(ui.result->text(), UiText(QStringLiteral("113.complementMismatch")));
  EXPECT_TRUE(trace_->Requests().empty());

  // Rows that freeze the trailer ask first (No by default): only those rows.
  for (int row = 0; row < 8; ++row) {
    ui.tables->trailerRadio(row)->click();
    prompts_.clear();
    trace_->Clear();
    window().Disconnect();  // nothing could be sent even for a Yes
    dialog.Change();
    const bool asked = !prompts_.shown().isEmpty() &&
                       prompts_.shown()[0].kind == ScriptedPrompts::Shown::Kind::YesNo;
    EXPECT_EQ(asked, accessbits::FreezesTrailer(row, true)) << row;
    window().Connect();
  }
  ui.tables->trailerRadio(7)->click();
  trace_->Clear();
  prompts_.clear();
  dialog.Change();  // answered No
  EXPECT_EQ(prompts_.shown().size(), 1u);
  EXPECT_TRUE(trace_->Requests().empty());
}

TEST_F(Crypto1Dialogs, ActivationAndAuthenticationFailuresAreReported) {
  OpenWithCardAt(1, 1);
  Crypto1KeysDialog dialog(*window().page(1), 1, 5);
  window().Disconnect();
  dialog.ReadCurrent();
  EXPECT_EQ(Controls(dialog).result->text(), ResultText(PackResult(2230, 1950)));
  EXPECT_TRUE(Log().contains(LoadMessage(2230) + QStringLiteral(":")));
  window().Connect();
  Controls(dialog).authKey->setText(kTextA);  // not the card's key
  dialog.ReadCurrent();
  EXPECT_TRUE(Controls(dialog).result->text().startsWith(Line(2170).section(u'%', 0, 0)));
  EXPECT_TRUE(Controls(dialog).currentKeyA->text().isEmpty());
}

// A page whose card answers a trailer write with success but keeps the old
// trailer: the dialog must not report success.
class IgnoringPage : public Level1Page {
 public:
  int WriteBlocks(int, const unsigned char*, int) override { return 0; }
};

TEST_F(Crypto1Dialogs, UnstoredPartsAreReportedAfterTheWrite) {
  OpenWithCardAt(1, 1);
  IgnoringPage page;
  page.setOwner(&window());
  Crypto1KeysDialog dialog(page, 1, 5);
  Controls ui(dialog);
  ui.authKey->setText(kTextFF);
  ui.newKeyA->setText(kTextA);
  ui.newKeyB->setText(kTextFF);
  ChooseData(ui.tables, 1, 1);
  dialog.Change();
  ASSERT_EQ(prompts_.shown().size(), 1u);
  EXPECT_EQ(prompts_.shown()[0].icon, Prompts::Icon::Warning);
  EXPECT_EQ(ui.result->text(), UiText(QStringLiteral("113.notStored"))
                                   .arg(UiText(QStringLiteral("113.keyAColumn")) + ", " +
                                        UiText(QStringLiteral("113.partAccess"))));
}

// A page that writes to the card but afterwards reads only zeros, as a reader
// that loses the answers would: nothing it reads back proves the change.
class BlindAfterWritePage : public Level1Page {
 public:
  int WriteBlocks(int start, const unsigned char* bytes, int length) override {
    written_ = true;
    return Level1Page::WriteBlocks(start, bytes, length);
  }
  int ReadBlocks(int start, unsigned char* buffer, int length, int* bytesRead) override {
    const int status = Level1Page::ReadBlocks(start, buffer, length, bytesRead);
    if (written_ && status == 0) std::fill(buffer, buffer + length, 0);
    return status;
  }

 private:
  bool written_ = false;
};

TEST_F(Crypto1Dialogs, AChangeThatCannotBeReadBackIsNotShownAsDone) {
  OpenWithCardAt(1, 1);
  BlindAfterWritePage page;
  page.setOwner(&window());
  Crypto1KeysDialog dialog(page, 1, 5);
  Controls ui(dialog);
  ui.authKey->setText(kTextFF);
  ui.newKeyA->setText(kTextA);
  ui.newKeyB->setText(kTextFF);
  dialog.Change();
  ASSERT_EQ(prompts_.shown().size(), 1u);
  EXPECT_EQ(prompts_.shown()[0].icon, Prompts::Icon::Warning);
  EXPECT_EQ(
      ui.result->text(),
      UiText(QStringLiteral("113.notVerified")).arg(UiText(QStringLiteral("113.accessUnknown"))));
  ExpectResultsReadAsShown(dialog);
}

// With tips switched on, a dialog attaches the tip window only to fields that
// have a tip of their own; the CRYPTO1 keys dialog has four, all different.
TEST_F(Crypto1Dialogs, TipWindowsOnlyWhereThereIsATip) {
  WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("2")},
            {QStringLiteral("TipEnable"), QStringLiteral("1")}});
  MainWindow& w = Open();
  ASSERT_NE(w.TipWindow(), nullptr);
  auto attachedTips = [](QDialog& d) {
    QStringList texts;
    for (QWidget* child : d.findChildren<QWidget*>()) {
      HoverTip* tip = nullptr;
      if (auto* edit = dynamic_cast<TipHexEdit*>(child)) tip = &edit->Tip();
      if (auto* combo = dynamic_cast<HexBytesCombo*>(child)) tip = &combo->Tip();
      if (auto* combo = dynamic_cast<TipCombo*>(child)) tip = &combo->Tip();
      if (auto* combo = dynamic_cast<TipAddressCombo*>(child)) tip = &combo->Tip();
      if (auto* button = dynamic_cast<TipButton*>(child)) tip = &button->Tip();
      if (tip != nullptr && tip->window() != nullptr) texts << tip->text();
    }
    return texts;
  };
  const auto expectOnlyRealTips = [&](QDialog& d, qsizetype count) {
    SCOPED_TRACE(d.metaObject()->className());
    const QStringList texts = attachedTips(d);
    EXPECT_EQ(texts.size(), count);
    for (const QString& text : texts) {
      EXPECT_FALSE(text.isEmpty());
      EXPECT_NE(text, QStringLiteral("Hello!"));
    }
  };
  Crypto1KeysDialog keys(*w.page(1), 1, 5);
  expectOnlyRealTips(keys, 4);
  const QStringList keyTips = attachedTips(keys);
  EXPECT_EQ(QSet<QString>(keyTips.begin(), keyTips.end()).size(), 4);
  AccessConditionsDialog access(*w.page(3), 1, 5);
  expectOnlyRealTips(access, 0);
  for (int templateId : {110, 115, 116, 117}) {
    AesKeyDialog aes(templateId, w, 2);
    expectOnlyRealTips(aes, 0);
  }
  FieldConfigDialog field(w);
  expectOnlyRealTips(field, 3);  // the three capability bytes
  MfpConfigDialog mfp(w);
  expectOnlyRealTips(mfp, 1);
}

TEST_F(Crypto1Dialogs, SectorChangeForgetsTheCardAndEnterDoesNothing) {
  OpenWithCardAt(1, 1);
  Crypto1KeysDialog dialog(*window().page(1), 31, 5);
  Controls ui(dialog);
  ui.authKey->setText(kTextFF);
  dialog.ReadCurrent();
  EXPECT_EQ(ui.tables->cardRows(), (accessbits::Rows{0, 0, 0, 4}));
  EXPECT_TRUE(ui.tables->TrailerRowGreyed(4));
  EXPECT_EQ(ui.currentAccess->text(), QStringLiteral("FF 07 80 69"));
  EXPECT_EQ(ui.tables->tabs()->tabText(2), LoadMessage(2350));
  dialog.show();
  QCoreApplication::processEvents();
  const QDir out(QStringLiteral(QUILLON_TEST_OUTPUT_DIR));
  ASSERT_TRUE(out.mkpath(QStringLiteral(".")));
  EXPECT_TRUE(dialog.grab().toImage().save(out.filePath(QStringLiteral("crypto1_read.png"))));

  ui.sector->setCurrentIndex(32);
  EXPECT_EQ(ui.tables->tabs()->tabText(2), LoadMessage(2365));
  EXPECT_TRUE(ui.currentAccess->text().isEmpty());
  EXPECT_FALSE(ui.tables->TrailerRowGreyed(4));
  EXPECT_FALSE(ui.tables->trailerRadio(4)->isChecked());

  trace_->Clear();
  ui.change->setFocus();
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QCoreApplication::sendEvent(ui.change, &enter);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_TRUE(trace_->Requests().empty());
  EXPECT_TRUE(prompts_.shown().isEmpty());
}

// --------------------------------------------------------------- Level 3 --

TEST_F(Crypto1Dialogs, Level3AccessChangeTakesEffectAndKeepsTheOtherBytes) {
  OpenWithCardAt(3, 3);
  AccessConditionsDialog dialog(*window().page(3), 5, 5);
  Controls ui(dialog);
  EXPECT_EQ(ui.newAccess->text(), QStringLiteral("0F FF 07 80 69"));
  ui.authKey->setText(kTextFF16);
  int code = 0;
  ASSERT_EQ(window().Activate(1, &code, nullptr, nullptr), 1);
  ASSERT_EQ(PLUSSL3FirstAuth(0x400A, kFF.data()), 0);
  std::uint8_t before[16] = {};
  ASSERT_EQ(PLUSSL3Read(0x31, 23, 1, before), 0);

  // Block 0 read-only (010), trailer 011 (access bits by key B), block 3 not in plain.
  ChooseData(ui.tables, 0, 1);
  ui.tables->trailerRadio(5)->click();
  ui.plain3->click();
  EXPECT_EQ(ui.newAccess->text().left(2), QStringLiteral("87"));
  dialog.Change();
  ASSERT_EQ(prompts_.messages(), QStringList{LoadMessage(2375)}) << ui.result->text().toStdString();

  ASSERT_EQ(window().Activate(1, &code, nullptr, nullptr), 1);
  ASSERT_EQ(PLUSSL3FirstAuth(0x400A, kFF.data()), 0);
  std::uint8_t after[16] = {}, data[16] = {};
  ASSERT_EQ(PLUSSL3Read(0x31, 23, 1, after), 0);
  EXPECT_EQ(std::memcmp(before, after, 5), 0);
  EXPECT_EQ(std::memcmp(before + 10, after + 10, 6), 0);
  EXPECT_EQ(after[5], 0x87);
  EXPECT_EQ(PLUSSL3Read(0x31, 20, 1, data), 0);
  EXPECT_NE(PLUSSL3Write(0xA1, 20, 1, data), 0);  // 010: read only
  EXPECT_NE(PLUSSL3Read(0x33, 23, 1, data), 0);   // trailer no longer in plain

  // The plain read of the trailer now fails: shown as a read failure.
  dialog.ReadCurrent();
  EXPECT_TRUE(ui.status->text().startsWith(UiText(QStringLiteral("113.readFailed"))))
      << ui.status->text().toStdString();

  // Key A may no longer change the access bits: refused, nothing written.
  static_cast<Level3Page*>(window().page(3))->encryptedBox()->setChecked(true);
  dialog.ReadCurrent();
  EXPECT_EQ(ui.tables->cardRows(), (accessbits::Rows{1, 0, 0, 5}));
  prompts_.clear();
  trace_->Clear();
  ui.tables->trailerRadio(4)->click();
  dialog.Change();
  ASSERT_EQ(prompts_.shown().size(), 1u);
  EXPECT_TRUE(ui.result->text().contains(UiText(QStringLiteral("113.partAccess"))));
  EXPECT_FALSE(SentLevel3Write());
  // Key B may.
  prompts_.clear();
  ui.keyType->setCurrentIndex(1);
  dialog.Change();
  EXPECT_EQ(prompts_.messages(), QStringList{LoadMessage(2375)}) << ui.result->text().toStdString();
  ExpectResultsReadAsShown(dialog);
}

TEST_F(Crypto1Dialogs, Level3SCardCheckRunsAfterTheActivation) {
  ScopedEnv reader("HOLLINK_READER", "sim:seed=1,variant=S4K4");
  OpenWithCardAt(3, 3);
  AccessConditionsDialog dialog(*window().page(3), 5, 5);
  Controls ui(dialog);
  ui.authKey->setText(kTextFF16);
  ui.plain2->click();  // variant unknown yet: the box stays clear
  EXPECT_FALSE(ui.plain2->isChecked());
  dialog.Change();
  EXPECT_EQ(dialog.cardVariant(), 1);
  EXPECT_TRUE(ui.plain2->isChecked());
  EXPECT_EQ(ui.status->text(), LoadMessage(2393));
  EXPECT_FALSE(SentLevel3Write());
  EXPECT_TRUE(prompts_.shown().isEmpty());
}

TEST_F(Crypto1Dialogs, Level3MalformedInputAndFailuresSendNothing) {
  OpenWithCardAt(3, 3);
  AccessConditionsDialog dialog(*window().page(3), 5, 5);
  Controls ui(dialog);
  ui.authKey->setText(QStringLiteral("FF FF FF"));
  dialog.Change();
  dialog.ReadCurrent();
  EXPECT_EQ(prompts_.messages(), (QStringList{LoadMessage(2378), LoadMessage(2378)}));
  ui.authKey->setText(kTextFF16);
  ui.newAccess->setText(QStringLiteral("0F FF 07 81 69"));
  dialog.Change();
  EXPECT_EQ(ui.result->text(), UiText(QStringLiteral("113.complementMismatch")));
  ui.newAccess->setText(QStringLiteral("0F FF 07 80 69"));
  ui.tables->trailerRadio(0)->click();  // 000 freezes the access bits
  prompts_.clear();
  dialog.Change();
  ASSERT_EQ(prompts_.shown().size(), 1u);
  EXPECT_EQ(prompts_.shown()[0].kind, ScriptedPrompts::Shown::Kind::YesNo);
  EXPECT_TRUE(trace_->Requests().empty());

  window().Disconnect();
  ui.tables->trailerRadio(4)->click();
  dialog.Change();
  EXPECT_EQ(ui.status->text(), LoadMessage(2230) + QStringLiteral(":") + Line(1950));
}

// ------------------------------------------------------ menus and renders --

// Runs a menu command and returns the title of the modal dialog it opened
// (closing it at once).
QString OpenedTitle(MainWindow& w, int command) {
  QString title;
  QTimer::singleShot(0, [&title] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      title = modal->windowTitle();
      modal->close();
    }
  });
  w.RunCommand(command);
  return title;
}

TEST_F(Crypto1Dialogs, MenuItemsOpenTheDialogsInEnglishAndChinese) {
  for (Language language : {Language::SimplifiedChinese, Language::English}) {
    SetLanguage(language);
    MainWindow& w = Open();
    const QString keys = UiText(QStringLiteral("113.title"));
    const QString access = UiText(QStringLiteral("148.title"));
    EXPECT_EQ(OpenedTitle(w, 1935), keys + QStringLiteral("\t PLUS LEVEL 1"));
    EXPECT_EQ(OpenedTitle(w, 1955), keys + QStringLiteral("\t PLUS LEVEL 2"));
    EXPECT_EQ(OpenedTitle(w, 32822), access + QStringLiteral("\t PLUS LEVEL 3"));
    EXPECT_FALSE(Log().contains(NotAvailableText(MenuCommandText(1935))));
  }
  EXPECT_EQ(UiText(QStringLiteral("113.title")), QStringLiteral("Change keys"));
}

TEST_F(Crypto1Dialogs, DialogsRenderToPng) {
  MainWindow& w = Open();
  const QDir out(QStringLiteral(QUILLON_TEST_OUTPUT_DIR));
  ASSERT_TRUE(out.mkpath(QStringLiteral(".")));
  Crypto1KeysDialog keys(*w.page(1), 33, 5);
  AccessConditionsDialog access(*w.page(3), 2, 5);
  for (QDialog* dialog : {static_cast<QDialog*>(&keys), static_cast<QDialog*>(&access)}) {
    dialog->show();
    QCoreApplication::processEvents();
    const QImage image = dialog->grab().toImage();
    ASSERT_GE(image.width(), 400);
    ASSERT_GE(image.height(), 300);
    const QString path = out.filePath(dialog->objectName() + QStringLiteral(".png"));
    EXPECT_TRUE(image.save(path)) << path.toStdString();
  }
  EXPECT_EQ(Controls(keys).tables->tabs()->tabText(0), LoadMessage(2355));
}

}  // namespace
