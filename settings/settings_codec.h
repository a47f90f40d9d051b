#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "settings/registry.h"

// Registry value types, as the registry numbers them.
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

inline constexpr std::size_t kDwordSize = 4;

// Texts of the edits pass through a 1000-byte buffer: at most 999 bytes and the terminating zero.
inline constexpr std::size_t kTextBufferSize = 1000;
inline constexpr std::size_t kMaxTextBytes = kTextBufferSize - 1;

// True for a byte that starts a two-byte character of the ANSI code page in use.
using LeadBytePredicate = bool (*)(unsigned char byte);

// The system ANSI code page's lead bytes; defined in ansi_win.cpp.
bool IsAnsiLeadByte(unsigned char byte);

// The stored form of a password: every byte +1, except 0xFF, which would become the zero that ends
// the stored text and is stored as 0x01 instead (a plain text never holds 0x00, so 0x01 is free).
// The text ends at its first zero byte.
std::string ScrambleText(const std::string& plain);
std::string UnscrambleText(const std::string& stored);

// At most kMaxTextBytes bytes of the text, cut before a two-byte character that would not fit
// whole.
std::string CutToTextLimit(const std::string& text, LeadBytePredicate isLeadByte);

// A REG_SZ (or REG_EXPAND_SZ, unexpanded) value's text up to its first zero, or all of its bytes
// when it has none. Any other type, or data longer than maxDataBytes, counts as missing.
std::optional<std::string> DecodeText(const RegistryValue& value, std::size_t maxDataBytes);
// No size limit: list entries of any length load whole.
std::optional<std::string> DecodeText(const RegistryValue& value);

// REG_SZ with the terminating zero counted in the data; an empty text is one zero byte.
RegistryValue EncodeText(const std::string& text);

// A REG_DWORD of exactly four bytes (little-endian); anything else counts as missing.
std::optional<std::uint32_t> DecodeDword(const RegistryValue& value);
RegistryValue EncodeDword(std::uint32_t number);

// sendTime travels in the REG_DWORD as two's complement, so times before 1970 survive.
std::uint32_t SendTimeToDword(std::int32_t sendTime);
std::int32_t SendTimeFromDword(std::uint32_t stored);
