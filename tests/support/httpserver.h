// A loopback HTTP/1.1 server for tests: listens on a free port of 127.0.0.1 on its own
// thread, serves canned documents by path, and misbehaves on request. Every wait in it is
// bounded, so a test that goes wrong fails instead of hanging.
#pragma once
#include <windows.h>
#include <atomic>
#include <chrono>
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
    // How one path answers, beyond the mode: a status of its own, extra header lines,
    // validators, encodings and ways of misbehaving.
    struct Reply {
        int status = 200;
        std::string body;
        std::string contentType = "text/xml";
        std::vector<std::string> headers;  // extra lines, e.g. "Location: /b.xml"
        int latencyMs = 0;                 // waits this long before answering
        bool silent = false;               // reads the request and never answers
        std::string etag;                  // sent; a matching If-None-Match gets 304
        std::string lastModified;          // sent; a matching If-Modified-Since gets 304
        bool gzip = false;                 // body sent gzip-encoded
        bool brokenGzip = false;           // gzip-labelled body that does not decode
        bool endless = false;              // a body without end (no length): `body`, then spaces until stopped
        long lengthDelta = 0;              // announces body size + delta, sends the body, closes
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
    void Serve(const std::string& path, Reply reply);
    void SetMode(Mode mode, Options options);
    void SetMode(Mode mode) { SetMode(mode, Options{}); }
    // While held, every answer waits (after reading its request) until the hold ends: a test
    // sees what happens before any answer however busy the machine is.
    void HoldAnswers(bool hold) { m_holding = hold; }

    unsigned short Port() const { return m_port; }
    std::string Url(const std::string& path) const;

    // Request targets in arrival order (path and query, as sent): the order in which the
    // connections came in.
    std::vector<std::string> Requests() const { return ReceivedField(&Received::target); }
    // The head of each request (request line and header lines), in the same order.
    std::vector<std::string> RequestHeads() const { return ReceivedField(&Received::head); }
    void ClearRequests();
    // When each request was read.
    std::vector<std::chrono::steady_clock::time_point> RequestTimes() const;
    // The most requests that were being answered at one time (from the request read to the
    // answer sent).
    int MaxConcurrentAnswers() const { return m_maxAnswering.load(); }
    // Body bytes sent with 200 answers since the start.
    std::size_t BodyBytesSent() const { return m_bodyBytes.load(); }
    // What the server's own threads caught and ended on since the last call (each thread
    // catches at its entry: a fault of the server is reported, never a dead process).
    std::vector<std::string> TakeThreadFailures();

private:
    struct Received {
        unsigned long sequence;
        std::string target;
        std::string head;
        std::chrono::steady_clock::time_point at;
    };
    std::vector<std::string> ReceivedField(std::string Received::*field) const;
    void AcceptLoop();
    void RecordFailure(const char* where, const char* what);
    void Handle(Socket client, unsigned long sequence);
    bool Answer(Socket client, const Reply& reply, const std::string& request, Mode mode,
                const Options& options);
    bool Pause(Socket client, int ms);
    bool WaitReadable(Socket client);
    bool SendAll(Socket client, const char* data, std::size_t size);
    bool SendSlowly(Socket client, const std::string& data, std::size_t step, int delayMs);

    Socket m_listener = ~Socket(0);
    unsigned short m_port = 0;
    bool m_wsaStarted = false;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_holding{false};
    std::thread m_acceptThread;
    // One thread per connection; finished ones are joined as new ones come, so a long run
    // does not pile up threads.
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    std::vector<Worker> m_workers;
    std::vector<Socket> m_open;
    mutable std::mutex m_lock;
    std::map<std::string, Reply> m_documents;
    std::vector<Received> m_requests;
    std::vector<std::string> m_failures;
    unsigned long m_accepted = 0;
    std::atomic<std::size_t> m_bodyBytes{0};
    std::atomic<int> m_answering{0};
    std::atomic<int> m_maxAnswering{0};
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
