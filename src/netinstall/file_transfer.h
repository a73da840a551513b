// Moving files from the installation server to the client: one FILE message, then data
// messages, each acknowledged before the next is sent. The sender retransmits on a binary
// back-off timer; the receiver acknowledges each message as it takes it and hands the bytes on
// in pieces of its caller's size.
#pragma once

#include <stdint.h>

#include "base/datagram.h"
#include "netinstall/protocol.h"

// Retransmission timer of the sender: the FILE message is waited for a second per try, each
// data message first 20 ms, doubling after each loss up to 1280 ms; 30 time-outs in a row fail.
struct RetryTimer {
  int timeoutMs = 1000;
  unsigned triesLeft = 30;
};
// A reply came: the next message starts at 20 ms with 30 tries.
void retryAnswered(RetryTimer& timer);
// A time-out: false when the tries are used up; otherwise the wait grows.
bool retryTimedOut(RetryTimer& timer);

constexpr int kReadPieceSize = 4096;  // a file is read in pieces of this, not per message

// The server's side of one file (or of the configuration text).
struct FileSender {
  bool isFile = false;
  int fd = -1;                   // the open file, -1 for a text
  const char* text = nullptr;    // the text in memory (not owned)
  uint32_t total = 0;            // bytes to send
  uint32_t sent = 0;             // bytes read so far
  DatagramPort* port = nullptr;  // not owned
  LinkState* link = nullptr;     // the server's link state (not owned)
  PacketBuffer message;          // the FILE message, then each data message
  int messageLength = 0;         // of the current message, header included
  uint8_t readAhead[kReadPieceSize];
  int aheadStart = 0;  // the bytes of readAhead not yet sent lie from here
  int aheadEnd = 0;    // to here
};

// Opens a file by path (isFile) or takes a text, writes its progress line and builds the FILE
// message with the link's current sendNumber. False, with its FATAL ERROR line, when the file
// does not open or the path has no directory part.
bool openFileSender(FileSender& sender, DatagramPort& port, LinkState& link, const char* pathOrText,
                    bool isFile);
enum class FileStep { Built, Done, Failed };
// After the current message was acknowledged: builds the next data message (Built), or says the
// whole size went (Done) or the file could not be read (Failed, with its FATAL ERROR line).
FileStep advanceFileSender(FileSender& sender);
// Sends the FILE message and every data message. True when each was acknowledged and the whole
// announced size was read; false with its FATAL ERROR line otherwise.
bool sendFile(FileSender& sender);
// Closes the file, if one is open.
void freeFileSender(FileSender& sender);

// The client's side of the transfer, made once for all files.
struct FileReceiver {
  char name[80] = {};     // the current file's bare name
  int size = 0;           // from its FILE message
  int chunkLength = 0;    // payload of the data message being handed out
  int delivered = 0;      // bytes of the current file handed out
  int chunkPosition = 0;  // bytes of the current data message handed out
  int pending = 0;        // length of an accepted message in `packet` not yet handled, or 0
  PacketBuffer packet;
  DatagramPort* port = nullptr;  // not owned
  LinkState* link = nullptr;     // the client's link state (not owned)
};

void makeFileReceiver(FileReceiver& receiver, DatagramPort& port, LinkState& link);
// Client, disk ready: STRT as sendStart does. A FILE that came as the reply (the server's
// acknowledgement was lost) is kept for receiveFileHeader. False without a reply.
bool sendStartFor(FileReceiver& receiver);
// Waits up to 30 s for the next FILE message and acknowledges it. False when none came, or when
// it is not a well-formed FILE with a bare file name and a size of at least 0.
bool receiveFileHeader(FileReceiver& receiver);
// The client's per-file step: receiveFileHeader; without a file it sends TERM (1 s x 5) and
// returns false. A file of size 0 is acknowledged once more.
bool takeNextFile(FileReceiver& receiver);
// Hands out up to `max` bytes of the current file, taking data messages as needed. Returns the
// count (0 at the end of the file), or -1 when no data message came for 30 s or a sequenced
// message other than data came.
int readFileData(FileReceiver& receiver, uint8_t* buffer, int max);
