// The install protocol: its rules on single datagrams (acceptance, repeats, announcements,
// offers, FILE headers), then both ends over the simulated segment in virtual time: a whole
// installation byte for byte, the retransmission schedule, transfers under loss, duplication and
// reordering, and the exchanges where two clients or two TERMs meet.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "netinstall/file_transfer.h"
#include "netinstall/net_interface.h"
#include "support/scratch_dir.h"
#include "support/sim_link.h"

namespace {

const MacAddress S = {{0, 0x0c, 0x42, 1, 2, 1}}, C = {{0, 0x0c, 0x42, 1, 2, 0x0a}},
                 X = {{0, 0x0c, 0x42, 1, 2, 0x0b}}, Z = kNoMac;
using Bytes = std::vector<uint8_t>;

struct Frame {
  MacAddress source, destination;
  uint8_t flags;
  uint16_t sequence, acknowledged;
  std::string payload;
  uint8_t kind = KindCommand;
  int extra = 0;  // bytes beyond the announced payload
};

int build(PacketBuffer& p, const Frame& f) {
  writeHeader(p, {f.source, f.destination, f.flags, f.kind, uint16_t(f.payload.size()), f.sequence,
                  f.acknowledged});
  memcpy(p.payload(), f.payload.data(), f.payload.size());
  return kHeaderSize + int(f.payload.size()) + f.extra;
}

TEST(NetProtocol, acceptanceAndRepeatRules) {
  struct Case {
    const char* why;
    Frame frame;
    bool accepted, repeat;
    uint16_t lastReceived;
  } cases[] = {
      // The link is the client's: own C, peer S, sendNumber 4, lastReceived 2.
      {"next in sequence", {S, C, 0, 3, 0, "FILE"}, true, false, 3},
      {"acknowledgement", {S, C, 1, 9, 4, ""}, true, false, 2},
      {"acknowledges the unsent", {S, C, 1, 3, 5, "FILE"}, false, false, 2},
      {"skips a number", {S, C, 0, 4, 0, "FILE"}, false, false, 2},
      {"repeat of the last", {S, C, 0, 2, 0, "FILE"}, false, true, 2},
      {"length disagrees", {S, C, 0, 3, 0, "FILE", KindCommand, 1}, false, false, 2},
      {"shorter than a header", {S, C, 0, 3, 0, "", KindCommand, -1}, false, false, 2},
      {"own broadcast", {C, Z, 0, 3, 0, "DSCV"}, false, false, 2},
      {"broadcast to a known peer", {S, Z, 0, 3, 0, "FILE"}, false, false, 2},
      {"for another client", {S, X, 0, 3, 0, "FILE"}, false, false, 2},
      {"from a stranger", {X, C, 0, 3, 0, "FILE"}, false, false, 2},
  };
  for (const Case& c : cases) {
    LinkState link{4, 2, C, S};
    PacketBuffer p;
    int length = build(p, c.frame);
    EXPECT_EQ(c.repeat, isRepeat(link, p, length)) << c.why;
    EXPECT_EQ(c.accepted, acceptMessage(link, p, length)) << c.why;
    EXPECT_EQ(c.lastReceived, link.lastReceived) << c.why;
  }
  LinkState end{1, 65535, C, S};  // the sequence space does not wrap
  PacketBuffer p;
  EXPECT_FALSE(acceptMessage(end, p, build(p, {S, C, 0, 0, 0, "FILE"})));
}

// Runs `body` as the only end of a quiet segment; returns the datagrams it sent.
std::vector<SimLink::Sent> alone(std::function<void(DatagramPort&)> body, int64_t* endsAt) {
  SimLink sim(1, {});
  sim.addEnd(body);
  sim.run();
  *endsAt = sim.now;
  return sim.sent;
}

TEST(NetProtocol, discoveryRecognisesAnnouncementsAndOffers) {
  std::string label31(31, 'L'), offer("OFFR\n\0", 6), keep("OFFR\nkeep\n\0", 11);
  struct Case {
    const char* why;
    Frame frame;
    bool announcement = false, offer = false, keep = false;
  } cases[] = {
      {"announcement", {C, Z, 0, 1, 0, "DSCV\n" + label31 + "\ni386\n" + '\0'}, true},
      {"label of 32", {C, Z, 0, 1, 0, "DSCV\nL" + label31 + "\ni386\n" + '\0'}},
      {"second number", {C, Z, 0, 2, 0, "DSCV\nlab\ni386\n" + '\0'}},
      {"acknowledges", {C, Z, 1, 1, 1, "DSCV\nlab\ni386\n" + '\0'}},
      {"offer", {S, C, 1, 1, 1, offer}, false, true, false},
      {"offer to keep", {S, C, 1, 1, 1, keep}, false, true, true},
      {"offer broadcast", {S, Z, 1, 1, 1, offer}},
      {"offer acknowledging 0", {S, C, 1, 1, 0, offer}},
      {"offer as data", {S, C, 1, 1, 1, offer, KindData}},
      {"offer without newline", {S, C, 1, 1, 1, "OFFR"}},
      {"offer to another", {S, X, 1, 1, 1, offer}},
  };
  for (const Case& c : cases) {
    PacketBuffer p;
    int length = build(p, c.frame);
    LinkState server, client;
    char label[32] = "";
    bool keep = !c.keep;
    EXPECT_EQ(c.announcement, isAnnouncement(server, S, p, length, label)) << c.why;
    EXPECT_TRUE(!c.announcement || label31 == label) << c.why;
    EXPECT_EQ(c.offer, takeOffer(client, C, p, length, keep)) << c.why;
    EXPECT_TRUE(!c.offer ||
                (c.keep == keep && sameMac(S, client.peerMac) && client.sendNumber == 2))
        << c.why;
  }
  int64_t endsAt;  // an unanswered offer to keep: ten times, a second apart
  auto sent = alone(
      [](DatagramPort& port) {
        LinkState link;
        EXPECT_EQ(OfferOutcome::NoReply, sendOffer(port, link, S, C, true));
      },
      &endsAt);
  EXPECT_EQ(10000, endsAt);
  ASSERT_EQ(10u, sent.size());
  EXPECT_EQ(keep, std::string(sent[9].bytes.begin() + kHeaderSize, sent[9].bytes.end()));
}

TEST(NetProtocol, fileHeaderNamesABareFileAndItsSize) {
  struct Case {
    std::string payload;
    uint8_t kind;
    bool taken;
    const char* name = "";
    int size = 0;
  } cases[] = {
      {"FILE\npkg.qpk\n2904\n", KindCommand, true, "pkg.qpk", 2904},
      {"FILE\n" + std::string(90, 'n') + "\n0\n", KindCommand, true, "", 0},
      {"FILE\n../etc/passwd\n1\n", KindCommand, false},
      {"FILE\n..\n1\n", KindCommand, false},
      {"FILE\n.\n1\n", KindCommand, false},
      {"FILE\n\n1\n", KindCommand, false},
      {"FILE\nsub/pkg.qpk\n1\n", KindCommand, false},
      {"FILE\npkg.qpk\n-1\n", KindCommand, false},
      {"FILE\npkg.qpk\n12", KindCommand, false},
      {"FILE\npkg.qpk\n2904\n", KindData, false},
      {"TERM", KindCommand, false},
      {"", KindCommand, false},  // nothing came: 30 s of waiting, then TERM
  };
  for (const Case& c : cases) {
    int64_t endsAt;
    auto sent = alone(
        [&](DatagramPort& port) {
          LinkState link{4, 2, C, S};
          FileReceiver r;
          makeFileReceiver(r, port, link);
          if (!c.payload.empty()) r.pending = build(r.packet, {S, C, 0, 2, 0, c.payload, c.kind});
          EXPECT_EQ(c.taken, takeNextFile(r)) << c.payload;
          EXPECT_TRUE(!c.taken || (*c.name ? c.name : std::string(79, 'n')) == r.name);
          EXPECT_EQ(c.size, r.size);
        },
        &endsAt);
    // Taken: acknowledged (twice when empty). Refused: TERM once a second, five times.
    EXPECT_EQ(c.taken ? 1 + !c.size : 5, int(sent.size())) << c.payload;
    EXPECT_EQ(c.taken ? 0 : c.payload.empty() ? 35000 : 5000, endsAt) << c.payload;
  }
}

TEST(NetProtocol, printedFormsAndSequenceBudget) {
  const char* first = macToText(S);
  EXPECT_STREQ("00:0C:42:01:02:0A", macToText(C));
  EXPECT_STREQ("00:0C:42:01:02:0A", first);  // one buffer, overwritten by every call
  struct Case {
    std::vector<uint32_t> sizes;
    uint32_t script, highest;
  } cases[] = {
      {{}, 0, 3},                   // OFFR 1, script FILE 2, TERM 3
      {{2904}, 10, 7},              // FILE 2, data 3 4, script 5 6, TERM 7
      {{1453, 0}, 0, 7},            // FILE 2, data 3 4, FILE 5, script 6, TERM 7
      {{65530u * 1452}, 0, 65534},  // the largest selection that still fits
      {{65531u * 1452}, 0, 65535},
      {{65532u * 1452}, 0, 65536},  // one too many
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.highest, sequencesNeeded(c.sizes.data(), unsigned(c.sizes.size()), c.script));
  }
  const char* lines[][2] = {{"  eth0: 123 4 0", "eth0"},
                            {"eth1:123 4 0", "eth1"},
                            {"    lo:   0", "lo"},
                            {"Inter-|   Receive", nullptr},
                            {"  :0 0", nullptr}};
  for (auto& line : lines) {
    char name[16] = "";
    EXPECT_EQ(line[1] != nullptr, interfaceNameOf(line[0], name)) << line[0];
    EXPECT_STREQ(line[1] ? line[1] : "", name);
  }
}

std::string content(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = char((i * 7 + seed) % 251);
  return bytes;
}

// The server from the acknowledged offer on: waits for STRT, sends the files and the script.
void serve(DatagramPort& port, LinkState& link, const std::vector<std::string>& paths, bool& ok) {
  ok = awaitStart(port, link);
  for (size_t i = 0; ok && i <= paths.size(); ++i, link.sendNumber++) {
    FileSender sender;
    bool isFile = i < paths.size();
    ok = openFileSender(sender, port, link, isFile ? paths[i].c_str() : "x\n", isFile) &&
         sendFile(sender);
    freeFileSender(sender);
  }
  if (ok) waitForTerm(port, link, true);
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
  std::string out;  // the server's progress and errors
  std::vector<SimLink::Sent> sent;
};

// One transfer after the offer: the server's link has sent OFFR and taken YACK, the client's
// has sent YACK and had it acknowledged.
Outcome transfer(uint32_t seed, SimLink::Faults faults, const std::vector<size_t>& sizes,
                 std::function<bool(int, const Bytes&)> drop = nullptr) {
  ScratchDir dir;
  Outcome run;
  std::vector<std::string> paths;
  for (size_t i = 0; i < sizes.size(); ++i) {
    paths.push_back(dir.file("p" + std::to_string(i) + ".qpk"));
    writeFile(paths.back(), content(sizes[i], seed + i));
    run.expected.push_back("p" + std::to_string(i) + ".qpk:" + content(sizes[i], seed + i));
  }
  run.expected.push_back("autorun.scr:x\n");
  SimLink sim(seed, faults);
  sim.drop = drop;
  LinkState server{1, 2, S, C}, client{3, 1, C, S};
  sim.addEnd([&](DatagramPort& p) { serve(p, server, paths, run.serverOk); });
  sim.addEnd([&](DatagramPort& p) { install(p, client, run.got, run.clientOk); });
  testing::internal::CaptureStdout();
  sim.run();
  run.out = testing::internal::GetCapturedStdout();
  run.sent = sim.sent;
  return run;
}

// A datagram as "<end> source destination flags+kind length sequence acknowledged payload…".
std::string fields(const SimLink::Sent& s) {
  std::string text = s.end ? "C" : "S";
  char two[4];
  for (size_t i = 0; i < s.bytes.size() && i < 28; ++i) {
    snprintf(two, sizeof two, "%s%02x", (i < 12 ? i % 6 : i % 2 || i > 20) ? "" : " ", s.bytes[i]);
    text += two;
  }
  return text;
}

TEST(NetLink, wholeInstallationCarriesTheseBytesAndNumbers) {
  ScratchDir dir;
  std::string path = dir.file("pkg.qpk");
  writeFile(path, content(2904, 0));
  SimLink sim(1, {});
  bool serverOk = false, clientOk = false, offered[2] = {};
  std::vector<std::string> got;
  std::set<std::string> labels;
  sim.addEnd([&](DatagramPort& port) {
    LinkState link;
    PacketBuffer packet;
    char label[32];
    while (labels.size() < 2) {
      int n = port.receive(packet.bytes, kPacketSize, 1000);
      if (n > 0 && isAnnouncement(link, S, packet, n, label)) labels.insert(label);
    }
    EXPECT_EQ(OfferOutcome::Accepted, sendOffer(port, link, S, C, false));
    sim.pressKey(1);  // the router's operator finishes first
    serve(port, link, {path}, serverOk);
  });
  for (int i = 0; i < 2; ++i) {  // client 0 takes the installation; 1 sees no offer for it
    sim.addEnd([&, i](DatagramPort& port) {
      LinkState link;
      PacketBuffer packet;
      bool keep = false;
      for (int tries = 0; !offered[i] && tries < 3; ++tries) {
        announce(port, link, i ? X : C, i ? "two" : "lab");
        platform().sleepMs(1000);
        offered[i] = pollOffer(port, link, i ? X : C, packet, keep) && acceptOffer(port, link);
      }
      if (offered[i]) install(port, link, got, clientOk);
    });
  }
  testing::internal::CaptureStdout();
  sim.run();
  EXPECT_EQ("Transfering: pkg.qpk...\nTransfering: configuration...\n",
            testing::internal::GetCapturedStdout());
  EXPECT_TRUE(serverOk && clientOk && offered[0] && !offered[1]);
  EXPECT_EQ((std::set<std::string>{"lab", "two"}), labels);
  EXPECT_EQ((std::vector<std::string>{"pkg.qpk:" + content(2904, 0), "autorun.scr:x\n"}), got);
  std::vector<std::string> trace;
  std::set<std::string> seen;
  for (const SimLink::Sent& s : sim.sent) {
    if (seen.insert(fields(s)).second) trace.push_back(fields(s));
  }
  // Each datagram once, in the order first sent: DSCV, OFFR, YACK, STRT, FILE and data, TERM.
  EXPECT_EQ((std::vector<std::string>{
                "C 000c4201020a 000000000000 0000 0f00 0100 0000 445343560a6c6162",
                "C 000c4201020b 000000000000 0000 0f00 0100 0000 445343560a74776f",
                "S 000c42010201 000c4201020a 0100 0600 0100 0100 4f4646520a00",
                "C 000c4201020a 000c42010201 0100 0500 0200 0100 5941434b0a",
                "S 000c42010201 000c4201020a 0100 0000 0200 0200",
                "C 000c4201020a 000c42010201 0000 0400 0300 0000 53545254",
                "S 000c42010201 000c4201020a 0100 0000 0200 0300",
                "S 000c42010201 000c4201020a 0000 1200 0200 0000 46494c450a706b67",
                "C 000c4201020a 000c42010201 0100 0000 0400 0200",
                "S 000c42010201 000c4201020a 0001 ac05 0300 0000 00070e151c232a31",
                "C 000c4201020a 000c42010201 0100 0000 0400 0300",
                "S 000c42010201 000c4201020a 0001 ac05 0400 0000 7c838a91989fa6ad",
                "C 000c4201020a 000c42010201 0100 0000 0400 0400",
                "S 000c42010201 000c4201020a 0000 1300 0500 0000 46494c450a617574",
                "C 000c4201020a 000c42010201 0100 0000 0400 0500",
                "S 000c42010201 000c4201020a 0001 0200 0600 0000 780a",
                "C 000c4201020a 000c42010201 0100 0000 0400 0600",
                "C 000c4201020a 000c42010201 0000 0400 0400 0000 5445524d",
                "S 000c42010201 000c4201020a 0100 0000 0700 0400",
            }),
            trace);
}

TEST(NetLink, sendWaitsOneSecondForFileAndBacksOffFromTwentyMsForData) {
  struct Case {
    int ignoredCopies;          // of the message under test, before it is acknowledged
    int message;                // 0: the FILE message, then the data messages
    std::vector<int64_t> gaps;  // between its sends, in ms
  } cases[] = {
      {30, 0, std::vector<int64_t>(29, 1000)},
      {9, 1, {20, 40, 80, 160, 320, 640, 1280, 1280, 1280}},
      {2, 2, {20, 40}},  // the first data message's back-off does not carry over
  };
  for (const Case& c : cases) {
    int copies = 0;  // the server's first FILE is p0.qpk (2904 bytes), sequence 2
    Outcome run = transfer(1, {}, {2904}, [&](int end, const Bytes& d) {
      return end == 0 && d.size() > kHeaderSize && d[16] - 2 == c.message &&
             ++copies <= c.ignoredCopies;
    });
    std::vector<int64_t> gaps;
    for (size_t i = 0, last = 0; i < run.sent.size(); ++i) {
      const SimLink::Sent& s = run.sent[i];
      if (s.end != 0 || s.bytes.size() == kHeaderSize || s.bytes[16] - 2 != c.message) continue;
      if (last) gaps.push_back(s.at - run.sent[last].at);
      last = i;
    }
    EXPECT_EQ(c.gaps, gaps) << c.message;
    EXPECT_EQ(c.ignoredCopies < 30, run.serverOk);
    EXPECT_EQ(c.ignoredCopies < 30,
              run.out.find("FATAL ERROR: Installation timeout\n") == std::string::npos);
  }
}

TEST(NetLink, transfersArriveWholeUnderLossDuplicationAndReordering) {
  for (double loss : {0.0, 0.1, 0.3}) {
    int runs = loss ? 1000 : 200, startsLost = 0;
    for (int seed = 1; seed <= runs; ++seed) {
      std::mt19937 pick(seed);
      std::vector<size_t> sizes(1 + pick() % 3);
      for (size_t& size : sizes) size = 1 + pick() % 6000;
      Outcome run = transfer(seed, {loss, loss / 2, 6}, sizes);
      if (!run.clientOk && run.got.empty()) {
        startsLost++;  // STRT lost five times: the client gives up before any file
        EXPECT_FALSE(run.serverOk);
        continue;
      }
      ASSERT_TRUE(run.serverOk && run.clientOk && run.expected == run.got) << loss << " " << seed;
    }
    EXPECT_LE(startsLost, runs / 100) << "loss " << loss;
  }
}

TEST(NetLink, packageSizesAndLostAcknowledgementsOfStart) {
  struct Case {
    size_t size;
    int startAcksLost;
    std::vector<int> dataLengths;
    int clientAcksOfFile;  // an empty file is acknowledged twice
  } cases[] = {{0, 0, {}, 2},
               {3000, 0, {1452, 1452, 96}, 1},
               {3000, 1, {1452, 1452, 96}, 1},
               {3000, 2, {1452, 1452, 96}, 1}};  // the FILE is taken as the reply to STRT
  for (const Case& c : cases) {
    int dropped = 0;
    Outcome run = transfer(1, {}, {c.size}, [&](int end, const Bytes& d) {
      return end == 0 && d.size() == kHeaderSize && d[18] == 3 && ++dropped <= c.startAcksLost;
    });
    EXPECT_TRUE(run.serverOk && run.clientOk) << c.size;
    EXPECT_TRUE(!c.size || run.expected == run.got);  // an empty package ends the list
    std::vector<int> lengths;
    int acks = 0, acksOfStart = 0;
    for (const SimLink::Sent& s : run.sent) {
      bool ack = s.bytes.size() == kHeaderSize;
      if (s.end == 0 && !ack && s.bytes[13] == KindData && s.bytes[16] < 3 + c.dataLengths.size()) {
        lengths.push_back(int(s.bytes.size()) - kHeaderSize);
      }
      acks += s.end == 1 && ack && s.bytes[18] == 2;
      acksOfStart += s.end == 0 && ack && s.bytes[18] == 3;
    }
    EXPECT_EQ(c.dataLengths, lengths) << c.size;
    EXPECT_EQ(c.clientAcksOfFile, acks) << c.size;
    EXPECT_EQ(2, acksOfStart) << c.size;
  }
}

TEST(NetLink, fileShorterThanItsSizeIsNotReportedSent) {
  ScratchDir dir;
  std::string path = dir.file("short.qpk"), out;
  writeFile(path, content(3000, 0));
  SimLink sim(1, {});
  bool sentOk = true;
  int delivered = 0;
  sim.addEnd([&](DatagramPort& port) {
    LinkState link{2, 3, S, C};
    FileSender sender;
    testing::internal::CaptureStdout();
    openFileSender(sender, port, link, path.c_str(), true);
    ASSERT_EQ(0, truncate(path.c_str(), 1000));
    sentOk = sendFile(sender);
    out = testing::internal::GetCapturedStdout();
    freeFileSender(sender);
  });
  sim.addEnd([&](DatagramPort& port) {
    LinkState link{4, 1, C, S};
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

TEST(NetLink, crossingTermsFinishBothSides) {
  SimLink sim(1, {});
  int64_t finished[2] = {};
  LinkState links[2] = {{10, 3, S, C}, {4, 9, C, S}};
  for (int i = 0; i < 2; ++i) {
    sim.addEnd([&, i](DatagramPort& port) {
      platform().sleepMs(100);
      sim.pressKey(i);
      waitForTerm(port, links[i], i == 0);
      finished[i] = sim.now;
    });
  }
  sim.run();
  EXPECT_TRUE(finished[0] == 101 && finished[1] == 101);
  EXPECT_EQ(2u, sim.sent.size());  // one TERM each, each taken as the other's reply
}

}  // namespace
