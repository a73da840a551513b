// The installation client: the disk label from the client floppy, and its receiving side from
// the accepted offer on, over the simulated segment against the server's protocol functions.
#include "flows/install_client.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/scratch_dir.h"
#include "support/sim_link.h"

namespace {

TEST(InstallClient, diskLabelFromTheClientFloppy) {
  using Case = std::tuple<int, const char*, std::string>;  // mount result, label file, label
  for (auto [mounted, text, expected] :
       {Case{-1, "lab7\n", "trenavox"}, Case{0, nullptr, "trenavox"},
        Case{0, "lab 7\t-x\x01\n", "lab7-x"}, Case{0, " \t\n", "trenavox"},
        Case{0, "0123456789abcdefghijklmnopqrstuvwxyz", "0123456789abcdefghijklmnopqrstu"}}) {
    FakePlatform fake;
    fake.mountResult = mounted;
    ScratchDir dir;
    if (text) writeFile(dir.file("label.txt"), text);
    char label[kDiskLabelSize];
    readDiskLabelFrom(dir.file("label.txt").c_str(), label, sizeof label);
    EXPECT_EQ(expected + (mounted ? " mount /dev/fd0 /floppy vfat 0" : " umount /floppy"),
              label + (" " + fake.calls.back()));
  }
}

// Notes the size of each package. fails 1: the library refuses each, 2: no installer starts.
struct FileSink : PackageSink {
  int fails = 0;
  std::string got;
  FILE* start() override { return fails == 2 ? nullptr : tmpfile(); }
  bool finish(FILE* stream) override {
    got += " " + std::to_string(ftell(stream));
    fclose(stream);
    return fails == 0;
  }
};

// What the client's end returned and wrote, the script file and the packages. The server's last
// file is its script; its first lostAcks acknowledgements of STRT are lost (it is silent if < 0).
std::string receive(std::vector<std::string> files, int fails = 0, int lostAcks = 0) {
  ScratchDir dir, root;
  SimLink sim(1, {});
  sim.drop = [&](int end, const SimLink::Bytes& d) {
    return end == 0 && d.size() == kHeaderSize && d[18] == 3 && lostAcks-- > 0;
  };
  LinkState server{1, 2, {{1}}, {{2}}}, client{3, 1, {{2}}, {{1}}};
  sim.addEnd([&](DatagramPort& port) {
    bool ok = lostAcks >= 0 && awaitStart(port, server);
    for (size_t i = 0; ok && i < files.size(); ++i, server.sendNumber++) {
      std::string path = dir.file(i + 1 < files.size() ? "p" + std::to_string(i) : "autorun.scr");
      FileSender sender;
      ok = writeFile(path, files[i]) && openFileSender(sender, port, server, path.c_str(), true) &&
           sendFile(sender);
      freeFileSender(sender);
    }
  });
  FileSink sink;
  sink.fails = fails;
  sim.addEnd([&](DatagramPort& port) {
    FileReceiver receiver;
    makeFileReceiver(receiver, port, client);
    sink.got = (receiveInstallation(receiver, sink, root.path().c_str()) ? "ok" : "no") + sink.got;
  });
  testing::internal::CaptureStdout();
  sim.run();
  std::string out = testing::internal::GetCapturedStdout();  // less the server's progress:
  std::string clientLines;
  for (size_t at = 0, end; at < out.size(); at = end + 1) {
    end = std::min(out.find('\n', at), out.size());
    if (out.compare(at, 11, "Transfering") != 0) clientLines += out.substr(at, end - at + 1);
  }
  return sink.got + clientLines + readFile(root.file("autorun.scr"));
}

TEST(InstallClient, receivesPackagesIntoTheSinkAndTheScriptLast) {
  std::string a(3000, 'a'), t = "FATAL ERROR: Installation timeout\n<missing>",
                            f = "no\n\nFATAL ERROR: ";
  EXPECT_EQ("ok 3000 1\nWriting configuration...\nx\n", receive({a, "b", "x\n"}));
  EXPECT_EQ("ok 6000\nWriting configuration...\nx\n", receive({a + a, "x\n"}, 0, 2));
  EXPECT_EQ("ok\n" + t, receive({"", "b", "x\n"}));  // an empty package ends the list
  EXPECT_EQ("no 3000" + f.substr(2) + "Installation error\n" + t, receive({a, "b", "x\n"}, 1));
  EXPECT_EQ(f + "couldn't start install\n" + t, receive({"b", "x\n"}, 2));
  EXPECT_EQ(f + "server refused to install\n<missing>", receive({"x\n"}, 0, -1));
}

}  // namespace
