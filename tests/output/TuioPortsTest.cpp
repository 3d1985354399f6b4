// The TUIO output on the service's own ports, as the service sets it up.
#include <gtest/gtest.h>

#include <array>

#include "LoDecoder.h"
#include "OutputTestSupport.h"
#include "VexoTUIO/TUIO.h"

using namespace VexoSource;

TEST(TuioServicePorts, DefaultsServeTcp3000AndSendToUdp3333) {
    EXPECT_EQ(TUIO::kDefaultTcpPort, 3000);
    EXPECT_EQ(TUIO::kDefaultUdpPort, 3333);
    outputtest::LoDecoder lo("3333");
    ASSERT_TRUE(lo.Valid()) << "UDP port 3333 is taken";
    TUIO tuio;
    ASSERT_TRUE(tuio.Setup("127.0.0.1"));
    EXPECT_EQ(tuio.GetTcpPort(), 3000);
    outputtest::Peer peer = outputtest::Peer::Connect(3000);
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(outputtest::WaitUntil([&] { return tuio.GetServer().GetNumClients() == 1; }));

    std::array<VexoTouch_S, kVexoTouchTableSize> touches{};
    std::array<uint32_t, kVexoTouchTableSize> flags{};
    touches[98] = VexoTouch_S{0.5f, 0.5f, 0.01f, 0.01f, 0.0001f, 98};
    flags[98] = 1;
    tuio.SendMsg(touches.data(), kVexoTouchTableSize, flags.data());

    ASSERT_TRUE(lo.Receive(5000));
    ASSERT_EQ(lo.messages.size(), 3u);
    EXPECT_EQ(lo.messages[0].args[1].i, 98);
    const std::string packet = peer.ReadUntilNul();
    EXPECT_EQ(packet.rfind("<OSCPACKET COMPANY=\"Ostrel\" ADDRESS=\"127.0.0.1\" PORT=\"3000\" ", 0),
              0u);
    EXPECT_NE(packet.find("<ARGUMENT TYPE=\"i\" VALUE=\"98\"/>"), std::string::npos);
}
