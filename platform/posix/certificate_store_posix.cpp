#include "platform/certificate_store.h"

namespace qw {

Result<std::vector<StoreCertificate>> ListMachineCertificates() {
  return Status::Failure("ListMachineCertificates", 0,
                         "このシステムには証明書ストアがありません (CLIENTCERT には PEM ファイルを指定します)");
}

}  // namespace qw
