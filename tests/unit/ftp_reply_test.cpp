// The reply parser and the small text rules of the FTP client.
#include "ftp/ftp_reply.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using ftp::Reply;
using ftp::ReplyParser;

std::vector<Reply> ParseAll(const std::string& bytes, std::size_t chunk = 0) {
  ReplyParser parser;
  std::vector<Reply> replies;
  if (chunk == 0) chunk = bytes.size() + 1;
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    parser.Feed(bytes.data() + at, std::min(chunk, bytes.size() - at));
    Reply reply;
    while (parser.Next(&reply)) replies.push_back(reply);
  }
  return replies;
}

TEST(ReplyParserTest, SingleLineRepliesWithEitherLineEnd) {
  const std::vector<Reply> replies = ParseAll("220 ready\r\n331 password\n200\r\n");
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].code, 220);
  EXPECT_EQ(replies[0].text, "220 ready");
  EXPECT_EQ(replies[1].code, 331);
  EXPECT_EQ(replies[1].text, "331 password");
  EXPECT_EQ(replies[2].code, 200);
}

TEST(ReplyParserTest, MultiLineReplyEndsOnlyAtItsOwnCodeAndASpace) {
  const std::string bytes =
      "230-Welcome\r\n"
      "230-still the same reply\r\n"
      " 230 indented, so not the end\r\n"
      "220 another code, so not the end\r\n"
      "230xno separator, not the end\r\n"
      "\r\n"
      "230 the end\r\n"
      "200 next\r\n";
  const std::vector<Reply> replies = ParseAll(bytes);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].code, 230);
  EXPECT_EQ(replies[0].text,
            "230-Welcome\n230-still the same reply\n 230 indented, so not the end\n"
            "220 another code, so not the end\n230xno separator, not the end\n\n230 the end");
  EXPECT_EQ(replies[1].code, 200);
}

TEST(ReplyParserTest, SplitsTheSameWayWhateverTheChunks) {
  const std::string bytes =
      "120 soon\r\n220-multi\r\n220 done\r\n150 go\r\n226-ok\n 226 x\n226 ok\n";
  const std::vector<Reply> whole = ParseAll(bytes);
  ASSERT_EQ(whole.size(), 4u);
  for (std::size_t chunk : {1u, 2u, 3u, 7u}) {
    const std::vector<Reply> pieces = ParseAll(bytes, chunk);
    ASSERT_EQ(pieces.size(), whole.size()) << chunk;
    for (std::size_t i = 0; i < whole.size(); ++i) {
      EXPECT_EQ(pieces[i].code, whole[i].code) << chunk;
      EXPECT_EQ(pieces[i].text, whole[i].text) << chunk;
    }
  }
}

TEST(ReplyParserTest, LinesThatAreNoReplyComeOutWithCodeZero) {
  const std::vector<Reply> replies =
      ParseAll("hello\r\n\r\n600 out of range\r\n099 too low\r\n12 short\r\n220x\r\n200 fine\r\n");
  ASSERT_EQ(replies.size(), 6u) << "the empty line carries nothing";
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(replies[i].code, 0) << replies[i].text;
  EXPECT_EQ(replies[0].text, "hello");
  EXPECT_EQ(replies[5].code, 200);
}

TEST(ReplyParserTest, AnOverlongLineIsCutAndParsingGoesOn) {
  const std::string huge(ReplyParser::kMaxLineBytes * 10, 'x');
  const std::vector<Reply> replies = ParseAll("500 " + huge + "\r\n200 next\r\n", 1000);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].code, 500);
  EXPECT_EQ(replies[0].text.size(), ReplyParser::kMaxLineBytes);
  EXPECT_EQ(replies[1].text, "200 next");
}

TEST(ReplyParserTest, AnEndlessMultiLineReplyStaysBounded) {
  std::string bytes = "211-start\r\n";
  for (int i = 0; i < 10000; ++i) bytes += "211-more of the same line, again and again\r\n";
  bytes += "211 end\r\n";
  const std::vector<Reply> replies = ParseAll(bytes, 4096);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_LE(replies[0].text.size(), ReplyParser::kMaxReplyBytes);
  EXPECT_EQ(replies[0].code, 211);
}

// Random replies in random chunks: what comes out is what went in.
TEST(ReplyParserTest, GeneratedCorpusRoundTrips) {
  std::mt19937 random(12345);
  const char* const kWords[] = {"ok", "x", "220", "-", " ", "230 ", "file.txt", "\t", "ÿ"};
  for (int round = 0; round < 300; ++round) {
    std::string bytes;
    std::vector<Reply> expected;
    const int count = 1 + static_cast<int>(random() % 8);
    for (int r = 0; r < count; ++r) {
      Reply reply;
      reply.code = 100 + static_cast<int>(random() % 500);
      const std::string code = std::to_string(reply.code);
      const int extraLines = static_cast<int>(random() % 4);
      std::vector<std::string> lines;
      for (int l = 0; l <= extraLines; ++l) {
        std::string words;
        for (unsigned w = random() % 5; w > 0; --w) words += kWords[random() % 9];
        if (extraLines == 0) {
          lines.push_back(code + " " + words);
        } else if (l == 0) {
          lines.push_back(code + "-" + words);
        } else if (l == extraLines) {
          lines.push_back(code + " " + words);
        } else {
          // Inner lines must not look like the end: never "<code> " at their start.
          lines.push_back((random() % 2 ? " " : code + "-") + words);
        }
      }
      for (std::size_t l = 0; l < lines.size(); ++l) {
        reply.text += (l == 0 ? "" : "\n") + lines[l];
        bytes += lines[l] + (random() % 2 ? "\r\n" : "\n");
      }
      expected.push_back(reply);
    }
    const std::vector<Reply> parsed = ParseAll(bytes, 1 + random() % 16);
    ASSERT_EQ(parsed.size(), expected.size()) << bytes;
    for (std::size_t i = 0; i < parsed.size(); ++i) {
      EXPECT_EQ(parsed[i].code, expected[i].code) << bytes;
      EXPECT_EQ(parsed[i].text, expected[i].text) << bytes;
    }
  }
}

// Arbitrary bytes: nothing breaks, codes are 0 or valid, sizes stay within the caps.
TEST(ReplyParserTest, SurvivesArbitraryBytes) {
  std::mt19937 random(777);
  const std::string kBiased = "0123456789- \r\n\n\n";
  for (int round = 0; round < 2000; ++round) {
    ReplyParser parser;
    const std::size_t size = random() % 3000;
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
      byte = random() % 2 ? kBiased[random() % kBiased.size()] : static_cast<char>(random() & 0xff);
    }
    for (std::size_t at = 0; at < bytes.size();) {
      const std::size_t take = std::min<std::size_t>(1 + random() % 64, bytes.size() - at);
      parser.Feed(bytes.data() + at, take);
      at += take;
      Reply reply;
      while (parser.Next(&reply)) {
        EXPECT_TRUE(reply.code == 0 || (reply.code >= 100 && reply.code <= 599)) << reply.code;
        EXPECT_LE(reply.text.size(), ReplyParser::kMaxReplyBytes);
      }
    }
  }
}

TEST(ReplyTest, LineIsFitForAMessageBox) {
  Reply reply;
  reply.code = 530;
  reply.text = "530-Login\tincorrect\n530 bye\x7f";
  EXPECT_EQ(reply.Line(), "530-Login incorrect 530 bye ");
  reply.text = std::string(1000, 'a');
  EXPECT_EQ(reply.Line(), std::string(300, 'a') + "...");
}

TEST(ServerAddressTest, ParsesEveryForm) {
  using ftp::Security;
  struct Case {
    std::string text;
    std::string host;
    int port;
    Security security = Security::WhenOffered;
  };
  const std::vector<Case> cases = {
      {"ftpes://nas.local:2121/", "nas.local", 2121, Security::Required},
      {"FTPES://[::1]", "::1", 21, Security::Required},
      {"ftp://ftp.example.com", "ftp.example.com", 21, Security::Off},
      {"ftp.example.com", "ftp.example.com", 21},
      {"ftp.example.com:2121", "ftp.example.com", 2121},
      {"127.0.0.1:1", "127.0.0.1", 1},
      {"[::1]:65535", "::1", 65535},
      {"[::1]", "::1", 21},
      {"::1", "::1", 21},
      {"fe80::1:2121", "fe80::1:2121", 21},
  };
  for (const Case& c : cases) {
    ftp::ServerAddress address;
    std::string error;
    ASSERT_TRUE(ftp::ParseServerAddress(c.text, 21, &address, &error)) << c.text << ": " << error;
    EXPECT_EQ(address.host, c.host) << c.text;
    EXPECT_EQ(address.port, c.port) << c.text;
    EXPECT_EQ(address.security, c.security) << c.text;
  }
  ftp::ServerAddress address;
  std::string error;
  ASSERT_TRUE(ftp::ParseServerAddress("host", 990, &address, &error));
  EXPECT_EQ(address.port, 990) << "the given default applies when the text names no port";
}

TEST(ServerAddressTest, RejectsBrokenForms) {
  for (const std::string& text : std::vector<std::string>{
           "", "host:", "host:0", "host:65536", "host:21x", "host:-1", "host:000021", "[::1",
           "[::1]x", "[::1]:", "[]:21", ":21", "host\r\n:21", std::string("ho\0st", 5)}) {
    ftp::ServerAddress address;
    std::string error;
    EXPECT_FALSE(ftp::ParseServerAddress(text, 21, &address, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(LineBreakTest, FindsCarriageReturnLineFeedAndNul) {
  EXPECT_FALSE(ftp::HasLineBreak("plain name.txt"));
  EXPECT_FALSE(ftp::HasLineBreak(""));
  EXPECT_TRUE(ftp::HasLineBreak("a\rb"));
  EXPECT_TRUE(ftp::HasLineBreak("a\nb"));
  EXPECT_TRUE(ftp::HasLineBreak(std::string("a\0b", 3)));
}

}  // namespace
