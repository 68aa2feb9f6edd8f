// The Windows ROOT stores, read through crypt32, bound at run time like the
// other system calls here, so that a run without TLS never loads it.
#include "util/certstore.h"

#include <windows.h>
#include <wincrypt.h>

#include <set>

#include "util/dynlib.h"

namespace zud {
namespace {

using TOpenStore = HCERTSTORE(WINAPI*)(LPCSTR, DWORD, HCRYPTPROV_LEGACY, DWORD, const void*);
using TEnumCertificates = PCCERT_CONTEXT(WINAPI*)(HCERTSTORE, PCCERT_CONTEXT);
using TCloseStore = BOOL(WINAPI*)(HCERTSTORE, DWORD);

}  // namespace

std::vector<std::string> SystemRootCertificates() {
  std::string error;
  void* crypt32 = LoadSharedLibrary("crypt32.dll", error);
  const auto open = reinterpret_cast<TOpenStore>(FindSharedLibrarySymbol(crypt32, "CertOpenStore"));
  const auto next = reinterpret_cast<TEnumCertificates>(
      FindSharedLibrarySymbol(crypt32, "CertEnumCertificatesInStore"));
  const auto close = reinterpret_cast<TCloseStore>(FindSharedLibrarySymbol(crypt32, "CertCloseStore"));
  std::vector<std::string> certificates;
  if (open == nullptr || next == nullptr || close == nullptr) return certificates;
  std::set<std::string> seen;
  // The user's store also shows the machine's roots; the others hold what
  // group policy and the enterprise store add.
  for (const DWORD location :
       {CERT_SYSTEM_STORE_CURRENT_USER, CERT_SYSTEM_STORE_LOCAL_MACHINE,
        CERT_SYSTEM_STORE_CURRENT_USER_GROUP_POLICY, CERT_SYSTEM_STORE_LOCAL_MACHINE_GROUP_POLICY,
        CERT_SYSTEM_STORE_LOCAL_MACHINE_ENTERPRISE}) {
    HCERTSTORE store = open(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                            location | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG,
                            L"ROOT");
    if (store == nullptr) continue;
    for (PCCERT_CONTEXT cert = next(store, nullptr); cert != nullptr; cert = next(store, cert)) {
      if (cert->dwCertEncodingType != X509_ASN_ENCODING) continue;
      std::string der(reinterpret_cast<const char*>(cert->pbCertEncoded), cert->cbCertEncoded);
      if (seen.insert(der).second) certificates.push_back(std::move(der));
    }
    close(store, 0);
  }
  return certificates;
}

}  // namespace zud
