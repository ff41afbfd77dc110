// https for the tests: a TLS front (tests/support/tlsserver.py, run with the system's python3
// as a Unix process beside the Wine one) that makes a certificate authority for this run and
// relays TLS connections to a loopback HttpServer. The authority is trusted only while the
// front runs, by adding it to the prefix's ROOT certificate store through the store API; no
// certificate check is ever turned off. Start it while HKEY_CURRENT_USER is the real one
// (before a fixture overrides it): the ROOT store lives there.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "com/owners.h"

namespace vexatest {

class TlsServer {
public:
    enum class Cert {
        Good,       // signed by the run's authority, for localhost, valid now
        SelfSigned, // for localhost, signed by itself
        Expired,    // signed by the run's authority, for localhost, ended in 2021
        OtherHost,  // signed by the run's authority, for other.test only
    };

    TlsServer() = default;
    ~TlsServer() { Stop(); }
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    // Starts the front (certificates made, ports open) and trusts its authority; false, with
    // the reason in Error(), when that fails. Bounded by a few seconds. The silent port holds
    // each connection for silenceSeconds, then closes it.
    bool Start(unsigned silenceSeconds = 20);
    // Ends the front and removes its authority from the store.
    void Stop();
    const std::string& Error() const { return m_error; }

    // Relays later connections to the HTTP server on this loopback port.
    bool SetBackend(unsigned short port);

    unsigned short Port(Cert cert) const { return m_ports[static_cast<int>(cert)]; }
    // Accepts connections and never answers, not even the handshake.
    unsigned short SilentPort() const { return m_silentPort; }
    // "https://localhost:PORT" + path.
    std::string Url(Cert cert, const std::string& path) const;
    static std::string LocalUrl(unsigned short port, const std::string& path);
    // The authority's certificate, DER-encoded.
    const std::string& Authority() const { return m_authority; }

    // The user's ROOT store, in the registry: whether it holds a certificate (DER), and its
    // removal. Both read the HKEY_CURRENT_USER in force.
    static bool Trusted(const std::string& authority);
    static bool Untrust(const std::string& authority);

private:
    bool Fail(const std::string& why);
    bool Trust();

    std::string m_error;
    unsigned short m_ports[4] = {};
    unsigned short m_silentPort = 0;
    UINT_PTR m_control = ~UINT_PTR(0); // the control connection: the front lives while it is open
    bool m_wsaStarted = false;
    std::string m_authority;
    bool m_trusted = false;
};

} // namespace vexatest
