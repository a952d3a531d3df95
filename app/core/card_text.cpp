#include "core/card_text.h"

#include "core/hex_text.h"
#include "core/messages.h"

namespace {
constexpr int kFirstRegisteredCode = 32211;
}

QString BlockDataText(const std::uint8_t* data, int rows) {
  QString text;
  if (data == nullptr) return text;
  for (int r = 0; r < rows; ++r) {
    QString row = hextext::FormatBytes(data + 16 * r, 16);
    // From the back, so the earlier positions stay where they were.
    for (int position : {36, 24, 12}) row.insert(position, QStringLiteral("  "));
    text += row + u'\n';
  }
  return text;
}

std::uint32_t PackResult(int message, int cause) {
  return (static_cast<std::uint32_t>(cause) & 0xFFFFu) << 16 |
         (static_cast<std::uint32_t>(message) & 0xFFFFu);
}

int ResultMessage(std::uint32_t packed) {
  return static_cast<int>(packed & 0xFFFFu);
}

int ResultCause(std::uint32_t packed) {
  return static_cast<int>(packed >> 16);
}

QString CodeText(int code) {
  const QString text = LoadMessage(code);
  if (!text.isEmpty() || code < kFirstRegisteredCode) return text;
  return MessageText(code);
}

QString ResultText(std::uint32_t packed) {
  const int message = ResultMessage(packed);
  const int cause = ResultCause(packed);
  QString text = CodeText(message);
  if (cause != message) text += u'\n' + CodeText(cause);
  return text;
}
