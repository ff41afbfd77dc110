// Fixture for tests that run a plugin against the host stand-in: the host's helper classes
// registered in-process for the test, a clean panel, and at the end no host object alive.
#pragma once
#include <memory>

#include "host/lib/hostlib.h"
#include "tests/support/fixtures.h"

namespace vexatest {

class HostTest : public VexaTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Which helper classes the host offers (host::ClassRegistration bits).
    virtual unsigned HostClasses() const { return host::ClassRegistration::All; }

    host::Host& Host() { return host::Host::Get(); }
    host::Panel& Panel() { return host::Host::Get().panel(); }

    std::unique_ptr<host::ClassRegistration> m_classes;
    long m_startHostObjects = 0;
};

} // namespace vexatest
