// trustca: adds a certificate authority to the current user's ROOT store of this Wine prefix
// (or Windows account), or removes it again, so that https servers with certificates it signed
// pass WinINet's checks. The run command uses it for the sample feeds' test authority.
// Usage: trustca [/remove] FILE   (FILE: one certificate, PEM or DER)
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// The certificate's DER bytes: PEM is decoded, anything else is taken as DER.
bool ReadCertificate(const wchar_t* path, std::string& der)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    der = text.str();
    if (der.find("-----BEGIN") == std::string::npos) return !der.empty();
    DWORD size = 0;
    if (!CryptStringToBinaryA(der.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
        return false;
    std::string decoded(size, '\0');
    if (!CryptStringToBinaryA(der.c_str(), 0, CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(&decoded[0]),
                              &size, nullptr, nullptr))
        return false;
    decoded.resize(size);
    der.swap(decoded);
    return true;
}

int Fail(const char* what)
{
    std::fprintf(stderr, "trustca: %s (error 0x%08lx)\n", what, GetLastError());
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const bool remove = argc == 3 && lstrcmpiW(argv[1], L"/remove") == 0;
    if (argc != 2 && !remove) {
        std::fprintf(stderr, "usage: trustca [/remove] FILE\n");
        return 2;
    }
    std::string der;
    if (!ReadCertificate(argv[argc - 1], der)) return Fail("cannot read the certificate");
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                       static_cast<DWORD>(der.size()));
    if (!cert) return Fail("not a certificate");
    char name[256] = {};
    CertGetNameStringA(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, sizeof name);

    // The registry store itself: under Wine the machine's ROOT is the host's bundle, read-only,
    // and an addition through the system collection is not kept.
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!root) {
        CertFreeCertificateContext(cert);
        return Fail("cannot open the ROOT store");
    }
    bool ok;
    if (remove) {
        PCCERT_CONTEXT found = CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
        ok = !found || CertDeleteCertificateFromStore(found); // frees `found`
    } else {
        ok = CertAddCertificateContextToStore(root, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    }
    ok = ok && CertControlStore(root, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    int result = ok ? 0 : Fail(remove ? "cannot remove the certificate" : "cannot add the certificate");
    if (ok && !remove) {
        // The authority's own chain now ends in a trusted root. (This also makes Wine bring the
        // host's root certificates into the prefix now, not in the first program to use https.)
        CERT_CHAIN_PARA para = {sizeof para};
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        if (!CertGetCertificateChain(nullptr, cert, nullptr, nullptr, &para, 0, nullptr, &chain)) {
            result = Fail("cannot check the chain");
        } else {
            if (chain->TrustStatus.dwErrorStatus & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
                std::fprintf(stderr, "trustca: added, but not trusted (status 0x%08lx)\n", chain->TrustStatus.dwErrorStatus);
                result = 1;
                ok = false;
            }
            CertFreeCertificateChain(chain);
        }
    }
    if (ok) std::printf("trustca: %s \"%s\" %s the ROOT store\n", remove ? "removed" : "trusted", name,
                        remove ? "from" : "in");
    CertCloseStore(root, 0);
    CertFreeCertificateContext(cert);
    return result;
}
