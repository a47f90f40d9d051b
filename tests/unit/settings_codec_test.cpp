#include "settings/settings_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace {

// Lead bytes of the Japanese double-byte code page (932).
bool IsShiftJisLeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool NoLeadBytes(unsigned char) { return false; }

RegistryValue Raw(std::uint32_t type, const std::string& data) {
  RegistryValue value;
  value.type = type;
  value.data = data;
  return value;
}

std::string Bytes(int from, int to) {
  std::string bytes;
  for (int b = from; b <= to; ++b) bytes.push_back(static_cast<char>(b));
  return bytes;
}

std::string UpToZero(const std::string& text) { return text.substr(0, text.find('\0')); }

// Each byte is stored one up, 0xFF as 0x01 so that no zero ends the text early; both ways a text
// ends at its first zero.
TEST(PasswordScrambling, EachByteIsStoredOneUpAndLoadsBack) {
  const struct {
    const char* name;
    std::string plain;
    std::string stored;
  } cases[] = {
      {"letters", "abc", "bcd"},
      {"empty", "", ""},
      {"0xFF", std::string{'a', '\xFF', 'b'}, std::string{'b', '\x01', 'c'}},
      {"every byte but zero", Bytes(1, 0xFF), Bytes(2, 0xFF) + '\x01'},
      {"0x01 to 0xFE", Bytes(1, 0xFE), Bytes(2, 0xFF)},
      {"a zero inside", std::string("ab\0cd", 5), std::string("bc\0de", 5)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ScrambleText(c.plain), UpToZero(c.stored)) << c.name;
    EXPECT_EQ(UnscrambleText(c.stored), UpToZero(c.plain)) << c.name;
  }
}

std::string Repeated(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

TEST(TextLimit, CutsAt999BytesNeverInsideADoubleByteCharacter) {
  // "\x82\xA0" is one character: 499 of them fill 998 bytes, and the 500th would straddle the
  // limit at bytes 998..999. In "\x81\x81" the second byte is a trail byte although its value is
  // also a lead byte.
  const std::string pairs = Repeated("\x82\xA0", 600);
  const std::string leadValuedTrails = "z" + Repeated("\x81\x81", 600);
  const struct {
    const char* name;
    std::string text;
    bool (*isLeadByte)(unsigned char);
    std::string kept;
  } cases[] = {
      {"at the limit", std::string(kMaxTextBytes, 'x'), NoLeadBytes,
       std::string(kMaxTextBytes, 'x')},
      {"empty", "", NoLeadBytes, ""},
      {"single bytes", std::string(1500, 'x'), NoLeadBytes, std::string(999, 'x')},
      {"a pair would straddle", pairs, IsShiftJisLeadByte, pairs.substr(0, 998)},
      {"a pair ends at the limit", "a" + pairs, IsShiftJisLeadByte, ("a" + pairs).substr(0, 999)},
      {"trail bytes with lead values", leadValuedTrails, IsShiftJisLeadByte,
       leadValuedTrails.substr(0, 999)},
  };
  for (const auto& c : cases) EXPECT_EQ(CutToTextLimit(c.text, c.isLeadByte), c.kept) << c.name;
}

TEST(TextDecoding, TextTypesUpToTheTerminatorOtherTypesAndOversizedTextsMissing) {
  constexpr std::uint32_t kRegBinary = 3;
  constexpr std::uint32_t kRegMultiSz = 7;
  constexpr std::size_t kUnlimited = 0;
  const std::string longText(5000, 'y');
  const struct {
    const char* name;
    RegistryValue value;
    std::size_t limit;
    std::optional<std::string> text;
  } cases[] = {
      {"terminated", Raw(kRegSz, std::string("abc\0", 4)), kTextBufferSize, "abc"},
      {"expandable", Raw(kRegExpandSz, std::string("%x%\0", 4)), kTextBufferSize, "%x%"},
      {"only the terminator", Raw(kRegSz, std::string("\0", 1)), kTextBufferSize, ""},
      {"no bytes", Raw(kRegSz, ""), kTextBufferSize, ""},
      {"no terminator", Raw(kRegSz, "ab"), kTextBufferSize, "ab"},
      {"bytes after the terminator", Raw(kRegSz, std::string("ab\0zz", 5)), kTextBufferSize, "ab"},
      {"a number", Raw(kRegDword, "abc"), kTextBufferSize, std::nullopt},
      {"binary", Raw(kRegBinary, std::string("abc\0", 4)), kTextBufferSize, std::nullopt},
      {"several texts", Raw(kRegMultiSz, std::string("abc\0\0", 5)), kTextBufferSize, std::nullopt},
      {"binary, no limit", Raw(kRegBinary, "abc"), kUnlimited, std::nullopt},
      {"fills the buffer", Raw(kRegSz, std::string(999, 'x') + '\0'), kTextBufferSize,
       std::string(999, 'x')},
      {"beyond the buffer", Raw(kRegSz, std::string(1000, 'x') + '\0'), kTextBufferSize,
       std::nullopt},
      {"long, no limit", Raw(kRegSz, longText + '\0'), kUnlimited, longText},
  };
  for (const auto& c : cases) {
    const auto text = c.limit == kUnlimited ? DecodeText(c.value) : DecodeText(c.value, c.limit);
    EXPECT_EQ(text, c.text) << c.name;
  }
}

TEST(TextEncoding, TerminatorIsCountedAndEmptyIsOneZeroByte) {
  const RegistryValue abc = EncodeText("abc");
  EXPECT_EQ(abc.type, kRegSz);
  EXPECT_EQ(abc.data, std::string("abc\0", 4));
  const RegistryValue empty = EncodeText("");
  EXPECT_EQ(empty.type, kRegSz);
  EXPECT_EQ(empty.data, std::string(1, '\0'));
}

TEST(DwordCoding, LittleEndianFourBytes) {
  const RegistryValue value = EncodeDword(0x01020304u);
  EXPECT_EQ(value.type, kRegDword);
  EXPECT_EQ(value.data, std::string("\x04\x03\x02\x01", 4));
  EXPECT_EQ(DecodeDword(value), 0x01020304u);
  EXPECT_EQ(DecodeDword(EncodeDword(0xFFFFFFFFu)), 0xFFFFFFFFu);
}

TEST(DwordCoding, WrongTypeOrSizeCountsAsMissing) {
  constexpr std::uint32_t kRegBinary = 3;
  EXPECT_FALSE(DecodeDword(Raw(kRegBinary, std::string("\x01\0\0\0", 4))));
  EXPECT_FALSE(DecodeDword(Raw(kRegSz, std::string("\x01\0\0\0", 4))));
  EXPECT_FALSE(DecodeDword(Raw(kRegDword, std::string("\x01\0\0", 3))));
  EXPECT_FALSE(DecodeDword(Raw(kRegDword, std::string("\x01\0\0\0\0", 5))));
  EXPECT_FALSE(DecodeDword(Raw(kRegDword, "")));
}

TEST(SendTimeCoding, NegativeTimesSurviveAsTwosComplement) {
  EXPECT_EQ(SendTimeToDword(21600), 21600u);
  EXPECT_EQ(SendTimeToDword(-3600), 0xFFFFF1F0u);
  EXPECT_EQ(SendTimeFromDword(0xFFFFF1F0u), -3600);
  for (const std::int32_t t : {INT32_MIN, -32400, -1, 0, 1, 21600, INT32_MAX}) {
    EXPECT_EQ(SendTimeFromDword(SendTimeToDword(t)), t) << t;
    EXPECT_EQ(SendTimeFromDword(*DecodeDword(EncodeDword(SendTimeToDword(t)))), t) << t;
  }
}

}  // namespace
