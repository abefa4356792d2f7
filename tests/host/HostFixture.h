// Test-only: a clean registry, the host PnP manager and the test adapter driver loaded on one
// USB device whose stack is built and started.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "host/FilterBrowser.h"
#include "host/PnpManager.h"
#include "platform/registry/RegistryHost.h"
#include "tests/support/TestAdapterDriver.h"

namespace kvxtest {

class HostFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::RegistryReset();
        platform::PcSetVersion(PORTCLS_VERSION_DEFAULT);
        TestAdapterReset();
        m_pnp = std::make_unique<host::PnpManager>();
        ASSERT_EQ(m_pnp->LoadDriver(u"UsbAudioTest", TestAdapterDriverEntry), STATUS_SUCCESS);
        m_pdo = m_pnp->CreateUsbDevice(0xABCD, 0x1234, 0x0100);
        ASSERT_NE(m_pdo, nullptr);
    }

    void TearDown() override
    {
        m_browser.reset();
        m_pnp.reset();
        EXPECT_EQ(platform::PcLivePortCount(), 0u);
        EXPECT_EQ(TestMiniportLiveCount(), 0u);
    }

    // AddDevice and START; the browser then looks at the adapter's device.
    void Install()
    {
        ASSERT_EQ(m_pnp->AddDevice(m_pdo), STATUS_SUCCESS);
        ASSERT_EQ(m_pnp->Start(m_pdo), STATUS_SUCCESS);
        m_browser = std::make_unique<host::FilterBrowser>(Fdo());
    }

    PDEVICE_OBJECT Fdo() { return m_pnp->TopOfStack(m_pdo); }
    host::PnpManager& Pnp() { return *m_pnp; }
    host::FilterBrowser& Browser() { return *m_browser; }
    PDEVICE_OBJECT Pdo() { return m_pdo; }

private:
    std::unique_ptr<host::PnpManager> m_pnp;
    std::unique_ptr<host::FilterBrowser> m_browser;
    PDEVICE_OBJECT m_pdo = nullptr;
};

}  // namespace kvxtest
