#include "mainappprotocolcomm.h"

#include "mcuhandlers.h"

#include <cstdlib>
#include <cstring>

namespace tamoappframework {

#ifndef LAUNCHER_MCU_SERVICE_USER
#define LAUNCHER_MCU_SERVICE_USER ""
#endif

MainAppProtocolComm *MainAppProtocolComm::m_s_MainAppProtocolComm = nullptr;

MainAppProtocolComm *MainAppProtocolComm::GetInstance()
{
    if (!m_s_MainAppProtocolComm)
        m_s_MainAppProtocolComm = new MainAppProtocolComm();
    return m_s_MainAppProtocolComm;
}

void MainAppProtocolComm::DeleteInstance()
{
    MainAppProtocolComm *inst = m_s_MainAppProtocolComm;
    if (!inst)
        return;
    m_s_MainAppProtocolComm = nullptr;
    delete inst; // the transport ends the link's thread first
}

MainAppProtocolComm::MainAppProtocolComm()
{
    // The image names the MCU service's user in the environment (the unit's
    // /etc/default file); set but empty, no user beyond root and our own is
    // trusted. The build's name is the default.
    const char *user = std::getenv("LAUNCHER_MCU_SERVICE_USER");
    m_transport.setServiceUser(user ? user : LAUNCHER_MCU_SERVICE_USER);
    // The field engineer's capture of the link (pcapng), off unless asked for.
    const char *capture = std::getenv("LAUNCHER_MCU_CAPTURE");
    if (capture && *capture && m_capture.open(capture))
        m_transport.setCaptureHook(&MainAppProtocolComm::onCapture, this);
}

void MainAppProtocolComm::onCapture(void *self, bool sent, unsigned connection, const unsigned char *record,
                                    int size)
{
    static_cast<MainAppProtocolComm *>(self)->m_capture.record(
        sent ? pcapng::Direction::Outbound : pcapng::Direction::Inbound, connection, record, size_t(size));
}

MainAppProtocolComm::~MainAppProtocolComm()
{
    m_transport.stop();
}

void MainAppProtocolComm::Start()
{
    m_transport.start(&MainAppProtocolComm::onRecord, this); // logs when it cannot
}

void MainAppProtocolComm::Stop()
{
    m_transport.stop();
    m_capture.finish(processlog::CaptureWriter::kFinishMs);
}

int MainAppProtocolComm::SendData(void *data, int len)
{
    return m_transport.send(data, len);
}

void MainAppProtocolComm::AppReady()
{
    // The record that tells the MCU the application is up: msg 12, p1 17, p2 2.
    McuShortMsg notice;
    std::memset(&notice, 0, sizeof notice);
    notice.kind = mcu::kKindShort;
    notice.msg = MSG_A2M_SHORT;
    notice.p1 = MSG_A2M_APP_READY;
    notice.p2 = 2;
    m_transport.announceReady(notice);
}

void MainAppProtocolComm::resolvePacket(unsigned char *record)
{
    if (record)
        Handlers(*this).handle(record);
}

void MainAppProtocolComm::onRecord(void *self, unsigned char *record, int)
{
    static_cast<MainAppProtocolComm *>(self)->resolvePacket(record);
}

MainAppProtocolComm::LinkState MainAppProtocolComm::linkState() const
{
    return m_transport.states().current();
}

bool MainAppProtocolComm::addStateListener(StateListener listener, void *context)
{
    return m_transport.states().add(listener, context);
}

void MainAppProtocolComm::removeStateListener(StateListener listener, void *context)
{
    m_transport.states().remove(listener, context);
}

void MainAppProtocolComm::requestSignOfLife()
{
    m_transport.requestSignOfLife();
}

bool MainAppProtocolComm::signOfLifeAnswered() const
{
    return m_transport.signOfLifeAnswered();
}

} // namespace tamoappframework

// The link's entry points for the component libraries (launcherexports.h).

using tamoappframework::MainAppProtocolComm;

int launcher_mcu_send(MainAppProtocolComm *link, const void *data, int len)
{
    return link ? link->SendData(const_cast<void *>(data), len) : -1;
}

bool launcher_mcu_watch_state(MainAppProtocolComm *link, tamoappframework::McuLinkStateListener listener,
                              void *context)
{
    return link && link->addStateListener(listener, context);
}

void launcher_mcu_unwatch_state(MainAppProtocolComm *link, tamoappframework::McuLinkStateListener listener,
                                void *context)
{
    if (link)
        link->removeStateListener(listener, context);
}
