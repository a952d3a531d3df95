// A main window on a simulated card that lives in a state file, so tests can
// read the card back independently of the window and the library.
#pragma once

#include <QComboBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <array>
#include <memory>

#include "core_qt_print.h"
#include "gui/hex_controls.h"
#include "gui/level_pages.h"
#include "window_fixture.h"

class OpsTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    reader_ = std::make_unique<ScopedEnv>(
        "HOLLINK_READER", ("sim:seed=1,state=" + TempPath(QStringLiteral("card.json"))).toUtf8());
    trace_ = std::make_unique<FrameTrace>(TempPath(QStringLiteral("frames.trace")));
  }
  void TearDown() override {
    WindowTest::TearDown();
    trace_.reset();
    reader_.reset();
  }

  // The card as the simulator stored it.
  struct Card {
    int level = -1;
    QJsonArray blocks;
    QJsonObject keys;
    QByteArray Block(int n) const { return QByteArray::fromHex(blocks[n].toString().toLatin1()); }
    QByteArray Key(int address) const {
      return QByteArray::fromHex(keys[QString::asprintf("%04X", address)].toString().toLatin1());
    }
    // The value of a value block (bytes 0..3, little-endian).
    int Value(int n) const {
      const QByteArray b = Block(n);
      return static_cast<int>(static_cast<unsigned char>(b[0]) |
                              static_cast<unsigned char>(b[1]) << 8 |
                              static_cast<unsigned char>(b[2]) << 16 |
                              static_cast<unsigned>(static_cast<unsigned char>(b[3])) << 24);
    }
  };
  Card ReadCard() const {
    QFile file(TempPath(QStringLiteral("card.json")));
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QJsonObject doc = QJsonDocument::fromJson(file.readAll()).object();
    return {doc[QStringLiteral("level")].toInt(-1), doc[QStringLiteral("blocks")].toArray(),
            doc[QStringLiteral("keys")].toObject()};
  }

  // Opens on `tab` with the card taken to `level` by library calls (all keys FF).
  void OpenWithCardAt(int level, int tab) {
    WriteIni({{QStringLiteral("DefaultPage"), QString::number(tab)}});
    MainWindow& w = Open();
    ASSERT_TRUE(w.IsConnected());
    std::array<unsigned char, 16> ff;
    ff.fill(0xFF);
    if (level >= 1) {
      ASSERT_EQ(w.Activate(1, nullptr, nullptr, nullptr), 1);
      for (int address = 0x9000; address <= 0x9003; ++address)
        ASSERT_EQ(PLUSWritePersoTCL(static_cast<unsigned short>(address), ff.data()), 0);
      ASSERT_EQ(PLUSCommitPersoTCL(), 0);
    }
    if (level >= 2) {
      ASSERT_EQ(w.Activate(1, nullptr, nullptr, nullptr), 1);
      const auto switchKey = static_cast<unsigned short>(level == 2 ? 0x9002 : 0x9003);
      ASSERT_EQ(PLUSSL3FirstAuth(switchKey, ff.data()), 0);
    }
    ASSERT_EQ(w.Activate(0, nullptr, nullptr, nullptr), 1);
    trace_->Clear();
  }

  static void Choose(QComboBox* box, int value) {
    const int index = box->findData(value);
    ASSERT_GE(index, 0) << value;
    box->setCurrentIndex(index);
  }
  // Sector, block (block box; the source follows) and destination, as the operator picks them.
  void Pick(int sector, int block, int destination = -1) {
    Choose(window().sectorBox(), sector);
    Choose(window().blockBox(), block);
    if (sector != 0 || block != 0) Choose(window().sourceBlockBox(), block);
    if (destination >= 0) Choose(window().destinationBlockBox(), destination);
  }
  void Operand(const QString& text) { window().operandEdit()->setText(text); }
  QString Run(int command) {
    window().RunCommand(command);
    return Entries().isEmpty() ? QString() : Entries().last();
  }
  int FramesOf(int command) const {
    int n = 0;
    for (int c : trace_->Commands()) n += c == command ? 1 : 0;
    return n;
  }
  static QString Hex16(const QByteArray& bytes) { return bytes.toHex(' ').toUpper(); }

  std::unique_ptr<ScopedEnv> reader_;
  std::unique_ptr<FrameTrace> trace_;
};
