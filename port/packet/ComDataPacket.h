// The packet assembler: listens to one port through a link, collects the received bytes and
// cuts packets out of them by start string, stop string, size or application hooks.
//
// Every complete packet goes to OnPacket; bytes before a packet start, and a buffer that has
// grown to MaxBufferSize, go to OnDiscard. All of it runs synchronously, in buffer order,
// inside the port's delivery of a received block (the main thread with window or thread
// synchronisation). The assembler raises nothing of its own; an exception from a handler leaves
// the delivery after the buffer limit has been applied, and a packet already cut stays cut.
//
// Cost: without hooks a stream of N bytes costs O(N) however it is split into blocks: searches
// resume where they stopped (also inside a marker split over blocks) and cut packets are
// consumed from an offset, the buffer being compacted at most once per received block. The
// hooks see the whole buffer on every call, so their cost is their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "framework/Classes.h"

namespace comfind {

class TCustomComPort;
class TComLink;

// A packet or discarded characters: 8-bit bytes as received, NUL and bytes above 127 included.
using TComStrEvent = TEventHandler<TObject*, const std::string&>;
// A start or stop hook: Str is the whole current buffer (possibly empty); Pos comes in as -1.
// A Pos above 0 names a 1-based position (start of the packet, or its last character); -1 leaves
// the default rule; any other value means "nothing in this pass". A stop hook must not report an
// end for a buffer that holds no complete packet.
using TCustPacketEvent = TEventHandler<TObject*, const std::string&, int32_t&>;

// Threads: its properties on the thread that owns it; its work where the port delivers.
class TComDataPacket : public TComponent {
 public:
  explicit TComDataPacket(TComponent* AOwner);
  ~TComDataPacket() override;
  std::string ClassName() const override { return "TComDataPacket"; }

  // The port heard through the link; nullptr for none. Changing it moves the link (RemoveLink
  // on the old port, AddLink on the new one, whose errors are the port's); the buffer stays.
  TCustomComPort* ComPort() const { return FComPort; }
  void SetComPort(TCustomComPort* Value);

  // Changing one of these while bytes are buffered discards them (not while loading).
  bool CaseInsensitive() const { return FCaseInsensitive; }
  void SetCaseInsensitive(bool Value);
  int32_t Size() const { return FSize; }
  void SetSize(int32_t Value);
  const std::string& StartString() const { return FStartString; }
  void SetStartString(const std::string& Value);
  const std::string& StopString() const { return FStopString; }
  void SetStopString(const std::string& Value);

  // Plain stores, effective at the next pass. MaxBufferSize 0 or below: no limit.
  bool IncludeStrings() const { return FIncludeStrings; }
  void SetIncludeStrings(bool Value) { FIncludeStrings = Value; }
  int32_t MaxBufferSize() const { return FMaxBufferSize; }
  void SetMaxBufferSize(int32_t Value) { FMaxBufferSize = Value; }

  // Hands whatever is buffered to OnDiscard (nothing happens for an empty buffer) and goes back
  // to searching for a start. The buffer is empty afterwards even when OnDiscard raised.
  void ResetBuffer();

  // Characters received and neither delivered nor discarded yet.
  std::string Buffer() const { return FBuffer.substr(FHead); }
  bool InPacket() const { return FInPacket; }

  TComStrEvent OnDiscard;
  TComStrEvent OnPacket;
  TCustPacketEvent OnCustomStart;
  TCustPacketEvent OnCustomStop;

  void Notification(TComponent* AComponent, TOperation Operation) override;

 protected:
  // Appends a received block and cuts what it completes; with no stop condition at all (Size 0,
  // no StopString, no OnCustomStop) each block is a packet as it stands.
  void AddData(const std::string& Str) { AddData(Str.data(), Str.size()); }
  void AddData(const char* Bytes, size_t Count);
  // Cuts every complete packet out of the buffer, then applies MaxBufferSize.
  virtual void ProcessBuffer();
  virtual void DoDiscard(const std::string& Str);
  virtual void DoPacket(const std::string& Str);
  // Consulted only while OnCustomStart / OnCustomStop is assigned: laying the buffer out whole
  // for them costs a move, which the plain rules do not need.
  virtual void DoCustomStart(const std::string& Str, int32_t& Pos);
  virtual void DoCustomStop(const std::string& Str, int32_t& Pos);

 private:
  // A marker in comparison form with its failure table, searched leftmost-first in a stream
  // that may arrive in pieces. The search keeps its place (position and length of the partial
  // match), so no byte is looked at twice however the buffer grows.
  class TMarker {
   public:
    void Assign(const std::string& Text, bool Fold);
    bool Empty() const { return FText.empty(); }
    size_t Length() const { return FText.size(); }
    // Continues a search in Data[0..Len) from Pos with Matched bytes of the marker already
    // seen before Pos; returns the start of the first occurrence, or npos with the place kept.
    size_t Find(const char* Data, size_t Len, size_t& Pos, size_t& Matched) const;
    size_t FindOn(const char* Data, size_t Len, size_t& Pos, size_t& Matched) const;
    size_t FindFirst(const char* Data, size_t Len) const;
    bool IsPrefixOf(const char* Data, size_t Len) const;

   private:
    std::string FText;
    std::vector<uint32_t> FFail;
    bool FFold = false;
    bool FFirstByMemchr = false;
  };

  void RxBuf(TObject* Sender, const void* Buffer, int32_t Count);
  void RebuildMarkers();
  void ForgetSearches();
  void Compact();
  bool HasStopCondition() const;
  bool CutsLinesOnly() const;
  bool CutLines();
  void FindStart();
  bool FindEnd();
  void StartPacketAt(int64_t P);
  void CutPacket(size_t E, bool ByStopString);
  void TakePacket(const char* Bytes, size_t Count, size_t Consumed);
  void DeliverPacket(const char* Bytes, size_t Count);
  void HandOver(const std::string& Packet);
  void ReleasePacket();
  void ApplyLimit();
  const char* Data() const { return FBuffer.data() + FHead; }
  size_t Length() const { return FBuffer.size() - FHead; }

  TComLink* FComLink = nullptr;
  TCustomComPort* FComPort = nullptr;
  bool FCaseInsensitive = false;
  bool FIncludeStrings = false;
  int32_t FMaxBufferSize = 1024;
  std::string FStartString;
  std::string FStopString;
  int32_t FSize = 0;
  bool FInPacket = false;
  // The buffer is FBuffer from FHead on; what lies before FHead has been delivered.
  std::string FBuffer;
  size_t FHead = 0;
  TMarker FStartMarker;
  TMarker FStopMarker;
  // Where the start and stop searches resume, relative to the buffer's first character.
  size_t FStartPos = 0;
  size_t FStartMatched = 0;
  size_t FStopPos = 0;
  size_t FStopMatched = 0;
  // The packet handed to OnPacket, kept between packets so that a line costs no allocation;
  // a packet cut while a handler still holds it (a handler that feeds data) gets its own.
  std::string FPacket;
  bool FPacketHeld = false;
  static constexpr size_t kKeptPacketCapacity = 64 * 1024;
};

}  // namespace comfind
