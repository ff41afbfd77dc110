// A loopback HTTP/1.1 server for tests: listens on a free port of 127.0.0.1 on its own
// thread, serves canned documents by path, and misbehaves on request. Every wait in it is
// bounded, so a test that goes wrong fails instead of hanging.
#pragma once
#include <windows.h>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fixtures.h"

namespace vexatest {

class HttpServer {
public:
    using Socket = UINT_PTR; // a Winsock SOCKET; winsock2.h stays out of this header
    enum class Mode {
        Normal,       // 200 with the document (unknown paths: 404)
        NotFound,     // 404 for every path
        ServerError,  // 500 for every path
        CutOff,       // announces the whole length, sends the first `cutAt` bytes, closes
        SlowDrip,     // sends `dripBytes` bytes every `dripDelayMs` milliseconds
        CloseEarly,   // reads the request and closes without answering
        WrongType,    // the document as "application/octet-stream"
        Chunked,      // chunked transfer encoding, `dripBytes` bytes per chunk
    };
    struct Options {
        std::size_t cutAt = 0;
        std::size_t dripBytes = 64;
        int dripDelayMs = 5;
    };

    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Starts listening on a free loopback port; false when Winsock refuses.
    bool Start();
    // Stops accepting, ends every open connection and joins the threads.
    void Stop();

    void Serve(const std::string& path, std::string body,
               std::string contentType = "text/xml");
    void SetMode(Mode mode, Options options);
    void SetMode(Mode mode) { SetMode(mode, Options{}); }

    unsigned short Port() const { return m_port; }
    std::string Url(const std::string& path) const;

    // Request targets in arrival order (path and query, as sent).
    std::vector<std::string> Requests() const;
    void ClearRequests();

private:
    struct Document {
        std::string body;
        std::string contentType;
    };
    void AcceptLoop();
    void Handle(Socket client);
    bool WaitReadable(Socket client);
    bool SendAll(Socket client, const char* data, std::size_t size);
    bool SendSlowly(Socket client, const std::string& data, std::size_t step, int delayMs);

    Socket m_listener = ~Socket(0);
    unsigned short m_port = 0;
    bool m_wsaStarted = false;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptThread;
    std::vector<std::thread> m_workers;
    std::vector<Socket> m_open;
    mutable std::mutex m_lock;
    std::map<std::string, Document> m_documents;
    std::vector<std::string> m_requests;
    Mode m_mode = Mode::Normal;
    Options m_options;
};

// Fixture for tests that fetch feeds: the server runs for the test's duration.
class HttpServerTest : public VexaTest {
protected:
    void SetUp() override;
    void TearDown() override;
    HttpServer m_server;
};

} // namespace vexatest
