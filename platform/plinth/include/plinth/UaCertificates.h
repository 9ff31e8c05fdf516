#pragma once
// Certificates of the opc.tcp client: its own application instance
// certificate and key (loaded, or created at first start), the server's
// certificate as received, and the folder of server certificates the
// operator trusts.
//
// Blocking: file reads and, at first start, one RSA key generation (tens
// of milliseconds). Failures come back as one line of text for the log.
#include <string>

#include "plinth/UaSecurity.h"

namespace VESK::DAQ::ua {

struct Certificate {
  Bytes der;
  PKey key;                    // the public key
  std::string subject;         // one line, "CN=..., O=..."
  std::string applicationUri;  // the URI in subjectAltName; empty when none

  std::string Thumbprint() const { return Hex(Sha1(der)); }
  // False (why says what) when der is not an X.509 certificate with an RSA key.
  static bool FromDer(const Bytes& der, Certificate& out, std::string& why);
};

struct Identity {
  Certificate certificate;
  PKey privateKey;
};

// Reads the certificate and key (PEM or DER). When neither file exists,
// creates both first: RSA 2048, SHA-256, self-signed, valid 20 years,
// applicationUri and the host name in subjectAltName, the key readable by
// its owner only; a path ending in ".der" is written as DER, others as PEM.
bool LoadOrCreateIdentity(const std::string& certificatePath, const std::string& keyPath,
                          const std::string& applicationUri, Identity& out, std::string& why);

// True when a regular file in folder holds this certificate (PEM or DER).
// Files above 64 KiB and links are skipped.
bool TrustedIn(const std::string& folder, const Bytes& der);

}  // namespace VESK::DAQ::ua
