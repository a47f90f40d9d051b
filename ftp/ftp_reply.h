// The FTP protocol's own pieces, free of any connection: replies and their parser, server
// addresses, and what may be sent on a command line.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace ftp {

constexpr int kDefaultPort = 21;

// One reply of the server. `code` is 0 for a line that is not a reply at all.
struct Reply {
  int code = 0;
  std::string text;  // every line of the reply, joined with '\n', without line ends

  bool IsPreliminary() const { return code >= 100 && code < 200; }
  bool IsPositive() const { return code >= 200 && code < 300; }
  bool IsIntermediate() const { return code >= 300 && code < 400; }
  // The reply as one line fit for a message box: control characters become spaces, long texts
  // are cut.
  std::string Line() const;
};

// Splits the bytes of a control connection into replies: "ddd text" lines, multi-line replies
// from "ddd-" to the first line that starts with the same "ddd ", bare LF or CRLF line ends.
// Any byte sequence is accepted; texts and lines are capped so a hostile server cannot make it
// grow without end.
class ReplyParser {
 public:
  static constexpr std::size_t kMaxLineBytes = 4096;
  static constexpr std::size_t kMaxReplyBytes = 16384;

  void Feed(const char* data, std::size_t size);
  bool HasReply() const { return !ready_.empty(); }
  // Any byte fed and not yet taken as part of a reply: a whole reply or the start of one.
  bool HoldsAnything() const { return HasReply() || !line_.empty() || inMultiLine_; }
  // Takes the oldest complete reply.
  bool Next(Reply* reply);

 private:
  void TakeLine();
  void AppendToCurrent(const std::string& line);

  std::string line_;
  bool lineOverflow_ = false;
  bool inMultiLine_ = false;
  Reply current_;
  std::deque<Reply> ready_;
};

// How strictly a connection asks for TLS, by the server field's scheme.
enum class Security {
  WhenOffered,  // a bare host: TLS when the server offers it
  Required,     // ftpes://: never a login in the clear
  Off,          // ftp://: plain FTP
};

struct ServerAddress {
  std::string host;
  int port = kDefaultPort;
  Security security = Security::WhenOffered;
};

// "host", "host:port", "[v6-address]", "[v6-address]:port", or a bare IPv6 literal (which has no
// port), each with an optional "ftpes://" or "ftp://" in front and "/" behind. defaultPort applies
// when the text names none.
bool ParseServerAddress(const std::string& text, int defaultPort, ServerAddress* out,
                        std::string* error);

// True when text holds CR, LF or NUL: such a text would end a command early or smuggle in
// another one, so it is never sent.
bool HasLineBreak(const std::string& text);

}  // namespace ftp
