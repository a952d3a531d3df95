// Hexadecimal entry controls: normalization while typing, caret placement and
// the conversions to bytes and numbers.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTest>
#include <array>
#include <cstdint>

#include "core_qt_print.h"
#include "gui/hex_controls.h"

namespace {

// Types into the edit field one key at a time, as an operator would.
void Type(QLineEdit* edit, const QString& keys) {
  QTest::keyClicks(edit, keys);
}

TEST(HexAddressComboTest, PastedTextKeepsPrefixAndFourDigits) {
  HexAddressCombo combo;
  combo.setEditText(QStringLiteral("0X12g3h45"));
  EXPECT_EQ(combo.currentText(), QStringLiteral("0x1234"));
  EXPECT_EQ(combo.GetValue(), 0x1234);
  combo.setEditText(QStringLiteral("ab"));
  EXPECT_EQ(combo.currentText(), QStringLiteral("0xab"));
  EXPECT_EQ(combo.GetValue(), 0xAB);
}

TEST(HexAddressComboTest, TypingIntoAnEmptyBoxKeepsTheDigitOrder) {
  HexAddressCombo combo;
  Type(combo.lineEdit(), QStringLiteral("5"));
  EXPECT_EQ(combo.currentText(), QStringLiteral("0x5"));
  EXPECT_EQ(combo.lineEdit()->cursorPosition(), 3);
  Type(combo.lineEdit(), QStringLiteral("6z0"));
  EXPECT_EQ(combo.currentText(), QStringLiteral("0x560"));
  Type(combo.lineEdit(), QStringLiteral("19"));  // the fifth digit is cut off
  EXPECT_EQ(combo.currentText(), QStringLiteral("0x5601"));
  EXPECT_EQ(combo.GetValue(), 0x5601);
}

TEST(HexAddressComboTest, EditingInTheMiddleKeepsTheCaretBehindTheTypedDigit) {
  HexAddressCombo combo;
  combo.setEditText(QStringLiteral("0x9000"));
  combo.lineEdit()->setCursorPosition(3);
  Type(combo.lineEdit(), QStringLiteral("q"));  // dropped; caret stays
  EXPECT_EQ(combo.currentText(), QStringLiteral("0x9000"));
  EXPECT_EQ(combo.lineEdit()->cursorPosition(), 3);
  QTest::keyClick(combo.lineEdit(), Qt::Key_Backspace);
  EXPECT_EQ(combo.currentText(), QStringLiteral("0x000"));
  Type(combo.lineEdit(), QStringLiteral("4"));
  EXPECT_EQ(combo.currentText(), QStringLiteral("0x4000"));
  EXPECT_EQ(combo.lineEdit()->cursorPosition(), 3);
}

TEST(HexAddressComboTest, SelectingAListEntryNormalizesIt) {
  HexAddressCombo combo;
  combo.addItem(QStringLiteral("9003"));
  combo.addItem(QStringLiteral("0x4001"));
  combo.setCurrentIndex(1);
  EXPECT_EQ(combo.GetValue(), 0x4001);
  combo.setCurrentIndex(0);
  EXPECT_EQ(combo.currentText(), QStringLiteral("0x9003"));
}

TEST(HexAddressComboTest, ValueRules) {
  EXPECT_EQ(hextext::AddressValue(QString()), 0);
  EXPECT_EQ(hextext::AddressValue(QStringLiteral("0x")), 0);
  EXPECT_EQ(hextext::AddressValue(QStringLiteral("0XB003")), 0xB003);
  EXPECT_EQ(hextext::AddressValue(QStringLiteral("9000")), -1);
  EXPECT_EQ(hextext::AddressValue(QStringLiteral("x9000")), -1);
  EXPECT_EQ(hextext::NormalizeAddress(QStringLiteral("0x0x12")), QStringLiteral("0x012"));
  EXPECT_EQ(hextext::NormalizeAddress(QString()), QStringLiteral("0x"));
}

TEST(HexBytesComboTest, PastedGroupsBecomeUpperCasePairs) {
  HexBytesCombo combo;
  combo.setEditText(QStringLiteral("a1,b2 c3"));
  EXPECT_EQ(combo.currentText(), QStringLiteral("A1 B2 C3"));
  combo.setEditText(QStringLiteral("a1b2c"));
  EXPECT_EQ(combo.currentText(), QStringLiteral("A1 B2 C"));
}

TEST(HexBytesComboTest, TypingInsertsSeparatorsAndKeepsCaretAtTheEnd) {
  HexBytesCombo combo;
  Type(combo.lineEdit(), QStringLiteral("abc"));
  EXPECT_EQ(combo.currentText(), QStringLiteral("AB C"));
  EXPECT_EQ(combo.lineEdit()->cursorPosition(), 4);
  Type(combo.lineEdit(), QStringLiteral("d e"));
  EXPECT_EQ(combo.currentText(), QStringLiteral("AB CD E"));
  EXPECT_EQ(combo.lineEdit()->cursorPosition(), 7);
}

TEST(HexBytesComboTest, ListEntriesDoNotCompleteWhatIsTyped) {
  HexBytesCombo combo;
  combo.addItem(QStringLiteral("11 22 33"));
  combo.setEditText(QString());
  Type(combo.lineEdit(), QStringLiteral("12"));
  EXPECT_EQ(combo.currentText(), QStringLiteral("12"));
  combo.setEditText(QString());
  Type(combo.lineEdit(), QStringLiteral("112"));
  EXPECT_EQ(combo.currentText(), QStringLiteral("11 2"));
  combo.setEditText(QString());
  Type(combo.lineEdit(), QStringLiteral("1122334"));
  EXPECT_EQ(combo.currentText(), QStringLiteral("11 22 33 4"));
  HexAddressCombo address;
  address.addItem(QStringLiteral("0x9000"));
  address.setEditText(QStringLiteral("0x"));
  address.lineEdit()->setCursorPosition(2);
  Type(address.lineEdit(), QStringLiteral("94"));
  EXPECT_EQ(address.currentText(), QStringLiteral("0x94"));
}

TEST(HexBytesComboTest, ByteCountLimitsTheText) {
  HexBytesCombo combo;
  EXPECT_EQ(combo.ByteCount(), 16);
  EXPECT_EQ(combo.MaxChars(), 47);
  EXPECT_EQ(combo.SetByteCount(6), 16);
  EXPECT_EQ(combo.MaxChars(), 17);
  Type(combo.lineEdit(), QStringLiteral("112233445566778899"));
  EXPECT_EQ(combo.currentText(), QStringLiteral("11 22 33 44 55 66"));
  EXPECT_EQ(combo.SetByteCount(0), 6);  // n <= 0 only reports
  EXPECT_EQ(combo.SetByteCount(1), 6);
  EXPECT_EQ(combo.currentText(), QStringLiteral("11"));
}

TEST(HexBytesComboTest, BytesRoundTrip) {
  HexBytesCombo combo;
  const std::array<std::uint8_t, 3> bytes{0x00, 0x0A, 0xFF};
  combo.SetBytes(bytes.data(), 3);
  EXPECT_EQ(combo.currentText(), QStringLiteral("00 0A FF"));
  std::array<std::uint8_t, 16> out{};
  EXPECT_EQ(combo.GetBytes(out.data(), 16), 3);
  EXPECT_EQ(out[0], 0x00);
  EXPECT_EQ(out[1], 0x0A);
  EXPECT_EQ(out[2], 0xFF);
  std::array<std::uint8_t, 16> sixteen{};
  sixteen.fill(0x5C);
  combo.SetBytes(sixteen.data(), 16);
  EXPECT_EQ(combo.currentText().size(), 47);
  EXPECT_EQ(combo.GetBytes(out.data(), 16), 16);
  // A caller that needs 6 bytes gets at most 6.
  EXPECT_EQ(combo.GetBytes(out.data(), 6), 6);
}

TEST(HexBytesTextTest, ParseStopsAtTheFirstTokenThatIsNotHex) {
  std::array<std::uint8_t, 16> out{};
  EXPECT_EQ(hextext::ParseBytes(QStringLiteral("12 34 zz 56"), out.data(), 16), 2);
  EXPECT_EQ(out[0], 0x12);
  EXPECT_EQ(out[1], 0x34);
  out.fill(0);
  EXPECT_EQ(hextext::ParseBytes(QStringLiteral("123"), out.data(), 16), 1);
  EXPECT_EQ(out[0], 0x23);
  EXPECT_EQ(out[1], 0x00);
  EXPECT_EQ(hextext::ParseBytes(QString(), out.data(), 16), 0);
  EXPECT_EQ(hextext::ParseBytes(QStringLiteral("   "), out.data(), 16), 0);
  EXPECT_EQ(hextext::ParseBytes(QStringLiteral("01,02\t03\n04 ,, 05"), out.data(), 16), 5);
  EXPECT_EQ(out[4], 0x05);
  EXPECT_EQ(hextext::ParseBytes(QStringLiteral("0x1f 7g"), out.data(), 16), 2);
  EXPECT_EQ(out[0], 0x1F);
  EXPECT_EQ(out[1], 0x07);
  EXPECT_EQ(hextext::ParseBytes(QStringLiteral("01 02"), nullptr, 16), 0);
  EXPECT_EQ(hextext::ParseBytes(QStringLiteral("01 02"), out.data(), 0), 0);
}

TEST(HexBytesTextTest, ParseReadsOnlyTheFirst259Characters) {
  QString text;
  for (int i = 0; i < 100; ++i) text += QStringLiteral("AB ");
  std::array<std::uint8_t, 128> out{};
  // 86 whole groups, then the first digit of the 87th.
  EXPECT_EQ(hextext::ParseBytes(text, out.data(), 128), 87);
  EXPECT_EQ(out[85], 0xAB);
  EXPECT_EQ(out[86], 0x0A);
}

TEST(HexBytesTextTest, FormatWritesAtMost86Bytes) {
  std::array<std::uint8_t, 100> bytes{};
  bytes.fill(0x01);
  const QString text = hextext::FormatBytes(bytes.data(), 100);
  EXPECT_EQ(text.size(), 86 * 3 - 1);
  EXPECT_EQ(hextext::FormatBytes(bytes.data(), 0), QString());
  EXPECT_EQ(hextext::FormatBytes(bytes.data(), -3), QString());
  const std::array<std::uint8_t, 2> pair{0xAB, 0x0C};
  EXPECT_EQ(hextext::FormatBytes(pair.data(), 2, false), QStringLiteral("ab 0c"));
}

TEST(HexBytesTextTest, CaretRule) {
  EXPECT_EQ(hextext::BytesCaret(QStringLiteral("a"), 1, 1), 1);
  EXPECT_EQ(hextext::BytesCaret(QStringLiteral("ABc"), 3, 3), 4);
  EXPECT_EQ(hextext::BytesCaret(QStringLiteral("AB c"), 4, 4), 4);  // behind a blank
  EXPECT_EQ(hextext::BytesCaret(QStringLiteral("AB CD"), 5, 2), 6);
  EXPECT_EQ(hextext::BytesCaret(QString(), 0, 0), 0);
}

TEST(HexEditTest, ModeZeroKeepsEightDigits) {
  HexEdit edit;
  EXPECT_EQ(edit.Mode(), 0);
  edit.setText(QStringLiteral("0xAB"));
  EXPECT_EQ(edit.text(), QStringLiteral("0AB"));
  EXPECT_EQ(edit.GetValue(), 0xAB);
  edit.setText(QStringLiteral("123456789"));
  EXPECT_EQ(edit.text(), QStringLiteral("12345678"));
  edit.setText(QStringLiteral("ffffffff"));
  EXPECT_EQ(edit.GetValue(), -1);
  edit.clear();
  EXPECT_EQ(edit.GetValue(), 0);
  Type(&edit, QStringLiteral("1 2-3"));
  EXPECT_EQ(edit.text(), QStringLiteral("123"));
  EXPECT_EQ(edit.cursorPosition(), 3);
}

TEST(HexEditTest, ModeOneGroupsBytesAndRaisesSetBytes) {
  HexEdit edit;
  edit.SetMode(1);
  EXPECT_EQ(edit.SetByteCount(6), 16);
  const std::array<std::uint8_t, 6> key{0xff, 0xa0, 0x0b, 0x12, 0x34, 0x56};
  edit.SetBytes(key.data(), 6);
  EXPECT_EQ(edit.text(), QStringLiteral("FF A0 0B 12 34 56"));
  std::array<std::uint8_t, 6> out{};
  EXPECT_EQ(edit.GetBytes(out.data(), 6), 6);
  EXPECT_EQ(out, key);
  edit.clear();
  Type(&edit, QStringLiteral("abc"));
  EXPECT_EQ(edit.text(), QStringLiteral("AB C"));
  EXPECT_EQ(edit.cursorPosition(), 4);
}

TEST(HexEditTest, ModeZeroSetBytesDropsTheBlanks) {
  HexEdit edit;
  const std::array<std::uint8_t, 3> bytes{0x00, 0x0A, 0xFF};
  edit.SetBytes(bytes.data(), 3);
  EXPECT_EQ(edit.text(), QStringLiteral("000aff"));
}

TEST(HexEditTest, OtherModesLeaveTheText) {
  HexEdit edit;
  edit.SetMode(2);
  edit.setText(QStringLiteral("hello, 12"));
  EXPECT_EQ(edit.text(), QStringLiteral("hello, 12"));
  EXPECT_EQ(edit.GetValue(), 0);  // does not start with a hex digit
  edit.setText(QStringLiteral("1f zz"));
  EXPECT_EQ(edit.GetValue(), 0x1F);
}

}  // namespace
