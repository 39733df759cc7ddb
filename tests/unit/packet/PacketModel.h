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
  const int32_t n = static_cast<int32_t>(S.size());
  switch (H.Kind) {
    case 1:  // start at the first '#'
      if (auto p = S.find('#'); p != std::string::npos) Pos = static_cast<int32_t>(p) + 1;
      break;
    case 2:  // refuse any start while a 'z' (or, oddly, a 'Z') is buffered
      if (S.find('z') != std::string::npos) Pos = 0;
      if (S.find('Z') != std::string::npos) Pos = -7;
      break;
    case 3:  // beyond the end once N characters are there
      if (n >= H.N) Pos = n + H.N;
      break;
    case 4:  // a fixed position whenever something is buffered
      if (n > 0) Pos = H.N;
      break;
  }
}

inline void RunStopHook(const THook& H, const std::string& S, int32_t& Pos) {
  if (H.Throws && S.find('%') != std::string::npos && S.size() % 2 == 0) throw TBoom{};
  const int32_t n = static_cast<int32_t>(S.size());
  switch (H.Kind) {
    case 1:  // fixed length
      if (n >= H.N) Pos = H.N;
      break;
    case 2:  // up to the first '.', and never while a ';' is buffered
      if (auto p = S.find('.'); p != std::string::npos) Pos = static_cast<int32_t>(p) + 1;
      if (S.find(';') != std::string::npos) Pos = -3;
      break;
    case 3:  // beyond the end once N characters are there
      if (n >= H.N) Pos = n + H.N;
      break;
    case 4:  // breaks the hook contract: an end even for an empty buffer
      Pos = H.N;
      break;
    case 5:  // holds the default rules back until N characters are there
      if (n < H.N) Pos = 0;
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
    std::string s = Buf;
    try {
      Discard(s);
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
    for (char& c : S)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
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
    int32_t pos = -1;
    if (StartHook.Kind != 0) OnStart(Buf, pos);
    if (pos > 0) {
      StartAt(pos);
    } else if (pos == -1) {
      if (Start.empty()) {
        InPacket = true;
      } else if (size_t p = Search(Start, Buf); p != std::string::npos) {
        StartAt(static_cast<int64_t>(p) + 1);
      }
    }
  }

  void StartAt(int64_t P) {
    InPacket = true;
    if (P > 1) {
      std::string d = Buf.substr(0, static_cast<size_t>(P - 1));
      Buf.erase(0, static_cast<size_t>(P - 1));
      if (!d.empty()) Discard(d);
    }
  }

  bool FindEnd() {
    int32_t pos = -1;
    if (StopHook.Kind != 0) OnStop(Buf, pos);
    size_t end;
    if (pos > 0) {
      if (Buf.empty()) return false;  // the implementation's chosen behaviour
      end = static_cast<size_t>(pos);
    } else if (pos == -1) {
      if (Size > 0 && static_cast<int64_t>(Buf.size()) >= Size) {
        end = static_cast<size_t>(Size);
      } else {
        const size_t k = Start.size();
        const std::string rest = k < Buf.size() ? Buf.substr(k) : std::string();
        const size_t p = Search(Stop, rest);
        if (p == std::string::npos) return false;
        end = p + k + Stop.size();
      }
    } else {
      return false;
    }
    InPacket = false;
    std::string pk = Buf.substr(0, end);
    Buf.erase(0, end);
    if (!IncludeStrings) {
      if (Search(Start, pk) == 0) pk.erase(0, Start.size());
      if (!Stop.empty() && pk.size() >= Stop.size() && Search(Stop, pk) == pk.size() - Stop.size())
        pk.erase(pk.size() - Stop.size());
    }
    Packet(pk);
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
  static const char kAlphabet[] = {'a',    'b', 'A', 'B', '<', '>', '\r', '\n', '\0', '\xE0',
                                   '\xC0', '#', '.', ';', 'z', 'Z', '!',  '?',  '%'};
  static const char* const kMarkers[] = {"",   "\r\n", "<",    ">",  "ab",  "aab", "abab",
                                         "aa", "AB",   "\xE0", "\0", "a\r", "<<",  "b<a"};
  auto byte = [&] {
    // Mostly marker characters, so that markers, partial markers and overlaps are common.
    const uint32_t r = Src.Next(100);
    return r < 70 ? kAlphabet[Src.Next(8)] : kAlphabet[Src.Next(sizeof kAlphabet)];
  };
  auto marker = [&] {
    if (Src.Next(3) == 0) {
      std::string s;
      for (uint32_t n = Src.Next(4); n > 0; --n)
        s += kAlphabet[Src.Next(10)];
      return s;
    }
    const uint32_t i = Src.Next(std::size(kMarkers));
    return i == 10 ? std::string(1, '\0') : std::string(kMarkers[i]);
  };
  auto limit = [&] {
    static const int32_t kLimits[] = {1024, 0, -1, 1, 2, 3, 5, 8, 13, 40};
    return kLimits[Src.Next(std::size(kLimits))];
  };
  TScenario s;
  s.Start = Src.Next(2) ? marker() : std::string();
  s.Stop = Src.Next(4) ? marker() : std::string();
  s.CaseInsensitive = Src.Next(3) == 0;
  s.IncludeStrings = Src.Next(3) == 0;
  s.MaxBufferSize = limit();
  s.Size = Src.Next(3) == 0 ? static_cast<int32_t>(Src.Next(7)) : 0;
  if (Src.Next(4) == 0)
    s.StartHook = {static_cast<int>(1 + Src.Next(4)), static_cast<int>(1 + Src.Next(5)),
                   Src.Next(4) == 0};
  if (Src.Next(4) == 0)
    s.StopHook = {static_cast<int>(1 + Src.Next(5)), static_cast<int>(1 + Src.Next(5)),
                  Src.Next(4) == 0};
  s.PacketThrows = Src.Next(5) == 0;
  s.DiscardThrows = Src.Next(5) == 0;
  for (uint32_t n = 1 + Src.Next(40); n > 0; --n) {
    TOp op;
    const uint32_t r = Src.Next(100);
    if (r < 80) {
      op.Kind = opFeed;
      for (uint32_t len = Src.Next(Src.Next(4) == 0 ? 30 : 6); len > 0; --len)
        op.Text += byte();
    } else if (r < 83) {
      op.Kind = opReset;
    } else if (r < 86) {
      op.Kind = opSetStart;
      op.Text = marker();
    } else if (r < 89) {
      op.Kind = opSetStop;
      op.Text = marker();
    } else if (r < 91) {
      op.Kind = opSetSize;
      op.Value = static_cast<int32_t>(Src.Next(7));
    } else if (r < 93) {
      op.Kind = opSetCase;
      op.Value = static_cast<int32_t>(Src.Next(2));
    } else if (r < 95) {
      op.Kind = opSetInclude;
      op.Value = static_cast<int32_t>(Src.Next(2));
    } else if (r < 97) {
      op.Kind = opSetMax;
      op.Value = limit();
    } else {
      op.Kind = Src.Next(2) ? opBeginLoading : opLoaded;
    }
    s.Ops.push_back(std::move(op));
  }
  return s;
}

// Plays the scenario on the model and on the real assembler; returns both recordings.
inline std::pair<TLog, TLog> RunScenario(const TScenario& S) {
  TLog modelLog, realLog;
  auto packetHandler = [&S](TLog& Log) {
    return [&S, &Log](const std::string& Str) {
      Log.push_back({'P', Str});
      if (S.PacketThrows && Str.find('!') != std::string::npos) throw TBoom{};
    };
  };
  auto discardHandler = [&S](TLog& Log) {
    return [&S, &Log](const std::string& Str) {
      Log.push_back({'D', Str});
      if (S.DiscardThrows && Str.find('?') != std::string::npos) throw TBoom{};
    };
  };

  TModel m;
  m.Start = S.Start;
  m.Stop = S.Stop;
  m.CaseInsensitive = S.CaseInsensitive;
  m.IncludeStrings = S.IncludeStrings;
  m.MaxBufferSize = S.MaxBufferSize;
  m.Size = S.Size;
  m.StartHook = S.StartHook;
  m.StopHook = S.StopHook;
  m.Packet = packetHandler(modelLog);
  m.Discard = discardHandler(modelLog);
  m.OnStart = [&](const std::string& Str, int32_t& Pos) {
    modelLog.push_back({'S', Str});
    RunStartHook(S.StartHook, Str, Pos);
  };
  m.OnStop = [&](const std::string& Str, int32_t& Pos) {
    modelLog.push_back({'E', Str});
    RunStopHook(S.StopHook, Str, Pos);
  };

  TTestPacket p(nullptr);
  // Configured while loading, as stored values are read, so that nothing is reset.
  p.BeginLoading();
  p.SetStartString(S.Start);
  p.SetStopString(S.Stop);
  p.SetCaseInsensitive(S.CaseInsensitive);
  p.SetIncludeStrings(S.IncludeStrings);
  p.SetMaxBufferSize(S.MaxBufferSize);
  p.SetSize(S.Size);
  p.Loaded();
  auto realPacket = packetHandler(realLog);
  auto realDiscard = discardHandler(realLog);
  p.OnPacket = [realPacket](TObject*, const std::string& Str) { realPacket(Str); };
  p.OnDiscard = [realDiscard](TObject*, const std::string& Str) { realDiscard(Str); };
  if (S.StartHook.Kind != 0)
    p.OnCustomStart = [&](TObject*, const std::string& Str, int32_t& Pos) {
      realLog.push_back({'S', Str});
      RunStartHook(S.StartHook, Str, Pos);
    };
  if (S.StopHook.Kind != 0)
    p.OnCustomStop = [&](TObject*, const std::string& Str, int32_t& Pos) {
      realLog.push_back({'E', Str});
      RunStopHook(S.StopHook, Str, Pos);
    };

  auto play = [](TLog& Log, auto&& Step) {
    try {
      Step();
    } catch (const TBoom&) {
      Log.push_back({'X', ""});
    }
  };
  for (const TOp& op : S.Ops) {
    const bool flag = op.Value != 0;
    switch (op.Kind) {
      case opFeed:
        play(modelLog, [&] { m.AddData(op.Text); });
        play(realLog, [&] { p.AddData(op.Text); });
        break;
      case opReset:
        play(modelLog, [&] { m.Reset(); });
        play(realLog, [&] { p.ResetBuffer(); });
        break;
      case opSetStart:
        play(modelLog, [&] { m.SetStart(op.Text); });
        play(realLog, [&] { p.SetStartString(op.Text); });
        break;
      case opSetStop:
        play(modelLog, [&] { m.SetStop(op.Text); });
        play(realLog, [&] { p.SetStopString(op.Text); });
        break;
      case opSetSize:
        play(modelLog, [&] { m.SetSize(op.Value); });
        play(realLog, [&] { p.SetSize(op.Value); });
        break;
      case opSetCase:
        play(modelLog, [&] { m.SetCaseInsensitive(flag); });
        play(realLog, [&] { p.SetCaseInsensitive(flag); });
        break;
      case opSetInclude:
        m.IncludeStrings = flag;
        p.SetIncludeStrings(flag);
        break;
      case opSetMax:
        m.MaxBufferSize = op.Value;
        p.SetMaxBufferSize(op.Value);
        break;
      case opBeginLoading:
        m.Loading = true;
        p.BeginLoading();
        break;
      case opLoaded:
        m.Loading = false;
        p.Loaded();
        break;
    }
    modelLog.push_back({'B', m.Buf + (m.InPacket ? "|in" : "|out")});
    realLog.push_back({'B', p.Buffer() + (p.InPacket() ? "|in" : "|out")});
  }
  return {std::move(modelLog), std::move(realLog)};
}

// Printable form of a recording, for failure messages.
inline std::string Describe(const TLog& Log) {
  std::string out;
  for (const TEvent& e : Log) {
    out += e.Kind;
    out += '[';
    for (unsigned char c : e.Text) {
      if (c >= 0x20 && c < 0x7F) {
        out += static_cast<char>(c);
      } else {
        static const char kHex[] = "0123456789ABCDEF";
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
    }
    out += "] ";
  }
  return out;
}

}  // namespace packet_model

}  // namespace comfind
