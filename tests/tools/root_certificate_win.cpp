// Adds a certificate to (or removes it from) the machine's ROOT store, for
// scripts/test-windows to check that ftpupload.exe trusts the system's roots
// under wine:
//   root_certificate.exe add|remove CERT.der
// Exits 0 when done.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "add") != 0 && std::strcmp(argv[1], "remove") != 0)) {
    std::fprintf(stderr, "usage: root_certificate add|remove CERT.der\n");
    return 2;
  }
  std::ifstream file(argv[2], std::ios::binary);
  const std::string der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (der.empty()) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
  if (store == nullptr) {
    std::fprintf(stderr, "cannot open the ROOT store (%lu)\n", GetLastError());
    return 1;
  }
  PCCERT_CONTEXT added = nullptr;
  BOOL ok = CertAddEncodedCertificateToStore(
      store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
      static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, &added);
  if (ok && std::strcmp(argv[1], "remove") == 0) {
    ok = CertDeleteCertificateFromStore(added);  // frees the context
    added = nullptr;
  }
  if (added != nullptr) CertFreeCertificateContext(added);
  CertCloseStore(store, 0);
  if (!ok) std::fprintf(stderr, "failed (%lu)\n", GetLastError());
  return ok ? 0 : 1;
}
