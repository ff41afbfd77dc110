// The connection limits of the downloads: at most 100 connections in all (as many as a feed
// list holds, so no feed of a refresh waits for another's answer) and 4 to one server.
// Jobs take a ticket when they start and a slot when their turn comes: requests begin in the
// order of the tickets wherever the limits allow, and a job that waits for a busy server does
// not hold back the jobs for the others. A job that yields (an entry's picture) holds back no
// job that does not (a feed), never takes a server's last connection and takes at most half
// of all: so a feed never waits behind pictures.
#pragma once
#include <windows.h>
#include <string>

namespace vexa {

constexpr int kMaxConnections = 100;
constexpr int kMaxConnectionsPerServer = 4;

// "host:port" of an address in lower case: the key of the per-server limit; empty when it is
// no http address.
std::wstring ServerOf(const std::wstring& url);

// A place in the queue of jobs waiting to start, for a job to `server` (one that yields to the
// others when `yields`); 0 when none could be had.
unsigned long EnqueueConnection(const std::wstring& server, bool yields = false) noexcept;
// Leaves the queue (once started, given up or never run); nothing when already out.
void DequeueConnection(unsigned long ticket) noexcept;
// Wakes the jobs waiting for their turn, so that one whose owner let go sees it at once.
void WakeConnectionWaiters() noexcept;

// One job's turn at the gate: its slot, given back when it goes.
class ConnectionSlot {
public:
    explicit ConnectionSlot(unsigned long ticket) noexcept : m_ticket(ticket) {}
    ConnectionSlot(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(const ConnectionSlot&) = delete;
    ~ConnectionSlot();

    // Waits for this job's turn and a free slot; false when `cancel` is signalled or
    // `deadline` (a GetTickCount64 time) passes first.
    bool Acquire(const std::wstring& server, HANDLE cancel, ULONGLONG deadline = ~0ull);
    // The job begins to send: it takes the next send number (counted across the process) and
    // the next job may start.
    unsigned long BeginSend() noexcept;

private:
    const unsigned long m_ticket;
    std::wstring m_server;
    bool m_held = false;
    bool m_yields = false;
};

} // namespace vexa
