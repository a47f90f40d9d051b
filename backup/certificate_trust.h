// Whether a server's certificate is the one accepted before, decided without windows: the run
// asks the user only about a change that someone on the path could have made.
#pragma once

#include <string>

#include "settings/certificate_store.h"

class TransferWindow;

extern const char* const kCertificateChangedQuestion;

// True when `presented` is not the certificate accepted before (`stored`, of the same server):
// another fingerprint than an untrusted one pinned on first use, or one Windows does not trust
// where the one before was trusted. A trusted certificate after a trusted one is a renewal.
bool CertificateChanged(const CertificateRecord& stored, const CertificateRecord& presented);

// The Yes/No question for a changed certificate: the new fingerprint, and what Windows thought of
// the one before and of this one.
std::string CertificateChangedText(const CertificateRecord& stored,
                                   const CertificateRecord& presented);

// Whether to go on with the certificate `presented` (its server, fingerprint and Windows' trust):
// silently on first use and when unchanged, by the user's answer when changed. What is accepted
// is remembered for the server.
bool AcceptCertificate(const CertificateRecord& presented, TransferWindow& window);
