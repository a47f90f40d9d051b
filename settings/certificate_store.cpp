#include "settings/certificate_store.h"

#include <algorithm>

#include "settings/setting_names.h"
#include "settings/settings_codec.h"

namespace {

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    if (end > at) words.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

std::optional<CertificateRecord> ParseRecord(const std::string& text) {
  const std::vector<std::string> words = Words(text);
  const bool marked = words.size() == 3 && words[2] == kTrustedCertificateMark;
  if (words.size() != 2 && !marked) return std::nullopt;
  return CertificateRecord{words[0], words[1], marked};
}

std::vector<std::string> Texts(const RegistryValue& value) {
  if (value.type == kRegSz) return {value.data.substr(0, value.data.find('\0'))};
  std::vector<std::string> texts;
  if (value.type != kRegMultiSz) return texts;
  // Zero-terminated texts, the list ended by an empty one (or by the end of the data).
  std::size_t at = 0;
  while (at < value.data.size()) {
    const std::size_t end = std::min(value.data.find('\0', at), value.data.size());
    if (end == at) break;
    texts.push_back(value.data.substr(at, end - at));
    at = end + 1;
  }
  return texts;
}

std::vector<CertificateRecord> LoadAll(RegistryKey& key) {
  const std::optional<RegistryValue> value = key.Read(kServerCertificateValue);
  return value ? DecodeCertificateRecords(*value) : std::vector<CertificateRecord>();
}

}  // namespace

std::vector<CertificateRecord> DecodeCertificateRecords(const RegistryValue& value) {
  std::vector<CertificateRecord> records;
  for (const std::string& text : Texts(value)) {
    const std::optional<CertificateRecord> record = ParseRecord(text);
    const bool seen =
        record && std::any_of(records.begin(), records.end(), [&](const CertificateRecord& r) {
          return r.server == record->server;
        });
    if (record && !seen) records.push_back(*record);
  }
  return records;
}

RegistryValue EncodeCertificateRecords(const std::vector<CertificateRecord>& records) {
  RegistryValue value;
  value.type = kRegMultiSz;
  for (const CertificateRecord& record : records) {
    value.data += record.server + " " + record.fingerprint;
    if (record.trustedByWindows) value.data += std::string(" ") + kTrustedCertificateMark;
    value.data.push_back('\0');
  }
  value.data.push_back('\0');
  return value;
}

std::optional<CertificateRecord> LoadCertificate(RegistryKey& key, const std::string& server) {
  for (const CertificateRecord& record : LoadAll(key)) {
    if (record.server == server) return record;
  }
  return std::nullopt;
}

bool SaveCertificate(RegistryKey& key, const CertificateRecord& record) {
  std::vector<CertificateRecord> records = LoadAll(key);
  const auto same = std::find_if(records.begin(), records.end(), [&](const CertificateRecord& r) {
    return r.server == record.server;
  });
  if (same != records.end()) {
    *same = record;
  } else {
    records.push_back(record);
  }
  return key.Write(kServerCertificateValue, EncodeCertificateRecords(records));
}
