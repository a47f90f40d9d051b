#include "framework/internet.h"

namespace {

// Reasons come from servers and the system, with or without a final full stop.
std::string AsSentence(const std::string& text) {
  return !text.empty() && text.back() == '.' ? text : text + ".";
}

}  // namespace

CFtpConnection::CFtpConnection(std::unique_ptr<ftp::Client> client) : client_(std::move(client)) {}

CFtpConnection::~CFtpConnection() { Close(); }

void CFtpConnection::Close() { client_->Quit(); }

bool CFtpConnection::SetCurrentDirectory(const std::string& directory) {
  return client_->ChangeDirectory(directory);
}

bool CFtpConnection::CreateDirectory(const std::string& directory) {
  return client_->MakeDirectory(directory);
}

bool CFtpConnection::PutFile(const std::string& localPath, const std::string& remoteName,
                             unsigned flags, std::uintptr_t /*context*/) {
  const char type = flags == kFtpTransferTypeAscii ? 'A' : 'I';
  return client_->SetType(type) && client_->Store(localPath, remoteName);
}

std::unique_ptr<CFtpConnection> CInternetSession::GetFtpConnection(const std::string& server,
                                                                   const std::string& user,
                                                                   const std::string& password,
                                                                   int port, bool passive) {
  if (passive) throw CInternetException("Passive mode is not supported");
  ftp::ServerAddress address;
  std::string error;
  const int defaultPort = port != 0 ? port : ftp::kDefaultPort;
  if (!ftp::ParseServerAddress(server, defaultPort, &address, &error)) {
    throw CInternetException("Could not connect to \"" + server + "\": " + AsSentence(error) +
                             " Check the server address.");
  }
  auto client = std::make_unique<ftp::Client>(timeoutMs_);
  if (!client->Connect(address)) {
    throw CInternetException("Could not connect to " + server + ": " +
                             AsSentence(client->LastError()) + " Check the server address.");
  }
  if (!client->Login(user, password)) {
    if (!client->IsConnected()) {
      throw CInternetException("Could not log in to " + server + ": " +
                               AsSentence(client->LastError()));
    }
    throw CInternetException("The server refused the login: " + AsSentence(client->LastError()) +
                             " Check the login name and password.");
  }
  return std::unique_ptr<CFtpConnection>(new CFtpConnection(std::move(client)));
}
