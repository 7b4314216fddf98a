// The unit's own socket names: the link binds "/tmp/_zcxjm" and reaches the
// service at the abstract name "quillhaven". Runs alone (resource lock).

#include "mainappprotocolcomm.h"
#include "service.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace {

using tamoappframework::MainAppProtocolComm;

TEST(McuFixedNames, LinkBindsItsPathAndReachesTheAbstractServiceName)
{
    mcusim::Service service; // at the unit's own name
    ASSERT_TRUE(service.listen());
    MainAppProtocolComm *link = MainAppProtocolComm::GetInstance();
    link->Start();
    ASSERT_TRUE(service.accept());

    // The service sees the link under its bound path.
    sockaddr_un peer{};
    socklen_t len = sizeof peer;
    ASSERT_EQ(0, ::getpeername(service.fd(), reinterpret_cast<sockaddr *>(&peer), &len));
    EXPECT_STREQ("/tmp/_zcxjm", peer.sun_path);
    struct stat st{};
    ASSERT_EQ(0, ::stat("/tmp/_zcxjm", &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));

    link->AppReady();
    EXPECT_EQ("01 00 00 00 0c 00 00 00 11 00 00 00 02 00 00 00", testsupport::hex(service.read(16)));

    // A restart of the link binds the same path again (the stale file is removed first).
    MainAppProtocolComm::DeleteInstance();
    EXPECT_TRUE(service.waitForEof());
    link = MainAppProtocolComm::GetInstance();
    link->Start();
    ASSERT_TRUE(service.accept());
    EXPECT_TRUE(link->transport().isConnected());
    MainAppProtocolComm::DeleteInstance();
}

} // namespace
