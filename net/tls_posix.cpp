#include "net/tls.h"

namespace net {

namespace {

const char kUnavailable[] = "Secure connections are not available in this build";

template <typename Result>
Result Unavailable(std::string* error, Result result) {
  *error = kUnavailable;
  return result;
}

}  // namespace

struct TlsCredentials::Impl {};
struct TlsChannel::Impl {
  TlsPeer peer;
};

TlsCredentials::TlsCredentials() = default;
TlsCredentials::~TlsCredentials() = default;
bool TlsCredentials::Acquire(std::string* error) { return Unavailable(error, false); }

TlsChannel::TlsChannel() : impl_(std::make_unique<Impl>()) {}
TlsChannel::~TlsChannel() = default;

bool TlsChannel::Handshake(Socket&, TlsCredentials&, const std::string&, int, std::string* error) {
  return Unavailable(error, false);
}
const TlsPeer& TlsChannel::Peer() const { return impl_->peer; }
bool TlsChannel::Resumed() const { return false; }
bool TlsChannel::Send(const char*, std::size_t, int, std::string* error) {
  return Unavailable(error, false);
}
bool TlsChannel::Receive(char*, std::size_t, int, std::size_t*, std::string* error) {
  return Unavailable(error, false);
}
bool TlsChannel::HasBuffered() const { return false; }
bool TlsChannel::Shutdown(int, std::string* error) { return Unavailable(error, false); }
bool TlsChannel::Close(int, std::string* error) { return Unavailable(error, false); }
bool TlsChannel::IsOpen() const { return false; }

bool TlsAvailable() { return false; }

}  // namespace net
