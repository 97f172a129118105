// KeyAssertionSigner: the AssertionSigner over a platform SigningKey (a
// certificate of the machine's store, a PEM certificate file, or a service
// account's PEM key). Its failures name the settings key it was made from.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "auth/assertion_signer.h"
#include "platform/jws.h"
#include "platform/signing_key.h"

namespace qw {

class KeyAssertionSigner : public AssertionSigner {
 public:
  KeyAssertionSigner(std::unique_ptr<SigningKey> key, std::string settingsKey)
      : key_(std::move(key)), settingsKey_(std::move(settingsKey)) {}

  // CLIENTCERT: a thumbprint in LocalMachine\My (Windows) or a PEM file
  // with certificate and key (POSIX).
  static Result<std::unique_ptr<AssertionSigner>> ForClientCert(const std::string& value) {
    return Wrap(OpenCertificateKey(value), "CLIENTCERT");
  }
  // SERVICEACCOUNT: the "private_key" of the JSON key file named `path`.
  static Result<std::unique_ptr<AssertionSigner>> ForServiceAccountKey(const std::string& pem, const std::string& path) {
    return Wrap(LoadPemPrivateKey(pem, path), "SERVICEACCOUNT");
  }

  Result<std::string> Sign(const std::string& claimsJson, const std::vector<JwsHeaderField>& headerFields) override {
    std::vector<std::pair<std::string, std::string>> fields;
    fields.reserve(headerFields.size());
    for (const JwsHeaderField& field : headerFields) fields.emplace_back(field.name, field.value);
    Result<std::string> jws = SignCompactJws(*key_, claimsJson, fields);
    if (!jws) return Named(jws.status(), settingsKey_);
    return jws;
  }

 private:
  static Status Named(const Status& failure, const std::string& settingsKey) {
    return Status::Failure(settingsKey, failure.Code(), failure.Describe(), failure.Kind());
  }
  static Result<std::unique_ptr<AssertionSigner>> Wrap(Result<std::unique_ptr<SigningKey>> key,
                                                       const std::string& settingsKey) {
    if (!key) return Named(key.status(), settingsKey);
    return std::unique_ptr<AssertionSigner>(new KeyAssertionSigner(std::move(*key), settingsKey));
  }

  std::unique_ptr<SigningKey> key_;
  std::string settingsKey_;
};

}  // namespace qw
