#include "ftp/internet_session.h"

namespace {

// Reasons come from servers and the system, with or without a final full stop.
std::string AsSentence(const std::string& text) {
  return !text.empty() && text.back() == '.' ? text : text + ".";
}

}  // namespace

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
  auto client = std::make_unique<CFtpConnection>(timeoutMs_);
  client->SetReconnectPause(reconnectPauseMs_);
  client->SetCertificateCheck(certificateCheck_);
  client->SetKnownSecure(knownSecure_);
  client->SetProgress(progress_);
  if (!client->Connect(address)) {
    throw CInternetException("Could not connect to " + server + ": " +
                             AsSentence(client->LastError()) + " Check the server address.");
  }
  if (!client->Login(user, password)) {
    if (client->CertificateRefused()) throw CertificateRefusedException(client->LastError());
    if (!client->IsConnected()) {
      throw CInternetException("Could not log in to " + server + ": " +
                               AsSentence(client->LastError()));
    }
    throw CInternetException("The server refused the login: " + AsSentence(client->LastError()) +
                             " Check the login name and password.");
  }
  return client;
}
