// The certificates accepted per server, kept in the settings key, so that a certificate that
// changes behind a server's name is noticed on the next connection, whoever made the one before.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "settings/registry.h"

struct CertificateRecord {
  std::string server;       // "host:port" as the connection names it
  std::string fingerprint;  // SHA-256: upper-case hex byte pairs joined by ':'
  bool trustedByWindows = false;
};

// The records a value holds, in stored order. A REG_SZ is the one record of earlier versions; a
// record that cannot be read, or a second one for the same server, is passed over.
std::vector<CertificateRecord> DecodeCertificateRecords(const RegistryValue& value);
RegistryValue EncodeCertificateRecords(const std::vector<CertificateRecord>& records);

std::optional<CertificateRecord> LoadCertificate(RegistryKey& key, const std::string& server);
// Replaces the server's record, or adds it behind the others; false when it cannot be written.
bool SaveCertificate(RegistryKey& key, const CertificateRecord& record);
