// A deliberately simple packet assembler written straight from the framing rules (it searches
// the whole buffer again at every step and erases from its front for every packet), and a
// driver that plays one scenario against it and against TComDataPacket, recording every event
// on both sides. The randomized test and the fuzz target compare the two recordings.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "port/packet/ComDataPacket.h"

namespace comfind {

namespace packet_model {

// Raised by the scenario's handlers and hooks when their trigger byte comes along.
struct TBoom {};

// One recorded happening: 'P' packet, 'D' discard, 'S'/'E' start/stop hook called with the
// buffer, 'X' an exception left the operation, 'B' buffer and flag after an operation.
struct TEvent {
  char Kind;
  std::string Text;
  bool operator==(const TEvent&) const = default;
};
using TLog = std::vector<TEvent>;

// Hooks as pure functions of the buffer, so both sides see the same answers.
struct THook {
  int Kind = 0;  // 0: unassigned
  int N = 1;
  bool Throws = false;
};

inline void RunStartHook(const THook& H, const std::string& S, int32_t& Pos) {
  if (H.Throws && S.find('%') != std::string::npos && S.size() % 2 == 1) throw TBoom{};
  const int32_t N = static_cast<int32_t>(S.size());
  switch (H.Kind) {
    case 1:  // start at the first '#'
      if (auto P = S.find('#'); P != std::string::npos) Pos = static_cast<int32_t>(P) + 1;
      break;
    case 2:  // refuse any start while a 'z' (or, oddly, a 'Z') is buffered
      if (S.find('z') != std::string::npos) Pos = 0;
      if (S.find('Z') != std::string::npos) Pos = -7;
      break;
    case 3:  // beyond the end once N characters are there
      if (N >= H.N) Pos = N + H.N;
      break;
    case 4:  // a fixed position whenever something is buffered
      if (N > 0) Pos = H.N;
      break;
  }
}

inline void RunStopHook(const THook& H, const std::string& S, int32_t& Pos) {
  if (H.Throws && S.find('%') != std::string::npos && S.size() % 2 == 0) throw TBoom{};
  const int32_t N = static_cast<int32_t>(S.size());
  switch (H.Kind) {
    case 1:  // fixed length
      if (N >= H.N) Pos = H.N;
      break;
    case 2:  // up to the first '.', and never while a ';' is buffered
      if (auto P = S.find('.'); P != std::string::npos) Pos = static_cast<int32_t>(P) + 1;
      if (S.find(';') != std::string::npos) Pos = -3;
      break;
    case 3:  // beyond the end once N characters are there
      if (N >= H.N) Pos = N + H.N;
      break;
    case 4:  // breaks the hook contract: an end even for an empty buffer
      Pos = H.N;
      break;
    case 5:  // holds the default rules back until N characters are there
      if (N < H.N) Pos = 0;
      break;
  }
}

// The framing rules, literally.
class TModel {
 public:
  std::string Start, Stop;
  bool CaseInsensitive = false, IncludeStrings = false, Loading = false;
  int32_t MaxBufferSize = 1024, Size = 0;
  THook StartHook, StopHook;
  std::function<void(const std::string&)> Packet, Discard;
  std::string Buf;
  bool InPacket = false;

  void SetStart(const std::string& V) { Set(Start, V); }
  void SetStop(const std::string& V) { Set(Stop, V); }
  void SetSize(int32_t V) { Set(Size, V); }
  void SetCaseInsensitive(bool V) { Set(CaseInsensitive, V); }

  void Reset() {
    // An empty buffer still leaves the packet (the implementation's chosen behaviour).
    if (Buf.empty()) {
      InPacket = false;
      return;
    }
    std::string S = Buf;
    try {
      Discard(S);
    } catch (...) {
      Buf.clear();
      InPacket = false;
      throw;
    }
    Buf.clear();
    InPacket = false;
  }

  void AddData(const std::string& S) {
    if (Size > 0 || !Stop.empty() || StopHook.Kind != 0) {
      Buf += S;
      Process();
    } else {
      Packet(S);
    }
  }

  std::function<void(const std::string&, int32_t&)> OnStart, OnStop;  // set by the driver

 private:
  template <typename T>
  void Set(T& Field, const T& V) {
    if (Field == V) return;
    Field = V;
    if (!Loading) Reset();
  }

  static std::string Up(std::string S) {
    for (char& C : S)
      if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
    return S;
  }
  size_t Search(const std::string& Needle, const std::string& Hay) const {
    if (Needle.empty()) return std::string::npos;
    return CaseInsensitive ? Up(Hay).find(Up(Needle)) : Hay.find(Needle);
  }

  void Process() {
    try {
      if (!InPacket) FindStart();
      if (InPacket && FindEnd()) Process();
    } catch (...) {
      Limit();
      throw;
    }
    Limit();
  }

  void Limit() {
    if (MaxBufferSize > 0 && static_cast<int64_t>(Buf.size()) >= MaxBufferSize) Reset();
  }

  void FindStart() {
    int32_t Pos = -1;
    if (StartHook.Kind != 0) OnStart(Buf, Pos);
    if (Pos > 0) {
      StartAt(Pos);
    } else if (Pos == -1) {
      if (Start.empty()) {
        InPacket = true;
      } else if (size_t P = Search(Start, Buf); P != std::string::npos) {
        StartAt(static_cast<int64_t>(P) + 1);
      }
    }
  }

  void StartAt(int64_t P) {
    InPacket = true;
    if (P > 1) {
      std::string D = Buf.substr(0, static_cast<size_t>(P - 1));
      Buf.erase(0, static_cast<size_t>(P - 1));
      if (!D.empty()) Discard(D);
    }
  }

  bool FindEnd() {
    int32_t Pos = -1;
    if (StopHook.Kind != 0) OnStop(Buf, Pos);
    size_t End;
    if (Pos > 0) {
      if (Buf.empty()) return false;  // the implementation's chosen behaviour
      End = static_cast<size_t>(Pos);
    } else if (Pos == -1) {
      if (Size > 0 && static_cast<int64_t>(Buf.size()) >= Size) {
        End = static_cast<size_t>(Size);
      } else {
        const size_t K = Start.size();
        const std::string Rest = K < Buf.size() ? Buf.substr(K) : std::string();
        const size_t P = Search(Stop, Rest);
        if (P == std::string::npos) return false;
        End = P + K + Stop.size();
      }
    } else {
      return false;
    }
    InPacket = false;
    std::string Pk = Buf.substr(0, End);
    Buf.erase(0, End);
    if (!IncludeStrings) {
      if (Search(Start, Pk) == 0) Pk.erase(0, Start.size());
      if (!Stop.empty() && Pk.size() >= Stop.size() && Search(Stop, Pk) == Pk.size() - Stop.size())
        Pk.erase(Pk.size() - Stop.size());
    }
    Packet(Pk);
    return true;
  }
};

// Exposes the received-data entry, so that tests feed blocks without a port.
class TTestPacket : public TComDataPacket {
 public:
  using TComDataPacket::AddData;
  using TComDataPacket::TComDataPacket;
};

enum TOpKind : uint8_t {
  opFeed,
  opReset,
  opSetStart,
  opSetStop,
  opSetSize,
  opSetCase,
  opSetInclude,
  opSetMax,
  opBeginLoading,
  opLoaded
};

struct TOp {
  TOpKind Kind = opFeed;
  std::string Text;
  int32_t Value = 0;
};

struct TScenario {
  std::string Start, Stop;
  bool CaseInsensitive = false, IncludeStrings = false;
  int32_t MaxBufferSize = 1024, Size = 0;
  THook StartHook, StopHook;
  bool PacketThrows = false, DiscardThrows = false;
  std::vector<TOp> Ops;
};

// Builds a scenario from any source of small numbers (a random engine, or fuzzer bytes).
// Next(n) returns a value in [0, n).
template <typename TSource>
TScenario MakeScenario(TSource& Src) {
  static const char Alphabet[] = {'a',    'b', 'A', 'B', '<', '>', '\r', '\n', '\0', '\xE0',
                                  '\xC0', '#', '.', ';', 'z', 'Z', '!',  '?',  '%'};
  static const char* const Markers[] = {"",   "\r\n", "<",    ">",  "ab",  "aab", "abab",
                                        "aa", "AB",   "\xE0", "\0", "a\r", "<<",  "b<a"};
  auto Byte = [&] {
    // Mostly marker characters, so that markers, partial markers and overlaps are common.
    const uint32_t R = Src.Next(100);
    return R < 70 ? Alphabet[Src.Next(8)] : Alphabet[Src.Next(sizeof Alphabet)];
  };
  auto Marker = [&] {
    if (Src.Next(3) == 0) {
      std::string S;
      for (uint32_t N = Src.Next(4); N > 0; --N)
        S += Alphabet[Src.Next(10)];
      return S;
    }
    const uint32_t I = Src.Next(std::size(Markers));
    return I == 10 ? std::string(1, '\0') : std::string(Markers[I]);
  };
  auto Limit = [&] {
    static const int32_t Limits[] = {1024, 0, -1, 1, 2, 3, 5, 8, 13, 40};
    return Limits[Src.Next(std::size(Limits))];
  };
  TScenario S;
  S.Start = Src.Next(2) ? Marker() : std::string();
  S.Stop = Src.Next(4) ? Marker() : std::string();
  S.CaseInsensitive = Src.Next(3) == 0;
  S.IncludeStrings = Src.Next(3) == 0;
  S.MaxBufferSize = Limit();
  S.Size = Src.Next(3) == 0 ? static_cast<int32_t>(Src.Next(7)) : 0;
  if (Src.Next(4) == 0)
    S.StartHook = {static_cast<int>(1 + Src.Next(4)), static_cast<int>(1 + Src.Next(5)),
                   Src.Next(4) == 0};
  if (Src.Next(4) == 0)
    S.StopHook = {static_cast<int>(1 + Src.Next(5)), static_cast<int>(1 + Src.Next(5)),
                  Src.Next(4) == 0};
  S.PacketThrows = Src.Next(5) == 0;
  S.DiscardThrows = Src.Next(5) == 0;
  for (uint32_t N = 1 + Src.Next(40); N > 0; --N) {
    TOp Op;
    const uint32_t R = Src.Next(100);
    if (R < 80) {
      Op.Kind = opFeed;
      for (uint32_t Len = Src.Next(Src.Next(4) == 0 ? 30 : 6); Len > 0; --Len)
        Op.Text += Byte();
    } else if (R < 83) {
      Op.Kind = opReset;
    } else if (R < 86) {
      Op.Kind = opSetStart;
      Op.Text = Marker();
    } else if (R < 89) {
      Op.Kind = opSetStop;
      Op.Text = Marker();
    } else if (R < 91) {
      Op.Kind = opSetSize;
      Op.Value = static_cast<int32_t>(Src.Next(7));
    } else if (R < 93) {
      Op.Kind = opSetCase;
      Op.Value = static_cast<int32_t>(Src.Next(2));
    } else if (R < 95) {
      Op.Kind = opSetInclude;
      Op.Value = static_cast<int32_t>(Src.Next(2));
    } else if (R < 97) {
      Op.Kind = opSetMax;
      Op.Value = Limit();
    } else {
      Op.Kind = Src.Next(2) ? opBeginLoading : opLoaded;
    }
    S.Ops.push_back(std::move(Op));
  }
  return S;
}

// Plays the scenario on the model and on the real assembler; returns both recordings.
inline std::pair<TLog, TLog> RunScenario(const TScenario& S) {
  TLog ModelLog, RealLog;
  auto PacketHandler = [&S](TLog& Log) {
    return [&S, &Log](const std::string& Str) {
      Log.push_back({'P', Str});
      if (S.PacketThrows && Str.find('!') != std::string::npos) throw TBoom{};
    };
  };
  auto DiscardHandler = [&S](TLog& Log) {
    return [&S, &Log](const std::string& Str) {
      Log.push_back({'D', Str});
      if (S.DiscardThrows && Str.find('?') != std::string::npos) throw TBoom{};
    };
  };

  TModel Model;
  Model.Start = S.Start;
  Model.Stop = S.Stop;
  Model.CaseInsensitive = S.CaseInsensitive;
  Model.IncludeStrings = S.IncludeStrings;
  Model.MaxBufferSize = S.MaxBufferSize;
  Model.Size = S.Size;
  Model.StartHook = S.StartHook;
  Model.StopHook = S.StopHook;
  Model.Packet = PacketHandler(ModelLog);
  Model.Discard = DiscardHandler(ModelLog);
  Model.OnStart = [&](const std::string& Str, int32_t& Pos) {
    ModelLog.push_back({'S', Str});
    RunStartHook(S.StartHook, Str, Pos);
  };
  Model.OnStop = [&](const std::string& Str, int32_t& Pos) {
    ModelLog.push_back({'E', Str});
    RunStopHook(S.StopHook, Str, Pos);
  };

  TTestPacket Packet(nullptr);
  // Configured while loading, as stored values are read, so that nothing is reset.
  Packet.BeginLoading();
  Packet.SetStartString(S.Start);
  Packet.SetStopString(S.Stop);
  Packet.SetCaseInsensitive(S.CaseInsensitive);
  Packet.SetIncludeStrings(S.IncludeStrings);
  Packet.SetMaxBufferSize(S.MaxBufferSize);
  Packet.SetSize(S.Size);
  Packet.Loaded();
  auto RealPacket = PacketHandler(RealLog);
  auto RealDiscard = DiscardHandler(RealLog);
  Packet.OnPacket = [RealPacket](TObject*, const std::string& Str) { RealPacket(Str); };
  Packet.OnDiscard = [RealDiscard](TObject*, const std::string& Str) { RealDiscard(Str); };
  if (S.StartHook.Kind != 0)
    Packet.OnCustomStart = [&](TObject*, const std::string& Str, int32_t& Pos) {
      RealLog.push_back({'S', Str});
      RunStartHook(S.StartHook, Str, Pos);
    };
  if (S.StopHook.Kind != 0)
    Packet.OnCustomStop = [&](TObject*, const std::string& Str, int32_t& Pos) {
      RealLog.push_back({'E', Str});
      RunStopHook(S.StopHook, Str, Pos);
    };

  auto Play = [](TLog& Log, auto&& Step) {
    try {
      Step();
    } catch (const TBoom&) {
      Log.push_back({'X', ""});
    }
  };
  for (const TOp& Op : S.Ops) {
    const bool Flag = Op.Value != 0;
    switch (Op.Kind) {
      case opFeed:
        Play(ModelLog, [&] { Model.AddData(Op.Text); });
        Play(RealLog, [&] { Packet.AddData(Op.Text); });
        break;
      case opReset:
        Play(ModelLog, [&] { Model.Reset(); });
        Play(RealLog, [&] { Packet.ResetBuffer(); });
        break;
      case opSetStart:
        Play(ModelLog, [&] { Model.SetStart(Op.Text); });
        Play(RealLog, [&] { Packet.SetStartString(Op.Text); });
        break;
      case opSetStop:
        Play(ModelLog, [&] { Model.SetStop(Op.Text); });
        Play(RealLog, [&] { Packet.SetStopString(Op.Text); });
        break;
      case opSetSize:
        Play(ModelLog, [&] { Model.SetSize(Op.Value); });
        Play(RealLog, [&] { Packet.SetSize(Op.Value); });
        break;
      case opSetCase:
        Play(ModelLog, [&] { Model.SetCaseInsensitive(Flag); });
        Play(RealLog, [&] { Packet.SetCaseInsensitive(Flag); });
        break;
      case opSetInclude:
        Model.IncludeStrings = Flag;
        Packet.SetIncludeStrings(Flag);
        break;
      case opSetMax:
        Model.MaxBufferSize = Op.Value;
        Packet.SetMaxBufferSize(Op.Value);
        break;
      case opBeginLoading:
        Model.Loading = true;
        Packet.BeginLoading();
        break;
      case opLoaded:
        Model.Loading = false;
        Packet.Loaded();
        break;
    }
    ModelLog.push_back({'B', Model.Buf + (Model.InPacket ? "|in" : "|out")});
    RealLog.push_back({'B', Packet.Buffer() + (Packet.InPacket() ? "|in" : "|out")});
  }
  return {std::move(ModelLog), std::move(RealLog)};
}

// Printable form of a recording, for failure messages.
inline std::string Describe(const TLog& Log) {
  std::string Out;
  for (const TEvent& E : Log) {
    Out += E.Kind;
    Out += '[';
    for (unsigned char C : E.Text) {
      if (C >= 0x20 && C < 0x7F) {
        Out += static_cast<char>(C);
      } else {
        static const char Hex[] = "0123456789ABCDEF";
        Out += "\\x";
        Out += Hex[C >> 4];
        Out += Hex[C & 15];
      }
    }
    Out += "] ";
  }
  return Out;
}

}  // namespace packet_model

}  // namespace comfind
