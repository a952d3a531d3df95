// The AES key change dialogs and the MFP and field configuration dialogs
// against the simulated card: a change takes effect on the card, refused input
// sends nothing, a failed step stops the sequence and is reported as that step.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <array>
#include <functional>

#include "accessible_check.h"
#include "core/card_text.h"
#include "core/change_sequence.h"
#include "gui/change_fields.h"
#include "gui/dialogs/aes_key_dialog.h"
#include "gui/dialogs/field_config_dialog.h"
#include "gui/dialogs/mfp_config_dialog.h"
#include "gui/hex_controls.h"
#include "gui/level_pages.h"
#include "window_fixture.h"

#ifndef QUILLON_TEST_OUTPUT_DIR
#define QUILLON_TEST_OUTPUT_DIR "."
#endif

namespace {

using Block = std::array<unsigned char, 16>;
Block Filled(unsigned char b) {
  Block k;
  k.fill(b);
  return k;
}
const Block kFF = Filled(0xFF);
const Block kNewKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                       0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0};
QString Hex(const Block& b) {
  return hextext::FormatBytes(b.data(), 16);
}
const QString kFFText = Hex(kFF);

class AesDialogs : public TracedWindowTest {
 protected:
  // The window on the tab of `level` with a fresh card taken to that level
  // (every key 0xFF); the trace starts empty.
  void OpenWithCardAt(int level) {
    WriteIni({{QStringLiteral("DefaultPage"), QString::number(level)}});
    MainWindow& w = Open();
    ASSERT_TRUE(w.IsConnected());
    int code = 0;
    ASSERT_EQ(w.Activate(1, &code, nullptr, nullptr), 1) << code;
    for (int address : {0x9000, 0x9001, 0x9002, 0x9003}) {
      ASSERT_EQ(PLUSWritePersoTCL(static_cast<unsigned short>(address), kFF.data()), 0);
    }
    ASSERT_EQ(PLUSCommitPersoTCL(), 0);
    ASSERT_EQ(w.Activate(1, &code, nullptr, nullptr), 1) << code;
    ASSERT_EQ(PLUSSL3FirstAuth(level == 2 ? 0x9002 : 0x9003, kFF.data()), 0);
    ASSERT_EQ(w.Activate(0, &code, nullptr, nullptr), 1) << code;
    trace_->Clear();
  }

  // The card's verdict on a key after a fresh activation.
  int AuthWith(int address, const Block& key) {
    int code = 0;
    if (window().Activate(1, &code, nullptr, nullptr) != 1) return -code;
    return PLUSSL3FirstAuth(static_cast<unsigned short>(address), key.data());
  }
  // A configuration block read back under the key that may write it (Level 3).
  Block ReadBack(int address, int keyAddress) {
    Block data{};
    EXPECT_EQ(AuthWith(keyAddress, kFF), 0);
    EXPECT_EQ(PLUSSL3Read(0x31, static_cast<unsigned short>(address), 1, data.data()), 0);
    return data;
  }

  std::unique_ptr<QDialog> Make(int templateId, int level) {
    switch (templateId) {
      case 119:
        return std::make_unique<MfpConfigDialog>(window(), &window());
      case 120:
        return std::make_unique<FieldConfigDialog>(window(), &window());
      default:
        return std::make_unique<AesKeyDialog>(templateId, window(), level, &window());
    }
  }
  static void Click(QDialog& d) {
    d.findChild<QPushButton*>(QStringLiteral("changeButton"))->click();
  }
  static QString Result(QDialog& d) {
    return d.findChild<QLabel*>(QStringLiteral("resultLabel"))->text();
  }
  // First bytes of the card commands sent through the T=CL transfer.
  std::vector<int> CardCodes() const {
    std::vector<int> codes;
    for (const QByteArray& f : trace_->Requests()) {
      if (f.size() > 3 && static_cast<unsigned char>(f[1]) == 0x94)
        codes.push_back(static_cast<unsigned char>(f[3]));
    }
    return codes;
  }
  static bool Has(const std::vector<int>& codes, int code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }
};

TEST_F(AesDialogs, NewKeyAuthenticatesAndOldOneIsRefused) {
  struct Case {
    int templateId, level;
    const char* address;  // template 110's address field
    int changed;          // key address that holds the new key afterwards
  };
  const Case cases[] = {
      {110, 3, "0x4003", 0x4003}, {110, 2, "0x4005", 0x4005}, {115, 3, "", 0x9000},
      {115, 2, "", 0x9000},       {116, 2, "", 0x9003},       {117, 3, "", 0x9001},
      {117, 2, "", 0x9001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.templateId << " at Level " << c.level);
    OpenWithCardAt(c.level);
    AesKeyDialog d(c.templateId, window(), c.level, &window());
    if (c.templateId == 110) d.addressBox()->setEditText(QString::fromLatin1(c.address));
    d.authKeyBox()->setEditText(kFFText);
    d.newKeyBox()->setEditText(Hex(kNewKey));
    d.changeButton()->click();
    EXPECT_EQ(d.resultLabel()->text(), LoadMessage(2220));
    EXPECT_TRUE(d.infoLabel()->text().startsWith(QStringLiteral("UID: 0x")));
    ExpectResultsReadAsShown(d);
    // Activation, authentication at the key that authorizes the change, one
    // encrypted key write, and the fresh activation after it.
    const std::vector<int> codes = CardCodes();
    EXPECT_TRUE(Has(codes, 0x70));
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0xA1), 1);
    EXPECT_NE(AuthWith(c.changed, kFF), 0);
    EXPECT_EQ(AuthWith(c.changed, kNewKey), 0);  // last: 0x9003 switches the card
  }
}

TEST_F(AesDialogs, LevelTwoSectorKeyChangeKeepsTheRememberedAuthenticationWorking) {
  OpenWithCardAt(2);
  TheAesAuthMemory() = AesAuthMemory{true, 0x4004, {}};
  TheAesAuthMemory().key = kFF;
  for (const char* address : {"0x4004", "0x4006"}) {
    AesKeyDialog d(110, window(), 2, &window());
    d.addressBox()->setEditText(QString::fromLatin1(address));
    d.authKeyBox()->setEditText(kFFText);
    d.newKeyBox()->setEditText(Hex(kNewKey));
    d.changeButton()->click();
    ASSERT_EQ(d.resultLabel()->text(), LoadMessage(2220)) << address;
  }
  // Only the remembered key follows its change; block writes never carried a key.
  EXPECT_EQ(TheAesAuthMemory().keyAddress, 0x4004);
  EXPECT_EQ(TheAesAuthMemory().key, kNewKey);
  EXPECT_FALSE(Has(CardCodes(), 0xA8));
  int code = 0;
  ASSERT_EQ(window().Activate(0, &code, nullptr, nullptr), 1);
  EXPECT_EQ(window().page(2)->Authenticate(2, kKeyTypeL2A, 0, kFF.data(), &code, 0), 1) << code;
}

TEST_F(AesDialogs, RefusedInputSendsNothing) {
  const QString wrongLength = LoadMessage(2378);
  const QString range = UiText(QStringLiteral("110.addressRange"));
  const QString fifteen = kFFText.left(44);
  const QString halfByte = kFFText.left(46);
  struct Case {
    int templateId;
    std::function<void(QDialog*)> edit;
    QString message;
  };
  auto key = [](QDialog* d) { return static_cast<AesKeyDialog*>(d); };
  auto mfp = [](QDialog* d) { return static_cast<MfpConfigDialog*>(d); };
  auto fcb = [](QDialog* d) { return static_cast<FieldConfigDialog*>(d); };
  auto caps = [fcb](QDialog* d, const char* a, const char* b, const char* c) {
    fcb(d)->capabilityEdit(0)->setText(QString::fromLatin1(a));
    fcb(d)->capabilityEdit(1)->setText(QString::fromLatin1(b));
    fcb(d)->capabilityEdit(2)->setText(QString::fromLatin1(c));
  };
  const Case cases[] = {
      // Card keys through the sector key dialog: the switch keys act on authentication.
      {110, [&](QDialog* d) { key(d)->addressBox()->setEditText(QStringLiteral("0x9003")); },
       range},
      {110, [&](QDialog* d) { key(d)->addressBox()->setEditText(QStringLiteral("0x9002")); },
       range},
      {110, [&](QDialog* d) { key(d)->addressBox()->setEditText(QStringLiteral("0x4050")); },
       range},
      {110, [&](QDialog* d) { key(d)->addressBox()->setEditText(QString()); }, range},
      {110, [&](QDialog* d) { key(d)->newKeyBox()->setEditText(fifteen); }, wrongLength},
      {110, [&](QDialog* d) { key(d)->authKeyBox()->setEditText(halfByte); }, wrongLength},
      {115, [&](QDialog* d) { key(d)->authKeyBox()->setEditText(QString()); }, wrongLength},
      {116, [&](QDialog* d) { key(d)->newKeyBox()->setEditText(fifteen); }, wrongLength},
      {117, [&](QDialog* d) { key(d)->newKeyBox()->setEditText(halfByte); }, wrongLength},
      // The count is one whole hexadecimal byte or nothing is sent.
      {119, [&](QDialog* d) { mfp(d)->countEdit()->setText(QString()); }, wrongLength},
      {119, [&](QDialog* d) { mfp(d)->countEdit()->setText(QStringLiteral("1")); }, wrongLength},
      {119, [&](QDialog* d) { mfp(d)->masterKeyBox()->setEditText(fifteen); }, wrongLength},
      // No capability byte silently becomes 0x00.
      {120, [&](QDialog* d) { caps(d, "0B", "", "00"); }, wrongLength},
      {120, [&](QDialog* d) { caps(d, "B", "00", "00"); }, wrongLength},
      {120, [&](QDialog*) {}, wrongLength},  // the fields start empty
      {120,
       [&](QDialog* d) {
         caps(d, "0B", "00", "00");
         fcb(d)->configKeyBox()->setEditText(fifteen);
       },
       wrongLength},
  };
  OpenWithCardAt(3);
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << index++ << ", template " << c.templateId);
    prompts_.clear();
    trace_->Clear();
    std::unique_ptr<QDialog> d = Make(c.templateId, 3);
    const QString before = Result(*d);
    c.edit(d.get());
    Click(*d);
    EXPECT_EQ(prompts_.messages(), QStringList{c.message});
    ASSERT_FALSE(prompts_.shown().isEmpty());
    EXPECT_EQ(prompts_.shown().first().caption, LoadMessage(2379));
    EXPECT_TRUE(trace_->Requests().empty());
    EXPECT_EQ(Result(*d), before);
  }
}

TEST_F(AesDialogs, FailedStepStopsTheSequenceAndIsReportedAsThatStep) {
  OpenWithCardAt(3);
  const Block wrong = Filled(0x3A);
  struct Case {
    int templateId;
    int message;  // step reported
  };
  // A wrong authentication key: nothing is written after the refusal.
  for (const Case& c :
       {Case{110, 2225}, Case{115, 182}, Case{117, 182}, Case{119, 182}, Case{120, 182}}) {
    SCOPED_TRACE(c.templateId);
    trace_->Clear();
    std::unique_ptr<QDialog> d = Make(c.templateId, 3);
    if (auto* k = dynamic_cast<AesKeyDialog*>(d.get())) k->authKeyBox()->setEditText(Hex(wrong));
    if (auto* f = dynamic_cast<FieldConfigDialog*>(d.get())) {
      for (int i = 0; i < 3; ++i) f->capabilityEdit(i)->setText(QStringLiteral("00"));
    }
    Click(*d);
    // The card's authentication error (0xB6) is the cause; it is also the text
    // of 182, so that member shows it once.
    EXPECT_EQ(Result(*d), ResultText(PackResult(c.message, 0xB6)));
    EXPECT_TRUE(Has(CardCodes(), 0x70));
    EXPECT_FALSE(Has(CardCodes(), 0xA1));
  }
  EXPECT_EQ(AuthWith(0x9000, kFF), 0);  // the card keeps its keys

  // Level 2 sector keys stop at 0x403F: refused as a failed change, nothing sent.
  {
    trace_->Clear();
    AesKeyDialog d(110, window(), 2, &window());
    d.addressBox()->setEditText(QStringLiteral("0x4040"));
    d.changeButton()->click();
    EXPECT_EQ(d.resultLabel()->text(), ResultText(PackResult(2225, 2305)));
    EXPECT_TRUE(trace_->Requests().empty());
  }

  // A failed activation is reported with its reason and nothing follows it.
  window().Disconnect();
  trace_->Clear();
  for (int templateId : {110, 116, 119}) {
    std::unique_ptr<QDialog> d = Make(templateId, 3);
    if (auto* k = dynamic_cast<AesKeyDialog*>(d.get())) k->authKeyBox()->setEditText(kFFText);
    Click(*d);
    EXPECT_EQ(Result(*d), LoadMessage(2230) + u'\n' + LoadMessage(1950)) << templateId;
  }
  EXPECT_TRUE(trace_->Requests().empty());

  // Causes from 32768 up (registered texts, codes of the message registry)
  // survive the packing and show with their text.
  QLabel result, info;
  const int registered = RegisterMessage(QStringLiteral("cause text"));
  ShowChangeOutcome(PackResult(2230, registered), QStringLiteral("card"), &result, &info);
  EXPECT_EQ(result.text(), LoadMessage(2230) + QStringLiteral("\ncause text"));
  EXPECT_EQ(ResultCause(PackResult(2225, 0xFFFF)), 0xFFFF);
  EXPECT_EQ(ResultMessage(PackResult(2225, 0xFFFF)), 2225);
  EXPECT_EQ(info.text(), QStringLiteral("card"));
}

TEST_F(AesDialogs, ConfigurationBlocksHoldTheBytesWritten) {
  OpenWithCardAt(3);
  struct MfpCase {
    const char* count;
    int clearedGroup;  // -1: all four plain-read flags set
    Block expected;
  };
  const MfpCase mfpCases[] = {
      {"00", -1, {0x00, 0x0F}},
      {"00", 3, {0x00, 0x87}},
      {"12", -1, {0x12, 0x0F}},  // hexadecimal, as the field shows it
      {"1A", 0, {0x1A, 0x1E}},
  };
  for (const MfpCase& c : mfpCases) {
    SCOPED_TRACE(c.count);
    MfpConfigDialog d(window(), &window());
    d.masterKeyBox()->setEditText(kFFText);
    d.countEdit()->setText(QString::fromLatin1(c.count));
    if (c.clearedGroup >= 0) d.plainReadBox(c.clearedGroup)->setChecked(false);
    d.changeButton()->click();
    ASSERT_EQ(d.resultLabel()->text(), LoadMessage(2220));
    ExpectResultsReadAsShown(d);
    EXPECT_EQ(ReadBack(0xB000, 0x9000), c.expected);
  }

  FieldConfigDialog d(window(), &window());
  d.configKeyBox()->setEditText(kFFText);
  d.randomIdBox()->setChecked(true);
  d.capabilityEdit(0)->setText(QStringLiteral("0B"));
  d.capabilityEdit(1)->setText(QStringLiteral("01"));
  d.capabilityEdit(2)->setText(QStringLiteral("02"));
  d.changeButton()->click();
  ASSERT_EQ(d.resultLabel()->text(), LoadMessage(2220));
  ExpectResultsReadAsShown(d);
  const Block fcb = {0x00, 0xAA, 0x55, 0x00, 0x0B, 0, 0, 0, 0, 0x01, 0x02};
  EXPECT_EQ(ReadBack(0xB003, 0x9001), fcb);

  // Demanding a proximity check locks this program out of the card: only
  // after a Yes does it go out.
  d.proximityBox()->setChecked(true);
  trace_->Clear();
  prompts_.QueueYesNo(false);
  d.changeButton()->click();
  EXPECT_TRUE(trace_->Requests().empty());
  EXPECT_EQ(ReadBack(0xB003, 0x9001), fcb);
}

TEST_F(AesDialogs, LevelTwoConfigurationWriteShowsAfterTheSwitch) {
  OpenWithCardAt(2);
  MfpConfigDialog d(window(), &window());
  d.masterKeyBox()->setEditText(kFFText);
  d.countEdit()->setText(QStringLiteral("04"));
  d.plainReadBox(1)->setChecked(false);
  d.changeButton()->click();
  ASSERT_EQ(d.resultLabel()->text(), LoadMessage(2220));
  ASSERT_EQ(AuthWith(0x9003, kFF), 0);  // to Level 3, where the block can be read
  window().SelectLevel(3);
  const Block expected = {0x04, 0x2D};
  EXPECT_EQ(ReadBack(0xB000, 0x9000), expected);
}

TEST_F(AesDialogs, MenuItemsOpenTheirDialogsInEnglishAndChinese) {
  struct Item {
    int command, level, templateId;
  };
  const Item items[] = {{1945, 2, 110},  {2075, 2, 115},  {2080, 2, 116},  {2090, 2, 117},
                        {2105, 2, 119},  {2120, 2, 120},  {32825, 3, 110}, {32823, 3, 115},
                        {32824, 3, 117}, {32826, 3, 119}, {32827, 3, 120}};
  QString chineseTitle;
  for (Language language : {Language::SimplifiedChinese, Language::English}) {
    SetLanguage(language);
    MainWindow& w = Open();
    for (const Item& item : items) {
      SCOPED_TRACE(testing::Message()
                   << item.command << " in " << LanguageName(language).toStdString());
      w.SelectLevel(item.level);
      QAction* action = w.action(item.command);
      ASSERT_NE(action, nullptr);
      ASSERT_TRUE(action->isEnabled());
      QString title, button;
      QTimer::singleShot(0, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) return;
        title = modal->windowTitle();
        if (auto* b = modal->findChild<QPushButton*>(QStringLiteral("changeButton")))
          button = b->text();
        modal->close();
      });
      action->trigger();
      const QString expected = UiText(QStringLiteral("%1.title").arg(item.templateId));
      EXPECT_FALSE(expected.isEmpty());
      EXPECT_EQ(title, expected);
      EXPECT_FALSE(button.isEmpty());
      if (item.templateId == 110) {
        if (language == Language::SimplifiedChinese) chineseTitle = title;
        if (language == Language::English) {
          EXPECT_NE(title, chineseTitle);
        }
      }
    }
    window_.reset();
  }
}

TEST_F(AesDialogs, DialogsRenderWithLabelledControlsAndIgnoreEnter) {
  OpenWithCardAt(3);
  const QDir out(QStringLiteral(QUILLON_TEST_OUTPUT_DIR));
  ASSERT_TRUE(out.mkpath(QStringLiteral(".")));
  for (int templateId : {110, 115, 116, 117, 119, 120}) {
    SCOPED_TRACE(templateId);
    std::unique_ptr<QDialog> d = Make(templateId, templateId == 116 ? 2 : 3);
    d->show();
    QCoreApplication::processEvents();
    const QImage image = d->grab().toImage();
    ASSERT_FALSE(image.isNull());
    EXPECT_GE(image.width(), 300);
    EXPECT_TRUE(image.save(out.filePath(QStringLiteral("dialog_%1.png").arg(templateId))));
    // Every shown field is reachable by its label or its own name.
    QList<QWidget*> named;
    for (QLabel* label : d->findChildren<QLabel*>()) {
      if (label->buddy() != nullptr) named.append(label->buddy());
    }
    for (QWidget* field : d->findChildren<QWidget*>()) {
      if (!field->isVisible() || (!field->inherits("QComboBox") && !field->inherits("QLineEdit")))
        continue;
      if (field->parentWidget()->inherits("QComboBox")) continue;  // a combo's own edit
      EXPECT_TRUE(named.contains(field) || !field->accessibleName().isEmpty())
          << field->objectName().toStdString();
    }
    // Enter neither closes the dialog nor changes the card.
    trace_->Clear();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(d.get(), &enter);
    QCoreApplication::processEvents();
    EXPECT_TRUE(d->isVisible());
    EXPECT_TRUE(trace_->Requests().empty());
  }
}

}  // namespace
