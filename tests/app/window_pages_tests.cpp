// The card-level pages against the simulated card: what each level sends, the
// result codes of short buffers and missing authentications, and real block and
// value work on a card taken to Levels 1, 2 and 3.
#include <QCheckBox>
#include <QDir>
#include <QImage>
#include <QProgressDialog>
#include <QTimer>
#include <array>
#include <cstring>
#include <functional>

#include "cardtools/files.h"
#include "core/card_text.h"
#include "gui/card_map_window.h"
#include "gui/hex_controls.h"
#include "gui/level_pages.h"
#include "tips/tip_renderer.h"
#include "window_fixture.h"

namespace {

using Key16 = std::array<unsigned char, 16>;
const Key16 kFF = [] {
  Key16 k;
  k.fill(0xFF);
  return k;
}();

class Pages : public TracedWindowTest {
 protected:
  // Opens the window on `tab` with a fresh card taken to security level `level`
  // (all keys 0xFF), and clears the trace.
  void OpenWithCardAt(int level, int tab) {
    WriteIni({{QStringLiteral("DefaultPage"), QString::number(tab)}});
    MainWindow& w = Open();
    ASSERT_TRUE(w.IsConnected());
    if (level >= 1) {
      int code = 0;
      ASSERT_EQ(w.Activate(1, &code, nullptr, nullptr), 1) << code;
      for (int address : {0x9000, 0x9001, 0x9002, 0x9003}) {
        ASSERT_EQ(PLUSWritePersoTCL(static_cast<unsigned short>(address), kFF.data()), 0)
            << std::hex << address;
      }
      ASSERT_EQ(PLUSCommitPersoTCL(), 0);
    }
    if (level >= 2) {
      int code = 0;
      ASSERT_EQ(w.Activate(1, &code, nullptr, nullptr), 1) << code;
      const unsigned short switchKey = level == 2 ? 0x9002 : 0x9003;
      ASSERT_EQ(PLUSSL3FirstAuth(switchKey, kFF.data()), 0);
    }
    int code = 0;
    ASSERT_EQ(w.Activate(0, &code, nullptr, nullptr), 1) << code;
    trace_->Clear();
  }

  // A card at Level 3 on the Level 3 tab, authenticated with sector 5's key A.
  void OpenAuthenticatedAtLevelThree() {
    OpenWithCardAt(3, 3);
    int error = 0;
    ASSERT_EQ(LevelThree()->Authenticate(5, kKeyTypeL3A, 0, kFF.data(), &error, 0), 1) << error;
  }
  Level3Page* LevelThree() { return static_cast<Level3Page*>(window().page(3)); }

  // First bytes of the card commands sent through the T=CL transfer.
  std::vector<int> SentCodes() const {
    std::vector<int> codes;
    for (const QByteArray& f : Frames(0x94)) codes.push_back(At(f, 3));
    return codes;
  }

  // Frames whose reader command is `command`.
  std::vector<QByteArray> Frames(int command) const {
    std::vector<QByteArray> frames;
    for (const QByteArray& f : trace_->Requests()) {
      if (f.size() > 1 && static_cast<unsigned char>(f[1]) == command) frames.push_back(f);
    }
    return frames;
  }
  static int At(const QByteArray& frame, int index) {
    return index < frame.size() ? static_cast<unsigned char>(frame[index]) : -1;
  }

  // Writes 7 to `a`, adds 5 into `b`, subtracts 2 into `c` and copies `c` back
  // to `a`, reading every result back. `length` goes to WriteValue.
  static void ExpectValueWork(CardLevelPage* p, int a, int b, int c, int length) {
    const int seven = 7;
    ASSERT_EQ(p->WriteValue(a, &seven, length), 0);
    int value = 0, done = 0;
    ASSERT_EQ(p->ReadValue(a, &value, 1, &done), 0);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(done, 1);
    ASSERT_EQ(p->Increment(a, 5, b), 0);
    ASSERT_EQ(p->ReadValue(b, &value, 1, nullptr), 0);
    EXPECT_EQ(value, 12);
    ASSERT_EQ(p->Decrement(b, 2, c), 0);
    ASSERT_EQ(p->ReadValue(c, &value, 1, nullptr), 0);
    EXPECT_EQ(value, 10);
    ASSERT_EQ(p->Backup(c, a), 0);
    ASSERT_EQ(p->ReadValue(a, &value, 1, nullptr), 0);
    EXPECT_EQ(value, 10);
  }
};

TEST_F(Pages, LevelZeroPageOffersNoCardOperations) {
  MainWindow& w = Open();
  CardLevelPage* p = w.page(0);
  trace_->Clear();
  unsigned char buffer[64] = {};
  int value = 0, done = 0, bytes = -1, error = 0;
  EXPECT_EQ(p->Backup(4, 5), 2210);
  EXPECT_EQ(p->Increment(4, 1, 5), 2210);
  EXPECT_EQ(p->Decrement(4, 1, 5), 2210);
  EXPECT_EQ(p->ReadValue(4, &value, 1, &done), 2210);
  EXPECT_EQ(p->WriteValue(4, &value, 1), 2210);
  EXPECT_EQ(p->ReadBlocks(4, buffer, 64, &bytes), 2210);
  EXPECT_EQ(p->WriteBlocks(4, buffer, 64), 2210);
  EXPECT_EQ(p->Authenticate(1, 0, 0x4000, kFF.data(), &error, 0), 0);
  EXPECT_EQ(error, 2210);
  EXPECT_EQ(done, 0);
  EXPECT_EQ(bytes, -1);
  EXPECT_TRUE(trace_->Requests().empty());
  EXPECT_EQ(p->level(), 0);
  EXPECT_EQ(p->owner(), &w);
}

TEST_F(Pages, LevelOneShortBuffersAnswerTheRegisteredBufferMessage) {
  MainWindow& w = Open();
  CardLevelPage* p = w.page(1);
  trace_->Clear();
  unsigned char buffer[16] = {};
  const int value = 1;
  const int code = p->ReadBlocks(4, buffer, 15, nullptr);
  EXPECT_GE(code, 32211);
  EXPECT_EQ(MessageText(code), LoadMessage(2180));
  EXPECT_EQ(p->WriteBlocks(4, buffer, 15), code);
  EXPECT_EQ(p->WriteValue(4, &value, 0), code);
  EXPECT_TRUE(trace_->Requests().empty());
}

TEST_F(Pages, LevelOneBlockAndValueWork) {
  OpenWithCardAt(1, 1);
  MainWindow& w = window();
  CardLevelPage* p = w.page(1);
  int error = 0;
  // Key B authenticates with mode 4, the sector in the next byte.
  EXPECT_EQ(p->Authenticate(1, kKeyTypeL1B, 0, kFF.data(), &error, 0), 1) << error;
  std::vector<QByteArray> auth = Frames(0x73);
  ASSERT_EQ(auth.size(), 1u);
  EXPECT_EQ(At(auth[0], 3), 4);
  EXPECT_EQ(At(auth[0], 4), 1);
  trace_->Clear();
  ASSERT_EQ(p->Authenticate(1, kKeyTypeL1A, 0, kFF.data(), &error, 0), 1) << error;
  auth = Frames(0x73);
  ASSERT_EQ(auth.size(), 1u);
  EXPECT_EQ(At(auth[0], 3), 0);

  // One block per call whatever the buffer holds.
  unsigned char data[48];
  for (int i = 0; i < 48; ++i) data[i] = static_cast<unsigned char>(i);
  ASSERT_EQ(p->WriteBlocks(5, data, 48), 0);
  unsigned char read[48] = {};
  int bytes = 0;
  ASSERT_EQ(p->ReadBlocks(5, read, 48, &bytes), 0);
  EXPECT_EQ(bytes, 16);
  EXPECT_EQ(std::memcmp(read, data, 16), 0);
  EXPECT_EQ(read[16], 0);

  ExpectValueWork(p, 4, 6, 6, 1);
  int value = 0, done = 0;
  // A data block is no value block.
  EXPECT_EQ(p->ReadValue(5, &value, 1, &done), 0x7C);
  EXPECT_EQ(done, 0);
}

TEST_F(Pages, LevelTwoNeedsAnAesAuthenticationBeforeCrypto1) {
  MainWindow& w = Open();
  CardLevelPage* p = w.page(2);
  trace_->Clear();
  int error = 0;
  EXPECT_EQ(p->Authenticate(1, kKeyTypeL2A, 0x4000, kFF.data(), &error, 0), 0);
  EXPECT_EQ(error, 2290);
  EXPECT_EQ(p->Authenticate(0, kKeyTypeL2Aes, 0x4040, kFF.data(), &error, 0), 0);
  EXPECT_EQ(error, 2305);
  EXPECT_EQ(p->Authenticate(0, kKeyTypeL2Aes, 0x3FFF, kFF.data(), &error, 0), 0);
  EXPECT_EQ(error, 2305);
  unsigned char data[16] = {};
  const int value = 1;
  EXPECT_EQ(p->WriteBlocks(4, data, 15), 2295);
  EXPECT_EQ(p->ReadBlocks(4, data, 15, nullptr), 2295);
  EXPECT_EQ(p->WriteValue(4, &value, 0), 2300);
  EXPECT_TRUE(trace_->Requests().empty());
  EXPECT_FALSE(TheAesAuthMemory().valid);
}

TEST_F(Pages, LevelTwoRepeatsTheRememberedAesAuthenticationFirst) {
  OpenWithCardAt(2, 2);
  MainWindow& w = window();
  CardLevelPage* p = w.page(2);
  int error = 0;
  ASSERT_EQ(p->Authenticate(0, kKeyTypeL2Aes, 0x4002, kFF.data(), &error, 0), 1) << error;
  EXPECT_TRUE(TheAesAuthMemory().valid);
  EXPECT_EQ(TheAesAuthMemory().keyAddress, 0x4002);

  trace_->Clear();
  ASSERT_EQ(p->Authenticate(1, kKeyTypeL2A, 0, kFF.data(), &error, 0), 1) << error;
  const std::vector<int> commands = trace_->Commands();
  auto aes = std::find(commands.begin(), commands.end(), 0x90);
  auto crypto1 = std::find(commands.begin(), commands.end(), 0x73);
  ASSERT_NE(aes, commands.end());
  ASSERT_NE(crypto1, commands.end());
  EXPECT_LT(aes, crypto1);

  // Several blocks in one call.
  unsigned char data[48];
  for (int i = 0; i < 48; ++i) data[i] = static_cast<unsigned char>(0xA0 + i);
  ASSERT_EQ(p->WriteBlocks(4, data, 32), 0);
  unsigned char read[48] = {};
  int bytes = 0;
  ASSERT_EQ(p->ReadBlocks(4, read, 32, &bytes), 0);
  EXPECT_EQ(bytes, 32);
  EXPECT_EQ(std::memcmp(read, data, 32), 0);

  // A failed AES authentication forgets the remembered one.
  Key16 wrong = kFF;
  wrong[0] = 0x00;
  EXPECT_EQ(p->Authenticate(0, kKeyTypeL2Aes, 0x4002, wrong.data(), &error, 0), 0);
  EXPECT_NE(error, 0);
  EXPECT_FALSE(TheAesAuthMemory().valid);
  EXPECT_EQ(p->Authenticate(1, kKeyTypeL2A, 0, kFF.data(), &error, 0), 0);
  EXPECT_EQ(error, 2290);
}

TEST_F(Pages, LevelTwoFailedRepeatKeepsTheMemory) {
  MainWindow& w = Open();
  CardLevelPage* p = w.page(2);
  TheAesAuthMemory().valid = true;
  TheAesAuthMemory().keyAddress = 0x4002;
  TheAesAuthMemory().key = kFF;
  ASSERT_EQ(w.Activate(0, nullptr, nullptr, nullptr), 1);
  trace_->Clear();
  int error = 0;
  // The card is still at Level 0: the repeated AES authentication fails.
  EXPECT_EQ(p->Authenticate(1, kKeyTypeL2A, 0, kFF.data(), &error, 0), 0);
  EXPECT_NE(error, 0);
  EXPECT_TRUE(TheAesAuthMemory().valid);
  EXPECT_TRUE(Frames(0x73).empty());
  EXPECT_FALSE(Frames(0x90).empty());
}

TEST_F(Pages, LevelThreeAuthenticationAddressesTheSectorKeys) {
  OpenWithCardAt(3, 3);
  MainWindow& w = window();
  CardLevelPage* p = w.page(3);
  int error = 0;
  auto firstAuth = [this] {
    for (const QByteArray& f : Frames(0x94)) {
      if (At(f, 3) == 0x70) return std::make_pair(At(f, 4), At(f, 5));
    }
    return std::make_pair(-1, -1);
  };
  ASSERT_EQ(p->Authenticate(5, kKeyTypeL3A, 0, kFF.data(), &error, 0), 1) << error;
  EXPECT_EQ(firstAuth(), std::make_pair(0x0A, 0x40));
  trace_->Clear();
  ASSERT_EQ(p->Authenticate(5, kKeyTypeL3B, 0, kFF.data(), &error, 0), 1) << error;
  EXPECT_EQ(firstAuth(), std::make_pair(0x0B, 0x40));
  Key16 wrong = kFF;
  wrong[15] = 0;
  EXPECT_EQ(p->Authenticate(5, kKeyTypeL3A, 0, wrong.data(), &error, 0), 0);
  EXPECT_NE(error, 0);
}

TEST_F(Pages, LevelThreeModesFollowTheCheckBoxes) {
  ASSERT_NO_FATAL_FAILURE(OpenAuthenticatedAtLevelThree());
  Level3Page* p = LevelThree();

  unsigned char data[48];
  for (int i = 0; i < 48; ++i) data[i] = static_cast<unsigned char>(i * 3);
  trace_->Clear();
  ASSERT_EQ(p->WriteBlocks(20, data, 48), 0);
  EXPECT_EQ(SentCodes().front(), 0xA3);  // response MAC, plain

  // 64 bytes of room read three blocks at most; 16 bytes read one.
  unsigned char read[64] = {};
  int bytes = 0;
  trace_->Clear();
  ASSERT_EQ(p->ReadBlocks(20, read, 64, &bytes), 0);
  EXPECT_EQ(bytes, 48);
  EXPECT_EQ(std::memcmp(read, data, 48), 0);
  EXPECT_EQ(SentCodes().front(), 0x33);
  ASSERT_EQ(p->ReadBlocks(21, read, 16, &bytes), 0);
  EXPECT_EQ(bytes, 16);
  EXPECT_EQ(std::memcmp(read, data + 16, 16), 0);

  p->responseMacBox()->setChecked(false);
  p->commandMacBox()->setChecked(false);
  trace_->Clear();
  ASSERT_EQ(p->ReadBlocks(20, read, 16, &bytes), 0);
  EXPECT_EQ(SentCodes().front(), 0x36);
  EXPECT_EQ(p->responseMac(), 0);
  EXPECT_EQ(p->commandMac(), 0);

  p->encryptedBox()->setChecked(true);
  p->responseMacBox()->setChecked(true);
  p->commandMacBox()->setChecked(true);
  trace_->Clear();
  ASSERT_EQ(p->ReadBlocks(20, read, 32, &bytes), 0);
  EXPECT_EQ(SentCodes().front(), 0x31);
  EXPECT_EQ(std::memcmp(read, data, 32), 0);
  EXPECT_EQ(p->WriteBlocks(20, data, 15), 2295);
}

TEST_F(Pages, LevelThreeValueWork) {
  ASSERT_NO_FATAL_FAILURE(OpenAuthenticatedAtLevelThree());
  ExpectValueWork(LevelThree(), 20, 21, 22, 0);  // the length is not used at Level 3
}

// The value commands carry the codes of the check boxes: bit 0 the response MAC,
// bit 1 plain data (value reads and writes only); a backup is a restore then a
// transfer.
TEST_F(Pages, LevelThreeValueCodesFollowTheCheckBoxes) {
  ASSERT_NO_FATAL_FAILURE(OpenAuthenticatedAtLevelThree());
  Level3Page* p = LevelThree();
  auto codesOf = [this](const std::function<int()>& operation) {
    trace_->Clear();
    EXPECT_EQ(operation(), 0);
    return SentCodes();
  };
  const int seven = 7;
  int value = 0;
  for (bool responseMac : {true, false}) {
    p->responseMacBox()->setChecked(responseMac);
    const int rm = responseMac ? 1 : 0;
    EXPECT_EQ(codesOf([&] { return p->WriteValue(20, &seven, 1); }), (std::vector<int>{0xA2 + rm}));
    EXPECT_EQ(codesOf([&] { return p->ReadValue(20, &value, 1, nullptr); }),
              (std::vector<int>{0x32 + rm}));
    EXPECT_EQ(codesOf([&] { return p->Increment(20, 1, 21); }), (std::vector<int>{0xB6 + rm}));
    EXPECT_EQ(codesOf([&] { return p->Decrement(21, 1, 22); }), (std::vector<int>{0xB8 + rm}));
    EXPECT_EQ(codesOf([&] { return p->Backup(22, 20); }), (std::vector<int>{0xC2 + rm, 0xB4 + rm}));
  }
  p->encryptedBox()->setChecked(true);
  EXPECT_EQ(codesOf([&] { return p->WriteValue(20, &seven, 1); }), (std::vector<int>{0xA0}));
  EXPECT_EQ(codesOf([&] { return p->ReadValue(20, &value, 1, nullptr); }),
            (std::vector<int>{0x30}));
  EXPECT_EQ(value, 7);
}

TEST_F(Pages, LevelThreeFlagsAndVirtualCardBox) {
  // A page built without the virtual card dialog.
  SetVirtualCardDialogFactory(nullptr);
  MainWindow& w = Open();
  auto* p = static_cast<Level3Page*>(w.page(3));
  EXPECT_EQ(p->responseMac(), 1);
  EXPECT_EQ(p->encrypted(), 0);
  EXPECT_EQ(p->commandMac(), 1);
  EXPECT_EQ(p->virtualCard(), 0);
  EXPECT_TRUE(p->commandMacBox()->isChecked());
  EXPECT_TRUE(p->responseMacBox()->isChecked());
  EXPECT_FALSE(p->encryptedBox()->isChecked());
  EXPECT_TRUE(p->virtualCardBox()->isEnabled());
  EXPECT_FALSE(p->relayCheckButton()->isEnabled());

  // Without the virtual card dialog the box says so and stays clear.
  w.SelectLevel(3);
  p->virtualCardBox()->click();
  EXPECT_FALSE(p->virtualCardBox()->isChecked());
  EXPECT_EQ(p->virtualCard(), 0);
  EXPECT_EQ(Entries().last(), NotAvailableText(p->virtualCardBox()->text()));
}

TEST(VirtualCardDialog, ShownWhileTheBoxIsSetAndClosingClearsIt) {
  QWidget* created = nullptr;
  SetVirtualCardDialogFactory([&created](Level3Page&) {
    created = new QWidget;
    return created;
  });
  {
    Level3Page page;
    SetVirtualCardDialogFactory(nullptr);
    ASSERT_EQ(page.virtualCardDialog(), created);
    ASSERT_NE(created, nullptr);
    EXPECT_FALSE(created->isVisible());
    page.virtualCardBox()->click();
    EXPECT_EQ(page.virtualCard(), 1);
    EXPECT_TRUE(created->isVisible());
    page.virtualCardBox()->click();
    EXPECT_EQ(page.virtualCard(), 0);
    EXPECT_FALSE(created->isVisible());
    page.virtualCardBox()->click();
    page.VirtualCardDialogClosed();
    EXPECT_EQ(page.virtualCard(), 0);
    EXPECT_FALSE(page.virtualCardBox()->isChecked());
    EXPECT_FALSE(created->isVisible());
  }
}

TEST(Level3Tips, AttachAndDetachTheRenderer) {
  Level3Page page;
  TipRenderer renderer;
  page.SetTips(&renderer);
  EXPECT_EQ(page.encryptedBox()->Tip().window(), &renderer);
  EXPECT_EQ(page.encryptedBox()->Tip().text(), LoadMessage(2325));
  EXPECT_EQ(page.commandMacBox()->Tip().text(), LoadMessage(2330));
  EXPECT_EQ(page.responseMacBox()->Tip().text(), LoadMessage(2335));
  EXPECT_EQ(page.virtualCardBox()->Tip().text(), LoadMessage(2377));
  page.SetTips(nullptr);
  for (TipCheckBox* box :
       {page.encryptedBox(), page.commandMacBox(), page.responseMacBox(), page.virtualCardBox()}) {
    EXPECT_EQ(box->Tip().window(), nullptr);
  }
}

}  // namespace

namespace {

// Read all sectors (32821) on the Level 3 tab: every sector with the key on screen,
// each logged as block data text, and the dump saved in the command line's format.
TEST_F(Pages, ReadAllSectorsLogsEachSectorAndSavesTheDump) {
  OpenAuthenticatedAtLevelThree();
  std::array<unsigned char, 16> data;
  for (int i = 0; i < 16; ++i)
    data[static_cast<std::size_t>(i)] = static_cast<unsigned char>(0xA0 + i);
  ASSERT_EQ(PLUSSL3Write(0xA3, 21, 1, data.data()), 0);
  const QString dumpPath = TempPath(QStringLiteral("card.json"));
  prompts_.QueueYesNo(false);  // the key on screen
  prompts_.QueueSavePath(dumpPath);
  window().RunCommand(MainWindow::kReadAllSectors);

  const QString log = Log();
  EXPECT_TRUE(log.contains(QStringLiteral("Level 3 扇区0x05 读取成功\n数据如下:\n")));
  EXPECT_TRUE(log.contains(BlockDataText(data.data(), 1))) << qPrintable(log);
  EXPECT_TRUE(log.contains(QStringLiteral("Level 3 扇区0x27 读取成功")))
      << "the 4K card's last sector";
  EXPECT_TRUE(log.contains(QStringLiteral("40 个扇区读取成功, 0 个扇区未读取")));
  EXPECT_TRUE(log.contains(QStringLiteral("转储文件已保存: ") + dumpPath));

  std::string text, error;
  ASSERT_TRUE(cardtools::ReadFile(dumpPath.toStdString(), &text, &error)) << error;
  cardtools::Dump dump;
  ASSERT_TRUE(cardtools::ParseDump(text, &dump, &error)) << error;
  EXPECT_EQ(dump.level, 3);
  EXPECT_EQ(dump.blocks.size(), 256u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), dump.blocks.at(21).begin()));

  // The card map opens on the dump the read produced.
  CardMapWindow& map = CardMapOf(window());
  EXPECT_TRUE(map.isVisible());
  ASSERT_EQ(map.rows().size(), 40u);
  EXPECT_EQ(map.rows()[5].cells[1].kind, cardmap::BlockKind::Data);
  EXPECT_EQ(map.rows()[5].cells[1].data, dump.blocks.at(21));
}

// The progress dialog is modal, can be found by assistive technology, and its
// Cancel stops the walk after the sector at hand: the rest are neither read nor
// logged.
TEST_F(Pages, ReadAllSectorsCancelStopsTheWalk) {
  OpenWithCardAt(3, 3);
  window().show();
  prompts_.QueueYesNo(false);
  QString title;
  bool modal = false;
  QImage picture;
  QTimer::singleShot(0, &window(), [&] {
    auto* progress = window().findChild<QProgressDialog*>(QStringLiteral("readAllProgress"));
    if (progress == nullptr) return;
    title = progress->accessibleName();
    modal = progress->windowModality() == Qt::WindowModal;
    picture = progress->grab().toImage();
    progress->cancel();
  });
  window().RunCommand(MainWindow::kReadAllSectors);
  EXPECT_EQ(title, QStringLiteral("读取所有扇区数据"));
  EXPECT_TRUE(modal);
  ASSERT_FALSE(picture.isNull());
  const QDir out(QStringLiteral(QUILLON_TEST_OUTPUT_DIR));
  ASSERT_TRUE(out.mkpath(QStringLiteral(".")));
  EXPECT_TRUE(picture.save(out.filePath(QStringLiteral("read_all_sectors_progress.png"))));
  const QString log = Log();
  EXPECT_TRUE(log.contains(QStringLiteral("读取所有扇区数据已取消")));
  EXPECT_TRUE(log.contains(QStringLiteral("扇区0x00 读取成功")));
  EXPECT_FALSE(log.contains(QStringLiteral("扇区0x01"))) << "the walk went on after Cancel";
  ASSERT_EQ(prompts_.shown().size(), 2);
  EXPECT_EQ(prompts_.shown().last().kind, ScriptedPrompts::Shown::Kind::SaveFile)
      << "what was read before Cancel can still be saved";
}

// With a key file: sectors without keys are named, a file that cannot be used is
// explained in a message box and nothing is read.
TEST_F(Pages, ReadAllSectorsWithAKeyFile) {
  OpenWithCardAt(3, 3);
  const QString keysPath = TempPath(QStringLiteral("keys.json"));
  std::string error;
  ASSERT_TRUE(cardtools::WriteFileAtomically(
      keysPath.toStdString(),
      R"({"FileType": "mfpkeys", "SectorKeys": {"2": {"KeyA": "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"},
          "3": {"KeyB": "00000000000000000000000000000000"}}})",
      &error));
  prompts_.QueueYesNo(true);
  prompts_.QueueOpenPath(keysPath);
  prompts_.QueueSavePath(QString());  // not saved
  window().RunCommand(MainWindow::kReadAllSectors);
  const QString log = Log();
  EXPECT_TRUE(log.contains(QStringLiteral("Level 3 扇区0x02 读取成功")));
  EXPECT_TRUE(log.contains(QStringLiteral("Level 3 扇区0x03 未读取:密钥被拒绝")));
  EXPECT_TRUE(log.contains(QStringLiteral("Level 3 扇区0x04 未读取:没有该扇区的密钥")));
  EXPECT_TRUE(log.contains(QStringLiteral("1 个扇区读取成功, 39 个扇区未读取")));
  EXPECT_FALSE(log.contains(QStringLiteral("转储文件已保存")));

  ASSERT_TRUE(
      cardtools::WriteFileAtomically(keysPath.toStdString(), R"({"FileType": "mfcard"})", &error));
  const int entries = static_cast<int>(Entries().size());
  prompts_.clear();
  prompts_.QueueYesNo(true);
  prompts_.QueueOpenPath(keysPath);
  window().RunCommand(MainWindow::kReadAllSectors);
  ASSERT_EQ(prompts_.messages().size(), 1);
  EXPECT_TRUE(prompts_.messages().first().contains(QStringLiteral("密钥文件无法使用")));
  EXPECT_TRUE(prompts_.messages().first().contains(QStringLiteral("not a key file")));
  EXPECT_EQ(static_cast<int>(Entries().size()), entries);
}

// A key file with master keys: the sector whose key is diversified is tried with
// the key derived from this card's UID (which the factory key is not), the others
// as written; a malformed "Diversify" is explained before any card traffic.
TEST_F(Pages, ReadAllSectorsDerivesDiversifiedKeys) {
  OpenWithCardAt(3, 3);
  const QString keysPath = TempPath(QStringLiteral("diversified.json"));
  std::string error;
  ASSERT_TRUE(cardtools::WriteFileAtomically(keysPath.toStdString(),
                                             R"({"FileType": "mfpkeys", "Diversify": ["4004"],
          "SectorKeys": {"2": {"KeyA": "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"},
                         "4": {"KeyA": "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"}}})",
                                             &error));
  prompts_.QueueYesNo(true);
  prompts_.QueueOpenPath(keysPath);
  prompts_.QueueSavePath(QString());
  window().RunCommand(MainWindow::kReadAllSectors);
  const QString log = Log();
  EXPECT_TRUE(log.contains(QStringLiteral("Level 3 扇区0x02 未读取:密钥被拒绝")))
      << qPrintable(log);
  EXPECT_TRUE(log.contains(QStringLiteral("Level 3 扇区0x04 读取成功")));

  ASSERT_TRUE(cardtools::WriteFileAtomically(keysPath.toStdString(),
                                             R"({"FileType": "mfpkeys", "Diversify": "all",
          "SectorKeys": {"2": {"KeyA": "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"}}})",
                                             &error));
  const int entries = static_cast<int>(Entries().size());
  prompts_.clear();
  prompts_.QueueYesNo(true);
  prompts_.QueueOpenPath(keysPath);
  window().RunCommand(MainWindow::kReadAllSectors);
  ASSERT_EQ(prompts_.messages().size(), 1);
  EXPECT_TRUE(prompts_.messages().first().contains(QStringLiteral("\"Diversify\"")));
  EXPECT_EQ(static_cast<int>(Entries().size()), entries);
}

}  // namespace
