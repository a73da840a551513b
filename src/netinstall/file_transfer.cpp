// Both ends of a file transfer. The sender holds nothing of a file beyond one read piece; the
// receiver acknowledges a data message as soon as it takes it, so the next one travels while
// the caller writes the bytes on.
#include "netinstall/file_transfer.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/platform.h"

namespace {

constexpr int kFirstDataWaitMs = 20;
constexpr int kLongestWaitMs = 999;  // a wait above this is not doubled again
constexpr unsigned kTries = 30;
constexpr int kReceiverWaitMs = 30000;
constexpr int kNameMax = 79;

int readSome(int fd, uint8_t* buffer, size_t size) {
  for (;;) {
    ssize_t n = read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return static_cast<int>(n);
  }
}

// Fills `size` bytes of the message from the file through the read-ahead, so that three data
// messages cost one read. Fewer only at the end of the file; -1 when a read fails.
int takeFileBytes(FileSender& s, uint8_t* to, int size) {
  int copied = 0;
  while (copied < size) {
    if (s.aheadStart == s.aheadEnd) {
      int n = readSome(s.fd, s.readAhead, sizeof s.readAhead);
      if (n < 0) return -1;
      if (n == 0) break;
      s.aheadStart = 0;
      s.aheadEnd = n;
    }
    int piece =
        size - copied < s.aheadEnd - s.aheadStart ? size - copied : s.aheadEnd - s.aheadStart;
    memcpy(to + copied, s.readAhead + s.aheadStart, static_cast<size_t>(piece));
    s.aheadStart += piece;
    copied += piece;
  }
  return copied;
}

// A name from the network becomes a path under the target root: only a bare name may.
bool isBareName(const char* name, size_t length) {
  if (length == 0 || memchr(name, '/', length) || memchr(name, '\0', length)) return false;
  return !(length == 1 && name[0] == '.') && !(length == 2 && memcmp(name, "..", 2) == 0);
}

// The FILE payload "FILE\n<name>\n<size>\n", read within the datagram's bounds.
bool parseFileMessage(FileReceiver& r, int length) {
  const char* text = reinterpret_cast<const char*>(r.packet.payload());
  const char* end = text + (length - kHeaderSize);
  if (!isCommand(r.packet, length, "FILE")) {
    r.size = 0;
    r.name[0] = '\0';
    return false;
  }
  const char* lines[3];
  const char* from = text;
  for (const char*& line : lines) {
    line = static_cast<const char*>(memchr(from, '\n', static_cast<size_t>(end - from)));
    if (!line) return false;
    from = line + 1;
  }
  const char* name = lines[0] + 1;
  size_t nameLength = static_cast<size_t>(lines[1] - name);
  char sizeText[16] = {};
  memcpy(sizeText, lines[1] + 1,
         static_cast<size_t>(lines[2] - lines[1] - 1) < sizeof sizeText - 1
             ? static_cast<size_t>(lines[2] - lines[1] - 1)
             : sizeof sizeText - 1);
  int size = atoi(sizeText);
  if (size < 0 || !isBareName(name, nameLength)) return false;
  if (nameLength > kNameMax) nameLength = kNameMax;
  memcpy(r.name, name, nameLength);
  r.name[nameLength] = '\0';
  r.size = size;
  return true;
}

// Waits up to 30 s for the server's next sequenced message with a payload and returns its
// length, or -1. A repeat of the last one (our acknowledgement was lost) is acknowledged again;
// a late copy of an acknowledgement (the server's STRT acknowledgements) is passed over.
int receiveNextMessage(FileReceiver& r) {
  int64_t deadline = deadlineAfter(kReceiverWaitMs);
  for (;;) {
    int n = r.port->receive(r.packet.bytes, kPacketSize, 1000);
    if (n >= 0 && acceptMessage(*r.link, r.packet, n)) {
      if (readHeader(r.packet).payloadLength) return n;
    } else if (n >= 0 && isRepeat(*r.link, r.packet, n)) {
      sendAck(*r.port, *r.link);
    }
    if (msUntil(deadline) == 0) return -1;
  }
}

}  // namespace

void retryAnswered(RetryTimer& timer) {
  timer.timeoutMs = kFirstDataWaitMs;
  timer.triesLeft = kTries;
}

bool retryTimedOut(RetryTimer& timer) {
  if (--timer.triesLeft == 0) return false;
  if (timer.timeoutMs <= kLongestWaitMs) timer.timeoutMs *= 2;
  return true;
}

bool openFileSender(FileSender& sender, DatagramPort& port, LinkState& link, const char* pathOrText,
                    bool isFile) {
  sender.port = &port;
  sender.link = &link;
  sender.isFile = isFile;
  sender.aheadStart = sender.aheadEnd = 0;
  const char* name = "autorun.scr";
  if (isFile) {
    sender.fd = open(pathOrText, O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (sender.fd < 0 || fstat(sender.fd, &status) != 0) {
      puts("FATAL ERROR: Open package failed");
      return false;
    }
    const char* slash = strrchr(pathOrText, '/');
    if (!slash) {
      puts("FATAL ERROR: Bad package name");
      return false;
    }
    name = slash + 1;
    sender.total = static_cast<uint32_t>(status.st_size);
    printf("Transfering: %s...\n", name);
  } else {
    sender.text = pathOrText;
    sender.total = static_cast<uint32_t>(strlen(pathOrText));
    puts("Transfering: configuration...");
  }
  fflush(stdout);
  int length = snprintf(reinterpret_cast<char*>(sender.message.payload()), kMaxPayload,
                        "%s\n%s\n%d\n", "FILE", name, static_cast<int>(sender.total));
  if (length >= kMaxPayload) length = kMaxPayload - 1;
  buildHeader(link, sender.message, static_cast<uint16_t>(length), false, KindCommand);
  sender.messageLength = kHeaderSize + length;
  return true;
}

FileStep advanceFileSender(FileSender& s) {
  if (s.sent == s.total) return FileStep::Done;
  uint32_t left = s.total - s.sent;
  int count;
  if (s.isFile) {
    count = takeFileBytes(s, s.message.payload(),
                          static_cast<int>(left < kDataChunk ? left : kDataChunk));
    // A file that ended before its announced size must not count as sent.
    if (count <= 0) {
      puts("FATAL ERROR: Read package failed");
      return FileStep::Failed;
    }
  } else {
    count = static_cast<int>(left < kMaxPayload ? left : kMaxPayload);
    memcpy(s.message.payload(), s.text + s.sent, static_cast<size_t>(count));
  }
  s.sent += static_cast<uint32_t>(count);
  s.link->sendNumber++;
  buildHeader(*s.link, s.message, static_cast<uint16_t>(count), false, KindData);
  s.messageLength = kHeaderSize + count;
  return FileStep::Built;
}

bool sendFile(FileSender& s) {
  RetryTimer timer;  // the FILE message: 1 s per try
  PacketBuffer reply;
  for (;;) {
    (void)s.port->send(s.message.bytes, s.messageLength);  // a failed send times out like a loss
    if (waitForReply(*s.port, *s.link, reply, timer.timeoutMs) >= 0) {
      retryAnswered(timer);
      FileStep step = advanceFileSender(s);
      if (step != FileStep::Built) return step == FileStep::Done;
      continue;
    }
    if (!retryTimedOut(timer)) {
      puts("FATAL ERROR: Installation timeout");
      return false;
    }
  }
}

void freeFileSender(FileSender& sender) {
  if (sender.fd >= 0) close(sender.fd);
  sender.fd = -1;
}

void makeFileReceiver(FileReceiver& receiver, DatagramPort& port, LinkState& link) {
  receiver.port = &port;
  receiver.link = &link;
}

bool sendStartFor(FileReceiver& r) {
  int n = sendStart(*r.port, *r.link, r.packet);
  if (n < 0) return false;
  if (readHeader(r.packet).payloadLength != 0) r.pending = n;
  return true;
}

bool receiveFileHeader(FileReceiver& r) {
  r.size = 0;
  r.chunkLength = 0;
  r.delivered = 0;
  r.chunkPosition = 0;
  int n = r.pending;  // taken already as the reply to STRT, or 0
  r.pending = 0;
  if (n == 0) n = receiveNextMessage(r);
  if (n < 0) return false;
  if (readHeader(r.packet).kind != KindCommand || !parseFileMessage(r, n)) return false;
  sendAck(*r.port, *r.link);
  return true;
}

bool takeNextFile(FileReceiver& r) {
  if (!receiveFileHeader(r)) {
    sendTerm(*r.port, *r.link, 1000, 5);
    return false;
  }
  if (r.size == 0) sendAck(*r.port, *r.link);
  return true;
}

int readFileData(FileReceiver& r, uint8_t* buffer, int max) {
  int count = 0;
  while (r.delivered < r.size) {
    if (r.chunkPosition == r.chunkLength) {
      if (receiveNextMessage(r) < 0) return -1;
      MessageHeader h = readHeader(r.packet);
      if (h.kind != KindData) return -1;
      r.chunkLength = h.payloadLength;
      sendAck(*r.port, *r.link);
      r.chunkPosition = 0;
    }
    int piece = r.chunkLength - r.chunkPosition;
    if (piece > max - count) piece = max - count;
    if (piece > r.size - r.delivered) piece = r.size - r.delivered;
    memcpy(buffer + count, r.packet.payload() + r.chunkPosition, static_cast<size_t>(piece));
    r.chunkPosition += piece;
    r.delivered += piece;
    count += piece;
    if (count == max) return max;
  }
  return count;
}
