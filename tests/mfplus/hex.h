// Byte strings written as hex text in tests ("70 02 40", blanks ignored).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel::test {

inline std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> out;
  std::string digits;
  for (char c : text)
    if (c != ' ') digits += c;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

}  // namespace ostrel::test
