// The install protocol's rules on single datagrams: which are accepted and which are repeats,
// which are announcements and offers, which FILE messages are taken, and the printed forms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "netinstall/file_transfer.h"
#include "netinstall/net_interface.h"
#include "support/fake_platform.h"

namespace {

const MacAddress S = {{0, 0x0c, 0x42, 1, 2, 1}}, C = {{0, 0x0c, 0x42, 1, 2, 0x0a}},
                 X = {{0, 0x0c, 0x42, 1, 2, 0x0b}}, Z = kNoMac;

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

TEST(NetProtocol, discoveryRecognisesAnnouncementsAndOffers) {
  std::string label31(31, 'L');
  struct Case {
    const char* why;
    Frame frame;
    bool announcement = false, offer = false, keep = false;
  } cases[] = {
      {"announcement", {C, Z, 0, 1, 0, "DSCV\n" + label31 + "\ni386\n" + '\0'}, true, false},
      {"label of 32", {C, Z, 0, 1, 0, "DSCV\nL" + label31 + "\ni386\n" + '\0'}, false, false},
      {"second number", {C, Z, 0, 2, 0, "DSCV\nlab\ni386\n" + '\0'}, false, false},
      {"acknowledges", {C, Z, 1, 1, 1, "DSCV\nlab\ni386\n" + '\0'}, false, false},
      {"offer", {S, C, 1, 1, 1, std::string("OFFR\n") + '\0'}, false, true, false},
      {"offer to keep", {S, C, 1, 1, 1, std::string("OFFR\nkeep\n") + '\0'}, false, true, true},
      {"offer broadcast", {S, Z, 1, 1, 1, std::string("OFFR\n") + '\0'}, false, false},
      {"offer acknowledging 0", {S, C, 1, 1, 0, std::string("OFFR\n") + '\0'}, false, false},
      {"offer as data", {S, C, 1, 1, 1, "OFFR\n", KindData}, false, false},
      {"offer without newline", {S, C, 1, 1, 1, "OFFR"}, false, false},
      {"offer to another", {S, X, 1, 1, 1, std::string("OFFR\n") + '\0'}, false, false},
  };
  for (const Case& c : cases) {
    PacketBuffer p;
    int length = build(p, c.frame);
    LinkState server, client;
    char label[32] = "";
    bool keep = !c.keep;
    EXPECT_EQ(c.announcement, isAnnouncement(server, S, p, length, label)) << c.why;
    if (c.announcement) {
      EXPECT_EQ(label31, label);
    }
    EXPECT_EQ(c.offer, takeOffer(client, C, p, length, keep)) << c.why;
    if (!c.offer) continue;
    EXPECT_EQ(c.keep, keep) << c.why;
    EXPECT_TRUE(sameMac(S, client.peerMac) && client.sendNumber == 2) << c.why;
  }
}

class RecordingPort : public DatagramPort {
 public:
  int send(const uint8_t* bytes, int length) override {
    sent.emplace_back(bytes, bytes + length);
    return length;
  }
  int receive(uint8_t*, int, int timeoutMs) override {
    platform().sleepMs(timeoutMs);
    return -1;
  }
  int receiveOrKey(uint8_t*, int) override { return -2; }
  void discardKey() override {}
  std::vector<std::vector<uint8_t>> sent;
};

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
  };
  FakePlatform clock;
  for (const Case& c : cases) {
    RecordingPort port;
    LinkState link{4, 2, C, S};
    FileReceiver receiver;
    makeFileReceiver(receiver, port, link);
    receiver.pending = build(receiver.packet, {S, C, 0, 2, 0, c.payload, c.kind});
    EXPECT_EQ(c.taken, receiveFileHeader(receiver)) << c.payload;
    EXPECT_EQ(c.taken ? 1u : 0u, port.sent.size()) << c.payload;
    if (!c.taken) continue;
    std::string expected = *c.name ? c.name : std::string(79, 'n');
    EXPECT_EQ(expected, receiver.name);
    EXPECT_EQ(c.size, receiver.size);
  }
  // Without a FILE: 30 s of waiting, then TERM once a second, five times.
  RecordingPort port;
  LinkState link{4, 2, C, S};
  FileReceiver receiver;
  makeFileReceiver(receiver, port, link);
  int64_t start = clock.now;
  EXPECT_FALSE(takeNextFile(receiver));
  EXPECT_EQ(30000 + 5 * 1000, clock.now - start);
  EXPECT_EQ(5u, port.sent.size());
}

TEST(NetProtocol, printedFormsAndSequenceBudget) {
  EXPECT_STREQ("00:0C:42:01:02:0A", macToText(C));
  const char* first = macToText(S);
  macToText(C);
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
}

TEST(NetProtocol, namesOfKernelListLines) {
  struct Case {
    const char* line;
    const char* name;
  } cases[] = {{"  eth0: 123 4 0", "eth0"},
               {"eth1:123 4 0", "eth1"},
               {"    lo:   0", "lo"},
               {"Inter-|   Receive", nullptr},
               {"  :0 0", nullptr}};
  for (const Case& c : cases) {
    char name[16] = "";
    EXPECT_EQ(c.name != nullptr, interfaceNameOf(c.line, name)) << c.line;
    if (c.name) {
      EXPECT_STREQ(c.name, name);
    }
  }
}

}  // namespace
