// Both ends of the install protocol over the simulated segment in virtual time: the messages of
// a whole installation byte for byte, the retransmission schedule, transfers under loss,
// duplication and reordering, and the exchanges where two clients or two TERMs meet.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "netinstall/file_transfer.h"
#include "support/scratch_dir.h"
#include "support/sim_link.h"

namespace {

const MacAddress kServer = {{0x00, 0x0c, 0x42, 0x01, 0x02, 0x01}};
const MacAddress kClient = {{0x00, 0x0c, 0x42, 0x01, 0x02, 0x0a}};

std::string hex(const std::vector<uint8_t>& bytes, size_t count) {
  std::string text;
  char two[3];
  for (size_t i = 0; i < count && i < bytes.size(); ++i) {
    snprintf(two, sizeof two, "%02x", bytes[i]);
    text += two;
  }
  return text;
}

std::string name(const std::vector<uint8_t>& d) {
  if (d.size() == kHeaderSize) return "ack";
  if (d[message_header::kKind] == KindData) return "data";
  return std::string(d.begin() + kHeaderSize, d.begin() + kHeaderSize + 4);
}

std::string content(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed) % 251);
  return bytes;
}

// The server from the acknowledged offer on: waits for STRT, sends the files and the script.
void serve(DatagramPort& port, LinkState& link, const std::vector<std::string>& paths,
           const std::string& script, bool& ok) {
  ok = awaitStart(port, link);
  for (size_t i = 0; ok && i < paths.size(); ++i) {
    FileSender sender;
    ok = openFileSender(sender, port, link, paths[i].c_str(), true) && sendFile(sender);
    freeFileSender(sender);
    link.sendNumber++;
  }
  if (!ok) return;
  FileSender sender;
  openFileSender(sender, port, link, script.c_str(), false);
  sendFile(sender);
  link.sendNumber++;
  waitForTerm(port, link, true);
}

// The client from its acknowledged YACK on: prepares, starts, takes files up to the script.
void install(DatagramPort& port, LinkState& link, std::vector<std::string>& got, bool& ok) {
  FileReceiver receiver;
  makeFileReceiver(receiver, port, link);
  platform().sleepMs(2500);
  ok = sendStartFor(receiver);
  while (ok && takeNextFile(receiver)) {
    std::string bytes;
    uint8_t buffer[4096];
    int n;
    while ((n = readFileData(receiver, buffer, sizeof buffer)) > 0) bytes.append((char*)buffer, n);
    got.push_back(std::string(receiver.name) + ":" + bytes);
    ok = n == 0;
    if (strcmp(receiver.name, "autorun.scr") == 0) break;
  }
  if (ok) waitForTerm(port, link, false);
}

struct Outcome {
  bool serverOk = false, clientOk = false;
  std::vector<std::string> expected, got;
  std::vector<SimLink::Sent> sent;
};

// One transfer after the offer: the server's link has sent OFFR and taken YACK, the client's
// has sent YACK and had it acknowledged.
Outcome transfer(uint32_t seed, SimLink::Faults faults, const std::vector<size_t>& sizes,
                 SimLink::DropRule drop = nullptr) {
  ScratchDir dir;
  Outcome run;
  std::vector<std::string> paths;
  for (size_t i = 0; i < sizes.size(); ++i) {
    paths.push_back(dir.file("p" + std::to_string(i) + ".qpk"));
    writeFile(paths.back(), content(sizes[i], seed + i));
    run.expected.push_back("p" + std::to_string(i) + ".qpk:" + content(sizes[i], seed + i));
  }
  std::string script = "set eth0 up\n";
  run.expected.push_back("autorun.scr:" + script);
  SimLink sim(seed, faults);
  sim.drop = drop;
  LinkState server{1, 2, kServer, kClient}, client{3, 1, kClient, kServer};
  sim.addEnd([&](DatagramPort& p) { serve(p, server, paths, script, run.serverOk); });
  sim.addEnd([&](DatagramPort& p) { install(p, client, run.got, run.clientOk); });
  sim.run();
  run.sent = sim.sent;
  return run;
}

TEST(NetLink, wholeInstallationCarriesTheDocumentedBytesAndNumbers) {
  ScratchDir dir;
  std::string path = dir.file("pkg.qpk");
  writeFile(path, content(2904, 0));
  SimLink sim(1, {});
  bool offered = false, serverOk = false, clientOk = false;
  std::vector<std::string> got;
  int client = sim.addEnd([&](DatagramPort& port) {
    LinkState link;
    PacketBuffer packet;
    bool keep;
    while (!offered) {
      announce(port, link, kClient, "lab");
      platform().sleepMs(1000);
      offered = pollOffer(port, link, kClient, packet, keep) && acceptOffer(port, link);
    }
    install(port, link, got, clientOk);
  });
  sim.addEnd([&](DatagramPort& port) {
    LinkState link;
    PacketBuffer packet;
    char label[32];
    for (;;) {
      int n = port.receive(packet.bytes, kPacketSize, 1000);
      if (n > 0 && isAnnouncement(link, kServer, packet, n, label)) break;
    }
    EXPECT_STREQ("lab", label);
    EXPECT_EQ(OfferOutcome::Accepted, sendOffer(port, link, kServer, kClient, false));
    sim.pressKey(client);  // the router's operator finishes first
    serve(port, link, {path}, "x\n", serverOk);
  });
  testing::internal::CaptureStdout();
  sim.run();
  EXPECT_EQ("Transfering: pkg.qpk...\nTransfering: configuration...\n",
            testing::internal::GetCapturedStdout());
  EXPECT_TRUE(serverOk && clientOk);
  EXPECT_EQ((std::vector<std::string>{"pkg.qpk:" + content(2904, 0), "autorun.scr:x\n"}), got);

  std::vector<std::string> numbers;
  std::set<std::string> seen;
  std::map<std::string, std::string> firstOf;
  for (const SimLink::Sent& s : sim.sent) {
    std::string who = s.end == client ? "C " : "S ";
    firstOf.emplace(who + name(s.bytes), hex(s.bytes, 28));
    if (s.bytes.size() == kHeaderSize) continue;
    std::string line = who + name(s.bytes) + " " + std::to_string(s.bytes[16]);
    if (seen.insert(line).second) numbers.push_back(line);
  }
  EXPECT_EQ((std::vector<std::string>{"C DSCV 1", "S OFFR 1", "C YACK 2", "C STRT 3", "S FILE 2",
                                      "S data 3", "S data 4", "S FILE 5", "S data 6", "C TERM 4"}),
            numbers);
  // Header fields: source, destination, flags, kind, payload length, sequence, acknowledged.
  const std::map<std::string, std::string> golden = {
      {"C DSCV",
       "000c4201020a000000000000"
       "0000"
       "0f00"
       "0100"
       "0000"
       "445343560a6c6162"},
      {"S OFFR",
       "000c42010201000c4201020a"
       "0100"
       "0600"
       "0100"
       "0100"
       "4f4646520a00"},
      {"C YACK",
       "000c4201020a000c42010201"
       "0100"
       "0500"
       "0200"
       "0100"
       "5941434b0a"},
      {"S ack",
       "000c42010201000c4201020a"
       "0100"
       "0000"
       "0200"
       "0200"},
      {"C STRT",
       "000c4201020a000c42010201"
       "0000"
       "0400"
       "0300"
       "0000"
       "53545254"},
      {"S FILE",
       "000c42010201000c4201020a"
       "0000"
       "1200"
       "0200"
       "0000"
       "46494c450a706b67"},
      {"C ack",
       "000c4201020a000c42010201"
       "0100"
       "0000"
       "0400"
       "0200"},
      {"S data",
       "000c42010201000c4201020a"
       "0001"
       "ac05"
       "0300"
       "0000"
       "00070e151c232a31"},
      {"C TERM",
       "000c4201020a000c42010201"
       "0000"
       "0400"
       "0400"
       "0000"
       "5445524d"},
  };
  for (const auto& [message, bytes] : golden) EXPECT_EQ(bytes, firstOf[message]) << message;
}

TEST(NetLink, sendWaitsOneSecondForFileAndBacksOffFromTwentyMsForData) {
  struct Case {
    int ignoredCopies;          // of the message under test, before it is acknowledged
    int dataMessage;            // 0: the FILE message
    std::vector<int64_t> gaps;  // between its sends, in ms
  } cases[] = {
      {30, 0, std::vector<int64_t>(29, 1000)},
      {9, 1, {20, 40, 80, 160, 320, 640, 1280, 1280, 1280}},
      {2, 2, {20, 40}},  // the first data message's back-off does not carry over
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    writeFile(dir.file("a.qpk"), content(2904, 0));
    SimLink sim(1, {});
    bool ok = true;
    std::string out;
    sim.addEnd([&](DatagramPort& port) {
      LinkState link{2, 3, kServer, kClient};
      FileSender sender;
      testing::internal::CaptureStdout();
      ok = openFileSender(sender, port, link, dir.file("a.qpk").c_str(), true) && sendFile(sender);
      out = testing::internal::GetCapturedStdout();
      freeFileSender(sender);
    });
    sim.addEnd([&](DatagramPort& port) {
      LinkState link{4, 1, kClient, kServer};
      PacketBuffer packet;
      int copies = 0;
      for (int n; (n = port.receive(packet.bytes, kPacketSize, 40000)) >= 0;) {
        int index = readHeader(packet).sequence - 2;
        if (index == c.dataMessage && ++copies <= c.ignoredCopies) continue;
        if (acceptMessage(link, packet, n) || isRepeat(link, packet, n)) sendAck(port, link);
      }
    });
    sim.run();
    std::vector<int64_t> gaps;
    int64_t last = -1;
    for (const SimLink::Sent& s : sim.sent) {
      if (s.end != 0 || s.bytes[16] - 2 != c.dataMessage) continue;
      if (last >= 0) gaps.push_back(s.at - last);
      last = s.at;
    }
    EXPECT_EQ(c.gaps, gaps) << c.dataMessage;
    EXPECT_EQ(c.ignoredCopies < 30, ok);
    if (!ok) {
      EXPECT_EQ("Transfering: a.qpk...\nFATAL ERROR: Installation timeout\n", out);
    }
  }
}

TEST(NetLink, transfersArriveWholeUnderLossDuplicationAndReordering) {
  struct Case {
    double loss;
    int runs;
  } cases[] = {{0, 200}, {0.1, 1000}, {0.3, 1000}};
  testing::internal::CaptureStdout();
  for (const Case& c : cases) {
    int startsLost = 0;
    for (int seed = 1; seed <= c.runs; ++seed) {
      std::mt19937 pick(seed);
      std::vector<size_t> sizes(1 + pick() % 3);
      for (size_t& size : sizes) size = 1 + pick() % 6000;
      Outcome run = transfer(seed, {c.loss, c.loss / 2, 6}, sizes);
      if (!run.clientOk && run.got.empty()) {
        startsLost++;  // STRT lost five times: the client gives up before any file
        EXPECT_FALSE(run.serverOk);
        continue;
      }
      ASSERT_TRUE(run.serverOk && run.clientOk) << "loss " << c.loss << " seed " << seed;
      ASSERT_EQ(run.expected, run.got) << "loss " << c.loss << " seed " << seed;
    }
    EXPECT_LE(startsLost, c.runs / 100) << "loss " << c.loss;
  }
  testing::internal::GetCapturedStdout();
}

TEST(NetLink, packageSizesMakeTheirMessagesAndEmptyFilesAreAcknowledgedTwice) {
  struct Case {
    size_t size;
    std::vector<int> dataLengths;
    int clientAcksOfFile;
  } cases[] = {{0, {}, 2}, {2904, {1452, 1452}, 1}, {3000, {1452, 1452, 96}, 1}};
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    Outcome run = transfer(1, {}, {c.size});
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(run.serverOk && run.clientOk);
    if (c.size) {
      EXPECT_EQ(run.expected, run.got);  // an empty package ends the client's list
    }
    std::vector<int> lengths;
    int acks = 0;
    for (const SimLink::Sent& s : run.sent) {
      if (s.end == 0 && name(s.bytes) == "data" && s.bytes[16] > 2 &&
          s.bytes[16] < 3 + c.dataLengths.size()) {
        lengths.push_back(static_cast<int>(s.bytes.size()) - kHeaderSize);
      }
      if (s.end == 1 && name(s.bytes) == "ack" && s.bytes[18] == 2) acks++;
    }
    EXPECT_EQ(c.dataLengths, lengths) << c.size;
    EXPECT_EQ(c.clientAcksOfFile, acks) << c.size;
  }
}

TEST(NetLink, lostAcknowledgementsOfStartDoNotCostTheFirstFile) {
  for (int dropped : {1, 2}) {
    int seen = 0;
    testing::internal::CaptureStdout();
    Outcome run = transfer(1, {}, {3000}, [&](int end, const std::vector<uint8_t>& d) {
      return end == 0 && d.size() == kHeaderSize && d[18] == 3 && ++seen <= dropped;
    });
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(run.serverOk && run.clientOk) << dropped;
    EXPECT_EQ(run.expected, run.got) << dropped;
    int acksOfStart = 0;
    for (const SimLink::Sent& s : run.sent)
      acksOfStart += s.end == 0 && s.bytes.size() == 20 && s.bytes[18] == 3;
    EXPECT_EQ(2, acksOfStart);
  }
}

TEST(NetLink, fileShorterThanItsSizeIsNotReportedSent) {
  ScratchDir dir;
  std::string path = dir.file("short.qpk");
  writeFile(path, content(3000, 0));
  SimLink sim(1, {});
  bool sentOk = true;
  int delivered = 0;
  std::string out;
  sim.addEnd([&](DatagramPort& port) {
    LinkState link{2, 3, kServer, kClient};
    FileSender sender;
    testing::internal::CaptureStdout();
    openFileSender(sender, port, link, path.c_str(), true);
    ASSERT_EQ(0, truncate(path.c_str(), 1000));
    sentOk = sendFile(sender);
    out = testing::internal::GetCapturedStdout();
    freeFileSender(sender);
  });
  sim.addEnd([&](DatagramPort& port) {
    LinkState link{4, 1, kClient, kServer};
    FileReceiver receiver;
    makeFileReceiver(receiver, port, link);
    uint8_t buffer[4096];
    ASSERT_TRUE(receiveFileHeader(receiver));
    delivered = readFileData(receiver, buffer, sizeof buffer);
  });
  sim.run();
  EXPECT_FALSE(sentOk);
  EXPECT_EQ("Transfering: short.qpk...\nFATAL ERROR: Read package failed\n", out);
  EXPECT_EQ(-1, delivered);
  EXPECT_GE(sim.now, 30000);
}

TEST(NetLink, twoClientsTakeOnlyTheOfferAddressedToThem) {
  const MacAddress other = {{0x00, 0x0c, 0x42, 0x01, 0x02, 0x0b}};
  SimLink sim(1, {});
  bool offered[2] = {}, accepted = false;
  std::set<std::string> labels;
  OfferOutcome outcome = OfferOutcome::NoReply;
  sim.addEnd([&](DatagramPort& port) {
    LinkState link;
    PacketBuffer packet;
    char label[32];
    while (labels.size() < 2) {
      int n = port.receive(packet.bytes, kPacketSize, 1000);
      if (n > 0 && isAnnouncement(link, kServer, packet, n, label)) labels.insert(label);
    }
    outcome = sendOffer(port, link, kServer, kClient, true);
    awaitStart(port, link);
  });
  for (int i = 0; i < 2; ++i) {
    sim.addEnd([&, i](DatagramPort& port) {
      LinkState link;
      PacketBuffer packet;
      bool keep = false;
      announce(port, link, i ? other : kClient, i ? "two" : "one");
      platform().sleepMs(1000);
      offered[i] = pollOffer(port, link, i ? other : kClient, packet, keep);
      if (!offered[i]) return;
      EXPECT_TRUE(keep);
      accepted = acceptOffer(port, link) && sendStart(port, link, packet) > 0;
    });
  }
  sim.run();
  EXPECT_EQ((std::set<std::string>{"one", "two"}), labels);
  EXPECT_EQ(OfferOutcome::Accepted, outcome);
  EXPECT_TRUE(offered[0] && accepted);
  EXPECT_FALSE(offered[1]);
}

TEST(NetLink, crossingTermsFinishBothSides) {
  SimLink sim(1, {});
  int64_t finished[2] = {};
  LinkState links[2] = {{10, 3, kServer, kClient}, {4, 9, kClient, kServer}};
  for (int i = 0; i < 2; ++i) {
    sim.addEnd([&, i](DatagramPort& port) {
      platform().sleepMs(100);
      sim.pressKey(i);
      waitForTerm(port, links[i], i == 0);
      finished[i] = sim.now;
    });
  }
  sim.run();
  EXPECT_EQ(101, finished[0]);
  EXPECT_EQ(101, finished[1]);
  EXPECT_EQ(2u, sim.sent.size());  // one TERM each, each taken as the other's reply
}

}  // namespace
