// The virtual card configuration dialog and the virtual card dialog against the
// simulated card: configuring a virtual card, then checking, identifying,
// selecting and deselecting it, and what each refuses or reports on failure.
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <array>

#include "accessible_check.h"
#include "core/card_text.h"
#include "core/change_sequence.h"
#include "core_qt_print.h"
#include "gui/dialogs/virtual_card_config_dialog.h"
#include "gui/dialogs/virtual_card_dialog.h"
#include "gui/hex_controls.h"
#include "gui/level_pages.h"
#include "window_fixture.h"

#ifndef QUILLON_TEST_OUTPUT_DIR
#define QUILLON_TEST_OUTPUT_DIR "."
#endif

namespace {

const QString kFFKey = QStringLiteral("FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF");

class VCard : public TracedWindowTest {
 protected:
  // Opens the window on the Level 3 tab with a fresh card (all keys 0xFF) at Level 3.
  void OpenAtLevelThree() {
    WriteIni({{QStringLiteral("DefaultPage"), QStringLiteral("3")}});
    MainWindow& w = Open();
    ASSERT_TRUE(w.IsConnected());
    std::array<unsigned char, 16> ff;
    ff.fill(0xFF);
    int code = 0;
    ASSERT_EQ(w.Activate(1, &code, nullptr, nullptr), 1) << code;
    for (int address : {0x9000, 0x9001, 0x9002, 0x9003})
      ASSERT_EQ(PLUSWritePersoTCL(static_cast<unsigned short>(address), ff.data()), 0);
    ASSERT_EQ(PLUSCommitPersoTCL(), 0);
    ASSERT_EQ(w.Activate(1, &code, nullptr, nullptr), 1) << code;
    ASSERT_EQ(PLUSSL3FirstAuth(0x9003, ff.data()), 0);
    ASSERT_EQ(w.Activate(1, &code, nullptr, nullptr), 1) << code;
    trace_->Clear();
  }

  // Writes IID 02, ENC key 5C.., MAC key 3A.. and the selection key through
  // the configuration dialog and expects each change to succeed.
  void Configure() {
    VirtualCardConfigDialog dialog(window());
    dialog.masterKeyBox()->setEditText(kFFKey);
    dialog.configKeyBox()->setEditText(kFFKey);
    dialog.iidBox()->setCurrentIndex(1);
    dialog.macKeyBox()->setCurrentIndex(1);
    const std::pair<VirtualCardConfigDialog::Change, QString> changes[] = {
        {VirtualCardConfigDialog::kChangeIid, QString()},
        {VirtualCardConfigDialog::kChangeSelectionKey, LoadMessage(2245)},
        {VirtualCardConfigDialog::kChangeEncKey, LoadMessage(2250)},
        {VirtualCardConfigDialog::kChangeMacKey, LoadMessage(2255)},
    };
    for (const auto& [change, name] : changes) {
      dialog.button(change)->click();
      EXPECT_EQ(dialog.resultLabel()->text(), name + QStringLiteral("修改成功"));
      EXPECT_EQ(dialog.cardInfoLabel()->text(), window().cardInfo());
      ExpectResultsReadAsShown(dialog);
    }
  }

  Level3Page* LevelThree() { return static_cast<Level3Page*>(window().page(3)); }
  VirtualCardDialog* Dialog() {
    return static_cast<VirtualCardDialog*>(LevelThree()->virtualCardDialog());
  }
  // The dialog with IID 02, ENC key 5C.. and MAC key 3A.. chosen.
  VirtualCardDialog* ConfiguredDialog() {
    VirtualCardDialog* d = Dialog();
    d->iidBox()->setCurrentIndex(1);
    d->macKeyBox()->setCurrentIndex(1);
    return d;
  }
  QString RunText(VirtualCardDialog* d, VirtualCardDialog::Command command) {
    d->button(command)->click();
    return d->resultLabel()->text();
  }

  // The card's UID as the activation text shows it, last byte first, put back in order.
  QString CardUid() const {
    QString hex = window_->cardInfo().section(QStringLiteral("UID: 0x"), 1).section(u' ', 0, 0);
    QStringList bytes;
    for (int i = static_cast<int>(hex.size()) - 2; i >= 0; i -= 2) bytes << hex.mid(i, 2);
    QString text = bytes.join(u' ');
    if (bytes.size() > 4) text.insert(12, QStringLiteral("  "));
    return text;
  }
};

TEST_F(VCard, ConfiguredCardAnswersEveryCommandAfterLevelThreeWork) {
  OpenAtLevelThree();
  Configure();
  // Level 3 work first: the main window's authentication and a read.
  window().RunCommand(MainWindow::kAuthenticate);
  ASSERT_EQ(Entries().last(), LoadMessage(2150));
  window().RunCommand(MainWindow::kReadBlocks);
  ASSERT_TRUE(Entries().last().startsWith(
      FormatMessage(2085, 3, window().BlockAddress(MainWindow::BlockBox::Block), 1)))
      << Entries().last().toStdString();

  // A screen reader's toggle action opens the dialog as a click does.
  ASSERT_NO_FATAL_FAILURE(ToggleAccessibly(LevelThree()->virtualCardBox()));
  VirtualCardDialog* d = ConfiguredDialog();
  ASSERT_TRUE(d->isVisible());
  EXPECT_EQ(RunText(d, VirtualCardDialog::kSupport), LoadMessage(2381));
  EXPECT_EQ(RunText(d, VirtualCardDialog::kGetUid), LoadMessage(2385));
  EXPECT_EQ(d->cardInfoLabel()->text(), CardUid());
  ExpectResultsReadAsShown(*d);
  EXPECT_NE(d->cryptogram(), (std::array<std::uint8_t, 16>{}));
  EXPECT_EQ(RunText(d, VirtualCardDialog::kSelect), LoadMessage(2383));
  EXPECT_EQ(RunText(d, VirtualCardDialog::kDeselect), LoadMessage(2387));
  EXPECT_TRUE(d->cardInfoLabel()->text().isEmpty());
}

TEST_F(VCard, ChangesAuthenticateAndWriteTheirOwnAddressesOnly) {
  OpenAtLevelThree();
  Configure();
  // First Authenticate (0x70) and the encrypted write (0xA1), with their addresses.
  std::vector<std::pair<int, int>> sent;
  for (const QByteArray& f : trace_->Requests()) {
    if (f.size() < 6 || static_cast<unsigned char>(f[1]) != 0x94) continue;
    const int code = static_cast<unsigned char>(f[3]);
    const int address = static_cast<unsigned char>(f[4]) | static_cast<unsigned char>(f[5]) << 8;
    if (code == 0x70 || code == 0xA1) sent.emplace_back(code, address);
  }
  const std::vector<std::pair<int, int>> expected = {{0x70, 0x9000}, {0xA1, 0xB001}, {0x70, 0x9001},
                                                     {0xA1, 0xA000}, {0x70, 0x9001}, {0xA1, 0xA080},
                                                     {0x70, 0x9001}, {0xA1, 0xA081}};
  EXPECT_EQ(sent, expected);
}

TEST_F(VCard, FailedCommandsSayWhyAndKeepNothingTheyShouldNot) {
  OpenAtLevelThree();
  Configure();
  VirtualCardDialog* d = ConfiguredDialog();
  // Select before any UID fetch sends the zero cryptogram, which the card refuses.
  EXPECT_TRUE(RunText(d, VirtualCardDialog::kSelect).startsWith(LoadMessage(2384) + u'\n'));

  // A wrong ENC key decrypts the answer to no UID: a failure, and no UID shown.
  d->encKeyBox()->setCurrentIndex(1);
  EXPECT_EQ(RunText(d, VirtualCardDialog::kGetUid),
            LoadMessage(2386) + u'\n' + UiText(QStringLiteral("111.noUid")));
  EXPECT_TRUE(d->cardInfoLabel()->text().isEmpty());
  EXPECT_EQ(d->cryptogram(), (std::array<std::uint8_t, 16>{}));

  // A UID fetch, then a support check for an IID the card does not have.
  d->encKeyBox()->setCurrentIndex(0);
  ASSERT_EQ(RunText(d, VirtualCardDialog::kGetUid), LoadMessage(2385));
  ASSERT_NE(d->cryptogram(), (std::array<std::uint8_t, 16>{}));
  d->iidBox()->setCurrentIndex(0);
  EXPECT_EQ(RunText(d, VirtualCardDialog::kSupport), LoadMessage(2382) + u'\n' + LoadMessage(0xB5));
  EXPECT_EQ(d->cryptogram(), (std::array<std::uint8_t, 16>{}));

  // Fields that do not hold exactly 16 bytes: the box, and nothing reaches the card.
  const QString resultBefore = d->resultLabel()->text();
  using C = VirtualCardDialog::Command;
  const std::pair<TipHexBytesCombo*, std::vector<C>> readers[] = {
      {d->iidBox(), {VirtualCardDialog::kSupport, VirtualCardDialog::kGetUid}},
      {d->encKeyBox(), {VirtualCardDialog::kGetUid}},
      {d->macKeyBox(), {VirtualCardDialog::kGetUid, VirtualCardDialog::kSelect}},
  };
  for (const auto& [box, commands] : readers) {
    const QString kept = box->currentText();
    for (const QString& text : {QStringLiteral("A0 00 00 03 96 56 43 41 02 00 00 00 00 00 00"),
                                QStringLiteral("5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5C 5")}) {
      box->setEditText(text);
      trace_->Clear();
      prompts_.clear();
      for (C command : commands) d->button(command)->click();
      EXPECT_EQ(prompts_.messages(),
                QStringList(static_cast<qsizetype>(commands.size()), LoadMessage(2378)));
      EXPECT_TRUE(trace_->Requests().empty()) << text.toStdString();
    }
    box->setEditText(kept);
  }
  EXPECT_EQ(d->resultLabel()->text(), resultBefore);

  // No reader: said in 1083 before any activation.
  window().Disconnect();
  for (auto command : {VirtualCardDialog::kSupport, VirtualCardDialog::kGetUid,
                       VirtualCardDialog::kSelect, VirtualCardDialog::kDeselect}) {
    EXPECT_EQ(RunText(d, command), QStringLiteral("没有连接读卡器"));
  }
}

TEST_F(VCard, ConfigurationFailuresNameTheKeyAndTheStepOnce) {
  OpenAtLevelThree();
  VirtualCardConfigDialog dialog(window());
  dialog.masterKeyBox()->setEditText(kFFKey);
  // The configuration key is still 0xFF: 5C.. fails the authentication.
  dialog.button(VirtualCardConfigDialog::kChangeMacKey)->click();
  // The card's status 0xB6 has the step's own text "验证错误": said once.
  EXPECT_EQ(dialog.resultLabel()->text(), QStringLiteral("虚拟卡MAC密钥修改失败验证错误"));

  // A failed write: the step is said once, by the name's own failure text.
  EXPECT_EQ(ChangeOutcomeText(PackResult(2225, 0xB5), LoadMessage(2250)),
            QStringLiteral("虚拟卡ENC密钥修改失败\n不支持虚拟卡操作"));
  EXPECT_EQ(ChangeOutcomeText(PackResult(2225, 0xB5)),
            QStringLiteral("修改失败\n不支持虚拟卡操作"));

  // A 15-byte IID is refused before any card traffic.
  dialog.iidBox()->setEditText(QStringLiteral("A0 00 00 03 96 56 43 41 02 00 00 00 00 00 00"));
  trace_->Clear();
  dialog.button(VirtualCardConfigDialog::kChangeIid)->click();
  EXPECT_EQ(prompts_.messages(), QStringList{LoadMessage(2378)});
  EXPECT_TRUE(trace_->Requests().empty());

  window().Disconnect();
  dialog.button(VirtualCardConfigDialog::kChangeEncKey)->click();
  EXPECT_EQ(dialog.resultLabel()->text(),
            QStringLiteral("虚拟卡ENC密钥修改失败激活失败\n没有连接读卡器\n"));
}

TEST_F(VCard, AnSCardSupportsNoVirtualCard) {
  ScopedEnv reader("HOLLINK_READER", "sim:seed=1,variant=S4K4");
  OpenAtLevelThree();
  VirtualCardConfigDialog dialog(window());
  dialog.masterKeyBox()->setEditText(kFFKey);
  dialog.configKeyBox()->setEditText(kFFKey);
  dialog.button(VirtualCardConfigDialog::kChangeIid)->click();
  EXPECT_EQ(dialog.resultLabel()->text(), QStringLiteral("修改失败\n不支持虚拟卡操作"));
  dialog.button(VirtualCardConfigDialog::kChangeEncKey)->click();
  EXPECT_EQ(dialog.resultLabel()->text(),
            QStringLiteral("虚拟卡ENC密钥修改失败\n不支持虚拟卡操作"));

  VirtualCardDialog* d = Dialog();
  const QString unsupported = u'\n' + LoadMessage(0xB5);
  EXPECT_EQ(RunText(d, VirtualCardDialog::kSupport), LoadMessage(2382) + unsupported);
  EXPECT_EQ(RunText(d, VirtualCardDialog::kGetUid), LoadMessage(2386) + unsupported);
  EXPECT_EQ(RunText(d, VirtualCardDialog::kDeselect), LoadMessage(2388) + unsupported);
}

TEST_F(VCard, HidingKeepsTheWindowItsTextsAndTheCryptogram) {
  OpenAtLevelThree();
  Configure();
  Level3Page* page = LevelThree();
  page->virtualCardBox()->click();
  VirtualCardDialog* d = ConfiguredDialog();
  ASSERT_EQ(RunText(d, VirtualCardDialog::kGetUid), LoadMessage(2385));
  const auto cryptogram = d->cryptogram();
  const QString uid = d->cardInfoLabel()->text();

  d->close();
  EXPECT_FALSE(d->isVisible());
  EXPECT_FALSE(page->virtualCardBox()->isChecked());
  EXPECT_EQ(page->virtualCard(), 0);
  page->virtualCardBox()->click();
  EXPECT_EQ(Dialog(), d);
  EXPECT_TRUE(d->isVisible());
  EXPECT_EQ(d->cardInfoLabel()->text(), uid);
  EXPECT_EQ(d->cryptogram(), cryptogram);
  EXPECT_EQ(RunText(d, VirtualCardDialog::kSelect), LoadMessage(2383));
  d->hide();
}

TEST_F(VCard, BothConfigurationCommandsOpenTheDialogAndItRenders) {
  OpenAtLevelThree();
  const QDir out(QStringLiteral(QUILLON_TEST_OUTPUT_DIR));
  ASSERT_TRUE(out.mkpath(QStringLiteral(".")));
  for (int command : {2110, 32828}) {
    QString title;
    QTimer::singleShot(0, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      auto* dialog = qobject_cast<VirtualCardConfigDialog*>(modal);
      if (dialog == nullptr) {
        if (modal != nullptr) modal->close();
        return;
      }
      title = dialog->windowTitle();
      // Enter in a field neither closes the dialog nor changes the card.
      QTest::keyClick(dialog->iidBox(), Qt::Key_Return);
      EXPECT_TRUE(dialog->isVisible());
      EXPECT_TRUE(dialog->resultLabel()->text().isEmpty());
      dialog->button(VirtualCardConfigDialog::kChangeIid)->click();
      EXPECT_TRUE(
          dialog->grab().toImage().save(out.filePath(QStringLiteral("dlg_vcard_config.png"))));
      dialog->close();
    });
    window().RunCommand(command);
    EXPECT_EQ(title, QStringLiteral("虚拟卡配置")) << command;
  }
  Configure();
  LevelThree()->virtualCardBox()->click();
  VirtualCardDialog* d = ConfiguredDialog();
  RunText(d, VirtualCardDialog::kGetUid);
  QCoreApplication::processEvents();
  EXPECT_TRUE(d->grab().toImage().save(out.filePath(QStringLiteral("dlg_vcard.png"))));
  d->hide();
}

// A connected owner whose card does not answer the activation.
class NoCardOwner : public PageOwner {
 public:
  int Activate(int, int* errorOut, QString*, int*) override {
    ++activations;
    if (errorOut != nullptr) *errorOut = 1;
    return 0;
  }
  void AppendLog(const QString&, bool) override {}
  bool IsConnected() const override { return true; }
  CardLevelPage* CurrentPage() const override { return nullptr; }
  int SelectedSector() const override { return 0; }
  int SelectedKeyType() const override { return 0; }
  int SelectedReaderType() const override { return 1; }
  int SelectedCardType() const override { return 5; }
  int Recover(int*) override { return 0; }
  int AesAuthenticate(int*) override { return 0; }
  TipRenderer* TipWindow() const override { return nullptr; }
  QWidget* DialogParent() override { return nullptr; }
  int activations = 0;
};

TEST_F(VCard, AFailedActivationStopsTheCommandWithItsReason) {
  Open();
  NoCardOwner owner;
  Level3Page page;
  page.setOwner(&owner);
  auto* d = static_cast<VirtualCardDialog*>(page.virtualCardDialog());
  ASSERT_NE(d, nullptr);
  trace_->Clear();
  for (auto command : {VirtualCardDialog::kSupport, VirtualCardDialog::kGetUid}) {
    EXPECT_EQ(RunText(d, command), LoadMessage(2230) + u'\n' + LoadMessage(1));
  }
  EXPECT_EQ(owner.activations, 2);
  EXPECT_TRUE(trace_->Requests().empty());
}

}  // namespace
