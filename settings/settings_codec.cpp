#include "settings/settings_codec.h"

namespace {

constexpr unsigned char kLastByte = 0xFF;
constexpr unsigned char kStoredLastByte = 0x01;

std::string UpToFirstZero(const std::string& text) { return text.substr(0, text.find('\0')); }

}  // namespace

std::string ScrambleText(const std::string& plain) {
  std::string stored = UpToFirstZero(plain);
  for (char& c : stored) {
    const auto byte = static_cast<unsigned char>(c);
    c = static_cast<char>(byte == kLastByte ? kStoredLastByte : byte + 1);
  }
  return stored;
}

std::string UnscrambleText(const std::string& stored) {
  std::string plain = UpToFirstZero(stored);
  for (char& c : plain) {
    const auto byte = static_cast<unsigned char>(c);
    c = static_cast<char>(byte == kStoredLastByte ? kLastByte : byte - 1);
  }
  return plain;
}

std::string CutToTextLimit(const std::string& text, LeadBytePredicate isLeadByte) {
  if (text.size() <= kMaxTextBytes) return text;
  std::size_t end = 0;
  while (end < kMaxTextBytes) {
    const std::size_t charBytes = isLeadByte(static_cast<unsigned char>(text[end])) ? 2 : 1;
    if (end + charBytes > kMaxTextBytes) break;
    end += charBytes;
  }
  return text.substr(0, end);
}

std::optional<std::string> DecodeText(const RegistryValue& value, std::size_t maxDataBytes) {
  if (value.type != kRegSz && value.type != kRegExpandSz) return std::nullopt;
  if (value.data.size() > maxDataBytes) return std::nullopt;
  return UpToFirstZero(value.data);
}

std::optional<std::string> DecodeText(const RegistryValue& value) {
  return DecodeText(value, value.data.size());
}

RegistryValue EncodeText(const std::string& text) {
  RegistryValue value;
  value.type = kRegSz;
  value.data = UpToFirstZero(text);
  value.data.push_back('\0');
  return value;
}

std::optional<std::uint32_t> DecodeDword(const RegistryValue& value) {
  if (value.type != kRegDword || value.data.size() != kDwordSize) return std::nullopt;
  std::uint32_t number = 0;
  for (std::size_t i = 0; i < kDwordSize; ++i) {
    number |= static_cast<std::uint32_t>(static_cast<unsigned char>(value.data[i])) << (8 * i);
  }
  return number;
}

RegistryValue EncodeDword(std::uint32_t number) {
  RegistryValue value;
  value.type = kRegDword;
  for (std::size_t i = 0; i < kDwordSize; ++i) {
    value.data.push_back(static_cast<char>((number >> (8 * i)) & 0xFFu));
  }
  return value;
}

std::uint32_t SendTimeToDword(std::int32_t sendTime) {
  return static_cast<std::uint32_t>(sendTime);
}

std::int32_t SendTimeFromDword(std::uint32_t stored) {
  // Spelled out rather than cast: converting an out-of-range unsigned value to a signed type is
  // implementation-defined before C++20.
  constexpr std::uint32_t kSignBit = 0x80000000u;
  if (stored < kSignBit) return static_cast<std::int32_t>(stored);
  return static_cast<std::int32_t>(stored - kSignBit) + INT32_MIN;
}
