// The installation server: the first-start script for a table of answers, and the remote
// installation over the simulated segment against the client's own protocol steps, in virtual
// time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "flows/config_script.h"
#include "flows/install_server.h"
#include "netinstall/file_transfer.h"
#include "support/scratch_dir.h"
#include "support/sim_link.h"

namespace {

const MacAddress S = {{0, 0x0c, 0x42, 1, 2, 1}}, C = {{0, 0x0c, 0x42, 1, 2, 0x0a}};

TEST(InstallServer, configScriptHoldsTheSectionsWhoseValuesAreSet) {
  const std::string eth =
      ":local eth\n:set eth [/interface ethernet get [/interface ethernet find "
      "mac-address=00:0C:42:01:02:0A] name]\n/interface enable $eth\n";
  struct {
    const char *address, *gateway;
    unsigned prefix, baud;
    std::string script;
  } rows[] = {
      {"10.1.2.3", "10.1.0.254", 99, 9600,
       eth + "/ip address add address=10.1.2.3/99 interface=$eth\n"
             "/ip route add gateway=10.1.0.254\n/port set [/port find] baud-rate=9600\n"},
      {"10.0.0.1", "1.2.3.4", 0, 115200,
       "/ip route add gateway=1.2.3.4\n/port set [/port find] baud-rate=115200\n"},
      {"0.0.0.0", "0.0.0.0", 24, 0, ""},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(r.script, buildConfigScript(C, {inet_addr(r.address)}, r.prefix,
                                          {inet_addr(r.gateway)}, r.baud));
  }
}

ScratchDir files;

// The server's side from the offer on against the client's steps: what the client got, file by
// file, and what the server wrote.
std::string installOver(const std::vector<std::string>& paths, std::vector<std::string>& got,
                        bool withClient) {
  SimLink sim(3, {0.05, 0, 2});
  RemoteOutcome outcome = RemoteOutcome::Failed;
  sim.addEnd([&](DatagramPort& port) {
    LinkState link;
    outcome =
        installRouter(port, link, S, C, false, "/port set [/port find] baud-rate=9600\n", paths);
  });
  if (withClient) {
    sim.addEnd([&](DatagramPort& port) {
      LinkState link;
      PacketBuffer packet;
      bool keep = true;
      while (!pollOffer(port, link, C, packet, keep)) platform().sleepMs(100);
      FileReceiver receiver;
      makeFileReceiver(receiver, port, link);
      bool ok = !keep && acceptOffer(port, link) && sendStartFor(receiver);
      while (ok && takeNextFile(receiver)) {
        std::string bytes(size_t(receiver.size), '\0');
        ok = readFileData(receiver, (uint8_t*)&bytes[0], receiver.size) == receiver.size;
        got.push_back(std::string(receiver.name) + ":" + bytes);
        if (strcmp(receiver.name, "autorun.scr") == 0) break;
      }
      waitForTerm(port, link, false);
    });
  }
  testing::internal::CaptureStdout();
  sim.run();
  return std::to_string(int(outcome)) + " " + std::to_string(sim.sent.size() > 0) + " " +
         testing::internal::GetCapturedStdout();
}

TEST(InstallServer, packagesThenScriptArriveWholeAndOversizeIsRefusedBeforeTheOffer) {
  std::string a(3000, 'a'), b;
  for (int i = 0; i < 5000; ++i) b += char(i * 7);  // a misplaced piece shows
  writeFile(files.file("a.qpk"), a);
  writeFile(files.file("b.qpk"), b);
  std::vector<std::string> got;
  EXPECT_EQ(
      "0 1 \n\nSending offer...\nFormating and partitioning harddisk...\nTransfering: "
      "a.qpk...\nTransfering: b.qpk...\nTransfering: configuration...\n\nSoftware "
      "installed.\nPress ENTER to reboot\n",
      installOver({files.file("a.qpk"), files.file("b.qpk")}, got, true));
  EXPECT_EQ((std::vector<std::string>{"a.qpk:" + a, "b.qpk:" + b,
                                      "autorun.scr:/port set [/port find] baud-rate=9600\n"}),
            got);
  // With this script, 65530 data messages are the most that one installation can number: the
  // router is offered that much, and one byte more is refused before anything is sent.
  std::string big = files.file("big.qpk");
  writeFile(big, "");
  ASSERT_EQ(0, truncate(big.c_str(), off_t(65530) * 1452));
  EXPECT_EQ("2 1 \n\nSending offer...\nNo response from router (press any key)\n",
            installOver({big}, got, false));
  ASSERT_EQ(0, truncate(big.c_str(), off_t(65530) * 1452 + 1));
  EXPECT_EQ("2 0 \nFATAL ERROR: Too many packages for one network installation (press any key)\n",
            installOver({big}, got, false));
}

}  // namespace
