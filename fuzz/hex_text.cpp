// Quillon's hex text conversion without widgets: normalization of addresses,
// byte groups and digits, the carets after it, and the conversions to bytes
// and numbers behind GetBytes and GetValue.
//
// Input: byte 0 picks a byte limit and a text length limit; the rest is UTF-8 text.
#include "core/hex_text.h"

#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

bool OnlyHexDigits(const QString& text, qsizetype from) {
  for (qsizetype i = from; i < text.size(); ++i) {
    const char16_t c = text[i].unicode();
    const bool digit =
        (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f');
    if (!digit) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int maxBytes = data[0] % 40;
  // As the controls limit their text: n whole byte groups, or no limit.
  const int maxChars = maxBytes == 0 ? -1 : 3 * maxBytes - 1;
  const QString text =
      QString::fromUtf8(reinterpret_cast<const char*>(data) + 1, static_cast<qsizetype>(size - 1));

  const QString address = hextext::NormalizeAddress(text);
  if (!address.startsWith(QStringLiteral("0x")) || address.size() > 6 ||
      !OnlyHexDigits(address, 2)) {
    Broken("normalized address");
  }
  if (hextext::NormalizeAddress(address) != address) Broken("address normalization is not stable");
  const int value = hextext::AddressValue(address);
  if (value < 0 || value > 0xFFFF) Broken("address value");

  const QString bytes = hextext::NormalizeBytes(text, maxChars);
  if (maxChars >= 0 && bytes.size() > maxChars) Broken("byte groups longer than asked");
  if (hextext::NormalizeBytes(bytes, maxChars) != bytes) Broken("byte normalization is not stable");
  const int caret = hextext::BytesCaret(text, maxBytes, static_cast<int>(text.size()));
  (void)caret;
  hextext::AddressCaret(text, maxBytes);

  const QString digits = hextext::NormalizeDigits(text);
  if (digits.size() > 8 || !OnlyHexDigits(digits, 0)) Broken("normalized digits");
  hextext::DigitsValue(digits);
  hextext::DigitsValue(text);
  hextext::AddressValue(text);

  // GetBytes reads into a buffer of exactly the bytes asked for.
  std::uint8_t* out = maxBytes > 0 ? new std::uint8_t[static_cast<std::size_t>(maxBytes)] : nullptr;
  const int count = hextext::ParseBytes(text, out, maxBytes);
  if (count < 0 || count > maxBytes) Broken("byte count");
  // Formatted bytes read back as the same bytes.
  if (count > 0) {
    const QString formatted = hextext::FormatBytes(out, count);
    std::uint8_t back[40];
    if (hextext::ParseBytes(formatted, back, count) != count) Broken("formatted bytes re-read");
    for (int i = 0; i < count; ++i) {
      if (back[i] != out[i]) Broken("formatted bytes differ");
    }
  }
  delete[] out;

  // ExactBytes takes exactly maxBytes whole groups or nothing; what it takes formats back.
  std::uint8_t exact[40];
  if (maxBytes > 0 && hextext::ExactBytes(text, exact, maxBytes)) {
    std::uint8_t again[40];
    if (!hextext::ExactBytes(hextext::FormatBytes(exact, maxBytes), again, maxBytes)) {
      Broken("exact bytes do not format back");
    }
    for (int i = 0; i < maxBytes; ++i) {
      if (again[i] != exact[i]) Broken("exact bytes differ after formatting");
    }
  }
  return 0;
}
