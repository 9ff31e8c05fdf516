// The host-service stand-in as the daemon reaches it: a request it cannot
// read costs that request only.
#include <gtest/gtest.h>

#include "DaqTestPeer.h"
#include "TestSupport.h"

using namespace pemrix::testing;

TEST(HostService, AnswersRestartAfterRequestsItCannotRead) {
  TempDir dir{"pemrix-hostsvc"};
  const std::string api = dir.Ipc("host.api"), restart = R"({"id":1,"jsonrpc":"2.0","method":"Restart","params":)";
  WriteFile(dir.File("host.conf"), R"({"host_api":")" + api + R"("})");
  Process host({{BinPath("pemrix-hostsvc"), dir.File("host.conf")}, dir.Path(), {}, dir.File("host.out")});
  ASSERT_TRUE(host.Start());
  ASSERT_TRUE(WaitUntil([&] { return !RpcText(api, restart + "null}", 200ms).empty(); }, 10s)) << host.Output();
  for (const std::string& bad : {restart + std::string(100000, '[') + std::string(100000, ']') + "}", std::string()})
    EXPECT_NE(RpcText(api, bad).find("-32700"), std::string::npos);
  EXPECT_EQ(RpcText(api, restart + "null}"), R"({"id":1,"jsonrpc":"2.0","result":0})");
}
