#include "ftp/ftp_reply.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace ftp {

namespace {

constexpr std::size_t kMaxShownReplyChars = 300;
constexpr int kMaxPort = 65535;
constexpr int kPortDigits = 5;
constexpr int kReplyCodeDigits = 3;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool StartsWithCode(const std::string& line) {
  return line.size() >= kReplyCodeDigits && line[0] >= '1' && line[0] <= '5' && IsDigit(line[1]) &&
         IsDigit(line[2]);
}

// True when line is "ddd", "ddd text" or "ddd-text": the start of a reply.
bool IsReplyStart(const std::string& line) {
  return StartsWithCode(line) && (line.size() == kReplyCodeDigits ||
                                  line[kReplyCodeDigits] == ' ' || line[kReplyCodeDigits] == '-');
}

bool EndsMultiLine(const std::string& line, const std::string& codeText) {
  return line.compare(0, kReplyCodeDigits, codeText) == 0 &&
         (line.size() == kReplyCodeDigits || line[kReplyCodeDigits] == ' ');
}

bool ParsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > static_cast<std::size_t>(kPortDigits)) return false;
  int value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > kMaxPort) return false;
  *port = value;
  return true;
}

}  // namespace

std::string Reply::Line() const {
  std::string line;
  for (char c : text) {
    if (line.size() == kMaxShownReplyChars) {
      line += "...";
      break;
    }
    line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
  }
  return line;
}

void ReplyParser::Feed(const char* data, std::size_t size) {
  while (size > 0) {
    const void* found = std::memchr(data, '\n', size);
    const std::size_t take =
        found == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(found) - data);
    const std::size_t room = kMaxLineBytes - line_.size();
    line_.append(data, take < room ? take : room);
    if (take > room) lineOverflow_ = true;
    if (found == nullptr) return;
    data += take + 1;
    size -= take + 1;
    TakeLine();
  }
}

bool ReplyParser::Next(Reply* reply) {
  if (ready_.empty()) return false;
  *reply = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

void ReplyParser::TakeLine() {
  std::string line;
  line.swap(line_);
  lineOverflow_ = false;
  if (!line.empty() && line.back() == '\r') line.pop_back();

  if (inMultiLine_) {
    AppendToCurrent(line);
    if (EndsMultiLine(line, current_.text.substr(0, kReplyCodeDigits))) {
      inMultiLine_ = false;
      ready_.push_back(std::move(current_));
      current_ = Reply();
    }
    return;
  }
  // A stray empty line between replies carries nothing; anything else that is not a reply is
  // handed on with code 0 so the client can give up on the connection.
  if (line.empty()) return;
  if (!IsReplyStart(line)) {
    Reply junk;
    junk.text = line.substr(0, kMaxReplyBytes);
    ready_.push_back(std::move(junk));
    return;
  }
  current_ = Reply();
  current_.code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  AppendToCurrent(line);
  if (line.size() > kReplyCodeDigits && line[kReplyCodeDigits] == '-') {
    inMultiLine_ = true;
  } else {
    ready_.push_back(std::move(current_));
    current_ = Reply();
  }
}

void ReplyParser::AppendToCurrent(const std::string& line) {
  const std::size_t separator = current_.text.empty() ? 0 : 1;
  if (current_.text.size() + separator + line.size() > kMaxReplyBytes) return;
  if (separator != 0) current_.text += '\n';
  current_.text += line;
}

bool ParseServerAddress(const std::string& field, int defaultPort, ServerAddress* out,
                        std::string* error) {
  const char* const kBadPort = "The port in the server address must be a number from 1 to 65535";
  ServerAddress parsed;
  parsed.port = defaultPort;
  std::string rest = field;
  for (const auto& [scheme, security] :
       {std::pair{"ftpes://", Security::Required}, std::pair{"ftp://", Security::Off}}) {
    const std::size_t length = std::strlen(scheme);
    if (rest.size() >= length &&
        std::equal(scheme, scheme + length, rest.begin(), [](char a, char b) {
          return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b);
        })) {
      rest.erase(0, length);
      parsed.security = security;
      if (!rest.empty() && rest.back() == '/') rest.pop_back();
      break;
    }
  }
  const std::string& text = rest;  // the address without its scheme from here on
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) {
      *error = "The server address lacks the closing ']'";
      return false;
    }
    parsed.host = text.substr(1, close - 1);
    const std::string rest = text.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || !ParsePort(rest.substr(1), &parsed.port))) {
      *error = kBadPort;
      return false;
    }
  } else {
    const std::size_t colon = text.find(':');
    const bool bareIPv6 =
        colon != std::string::npos && text.find(':', colon + 1) != std::string::npos;
    if (colon == std::string::npos || bareIPv6) {
      parsed.host = text;
    } else {
      parsed.host = text.substr(0, colon);
      if (!ParsePort(text.substr(colon + 1), &parsed.port)) {
        *error = kBadPort;
        return false;
      }
    }
  }
  if (parsed.host.empty()) {
    *error = "No server address is given";
    return false;
  }
  if (HasLineBreak(parsed.host)) {
    *error = "The server address contains a line break";
    return false;
  }
  *out = parsed;
  return true;
}

bool HasLineBreak(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

}  // namespace ftp
