#include "backup/certificate_trust.h"

#include <optional>

#include "backup/transfer_run.h"

const char* const kCertificateChangedQuestion =
    "The server's certificate has changed since the last backup.\n\n"
    "New fingerprint (SHA-256):\n";

bool CertificateChanged(const CertificateRecord& stored, const CertificateRecord& presented) {
  if (stored.trustedByWindows) return !presented.trustedByWindows;
  return presented.fingerprint != stored.fingerprint;
}

std::string CertificateChangedText(const CertificateRecord& stored,
                                   const CertificateRecord& presented) {
  const char* trust = stored.trustedByWindows
                          ? "Windows trusted the earlier certificate; it does not trust this one."
                      : presented.trustedByWindows
                          ? "Windows did not trust the earlier certificate; it trusts this one."
                          : "Windows trusted neither the earlier certificate nor this one.";
  return kCertificateChangedQuestion + presented.fingerprint + "\n\n" + trust +
         " Someone on the network may be posing as the server."
         "\n\nDo you want to trust it and go on with the backup?";
}

bool AcceptCertificate(const CertificateRecord& presented, TransferWindow& window) {
  const std::optional<CertificateRecord> stored = window.StoredCertificate(presented.server);
  if (stored && CertificateChanged(*stored, presented) &&
      !window.AskYesNo(CertificateChangedText(*stored, presented))) {
    return false;
  }
  if (!stored || stored->fingerprint != presented.fingerprint ||
      stored->trustedByWindows != presented.trustedByWindows) {
    window.StoreCertificate(presented);
  }
  return true;
}
