#include "port/packet/ComDataPacket.h"

#include <algorithm>
#include <cstring>

#include "port/CPort.h"

namespace comfind {

namespace {

// Comparison form of one byte: only a..z fold, so code page 1251 letters keep their case.
struct TFoldTable {
  unsigned char Map[256];
  constexpr TFoldTable() : Map() {
    for (int I = 0; I < 256; ++I)
      Map[I] = static_cast<unsigned char>(I >= 'a' && I <= 'z' ? I - 'a' + 'A' : I);
  }
};
constexpr TFoldTable FoldTable;

inline unsigned char Folded(unsigned char C, bool Fold) {
  return Fold ? FoldTable.Map[C] : C;
}

}  // namespace

// --- TMarker

void TComDataPacket::TMarker::Assign(const std::string& Text, bool Fold) {
  FFold = Fold;
  FText = Fold ? UpperCaseAscii(Text) : Text;
  // A folded first byte that is a letter stands for two bytes; memchr can look for one only.
  FFirstByMemchr = !FText.empty() && (!Fold || FText[0] < 'A' || FText[0] > 'Z');
  FFail.assign(FText.size(), 0);
  uint32_t K = 0;
  for (size_t I = 1; I < FText.size(); ++I) {
    while (K > 0 && FText[I] != FText[K])
      K = FFail[K - 1];
    if (FText[I] == FText[K]) ++K;
    FFail[I] = K;
  }
}

size_t TComDataPacket::TMarker::FindOn(const char* Data, size_t Len, size_t& Pos,
                                       size_t& Matched) const {
  const auto* P = reinterpret_cast<const unsigned char*>(Data);
  const auto* Text = reinterpret_cast<const unsigned char*>(FText.data());
  const size_t M = FText.size();
  const unsigned char First = Text[0];
  size_t I = Pos;
  size_t J = Matched;
  while (I < Len) {
    if (J == 0) {
      if (FFirstByMemchr) {
        const void* Hit = std::memchr(P + I, First, Len - I);
        if (!Hit) {
          I = Len;
          break;
        }
        I = static_cast<size_t>(static_cast<const unsigned char*>(Hit) - P);
      } else {
        while (I < Len && FoldTable.Map[P[I]] != First)
          ++I;
        if (I == Len) break;
      }
      ++I;
      J = 1;
    } else {
      const unsigned char C = Folded(P[I], FFold);
      while (J > 0 && C != Text[J])
        J = FFail[J - 1];
      if (C == Text[J]) ++J;
      ++I;
    }
    if (J == M) {
      Pos = I;
      Matched = 0;
      return I - M;
    }
  }
  Pos = I;
  Matched = J;
  return std::string::npos;
}

inline size_t TComDataPacket::TMarker::Find(const char* Data, size_t Len, size_t& Pos,
                                            size_t& Matched) const {
  // The usual case of a line, on the caller's path: no partial match pending, and the marker
  // whole at the first occurrence of its first byte. Nothing before that byte can start an
  // occurrence, so that one is the leftmost; anything else goes through the table.
  if (Matched == 0 && FFirstByMemchr && Pos < Len) {
    const auto* P = reinterpret_cast<const unsigned char*>(Data);
    const auto* Text = reinterpret_cast<const unsigned char*>(FText.data());
    const size_t M = FText.size();
    const void* Hit = std::memchr(P + Pos, Text[0], Len - Pos);
    if (!Hit) {
      Pos = Len;
      return std::string::npos;
    }
    const size_t I = static_cast<size_t>(static_cast<const unsigned char*>(Hit) - P);
    if (M <= Len - I) {
      size_t K = 1;
      while (K < M && Folded(P[I + K], FFold) == Text[K])
        ++K;
      if (K == M) {
        Pos = I + M;
        return I;
      }
    }
    Pos = I + 1;
    Matched = 1;
  }
  return FindOn(Data, Len, Pos, Matched);
}

size_t TComDataPacket::TMarker::FindFirst(const char* Data, size_t Len) const {
  if (FText.empty()) return std::string::npos;
  size_t Pos = 0, Matched = 0;
  return Find(Data, Len, Pos, Matched);
}

bool TComDataPacket::TMarker::IsPrefixOf(const char* Data, size_t Len) const {
  if (FText.empty() || Len < FText.size()) return false;
  const auto* P = reinterpret_cast<const unsigned char*>(Data);
  for (size_t I = 0; I < FText.size(); ++I)
    if (Folded(P[I], FFold) != static_cast<unsigned char>(FText[I])) return false;
  return true;
}

// --- TComDataPacket

TComDataPacket::TComDataPacket(TComponent* AOwner) : TComponent(AOwner) {
  FComLink = new TComLink;
  FComLink->OnRxBuf = TRxBufEvent(this, &TComDataPacket::RxBuf);
  RebuildMarkers();
}

TComDataPacket::~TComDataPacket() {
  // A destructor cannot report: a port that no longer knows the link has nothing to undo.
  try {
    SetComPort(nullptr);
  } catch (...) {
    FComPort = nullptr;
  }
  delete FComLink;
}

void TComDataPacket::SetComPort(TCustomComPort* Value) {
  if (Value == FComPort) return;
  if (FComPort) FComPort->RemoveLink(FComLink);
  FComPort = Value;
  if (FComPort) {
    FreeNotification(FComPort);
    FComPort->AddLink(FComLink);
  }
}

void TComDataPacket::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  // The port calls this while it is still whole, so it can still take the link out of its list.
  if (Operation == opRemove && FComPort && AComponent == FComPort) SetComPort(nullptr);
}

void TComDataPacket::SetCaseInsensitive(bool Value) {
  if (Value == FCaseInsensitive) return;
  FCaseInsensitive = Value;
  RebuildMarkers();
  if (!Loading()) ResetBuffer();
}

void TComDataPacket::SetSize(int32_t Value) {
  if (Value == FSize) return;
  FSize = Value;
  ForgetSearches();
  if (!Loading()) ResetBuffer();
}

void TComDataPacket::SetStartString(const std::string& Value) {
  if (Value == FStartString) return;
  FStartString = Value;
  RebuildMarkers();
  if (!Loading()) ResetBuffer();
}

void TComDataPacket::SetStopString(const std::string& Value) {
  if (Value == FStopString) return;
  FStopString = Value;
  RebuildMarkers();
  if (!Loading()) ResetBuffer();
}

void TComDataPacket::RebuildMarkers() {
  FStartMarker.Assign(FStartString, FCaseInsensitive);
  FStopMarker.Assign(FStopString, FCaseInsensitive);
  ForgetSearches();
}

// A search position is only good for the markers, the flags and the buffer start it was made
// with; starting over is always correct, merely slower.
void TComDataPacket::ForgetSearches() {
  FStartPos = FStartMatched = 0;
  FStopPos = FStopMatched = 0;
}

void TComDataPacket::Compact() {
  if (FHead == 0) return;
  FBuffer.erase(0, FHead);
  FHead = 0;
}

void TComDataPacket::ResetBuffer() {
  // The flag goes too when the buffer is already empty: while it is set, the end search takes
  // the buffer to begin at a packet start, which an empty buffer after a reset does not promise
  // (a start string set after traffic would otherwise skip the first bytes of the next data).
  FInPacket = false;
  ForgetSearches();
  if (Length() == 0) {
    FBuffer.clear();
    FHead = 0;
    return;
  }
  // Emptied before the handler runs, so that a handler that feeds data or resets again sees a
  // consistent, empty buffer, and the buffer is empty afterwards whatever the handler does.
  std::string Rest = FHead == 0 ? std::move(FBuffer) : FBuffer.substr(FHead);
  FBuffer.clear();
  FHead = 0;
  DoDiscard(Rest);
}

void TComDataPacket::RxBuf(TObject*, const void* Buffer, int32_t Count) {
  if (!Buffer || Count < 0) Count = 0;
  AddData(static_cast<const char*>(Buffer), static_cast<size_t>(Count));
}

bool TComDataPacket::HasStopCondition() const {
  return FSize > 0 || !FStopString.empty() || OnCustomStop.Assigned();
}

void TComDataPacket::AddData(const char* Bytes, size_t Count) {
  if (Count == 0) Bytes = "";
  if (!HasStopCondition()) {
    DeliverPacket(Bytes, Count);
    return;
  }
  Compact();
  FBuffer.append(Bytes, Count);
  ProcessBuffer();
}

void TComDataPacket::ProcessBuffer() {
  // A loop rather than a pass per packet: a block of many short packets must not nest as deep
  // as it has packets. Nothing is held across a handler call, which may feed data, reset the
  // buffer or change the markers.
  try {
    for (;;) {
      if (CutsLinesOnly()) {
        if (!CutLines()) break;
        continue;
      }
      if (!FInPacket) FindStart();
      if (!FInPacket || !FindEnd()) break;
    }
  } catch (...) {
    ApplyLimit();
    throw;
  }
  ApplyLimit();
}

bool TComDataPacket::CutsLinesOnly() const {
  return FStartMarker.Empty() && !FStopMarker.Empty() && FSize <= 0 && !OnCustomStart.Assigned() &&
         !OnCustomStop.Assigned();
}

// The general rules reduced to what remains of them without a start string, a size or hooks
// (every byte belongs to a packet, which ends after the stop string); FindStart, FindEnd and
// CutPacket do the same in more steps. Returns false when no stop string is left in the buffer,
// true when a handler changed the rules so that they no longer apply.
bool TComDataPacket::CutLines() {
  while (CutsLinesOnly()) {
    if (!FInPacket) {
      FInPacket = true;
      FStopPos = FStopMatched = 0;
    }
    const char* P = Data();
    const size_t At = FStopMarker.Find(P, Length(), FStopPos, FStopMatched);
    if (At == std::string::npos) return false;
    const size_t E = At + FStopMarker.Length();
    TakePacket(P, FIncludeStrings ? E : At, E);
  }
  return true;
}

void TComDataPacket::ApplyLimit() {
  if (FMaxBufferSize > 0 && Length() >= static_cast<size_t>(FMaxBufferSize)) ResetBuffer();
}

void TComDataPacket::FindStart() {
  int32_t Pos = -1;
  if (OnCustomStart.Assigned()) {
    Compact();
    DoCustomStart(FBuffer, Pos);
  }
  if (Pos > 0) {
    StartPacketAt(Pos);
  } else if (Pos == -1) {
    if (FStartMarker.Empty()) {
      FInPacket = true;
      FStopPos = FStopMatched = 0;
    } else {
      const size_t At = FStartMarker.Find(Data(), Length(), FStartPos, FStartMatched);
      if (At != std::string::npos) StartPacketAt(static_cast<int64_t>(At) + 1);
    }
  }
}

void TComDataPacket::StartPacketAt(int64_t P) {
  FInPacket = true;
  ForgetSearches();
  if (P <= 1) return;
  const size_t N = std::min(static_cast<size_t>(P - 1), Length());
  if (N == 0) return;
  std::string Discarded(Data(), N);
  FHead += N;
  if (FHead == FBuffer.size()) {
    FBuffer.clear();
    FHead = 0;
  }
  DoDiscard(Discarded);
}

bool TComDataPacket::FindEnd() {
  int32_t Pos = -1;
  if (OnCustomStop.Assigned()) {
    Compact();
    DoCustomStop(FBuffer, Pos);
  }
  const size_t Len = Length();
  if (Pos > 0) {
    // An end reported for an empty buffer would cut empty packets for ever: the pass ends and
    // the assembler stays inside the (empty) packet.
    if (Len == 0) return false;
    CutPacket(std::min(static_cast<size_t>(Pos), Len), false);
    return true;
  }
  if (Pos != -1) return false;
  if (FSize > 0 && Len >= static_cast<size_t>(FSize)) {
    CutPacket(static_cast<size_t>(FSize), false);
    return true;
  }
  if (FStopMarker.Empty()) return false;
  // The stop string is looked for behind the start string's length.
  if (FStopMatched == 0) FStopPos = std::max(FStopPos, FStartMarker.Length());
  const size_t At = FStopMarker.Find(Data(), Len, FStopPos, FStopMatched);
  if (At == std::string::npos) return false;
  CutPacket(At + FStopMarker.Length(), true);
  return true;
}

void TComDataPacket::CutPacket(size_t E, bool ByStopString) {
  const char* P = Data();
  size_t From = 0;
  size_t To = E;
  if (!FIncludeStrings) {
    const size_t K = FStartMarker.Length();
    const bool StartStripped = FStartMarker.IsPrefixOf(P, E);
    if (StartStripped) From = K;
    const size_t L = FStopMarker.Length();
    if (L > 0) {
      // The stop string goes only where its first occurrence ends the packet. A cut made by the
      // stop search already knows that when it searched exactly what is left after stripping.
      if (ByStopString && (StartStripped || K == 0)) {
        To = E - L;
      } else {
        const size_t Rest = E - From;
        if (Rest >= L && FStopMarker.FindFirst(P + From, Rest) == Rest - L) To = E - L;
      }
    }
  }
  TakePacket(P + From, To - From, E);
}

inline void TComDataPacket::TakePacket(const char* Bytes, size_t Count, size_t Consumed) {
  // Out of the buffer before the buffer moves on: clearing it overwrites its first byte.
  std::string Own;
  std::string& Packet = FPacketHeld ? Own : FPacket;
  // clear + append: the bytes never overlap the packet, so assign's overlap handling is
  // wasted on every line.
  Packet.clear();
  Packet.append(Bytes, Count);
  FHead += Consumed;
  if (FHead == FBuffer.size()) {
    FBuffer.clear();
    FHead = 0;
  }
  FInPacket = false;
  ForgetSearches();
  HandOver(Packet);
}

void TComDataPacket::DeliverPacket(const char* Bytes, size_t Count) {
  std::string Own;
  std::string& Packet = FPacketHeld ? Own : FPacket;
  Packet.assign(Bytes, Count);
  HandOver(Packet);
}

void TComDataPacket::HandOver(const std::string& Packet) {
  if (&Packet != &FPacket) {
    DoPacket(Packet);
    return;
  }
  FPacketHeld = true;
  try {
    DoPacket(Packet);
  } catch (...) {
    ReleasePacket();
    throw;
  }
  ReleasePacket();
}

void TComDataPacket::ReleasePacket() {
  FPacketHeld = false;
  // One outsized packet (no buffer limit, a large block without a stop condition) must not
  // pin its memory for the rest of the assembler's life.
  if (FPacket.capacity() > kKeptPacketCapacity) std::string().swap(FPacket);
}

void TComDataPacket::DoDiscard(const std::string& Str) {
  OnDiscard(this, Str);
}

void TComDataPacket::DoPacket(const std::string& Str) {
  OnPacket(this, Str);
}

void TComDataPacket::DoCustomStart(const std::string& Str, int32_t& Pos) {
  OnCustomStart(this, Str, Pos);
}

void TComDataPacket::DoCustomStop(const std::string& Str, int32_t& Pos) {
  OnCustomStop(this, Str, Pos);
}

}  // namespace comfind
