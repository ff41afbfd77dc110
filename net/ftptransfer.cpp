// The ftp transfer: a control connection that logs in, asks for binary mode, the file's size
// and a passive data connection, then RETR; the data connection is read to its end. Sockets
// are non-blocking and every wait is a select() of at most kSliceMs, so the job's deadlines
// and its owner letting go are seen in time.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/ftptransfer.h"

#include <wininet.h>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "com/owners.h"
#include "format/utf8.h"

namespace vexa {

namespace {

using Bound = FetchResult::Bound;
using Outcome = FetchResult::Outcome;

constexpr DWORD kSliceMs = 250;
constexpr std::size_t kReplyLimit = 8 * 1024; // a reply longer than this is not an ftp server's

void CloseSocket(SOCKET s) noexcept { closesocket(s); }
using unique_socket = unique_any<SOCKET, CloseSocket, INVALID_SOCKET>;

class WinsockUse {
public:
    WinsockUse() noexcept { m_started = WSAStartup(MAKEWORD(2, 2), &m_data) == 0; }
    ~WinsockUse() { if (m_started) WSACleanup(); }
    explicit operator bool() const noexcept { return m_started; }
    WinsockUse(const WinsockUse&) = delete;
    WinsockUse& operator=(const WinsockUse&) = delete;

private:
    WSADATA m_data{};
    bool m_started = false;
};

// %XX sequences of an address's path decoded.
std::string PercentDecoded(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// What the address names: the server, the account and the file.
struct FtpAddress {
    std::string host;
    INTERNET_PORT port = INTERNET_DEFAULT_FTP_PORT;
    std::string user = "anonymous";
    std::string password = "vexa@";
    std::string path; // as RETR takes it: below the login folder, decoded
};

bool ParseAddress(const std::wstring& url, FtpAddress& address)
{
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUserNameLength = parts.dwPasswordLength = parts.dwUrlPathLength = 1;
    const std::wstring bare = url.substr(0, url.find(L'#'));
    if (!InternetCrackUrlW(bare.c_str(), 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_FTP ||
        !parts.lpszHostName || !parts.dwHostNameLength || !parts.lpszUrlPath)
        return false;
    auto narrow = [](const wchar_t* text, DWORD length) { return PercentDecoded(utf::ToUtf8(text, length)); };
    address.host = utf::ToUtf8(parts.lpszHostName, parts.dwHostNameLength);
    if (parts.nPort) address.port = parts.nPort;
    if (parts.lpszUserName && parts.dwUserNameLength) {
        address.user = narrow(parts.lpszUserName, parts.dwUserNameLength);
        address.password = parts.lpszPassword ? narrow(parts.lpszPassword, parts.dwPasswordLength) : "";
    }
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path = path.substr(0, path.find(L';')); // ";type=a" and the like: always binary here
    address.path = narrow(path.c_str(), static_cast<DWORD>(path.size()));
    if (!address.path.empty() && address.path[0] == '/') address.path.erase(0, 1);
    // A command line cannot hold a line break, and a folder is not a feed.
    const std::string all = address.user + address.password + address.path;
    return !address.path.empty() && address.path.back() != '/' &&
           all.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

// One transfer's state: its bounds, its control connection and what it found so far.
class FtpTransfer {
public:
    FtpTransfer(const FetchLimits& limits, ULONGLONG deadline, TransferProgress& progress, FetchResult& result)
        : m_limits(limits), m_deadline(deadline), m_progress(progress), m_result(result) {}

    void Run(const FtpAddress& address);

private:
    bool Fail(DWORD error)
    {
        m_result.outcome = m_result.status == 200 ? Outcome::Cut : Outcome::Failed;
        m_result.error = error;
        return false;
    }
    // A reply that refuses: its code, and the nearest HTTP status for the feed's health.
    bool Refused(int code)
    {
        if (code == 0) return false; // no reply: already failed
        m_result.ftpReply = static_cast<DWORD>(code);
        m_result.status = code == 550 || code == 450 || code == 553 ? 404
                        : code == 530 || code == 532 || code == 332 ? 401
                        : code >= 500                               ? 500
                                                                    : 503;
        m_result.outcome = Outcome::Answered;
        return false;
    }
    bool Wait(SOCKET s, bool write, Bound phase, DWORD phaseMs);
    bool Connect(const sockaddr* to, int length, unique_socket& out);
    bool ConnectServer(const FtpAddress& address);
    bool Send(const std::string& line);
    int Reply();
    int Ask(const std::string& command) { return Send(command + "\r\n") ? Reply() : 0; }
    bool OpenData(unique_socket& data);
    void ReadData(SOCKET data, unsigned long long announced);

    const FetchLimits& m_limits;
    const ULONGLONG m_deadline;
    TransferProgress& m_progress;
    FetchResult& m_result;
    unique_socket m_control;
    sockaddr_storage m_server{}; // the control connection's peer: data goes there only
    int m_serverLength = 0;
    std::string m_pending;       // control bytes after the last reply
    std::string m_reply;         // the last reply's text
};

// Waits until `s` can be read (or written): false at a bound (the phase's, or the whole
// transfer's when that comes first) or when the job was let go.
bool FtpTransfer::Wait(SOCKET s, bool write, Bound phase, DWORD phaseMs)
{
    const ULONGLONG phaseEnd = GetTickCount64() + phaseMs;
    for (;;) {
        if (m_progress.Cancelled()) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG end = std::min(phaseEnd, m_deadline);
        if (now >= end) {
            const bool whole = m_deadline <= phaseEnd;
            m_result.bound = whole ? Bound::Whole : phase;
            m_result.boundMs = whole ? m_limits.wholeMs : phaseMs;
            return Fail(ERROR_INTERNET_TIMEOUT);
        }
        const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(end - now, kSliceMs));
        timeval timeout{static_cast<long>(slice / 1000), static_cast<long>(slice % 1000) * 1000};
        fd_set ready, failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        FD_SET(s, &failed);
        const int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &timeout);
        if (n < 0) return Fail(ERROR_INTERNET_CONNECTION_ABORTED);
        if (n > 0) return true; // a failed connect shows in SO_ERROR, a closed one in recv
    }
}

bool FtpTransfer::Connect(const sockaddr* to, int length, unique_socket& out)
{
    out.reset(socket(to->sa_family, SOCK_STREAM, IPPROTO_TCP));
    u_long nonBlocking = 1;
    if (!out || ioctlsocket(out.get(), FIONBIO, &nonBlocking) != 0) return Fail(ERROR_INTERNET_CANNOT_CONNECT);
    if (connect(out.get(), to, length) != 0 && WSAGetLastError() != WSAEWOULDBLOCK)
        return Fail(ERROR_INTERNET_CANNOT_CONNECT);
    if (!Wait(out.get(), true, Bound::Connect, m_limits.connectMs)) return false;
    int error = 0;
    int size = sizeof error;
    if (getsockopt(out.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 || error != 0)
        return Fail(ERROR_INTERNET_CANNOT_CONNECT);
    return true;
}

bool FtpTransfer::ConnectServer(const FtpAddress& address)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found) != 0 || !found)
        return Fail(ERROR_INTERNET_NAME_NOT_RESOLVED);
    bool connected = false;
    for (addrinfo* a = found; a && !connected; a = a->ai_next) {
        if (a->ai_addrlen > sizeof m_server) continue;
        connected = Connect(a->ai_addr, static_cast<int>(a->ai_addrlen), m_control);
        if (connected) {
            std::memcpy(&m_server, a->ai_addr, a->ai_addrlen);
            m_serverLength = static_cast<int>(a->ai_addrlen);
        } else if (m_result.error != ERROR_INTERNET_CANNOT_CONNECT) {
            break; // a bound or the owner ended it: no next address
        }
    }
    freeaddrinfo(found);
    return connected;
}

bool FtpTransfer::Send(const std::string& line)
{
    for (std::size_t sent = 0; sent < line.size();) {
        if (!Wait(m_control.get(), true, Bound::Idle, m_limits.idleMs)) return false;
        const int n = send(m_control.get(), line.data() + sent, static_cast<int>(line.size() - sent), 0);
        if (n <= 0 && WSAGetLastError() != WSAEWOULDBLOCK) return Fail(ERROR_INTERNET_CONNECTION_ABORTED);
        if (n > 0) sent += static_cast<std::size_t>(n);
    }
    return true;
}

// The next reply's code (a reply of several lines ends with its code and a space); 0 when
// none came whole.
int FtpTransfer::Reply()
{
    m_reply.clear();
    for (;;) {
        const std::size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            const std::string line = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            m_reply += line + "\n";
            if (line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                std::isdigit(static_cast<unsigned char>(line[1])) && std::isdigit(static_cast<unsigned char>(line[2])) &&
                line[3] != '-')
                return std::atoi(line.substr(0, 3).c_str());
            if (line.size() == 3 && line.find_first_not_of("0123456789") == std::string::npos)
                return std::atoi(line.c_str());
            continue;
        }
        if (m_reply.size() + m_pending.size() > kReplyLimit) {
            Fail(ERROR_INTERNET_INCORRECT_FORMAT);
            return 0;
        }
        if (!Wait(m_control.get(), false, Bound::Idle, m_limits.idleMs)) return 0;
        char buffer[1024];
        const int n = recv(m_control.get(), buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK)) {
            Fail(ERROR_INTERNET_CONNECTION_ABORTED);
            return 0;
        }
        if (n > 0) m_pending.append(buffer, static_cast<std::size_t>(n));
    }
}

// A passive data connection, to the control connection's server whatever address the reply
// names (a server may not send the download elsewhere).
bool FtpTransfer::OpenData(unique_socket& data)
{
    const bool v6 = m_server.ss_family == AF_INET6;
    const int code = Ask(v6 ? "EPSV" : "PASV");
    if (code != (v6 ? 229 : 227)) return code ? Refused(code) : false;
    unsigned port = 0;
    if (v6) {
        const std::size_t open = m_reply.find("(|||");
        if (open != std::string::npos) port = std::strtoul(m_reply.c_str() + open + 4, nullptr, 10);
    } else {
        unsigned n[6] = {};
        const std::size_t digits = m_reply.find_first_of("0123456789", 4);
        if (digits != std::string::npos &&
            std::sscanf(m_reply.c_str() + digits, "%u,%u,%u,%u,%u,%u", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) == 6)
            port = n[4] * 256 + n[5];
    }
    if (port == 0 || port > 65535) return Fail(ERROR_FTP_NO_PASSIVE_MODE);
    sockaddr_storage to = m_server;
    if (v6) reinterpret_cast<sockaddr_in6*>(&to)->sin6_port = htons(static_cast<u_short>(port));
    else reinterpret_cast<sockaddr_in*>(&to)->sin_port = htons(static_cast<u_short>(port));
    return Connect(reinterpret_cast<const sockaddr*>(&to), m_serverLength, data);
}

// The file's bytes to the end of the data connection, then the server's word that it sent
// them all.
void FtpTransfer::ReadData(SOCKET data, unsigned long long announced)
{
    std::size_t total = 0;
    char buffer[16 * 1024];
    for (;;) {
        if (!Wait(data, false, Bound::Idle, m_limits.idleMs)) return;
        const int n = recv(data, buffer, sizeof buffer, 0);
        if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) continue;
        if (n < 0) return (void)Fail(ERROR_INTERNET_CONNECTION_ABORTED);
        if (n == 0) break;
        const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(n), m_limits.maxBytes - total);
        if (!m_progress.Append(buffer, take)) return;
        total += take;
        m_result.bodyBytes = total;
        if (take < static_cast<std::size_t>(n)) {
            m_result.bound = Bound::Size;
            return (void)Fail(ERROR_FILE_TOO_LARGE);
        }
    }
    const int code = Reply();
    if (code == 0) return;
    if ((code != 226 && code != 250) || (announced && total < announced))
        Fail(ERROR_INTERNET_CONNECTION_ABORTED);
}

void FtpTransfer::Run(const FtpAddress& address)
{
    m_progress.Sending();
    if (!ConnectServer(address)) return;
    m_progress.Sent();
    int code = Reply();
    while (code >= 100 && code < 200) code = Reply(); // "120 ready in a moment"
    if (code != 220) return (void)Refused(code);
    code = Ask("USER " + address.user);
    if (code == 331) code = Ask("PASS " + address.password);
    if (code != 230 && code != 202) return (void)Refused(code);
    code = Ask("TYPE I");
    if (code < 200 || code >= 300) return (void)Refused(code);
    // The size, where the server tells it: a file that ends short of it was cut.
    unsigned long long announced = 0;
    if (Ask("SIZE " + address.path) == 213) announced = std::strtoull(m_reply.c_str() + 4, nullptr, 10);
    else if (m_result.error) return;
    unique_socket data;
    if (!OpenData(data)) return;
    code = Ask("RETR " + address.path);
    if (code != 125 && code != 150) return (void)Refused(code);
    m_result.status = 200;
    m_result.outcome = Outcome::Answered;
    m_progress.Answered(200);
    ReadData(data.get(), announced);
    if (m_result.outcome == Outcome::Answered) Send("QUIT\r\n"); // the answer is not awaited
}

} // namespace

bool IsFtpAddress(const std::wstring& url) noexcept { return _wcsnicmp(url.c_str(), L"ftp://", 6) == 0; }

void TransferFtp(const FetchRequest& request, const FetchLimits& limits, ULONGLONG deadline,
                 TransferProgress& progress, FetchResult& result)
{
    result.outcome = Outcome::Failed;
    FtpAddress address;
    if (!ParseAddress(request.url, address)) {
        result.error = ERROR_INTERNET_INVALID_URL;
        return;
    }
    WinsockUse winsock;
    if (!winsock) {
        result.error = ERROR_INTERNET_INTERNAL_ERROR;
        return;
    }
    FtpTransfer(limits, deadline, progress, result).Run(address);
}

} // namespace vexa
