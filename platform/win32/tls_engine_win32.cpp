// Placeholder until the SChannel engine lands: every handshake fails, so a
// setting that asks for TLS ends the attempt with a clear "TLS" failure
// instead of ever falling back to clear text. The real engine replaces
// this file.
#include "platform/tls_engine.h"

namespace qw {

namespace {

class UnavailableEngine : public TlsEngine {
 public:
  UnavailableEngine() : FError(Status::Failure("TLS", 0, "TLS is not available")) {}
  void Feed(std::string_view) override {}
  std::string TakeOutput() override { return ""; }
  Step Handshake() override { return Step::Failed; }
  Status Encrypt(std::string_view) override { return FError; }
  Status Decrypt(std::string*) override { return FError; }
  bool PeerClosed() const override { return false; }
  void Shutdown() override {}
  const Status& Error() const override { return FError; }
  bool Verified() const override { return false; }
  std::string Protocol() const override { return ""; }

 private:
  Status FError;
};

}  // namespace

std::unique_ptr<TlsEngine> NewTlsEngine(const TlsOptions&) { return std::make_unique<UnavailableEngine>(); }

}  // namespace qw
