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

// What the rules make of one datagram: the client's link (own C, peer S, sendNumber 4,
// lastReceived 2) takes it for a repeat or accepts it (then the new lastReceived), the server on S
// for an announcement (its label), the client on C for an offer (new or to keep).
std::string outcome(const Frame& f) {
  PacketBuffer p;
  int n = build(p, f);
  LinkState link{4, 2, C, S}, server, client;
  char label[32] = "";
  bool keep = true;
  std::string o = isRepeat(link, p, n) ? "repeat" : "";
  if (acceptMessage(link, p, n)) o += "accept";
  if (link.lastReceived != 2) o += std::to_string(link.lastReceived);
  if (isAnnouncement(server, S, p, n, label)) o += "dscv " + std::string(label);
  if (takeOffer(client, C, p, n, keep)) {
    o += !sameMac(S, client.peerMac) || client.sendNumber != 2 ? "bad" : keep ? "keep" : "offer";
  }
  return o;
}

TEST(NetProtocol, acceptanceRepeatsAnnouncementsAndOffers) {
  std::string l31(31, 'L'), offer("OFFR\n\0", 6), keep("OFFR\nkeep\n\0", 11),
      dscv = "DSCV\nlab\ni386\n" + std::string(1, '\0');
  struct Case {
    const char* why;
    Frame frame;
    std::string outcome;
  } cases[] = {
      {"next in sequence", {S, C, 0, 3, 0, "FILE"}, "accept3"},
      {"acknowledgement", {S, C, 1, 9, 4, ""}, "accept"},
      {"acknowledges the unsent", {S, C, 1, 3, 5, "FILE"}, ""},
      {"skips a number", {S, C, 0, 4, 0, "FILE"}, ""},
      {"repeat of the last", {S, C, 0, 2, 0, "FILE"}, "repeat"},
      {"length disagrees", {S, C, 0, 3, 0, "FILE", KindCommand, 1}, ""},
      {"shorter than a header", {S, C, 0, 3, 0, "", KindCommand, -1}, ""},
      {"own broadcast", {C, Z, 0, 3, 0, "DSCV"}, ""},
      {"broadcast to a known peer", {S, Z, 0, 3, 0, "FILE"}, ""},
      {"for another client", {S, X, 0, 3, 0, "FILE"}, ""},
      {"from a stranger", {X, C, 0, 3, 0, "FILE"}, ""},
      {"announcement", {C, Z, 0, 1, 0, "DSCV\n" + l31 + "\ni386\n" + '\0'}, "dscv " + l31},
      {"label of 32", {C, Z, 0, 1, 0, "DSCV\nL" + l31 + "\ni386\n" + '\0'}, ""},
      {"second number", {C, Z, 0, 2, 0, dscv}, ""},
      {"acknowledges", {C, Z, 1, 1, 1, dscv}, ""},
      {"offer", {S, C, 1, 1, 1, offer}, "offer"},
      {"offer to keep", {S, C, 1, 1, 1, keep}, "keep"},
      {"offer broadcast", {S, Z, 1, 1, 1, offer}, ""},
      {"offer acknowledging 0", {S, C, 1, 1, 0, offer}, ""},
      {"offer as data", {S, C, 1, 1, 1, offer, KindData}, ""},
      {"offer without newline", {S, C, 1, 1, 1, "OFFR"}, ""},
      {"offer to another", {S, X, 1, 1, 1, offer}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.outcome, outcome(c.frame)) << c.why;
  LinkState end{1, 65535, C, S};  // the sequence space does not wrap
  PacketBuffer p;
  EXPECT_FALSE(acceptMessage(end, p, build(p, {S, C, 0, 0, 0, "FILE"})));
  SimLink sim(1, {});  // an unanswered offer to keep: ten times, a second apart
  sim.addEnd([](DatagramPort& port) {
    LinkState link;
    EXPECT_EQ(OfferOutcome::NoReply, sendOffer(port, link, S, C, true));
  });
  sim.run();
  EXPECT_EQ(10000, sim.now);
  ASSERT_EQ(10u, sim.sent.size());
  EXPECT_EQ(keep, std::string(sim.sent[9].bytes.begin() + kHeaderSize, sim.sent[9].bytes.end()));
}

// The client's next file from one FILE message (none when `payload` is empty): "<name> <size>"
// or "refused 0", then "<datagrams sent>@<ms taken>".
std::string nextFile(const std::string& payload, uint8_t kind = KindCommand) {
  SimLink sim(1, {});
  std::string taken;
  sim.addEnd([&](DatagramPort& port) {
    LinkState link{4, 2, C, S};
    FileReceiver r;
    makeFileReceiver(r, port, link);
    if (!payload.empty()) r.pending = build(r.packet, {S, C, 0, 2, 0, payload, kind});
    bool ok = takeNextFile(r);
    taken = (ok ? std::string(r.name) : "refused") + " " + std::to_string(r.size);
  });
  sim.run();
  return taken + " " + std::to_string(sim.sent.size()) + "@" + std::to_string(sim.now);
}

TEST(NetProtocol, fileHeaderNamesABareFileAndItsSize) {
  // Taken: acknowledged (twice when empty). Refused: TERM once a second, five times.
  EXPECT_EQ("pkg.qpk 2904 1@0", nextFile("FILE\npkg.qpk\n2904\n"));
  EXPECT_EQ(std::string(79, 'n') + " 0 2@0", nextFile("FILE\n" + std::string(90, 'n') + "\n0\n"));
  EXPECT_EQ("refused 0 5@5000", nextFile("FILE\npkg.qpk\n2904\n", KindData));
  EXPECT_EQ("refused 0 5@35000", nextFile(""));  // nothing came: 30 s of waiting, then TERM
  for (const char* payload : {"FILE\n../etc/passwd\n1\n", "FILE\n..\n1\n", "FILE\n.\n1\n",
                              "FILE\n\n1\n", "FILE\npkg.qpk\n-1\n", "FILE\npkg.qpk\n12", "TERM"}) {
    EXPECT_EQ("refused 0 5@5000", nextFile(payload)) << payload;
  }
}

TEST(NetProtocol, printedFormsAndSequenceBudget) {
  const char* first = macToText(S);
  EXPECT_STREQ("00:0C:42:01:02:0A", macToText(C));
  EXPECT_STREQ("00:0C:42:01:02:0A", first);  // one buffer, overwritten by every call
  auto needed = [](std::vector<uint32_t> sizes, uint32_t script) {
    return sequencesNeeded(sizes.data(), unsigned(sizes.size()), script);
  };
  EXPECT_EQ(3u, needed({}, 0));                   // OFFR 1, script FILE 2, TERM 3
  EXPECT_EQ(7u, needed({2904}, 10));              // FILE 2, data 3 4, script 5 6, TERM 7
  EXPECT_EQ(7u, needed({1453, 0}, 0));            // FILE 2, data 3 4, FILE 5, script 6, TERM 7
  EXPECT_EQ(65535u, needed({65531u * 1452}, 0));  // the largest selection that still fits
  EXPECT_EQ(65536u, needed({65532u * 1452}, 0));  // one too many
  std::string names;                              // of /proc/net/dev lines, "-" where there is none
  for (const char* line :
       {"  eth0: 123 4 0", "eth1:123 4 0", "    lo:   0", "Inter-|  Rec", "  :0 0"}) {
    char name[16] = "";
    bool found = interfaceNameOf(line, name);
    names += std::string(name) + (found ? " " : "- ");
  }
  EXPECT_EQ("eth0 eth1 lo - - ", names);
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
  int64_t endsAt = 0;
};

// One transfer after the offer: the server's link has sent OFFR and taken YACK, the client's
// has sent YACK and had it acknowledged.
ScratchDir files;  // the packages of transfer(), rewritten by every run

Outcome transfer(uint32_t seed, SimLink::Faults faults, const std::vector<size_t>& sizes,
                 std::function<bool(int, const Bytes&)> drop = nullptr) {
  Outcome run;
  std::vector<std::string> paths;
  for (size_t i = 0; i < sizes.size(); ++i) {
    paths.push_back(files.file("p" + std::to_string(i) + ".qpk"));
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
  run.endsAt = sim.now;
  return run;
}

// A datagram as "<source><destination> flags+kind length sequence acknowledged payload…", the
// addresses as S, C, X or Z (none).
std::string fields(const SimLink::Sent& s) {
  const MacAddress* known[] = {&Z, &S, &C, &X};
  std::string text;
  for (int at : {0, 6}) {
    int k = 0;
    while (k < 4 && memcmp(known[k]->bytes, &s.bytes[size_t(at)], 6) != 0) ++k;
    text += "ZSCX?"[k];
  }
  char two[4];
  for (size_t i = 12; i < s.bytes.size() && i < 28; ++i) {
    snprintf(two, sizeof two, "%s%02x", i % 2 || i > 20 ? "" : " ", s.bytes[i]);
    text += two;
  }
  return text + "|";
}

TEST(NetLink, wholeInstallationCarriesTheseBytesAndNumbers) {
  std::string path = files.file("pkg.qpk");
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
  std::string trace;  // entries begin with the only capitals, so a found one is the same
  for (const SimLink::Sent& s : sim.sent) {
    if (trace.find(fields(s)) == std::string::npos) trace += fields(s);
  }
  // Each datagram once, in the order first sent: DSCV, OFFR, YACK, STRT, FILE and data, TERM.
  EXPECT_EQ(
      "CZ 0000 0f00 0100 0000 445343560a6c6162|XZ 0000 0f00 0100 0000 445343560a74776f|"
      "SC 0100 0600 0100 0100 4f4646520a00|CS 0100 0500 0200 0100 5941434b0a|"
      "SC 0100 0000 0200 0200|CS 0000 0400 0300 0000 53545254|SC 0100 0000 0200 0300|"
      "SC 0000 1200 0200 0000 46494c450a706b67|CS 0100 0000 0400 0200|"
      "SC 0001 ac05 0300 0000 00070e151c232a31|CS 0100 0000 0400 0300|"
      "SC 0001 ac05 0400 0000 7c838a91989fa6ad|CS 0100 0000 0400 0400|"
      "SC 0000 1300 0500 0000 46494c450a617574|CS 0100 0000 0400 0500|"
      "SC 0001 0200 0600 0000 780a|CS 0100 0000 0400 0600|CS 0000 0400 0400 0000 5445524d|"
      "SC 0100 0000 0700 0400|",
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
  for (int lost = 0; lost <= 2; ++lost) {  // with 2, the FILE is taken as the reply to STRT
    for (size_t size : {0, 3000}) {
      int dropped = 0;
      Outcome run = transfer(1, {}, {size}, [&](int end, const Bytes& d) {
        return end == 0 && d.size() == kHeaderSize && d[18] == 3 && ++dropped <= lost;
      });
      EXPECT_TRUE(run.serverOk && run.clientOk) << size;
      EXPECT_TRUE(!size || run.expected == run.got);  // an empty package ends the list
      std::string lengths;                            // of p0's data messages
      int acks = 0, acksOfStart = 0;
      for (const SimLink::Sent& s : run.sent) {
        bool ack = s.bytes.size() == kHeaderSize;
        if (s.end == 0 && !ack && s.bytes[13] == KindData && s.bytes[16] < 4 + int(size) / 1452) {
          lengths += std::to_string(s.bytes.size() - kHeaderSize) + " ";
        }
        acks += s.end == 1 && ack && s.bytes[18] == 2;
        acksOfStart += s.end == 0 && ack && s.bytes[18] == 3;
      }
      EXPECT_EQ(size ? "1452 1452 96 " : "", lengths) << size;
      EXPECT_EQ(size ? 1 : 2, acks) << size;  // an empty file is acknowledged twice
      EXPECT_EQ(2, acksOfStart) << size;
    }
  }
}

TEST(NetLink, fileShorterThanItsSizeIsNotReportedSent) {
  Outcome run = transfer(1, {}, {3000}, [](int end, const Bytes& d) {
    if (end == 0 && d.size() > kHeaderSize && d[16] == 2) {  // FILE: the file shrinks
      EXPECT_EQ(0, truncate(files.file("p0.qpk").c_str(), 1000));
    }
    return false;
  });
  EXPECT_FALSE(run.serverOk || run.clientOk);
  EXPECT_EQ("Transfering: p0.qpk...\nFATAL ERROR: Read package failed\n", run.out);
  EXPECT_EQ(std::vector<std::string>{"p0.qpk:"}, run.got);
  EXPECT_GE(run.endsAt, 30000);
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
