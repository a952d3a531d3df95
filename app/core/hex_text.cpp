#include "core/hex_text.h"

#include <QStringView>
#include <algorithm>
#include <vector>

namespace {

bool IsHexDigit(QChar c) {
  const char16_t u = c.unicode();
  return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
}

unsigned HexDigitValue(QChar c) {
  const char16_t u = c.unicode();
  if (u <= u'9') return static_cast<unsigned>(u - u'0');
  if (u >= u'a') return static_cast<unsigned>(u - u'a' + 10);
  return static_cast<unsigned>(u - u'A' + 10);
}

bool HasAddressPrefix(const QString& text) {
  return text.size() >= 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X');
}

// Reads a number the way "%x" does: optional sign, optional 0x before a digit,
// then hex digits; the value wraps at 32 bits. False when no digit is found.
bool ScanHex(QStringView text, std::uint32_t* value) {
  qsizetype i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  if (i + 2 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X') &&
      IsHexDigit(text[i + 2]))
    i += 2;
  std::uint32_t v = 0;
  const qsizetype first = i;
  for (; i < text.size() && IsHexDigit(text[i]); ++i) v = (v << 4) | HexDigitValue(text[i]);
  if (i == first) return false;
  *value = negative ? 0u - v : v;
  return true;
}

int ToInt(std::uint32_t value) {
  return static_cast<int>(value);
}

}  // namespace

namespace hextext {

QString NormalizeAddress(const QString& text) {
  QString result = QStringLiteral("0x");
  for (qsizetype i = HasAddressPrefix(text) ? 2 : 0; i < text.size(); ++i) {
    if (IsHexDigit(text[i])) result.append(text[i]);
  }
  return result.left(6);
}

int AddressCaret(const QString& before, int caret) {
  const bool prefixed = HasAddressPrefix(before);
  if (prefixed && caret <= 2) return caret;
  int kept = 0;
  const int end = std::min(caret, static_cast<int>(before.size()));
  for (int i = prefixed ? 2 : 0; i < end; ++i) {
    if (IsHexDigit(before[i])) ++kept;
  }
  return std::min(2 + kept, 6);
}

QString NormalizeBytes(const QString& text, int maxChars) {
  QString result;
  for (QChar c : text) {
    if (!IsHexDigit(c)) continue;
    result.append(c);
    if ((result.size() - 2) % 3 == 0) result.append(u' ');
  }
  while (!result.isEmpty() && result.back().isSpace()) result.chop(1);
  result = result.toUpper();
  return maxChars >= 0 ? result.left(maxChars) : result;
}

QString NormalizeDigits(const QString& text) {
  QString result;
  for (QChar c : text) {
    if (IsHexDigit(c)) result.append(c);
  }
  return result.left(8);
}

int BytesCaret(const QString& before, int selStart, int selEnd) {
  int caret = std::max(selStart, selEnd);
  // A separator inserted by normalization before the caret moves it one on.
  if (selStart > 1 && selStart - 2 < before.size() && before[selStart - 2] != u' ') ++caret;
  return caret;
}

int ParseBytes(const QString& text, std::uint8_t* out, int maxBytes) {
  if (out == nullptr || maxBytes <= 0) return 0;
  const QString limited = text.left(259);
  int count = 0;
  qsizetype i = 0;
  while (count < maxBytes) {
    while (i < limited.size() &&
           (limited[i] == u' ' || limited[i] == u',' || limited[i] == u'\t' || limited[i] == u'\n'))
      ++i;
    if (i >= limited.size()) break;
    qsizetype tokenEnd = i;
    while (tokenEnd < limited.size() && limited[tokenEnd] != u' ' && limited[tokenEnd] != u',' &&
           limited[tokenEnd] != u'\t' && limited[tokenEnd] != u'\n')
      ++tokenEnd;
    std::uint32_t value = 0;
    if (!ScanHex(QStringView(limited).mid(i, tokenEnd - i), &value)) break;
    out[count++] = static_cast<std::uint8_t>(value & 0xFFu);
    i = tokenEnd;
  }
  return count;
}

bool ExactBytes(const QString& text, std::uint8_t* out, int count) {
  if (out == nullptr || count <= 0) return false;
  std::fill(out, out + count, std::uint8_t{0});
  auto separator = [](QChar c) { return c == u' ' || c == u',' || c == u'\t' || c == u'\n'; };
  std::vector<std::uint8_t> bytes;
  qsizetype i = 0;
  while (i < text.size()) {
    if (separator(text[i])) {
      ++i;
      continue;
    }
    if (i + 1 >= text.size() || !IsHexDigit(text[i]) || !IsHexDigit(text[i + 1])) return false;
    if (i + 2 < text.size() && !separator(text[i + 2])) return false;
    bytes.push_back(
        static_cast<std::uint8_t>(HexDigitValue(text[i]) << 4 | HexDigitValue(text[i + 1])));
    if (static_cast<int>(bytes.size()) > count) return false;
    i += 2;
  }
  if (static_cast<int>(bytes.size()) != count) return false;
  std::copy(bytes.begin(), bytes.end(), out);
  return true;
}

QString FormatBytes(const std::uint8_t* data, int count, bool upperCase) {
  QString text;
  if (data == nullptr) return text;
  count = std::clamp(count, 0, 86);
  const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  for (int i = 0; i < count; ++i) {
    if (i > 0) text.append(u' ');
    text.append(QLatin1Char(digits[data[i] >> 4]));
    text.append(QLatin1Char(digits[data[i] & 0x0F]));
  }
  return text;
}

int AddressValue(const QString& text) {
  if (text.isEmpty()) return 0;
  if (!HasAddressPrefix(text)) return -1;
  std::uint32_t value = 0;
  return ScanHex(QStringView(text).mid(2), &value) ? ToInt(value) : 0;
}

int DigitsValue(const QString& text) {
  if (text.isEmpty() || !IsHexDigit(text[0])) return 0;
  std::uint32_t value = 0;
  return ScanHex(text, &value) ? ToInt(value) : 0;
}

}  // namespace hextext
