#include "tests/support/host_fixture.h"

namespace vexatest {

void HostTest::SetUp()
{
    VexaTest::SetUp();
    m_startHostObjects = host::LiveObjects();
    host::Host::Get().reset();
    m_classes = std::make_unique<host::ClassRegistration>(HostClasses());
    ASSERT_EQ(m_classes->result(), S_OK);
}

void HostTest::TearDown()
{
    // The panel holds the items (and through them the plugin's module lock).
    host::Host::Get().reset();
    host::Host::Get().setObserver(nullptr);
    m_classes.reset();
    EXPECT_EQ(host::LiveObjects(), m_startHostObjects) << "a host object outlived the test";
    VexaTest::TearDown();
}

} // namespace vexatest
