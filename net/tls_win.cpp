// Asked for before the system headers: the SSPI flavour, SCH_CREDENTIALS (which needs
// UNICODE_STRING from subauth.h), and the chain parameters' fields that bound the time spent
// fetching missing certificates.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS

#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <subauth.h>
#include <security.h>
#include <schannel.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/system_error.h"
#include "base/wide_win.h"
#include "net/deadline.h"
#include "net/tls.h"

namespace net {

namespace {

// The certificate is checked by the caller (trust on first use), not by Schannel; the client has
// no certificate of its own, and must not have one picked for it.
constexpr DWORD kCredentialFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS |
                                ISC_REQ_EXTENDED_ERROR;
// Room for what the server sends before it can be decrypted: several full records, and the
// largest handshake messages (long certificate chains) met in practice. A peer that sends more
// at once than fits is refused, so it cannot make this grow.
constexpr std::size_t kIncomingBytes = 128 * 1024;
// Records packed into one socket send: fewer system calls, each one expensive under Wine.
constexpr std::size_t kRecordsPerSend = 16;
constexpr DWORD kSha256Bytes = 32;

const char kNotOpen[] = "The secure connection is not open";
const char kClosedDuringSetup[] =
    "The server closed the connection while the secure connection was being set up";
const char kTooLarge[] = "The server sent a message too large for a secure connection";
const char kNotTls[] = "The server did not answer in TLS";

// The system's words with the code in hex: security codes are looked up by their hex form, and
// Wine has no words for most of them.
std::string CodeText(DWORD code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
  return SystemErrorText(code) + " (" + hex + ")";
}

std::string StatusText(SECURITY_STATUS status) { return CodeText(static_cast<DWORD>(status)); }

std::string SetupFailure(SECURITY_STATUS status) {
  return "The secure connection could not be set up: " + StatusText(status);
}

bool Acquire(CredHandle* out, std::string* error) {
  char package[] = UNISP_NAME_A;
  TimeStamp expiry;
  // No protocol list: Windows' own defaults follow its policy and its updates. SCH_CREDENTIALS is
  // what offers TLS 1.3 where Windows has it; systems before it know only SCHANNEL_CRED.
  SCH_CREDENTIALS current{};
  current.dwVersion = SCH_CREDENTIALS_VERSION;
  current.dwFlags = kCredentialFlags;
  if (AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &current, nullptr,
                                nullptr, out, &expiry) == SEC_E_OK) {
    return true;
  }
  SCHANNEL_CRED older{};
  older.dwVersion = SCHANNEL_CRED_VERSION;
  older.dwFlags = kCredentialFlags;
  const SECURITY_STATUS status = AcquireCredentialsHandleA(
      nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &older, nullptr, nullptr, out, &expiry);
  if (status == SEC_E_OK) return true;
  *error = SetupFailure(status);
  return false;
}

std::string HexPairs(const BYTE* bytes, DWORD count) {
  std::string text;
  for (DWORD i = 0; i < count; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", bytes[i]);
    text += pair;
  }
  return text;
}

// CERT_SHA256_HASH_PROP_ID is missing under Wine; hashing the encoded certificate works anywhere.
bool Fingerprint(PCCERT_CONTEXT certificate, std::string* out) {
  BYTE hash[kSha256Bytes];
  DWORD length = sizeof hash;
  if (!CryptHashCertificate2(L"SHA256", 0, nullptr, certificate->pbCertEncoded,
                             certificate->cbCertEncoded, hash, &length)) {
    return false;
  }
  *out = HexPairs(hash, length);
  return true;
}

// Whether Windows trusts the certificate for this host name, as it would for a web site: chain to
// a trusted root, validity, server use, name. Revocation is not checked: lists that cannot be
// fetched would stop backups, and the caller pins untrusted certificates anyway.
void CheckTrust(PCCERT_CONTEXT certificate, const std::string& hostName, Clock::time_point deadline,
                TlsPeer* peer) {
  char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {serverAuth};
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof chainPara;
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  // Fetching an intermediate the server left out counts against the handshake's time.
  const int leftMs = MillisecondsUntil(deadline);
  chainPara.dwUrlRetrievalTimeout = static_cast<DWORD>(leftMs > 0 ? leftMs : 1);
  const DWORD chainFlags = leftMs > 0 ? 0 : CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  // The certificate's own store holds the intermediates the server sent.
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara,
                               chainFlags, nullptr, &chain)) {
    peer->trustProblem = CodeText(GetLastError());
    return;
  }
  std::wstring name = WideFromAnsi(hostName);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = &name[0];
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  const BOOL checked =
      CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status);
  DWORD failure = checked ? status.dwError : GetLastError();
  // The chain's own verdict counts as well. Windows' SSL policy already fails a chain that ends
  // at an unknown issuer; Wine's lets such a partial chain pass, which would trust any
  // certificate signed by a stranger's CA.
  const DWORD chainErrors = chain->TrustStatus.dwErrorStatus;
  if (failure == 0 && (chainErrors & CERT_TRUST_IS_PARTIAL_CHAIN) != 0) failure = CERT_E_CHAINING;
  if (failure == 0 && (chainErrors & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0) {
    failure = CERT_E_UNTRUSTEDROOT;
  }
  constexpr DWORD kOtherFailures = CERT_TRUST_IS_NOT_SIGNATURE_VALID |
                                   CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_REVOKED |
                                   CERT_TRUST_IS_CYCLIC | CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
  if (failure == 0 && (chainErrors & kOtherFailures) != 0) failure = TRUST_E_FAIL;
  CertFreeCertificateChain(chain);
  peer->trusted = failure == 0;
  if (failure != 0) peer->trustProblem = CodeText(failure);
}

class RemoteCertificate {
 public:
  explicit RemoteCertificate(CtxtHandle* context) {
    if (QueryContextAttributesA(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate_) !=
        SEC_E_OK) {
      certificate_ = nullptr;
    }
  }
  ~RemoteCertificate() {
    if (certificate_ != nullptr) CertFreeCertificateContext(certificate_);
  }
  RemoteCertificate(const RemoteCertificate&) = delete;
  RemoteCertificate& operator=(const RemoteCertificate&) = delete;
  PCCERT_CONTEXT get() const { return certificate_; }

 private:
  PCCERT_CONTEXT certificate_ = nullptr;
};

bool Fail(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

// Whether held bytes can start a TLS record: a known content type, version 3.x and a length TLS
// allows. Checked before Schannel sees them, which may otherwise wait for the rest of a "record"
// that is really a plain-text greeting (Wine does).
bool CouldBeRecord(const char* bytes, std::size_t count) {
  const unsigned char* header = reinterpret_cast<const unsigned char*>(bytes);
  constexpr unsigned char kFirstType = 20;  // change_cipher_spec; then alert, handshake, data
  constexpr unsigned char kLastType = 23;
  constexpr std::size_t kLongestRecord = (1 << 14) + 2048;
  return (count < 1 || (header[0] >= kFirstType && header[0] <= kLastType)) &&
         (count < 2 || header[1] == 3) &&
         (count < 5 || (std::size_t{header[3]} << 8 | header[4]) <= kLongestRecord);
}

const SecBuffer* FindBuffer(const SecBuffer* buffers, int count, unsigned long type) {
  for (int i = 0; i < count; ++i) {
    if (buffers[i].BufferType == type) return &buffers[i];
  }
  return nullptr;
}

}  // namespace

struct TlsCredentials::Impl {
  CredHandle handle{};
  bool acquired = false;
  ~Impl() {
    if (acquired) FreeCredentialsHandle(&handle);
  }
};

TlsCredentials::TlsCredentials() : impl_(std::make_shared<Impl>()) {}
TlsCredentials::~TlsCredentials() = default;

bool TlsCredentials::Acquire(std::string* error) {
  if (!impl_->acquired) impl_->acquired = net::Acquire(&impl_->handle, error);
  return impl_->acquired;
}

struct TlsChannel::Impl {
  Socket* socket = nullptr;
  // Shared, so the credential outlives the context even if the session's credentials go first.
  std::shared_ptr<TlsCredentials::Impl> credentials;
  std::string targetName;
  CtxtHandle context{};
  bool haveContext = false;
  bool established = false;
  bool broken = false;
  bool shutDown = false;
  bool peerClosed = false;
  bool resumed = false;
  TlsPeer peer;
  SecPkgContext_StreamSizes sizes{};
  // What came from the socket: decrypted bytes not yet handed out, then bytes not yet decrypted.
  // plainBegin <= plainEnd <= rawBegin <= rawEnd <= incoming.size().
  std::vector<char> incoming;
  std::size_t plainBegin = 0;
  std::size_t plainEnd = 0;
  std::size_t rawBegin = 0;
  std::size_t rawEnd = 0;
  std::vector<char> outgoing;

  ~Impl() {
    if (haveContext) DeleteSecurityContext(&context);
  }

  SEC_CHAR* Target() { return targetName.empty() ? nullptr : &targetName[0]; }

  std::size_t RawBytes() const { return rawEnd - rawBegin; }

  void ConsumeRaw(const SecBuffer* extra) {
    rawBegin =
        extra != nullptr ? rawEnd - std::min<std::size_t>(extra->cbBuffer, RawBytes()) : rawEnd;
  }

  // Appends what the socket has, after moving what is held to the front, and says how much came.
  // Returns like net::Receive.
  bool ReceiveMore(Clock::time_point deadline, std::size_t* received, std::string* error) {
    const std::size_t plain = plainEnd - plainBegin;
    const std::size_t raw = RawBytes();
    std::memmove(incoming.data(), incoming.data() + plainBegin, plain);
    std::memmove(incoming.data() + plain, incoming.data() + rawBegin, raw);
    plainBegin = 0;
    plainEnd = rawBegin = plain;
    rawEnd = plain + raw;
    if (rawEnd == incoming.size()) return Fail(error, kTooLarge);
    return net::Receive(*socket, incoming.data() + rawEnd, incoming.size() - rawEnd,
                        MillisecondsUntil(deadline), received, error);
  }

  bool SendToken(SecBuffer* token, Clock::time_point deadline, std::string* error) {
    if (token->pvBuffer == nullptr) return true;
    const bool sent =
        token->cbBuffer == 0 || SendAll(*socket, static_cast<const char*>(token->pvBuffer),
                                        token->cbBuffer, MillisecondsUntil(deadline), error);
    FreeContextBuffer(token->pvBuffer);
    token->pvBuffer = nullptr;
    return sent;
  }

  // The handshake's first message, which makes the context.
  bool SendHello(Clock::time_point deadline, std::string* error) {
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    const SECURITY_STATUS status =
        InitializeSecurityContextA(&credentials->handle, nullptr, Target(), kContextFlags, 0, 0,
                                   nullptr, 0, &context, &outDesc, &attributes, nullptr);
    if (status != SEC_I_CONTINUE_NEEDED) {
      if (out.pvBuffer != nullptr) FreeContextBuffer(out.pvBuffer);
      *error = SetupFailure(status);
      return false;
    }
    haveContext = true;
    return SendToken(&out, deadline, error);
  }

  // Runs InitializeSecurityContext to the end of a handshake, sending what it makes and feeding it
  // what the server sends; `first` starts a new one, otherwise it goes on with the bytes held.
  // *replied tells whether anything was sent back (a new handshake, not just a message to take).
  bool Negotiate(bool first, Clock::time_point deadline, bool* replied, std::string* error) {
    CredHandle* credential = &credentials->handle;
    ULONG attributes = 0;
    *replied = first;
    if (first && !SendHello(deadline, error)) return false;
    bool needMore = RawBytes() == 0;
    bool retriedWithoutCertificate = false;
    for (;;) {
      if (needMore) {
        std::size_t got = 0;
        if (!ReceiveMore(deadline, &got, error)) return false;
        if (got == 0) return Fail(error, kClosedDuringSetup);
        rawEnd += got;
      }
      if (!CouldBeRecord(incoming.data() + rawBegin, RawBytes())) return Fail(error, kNotTls);
      SecBuffer in[2] = {
          {static_cast<unsigned long>(RawBytes()), SECBUFFER_TOKEN, incoming.data() + rawBegin},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
      SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
      SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
      const SECURITY_STATUS status =
          InitializeSecurityContextA(credential, &context, Target(), kContextFlags, 0, 0, &inDesc,
                                     0, nullptr, &outDesc, &attributes, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        if (out.pvBuffer != nullptr) FreeContextBuffer(out.pvBuffer);
        needMore = true;
        continue;
      }
      // Sent on failure too: with extended errors that is the alert telling the server why.
      const bool hadToken = out.pvBuffer != nullptr && out.cbBuffer > 0;
      std::string sendError;
      const bool sent = SendToken(&out, deadline, &sendError);
      *replied = *replied || hadToken;
      if (status == SEC_I_INCOMPLETE_CREDENTIALS && !retriedWithoutCertificate) {
        // The server asked for a client certificate: go on without one.
        retriedWithoutCertificate = true;
        needMore = false;
        continue;
      }
      if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
        return Fail(error, SetupFailure(status));
      if (!sent) return Fail(error, sendError);
      ConsumeRaw(FindBuffer(in, 2, SECBUFFER_EXTRA));
      // Bytes after the handshake's last message are the first records; they stay held.
      if (status == SEC_E_OK) return true;
      needMore = RawBytes() == 0;
    }
  }

  // After a handshake the server started again: the certificate accepted before must not change.
  bool SameCertificate(std::string* error) {
    RemoteCertificate certificate(&context);
    std::string fingerprint;
    if (certificate.get() != nullptr && Fingerprint(certificate.get(), &fingerprint) &&
        fingerprint == peer.sha256) {
      return true;
    }
    *error = "The server changed its certificate during the connection";
    return false;
  }

  // Decrypts the record at the front of the undecrypted bytes, in place.
  SECURITY_STATUS Decrypt(std::string* error) {
    if (!CouldBeRecord(incoming.data() + rawBegin, RawBytes())) {
      *error = std::string("The secure connection failed: ") + kNotTls;
      return SEC_E_ILLEGAL_MESSAGE;
    }
    SecBuffer buffers[4] = {
        {static_cast<unsigned long>(RawBytes()), SECBUFFER_DATA, incoming.data() + rawBegin},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return status;
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
      *error = "The secure connection failed: " + StatusText(status);
      return status;
    }
    const SecBuffer* data = FindBuffer(buffers, 4, SECBUFFER_DATA);
    const SecBuffer* extra = FindBuffer(buffers, 4, SECBUFFER_EXTRA);
    const std::size_t oldRawBegin = rawBegin;
    ConsumeRaw(extra);
    plainBegin = plainEnd = rawBegin;
    if (data != nullptr && data->cbBuffer > 0) {
      const char* begin = static_cast<const char*>(data->pvBuffer);
      const char* limit = incoming.data() + rawBegin;
      if (begin < incoming.data() + oldRawBegin || begin + data->cbBuffer > limit) {
        *error = "The secure connection failed: the decrypted data lies outside its record";
        return SEC_E_INTERNAL_ERROR;
      }
      plainBegin = static_cast<std::size_t>(begin - incoming.data());
      plainEnd = plainBegin + data->cbBuffer;
    }
    return status;
  }
};

TlsChannel::TlsChannel() : impl_(std::make_unique<Impl>()) {}
TlsChannel::~TlsChannel() = default;

bool TlsChannel::Handshake(Socket& socket, TlsCredentials& credentials,
                           const std::string& targetName, int timeoutMs, std::string* error) {
  Impl& state = *impl_;
  if (state.haveContext) return Fail(error, "The secure connection was set up already");
  if (!socket.IsOpen()) return Fail(error, "There is no connection to secure");
  if (!credentials.Acquire(error)) return false;
  const Clock::time_point deadline = DeadlineAfter(timeoutMs);
  state.socket = &socket;
  state.credentials = credentials.impl_;
  state.targetName = targetName;
  state.incoming.assign(kIncomingBytes, '\0');
  bool replied = false;
  if (!state.Negotiate(true, deadline, &replied, error)) return false;

  SECURITY_STATUS status =
      QueryContextAttributesA(&state.context, SECPKG_ATTR_STREAM_SIZES, &state.sizes);
  if (status != SEC_E_OK || state.sizes.cbMaximumMessage == 0)
    return Fail(error, SetupFailure(status != SEC_E_OK ? status : SEC_E_INTERNAL_ERROR));
  // Reported by Schannel, not by the peer; a buffer must hold at least one whole record.
  const std::size_t record =
      std::size_t{state.sizes.cbHeader} + state.sizes.cbMaximumMessage + state.sizes.cbTrailer;
  if (state.incoming.size() < 2 * record) state.incoming.resize(2 * record);
  state.outgoing.assign(kRecordsPerSend * record, '\0');

  RemoteCertificate certificate(&state.context);
  if (certificate.get() == nullptr) return Fail(error, "The server sent no certificate");
  if (!Fingerprint(certificate.get(), &state.peer.sha256))
    return Fail(error, "The server's certificate could not be read: " + CodeText(GetLastError()));
  CheckTrust(certificate.get(), targetName, deadline, &state.peer);

  SecPkgContext_SessionInfo session{};
  state.resumed =
      QueryContextAttributesA(&state.context, SECPKG_ATTR_SESSION_INFO, &session) == SEC_E_OK &&
      (session.dwFlags & SSL_SESSION_RECONNECT) != 0;
  state.established = true;
  return true;
}

const TlsPeer& TlsChannel::Peer() const { return impl_->peer; }

bool TlsChannel::Resumed() const { return impl_->resumed; }

bool TlsChannel::IsOpen() const { return impl_->established && !impl_->broken && !impl_->shutDown; }

bool TlsChannel::HasBuffered() const {
  const Impl& state = *impl_;
  if (state.plainEnd > state.plainBegin || state.peerClosed) return true;
  // A record's header: type, version, then its length.
  constexpr std::size_t kHeaderBytes = 5;
  if (state.RawBytes() < kHeaderBytes) return false;
  const unsigned char* header =
      reinterpret_cast<const unsigned char*>(state.incoming.data() + state.rawBegin);
  const std::size_t length = std::size_t{header[3]} << 8 | header[4];
  return state.RawBytes() >= kHeaderBytes + length;
}

bool TlsChannel::Send(const char* data, std::size_t size, int timeoutMs, std::string* error) {
  Impl& state = *impl_;
  if (!IsOpen()) return Fail(error, kNotOpen);
  while (size > 0) {
    char* const start = state.outgoing.data();
    char* end = start;
    for (std::size_t records = 0; records < kRecordsPerSend && size > 0; ++records) {
      const std::size_t piece = std::min<std::size_t>(size, state.sizes.cbMaximumMessage);
      std::memcpy(end + state.sizes.cbHeader, data, piece);
      SecBuffer buffers[4] = {
          {state.sizes.cbHeader, SECBUFFER_STREAM_HEADER, end},
          {static_cast<unsigned long>(piece), SECBUFFER_DATA, end + state.sizes.cbHeader},
          {state.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, end + state.sizes.cbHeader + piece},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = EncryptMessage(&state.context, 0, &desc, 0);
      if (status != SEC_E_OK) {
        state.broken = true;
        *error = "The secure connection failed: " + StatusText(status);
        return false;
      }
      // The trailer may come out shorter than its maximum; records go out back to back.
      end += buffers[0].cbBuffer;
      for (int i = 1; i < 3; ++i) {
        if (buffers[i].pvBuffer != end) std::memmove(end, buffers[i].pvBuffer, buffers[i].cbBuffer);
        end += buffers[i].cbBuffer;
      }
      data += piece;
      size -= piece;
    }
    if (!SendAll(*state.socket, start, static_cast<std::size_t>(end - start), timeoutMs, error)) {
      state.broken = true;
      return false;
    }
  }
  return true;
}

bool TlsChannel::Receive(char* buffer, std::size_t size, int timeoutMs, std::size_t* received,
                         std::string* error) {
  Impl& state = *impl_;
  if (!state.established || state.broken) return Fail(error, kNotOpen);
  *received = 0;
  const Clock::time_point deadline = DeadlineAfter(timeoutMs);
  bool needMore = false;
  while (size > 0) {
    if (state.plainEnd > state.plainBegin) {
      const std::size_t count = std::min(size, state.plainEnd - state.plainBegin);
      std::memcpy(buffer, state.incoming.data() + state.plainBegin, count);
      state.plainBegin += count;
      *received = count;
      return true;
    }
    if (state.peerClosed) return true;
    if (state.RawBytes() > 0 && !needMore) {
      const SECURITY_STATUS status = state.Decrypt(error);
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        needMore = true;
      } else if (status == SEC_I_CONTEXT_EXPIRED) {
        state.peerClosed = true;
      } else if (status == SEC_I_RENEGOTIATE) {
        // TLS 1.3 delivers session tickets this way; a server may also start a new handshake.
        bool replied = false;
        if (!state.Negotiate(false, deadline, &replied, error) ||
            (replied && !state.SameCertificate(error))) {
          state.broken = true;
          return false;
        }
      } else if (status != SEC_E_OK) {
        state.broken = true;
        return false;
      }
      continue;
    }
    std::size_t got = 0;
    if (!state.ReceiveMore(deadline, &got, error)) return false;
    if (got == 0) {
      state.peerClosed = true;
      continue;
    }
    state.rawEnd += got;
    needMore = false;
  }
  return true;
}

bool TlsChannel::Shutdown(int timeoutMs, std::string* error) {
  Impl& state = *impl_;
  if (!IsOpen()) return Fail(error, kNotOpen);
  state.shutDown = true;
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
  SECURITY_STATUS status = ApplyControlToken(&state.context, &controlDesc);
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  if (status == SEC_E_OK) {
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    status = InitializeSecurityContextA(&state.credentials->handle, &state.context, state.Target(),
                                        kContextFlags, 0, 0, nullptr, 0, nullptr, &outDesc,
                                        &attributes, nullptr);
  }
  if (FAILED(status)) {
    if (out.pvBuffer != nullptr) FreeContextBuffer(out.pvBuffer);
    *error = "The secure connection could not be closed: " + StatusText(status);
    return false;
  }
  return state.SendToken(&out, DeadlineAfter(timeoutMs), error);
}

bool TlsChannel::Close(int timeoutMs, std::string* error) {
  const Clock::time_point deadline = DeadlineAfter(timeoutMs);
  if (!Shutdown(timeoutMs, error)) return false;
  impl_->socket->ShutdownSending();
  char unread[4096];
  std::size_t got = 0;
  while (Receive(unread, sizeof unread, MillisecondsUntil(deadline), &got, error)) {
    if (got == 0) return true;
  }
  return false;
}

bool TlsAvailable() { return true; }

}  // namespace net
