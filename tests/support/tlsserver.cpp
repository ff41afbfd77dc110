#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/support/tlsserver.h"

#include "tests/support/fixtures.h"

#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#ifndef VEXA_SOURCE_DIR
#error VEXA_SOURCE_DIR must name the source tree (a Unix path)
#endif

namespace vexatest {
namespace {

constexpr DWORD kStartTimeoutMs = 30000; // two RSA keys and five certificates
constexpr const wchar_t* kPython = L"Z:\\usr\\bin\\python3";

// Wine's own export: the Unix path of a Windows one (allocated on the process heap).
std::string UnixPath(const std::wstring& windowsPath)
{
    using ToUnix = char*(CDECL*)(LPCWSTR);
    auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix) return {};
    char* path = toUnix(windowsPath.c_str());
    if (!path) return {};
    std::string result = path;
    HeapFree(GetProcessHeap(), 0, path);
    return result;
}

std::string ReadFile(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void RemoveDirectoryTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW((dir + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(dir.c_str());
}

} // namespace

bool TlsServer::Fail(const std::string& why)
{
    m_error = why;
    Stop();
    return false;
}

bool TlsServer::Start(unsigned silenceSeconds)
{
    if (m_control != INVALID_SOCKET) return true;
    m_error.clear();
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return Fail("WSAStartup failed");
    m_wsaStarted = true;

    wchar_t temp[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, temp)) return Fail("no temporary folder");
    const std::wstring dir = std::wstring(temp) + L"vexa-tls-" + std::to_wstring(GetCurrentProcessId()) +
                             L"-" + std::to_wstring(GetTickCount());
    if (!CreateDirectoryW(dir.c_str(), nullptr)) return Fail("cannot make the certificate folder");
    const std::string unixDir = UnixPath(dir);
    if (unixDir.empty()) {
        RemoveDirectoryW(dir.c_str());
        return Fail("not running under Wine (no Unix path for the certificate folder)");
    }

    // The front is a Unix process: Wine starts it directly, with Unix paths as its arguments.
    std::wstring command = L"python3 \"" VEXA_SOURCE_DIR L"/tests/support/tlsserver.py\" --dir \"" +
                           Widen(unixDir) + L"\" --out \"" + Widen(unixDir) + L"/ports\" --silence " + std::to_wstring(silenceSeconds);
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(kPython, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        RemoveDirectoryW(dir.c_str());
        return Fail("cannot start python3: error " + std::to_string(GetLastError()));
    }
    if (process.hThread) CloseHandle(process.hThread);
    if (process.hProcess) CloseHandle(process.hProcess);

    std::map<std::string, std::string> values;
    for (DWORD waited = 0; values.empty() && waited < kStartTimeoutMs; waited += 50) {
        Sleep(50);
        std::istringstream lines(ReadFile(dir + L"\\ports"));
        for (std::string line; std::getline(lines, line);) {
            std::size_t equals = line.find('=');
            if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    const std::string pem = ReadFile(dir + L"\\ca.pem");
    RemoveDirectoryTree(dir);
    if (values.empty()) return Fail("the TLS front did not start (see its messages above)");

    const char* names[] = {"good", "selfsigned", "expired", "otherhost"};
    for (int i = 0; i < 4; ++i)
        m_ports[i] = static_cast<unsigned short>(std::atoi(values[names[i]].c_str()));
    m_silentPort = static_cast<unsigned short>(std::atoi(values["silent"].c_str()));
    const auto controlPort = static_cast<unsigned short>(std::atoi(values["control"].c_str()));

    // The control connection: the front ends when it closes, whatever becomes of this process.
    SOCKET control = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (control == INVALID_SOCKET) return Fail("no socket");
    m_control = control;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(controlPort);
    if (connect(control, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return Fail("cannot reach the TLS front's control port");
    DWORD timeout = 5000;
    setsockopt(control, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);

    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
        return Fail("the authority's certificate is not PEM");
    m_authority.assign(size, '\0');
    CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER,
                         reinterpret_cast<BYTE*>(&m_authority[0]), &size, nullptr, nullptr);
    m_authority.resize(size);
    return Trust() ? true : Fail("cannot add the authority to the ROOT store");
}

// The user's ROOT store in the registry (the machine's ROOT store under Wine is the host's
// certificate bundle, read-only). Then one chain is built, so the process's default chain
// engine, which reads the stores once, is made now, from the real HKEY_CURRENT_USER and not
// from a fixture's override of it.
bool TlsServer::Trust()
{
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!root) return false;
    PCCERT_CONTEXT added = nullptr;
    bool ok = CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING,
                                               reinterpret_cast<const BYTE*>(m_authority.data()),
                                               static_cast<DWORD>(m_authority.size()),
                                               CERT_STORE_ADD_REPLACE_EXISTING, &added) &&
              CertControlStore(root, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    m_trusted = ok;
    if (added) {
        CERT_CHAIN_PARA para = {sizeof para};
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        if (CertGetCertificateChain(nullptr, added, nullptr, nullptr, &para, 0, nullptr, &chain))
            CertFreeCertificateChain(chain);
        CertFreeCertificateContext(added);
    }
    CertCloseStore(root, 0);
    return ok;
}

bool TlsServer::Untrust(const std::string& authority)
{
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!root) return false;
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(authority.data()), static_cast<DWORD>(authority.size()));
    PCCERT_CONTEXT found = wanted ? CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr)
                                  : nullptr;
    bool ok = found && CertDeleteCertificateFromStore(found); // frees `found` either way
    if (wanted) CertFreeCertificateContext(wanted);
    ok = CertControlStore(root, 0, CERT_STORE_CTRL_COMMIT, nullptr) && ok;
    CertCloseStore(root, 0);
    return ok;
}

bool TlsServer::Trusted(const std::string& authority)
{
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                    CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"Root");
    if (!root) return false;
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(authority.data()), static_cast<DWORD>(authority.size()));
    PCCERT_CONTEXT found = wanted ? CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr)
                                  : nullptr;
    if (found) CertFreeCertificateContext(found);
    if (wanted) CertFreeCertificateContext(wanted);
    CertCloseStore(root, 0);
    return found != nullptr;
}

void TlsServer::Stop()
{
    if (m_trusted) {
        Untrust(m_authority);
        m_trusted = false;
    }
    if (m_control != INVALID_SOCKET) {
        closesocket(m_control);
        m_control = INVALID_SOCKET;
    }
    if (m_wsaStarted) {
        WSACleanup();
        m_wsaStarted = false;
    }
}

bool TlsServer::SetBackend(unsigned short port)
{
    if (m_control == INVALID_SOCKET) return false;
    const std::string line = "backend " + std::to_string(port) + "\n";
    if (send(m_control, line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size()))
        return false;
    char answer[3] = {};
    return recv(m_control, answer, 3, 0) == 3 && std::string(answer, 3) == "ok\n";
}

std::string TlsServer::LocalUrl(unsigned short port, const std::string& path)
{
    return "https://localhost:" + std::to_string(port) + path;
}

std::string TlsServer::Url(Cert cert, const std::string& path) const
{
    return LocalUrl(Port(cert), path);
}

} // namespace vexatest
