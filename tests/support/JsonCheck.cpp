#include "tests/support/JsonCheck.h"

#include <cmath>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace comfind {

const TJson* TJson::Find(const std::string& Key) const {
  if (Kind != jObject) return nullptr;
  for (const auto& [Name, Value] : Object)
    if (Name == Key) return &Value;
  return nullptr;
}

const TJson& TJson::operator[](const std::string& Key) const {
  const TJson* Value = Find(Key);
  if (!Value) throw std::out_of_range("no member \"" + Key + "\"");
  return *Value;
}

namespace {

class TParser {
 public:
  explicit TParser(const std::string& Text) : FText(Text) {}

  TJson Document() {
    TJson Value = ParseValue(0);
    SkipSpace();
    if (FAt != FText.size()) Fail("text after the value");
    return Value;
  }

 private:
  [[noreturn]] void Fail(const std::string& What) const {
    throw std::runtime_error("JSON: " + What + " at offset " + std::to_string(FAt));
  }
  void SkipSpace() {
    while (FAt < FText.size() &&
           (FText[FAt] == ' ' || FText[FAt] == '\t' || FText[FAt] == '\n' || FText[FAt] == '\r'))
      ++FAt;
  }
  bool Take(char C) {
    SkipSpace();
    if (FAt < FText.size() && FText[FAt] == C) {
      ++FAt;
      return true;
    }
    return false;
  }
  void Expect(char C) {
    if (!Take(C)) Fail(std::string("'") + C + "' expected");
  }
  bool Word(const char* W) {
    const std::string S(W);
    if (FText.compare(FAt, S.size(), S) != 0) return false;
    FAt += S.size();
    return true;
  }

  TJson ParseValue(int Depth) {
    if (Depth > 64) Fail("nesting too deep");
    SkipSpace();
    if (FAt >= FText.size()) Fail("value expected");
    TJson V;
    const char C = FText[FAt];
    if (C == '{') {
      ++FAt;
      V.Kind = TJson::jObject;
      if (Take('}')) return V;
      do {
        SkipSpace();
        if (FAt >= FText.size() || FText[FAt] != '"') Fail("member name expected");
        std::string Name = ParseString();
        if (V.Find(Name)) Fail("member \"" + Name + "\" twice");
        Expect(':');
        V.Object.push_back({std::move(Name), ParseValue(Depth + 1)});
      } while (Take(','));
      Expect('}');
    } else if (C == '[') {
      ++FAt;
      V.Kind = TJson::jArray;
      if (Take(']')) return V;
      do
        V.Array.push_back(ParseValue(Depth + 1));
      while (Take(','));
      Expect(']');
    } else if (C == '"') {
      V.Kind = TJson::jString;
      V.String = ParseString();
    } else if (Word("true") || Word("false")) {
      V.Kind = TJson::jBool;
      V.Bool = FText[FAt - 1] == 'e' && FText[FAt - 2] == 'u';
    } else if (Word("null")) {
      V.Kind = TJson::jNull;
    } else {
      ParseNumber(V);
    }
    return V;
  }

  void ParseNumber(TJson& V) {
    const size_t Start = FAt;
    auto Digits = [&] {
      const size_t From = FAt;
      while (FAt < FText.size() && FText[FAt] >= '0' && FText[FAt] <= '9')
        ++FAt;
      return FAt - From;
    };
    if (FAt < FText.size() && FText[FAt] == '-') ++FAt;
    if (FAt < FText.size() && FText[FAt] == '0')
      ++FAt;
    else if (Digits() == 0)
      Fail("value expected");
    V.Integer = true;
    if (FAt < FText.size() && FText[FAt] == '.') {
      ++FAt;
      if (Digits() == 0) Fail("digits expected after the point");
      V.Integer = false;
    }
    if (FAt < FText.size() && (FText[FAt] == 'e' || FText[FAt] == 'E')) {
      ++FAt;
      if (FAt < FText.size() && (FText[FAt] == '+' || FText[FAt] == '-')) ++FAt;
      if (Digits() == 0) Fail("digits expected in the exponent");
      V.Integer = false;
    }
    V.Kind = TJson::jNumber;
    V.Number = std::stod(FText.substr(Start, FAt - Start));
  }

  unsigned Hex4() {
    if (FAt + 4 > FText.size()) Fail("\\u needs four hex digits");
    unsigned Value = 0;
    for (int I = 0; I < 4; ++I) {
      const char C = FText[FAt++];
      Value <<= 4;
      if (C >= '0' && C <= '9')
        Value |= static_cast<unsigned>(C - '0');
      else if (C >= 'a' && C <= 'f')
        Value |= static_cast<unsigned>(C - 'a' + 10);
      else if (C >= 'A' && C <= 'F')
        Value |= static_cast<unsigned>(C - 'A' + 10);
      else
        Fail("\\u needs four hex digits");
    }
    return Value;
  }

  static void AppendUtf8(std::string& Out, unsigned Cp) {
    if (Cp < 0x80) {
      Out += static_cast<char>(Cp);
    } else if (Cp < 0x800) {
      Out += static_cast<char>(0xC0 | (Cp >> 6));
      Out += static_cast<char>(0x80 | (Cp & 0x3F));
    } else if (Cp < 0x10000) {
      Out += static_cast<char>(0xE0 | (Cp >> 12));
      Out += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
      Out += static_cast<char>(0x80 | (Cp & 0x3F));
    } else {
      Out += static_cast<char>(0xF0 | (Cp >> 18));
      Out += static_cast<char>(0x80 | ((Cp >> 12) & 0x3F));
      Out += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
      Out += static_cast<char>(0x80 | (Cp & 0x3F));
    }
  }

  std::string ParseString() {
    ++FAt;  // the opening quote
    std::string Out;
    for (;;) {
      if (FAt >= FText.size()) Fail("unterminated string");
      const char C = FText[FAt++];
      if (C == '"') return Out;
      if (static_cast<unsigned char>(C) < 0x20) Fail("control character in a string");
      if (C != '\\') {
        Out += C;
        continue;
      }
      if (FAt >= FText.size()) Fail("unterminated escape");
      const char E = FText[FAt++];
      switch (E) {
        case '"':
        case '\\':
        case '/':
          Out += E;
          break;
        case 'b':
          Out += '\b';
          break;
        case 'f':
          Out += '\f';
          break;
        case 'n':
          Out += '\n';
          break;
        case 'r':
          Out += '\r';
          break;
        case 't':
          Out += '\t';
          break;
        case 'u': {
          unsigned Cp = Hex4();
          if (Cp >= 0xD800 && Cp < 0xDC00) {
            if (!Word("\\u")) Fail("lone high surrogate");
            const unsigned Low = Hex4();
            if (Low < 0xDC00 || Low >= 0xE000) Fail("bad low surrogate");
            Cp = 0x10000 + ((Cp - 0xD800) << 10) + (Low - 0xDC00);
          } else if (Cp >= 0xDC00 && Cp < 0xE000) {
            Fail("lone low surrogate");
          }
          AppendUtf8(Out, Cp);
          break;
        }
        default:
          Fail(std::string("bad escape \\") + E);
      }
    }
  }

  const std::string& FText;
  size_t FAt = 0;
};

const char* KindName(TJson::TKind Kind) {
  switch (Kind) {
    case TJson::jNull:
      return "null";
    case TJson::jBool:
      return "boolean";
    case TJson::jNumber:
      return "number";
    case TJson::jString:
      return "string";
    case TJson::jArray:
      return "array";
    case TJson::jObject:
      return "object";
  }
  return "?";
}

bool HasType(const TJson& V, const std::string& Type) {
  if (Type == "integer") return V.Kind == TJson::jNumber && V.Number == std::floor(V.Number);
  return Type == KindName(V.Kind);
}

bool Equal(const TJson& A, const TJson& B) {
  if (A.Kind != B.Kind) return false;
  switch (A.Kind) {
    case TJson::jNull:
      return true;
    case TJson::jBool:
      return A.Bool == B.Bool;
    case TJson::jNumber:
      return A.Number == B.Number;
    case TJson::jString:
      return A.String == B.String;
    case TJson::jArray:
      if (A.Array.size() != B.Array.size()) return false;
      for (size_t I = 0; I < A.Array.size(); ++I)
        if (!Equal(A.Array[I], B.Array[I])) return false;
      return true;
    case TJson::jObject:
      if (A.Object.size() != B.Object.size()) return false;
      for (const auto& [Name, Value] : A.Object) {
        const TJson* Other = B.Find(Name);
        if (!Other || !Equal(Value, *Other)) return false;
      }
      return true;
  }
  return false;
}

class TChecker {
 public:
  explicit TChecker(const TJson& Root) : FRoot(Root) {}

  void Check(const TJson& V, const TJson& S, const std::string& Path,
             std::vector<std::string>& Problems) {
    if (S.Kind != TJson::jObject) {
      Problems.push_back(Path + ": the schema is no object");
      return;
    }
    for (const auto& [Key, Rule] : S.Object) {
      if (Key == "$schema" || Key == "$id" || Key == "$defs" || Key == "title" ||
          Key == "description") {
        continue;
      } else if (Key == "$ref") {
        const std::string Prefix = "#/$defs/";
        const TJson* Defs = FRoot.Find("$defs");
        const TJson* Target = Rule.String.rfind(Prefix, 0) == 0 && Defs
                                  ? Defs->Find(Rule.String.substr(Prefix.size()))
                                  : nullptr;
        if (!Target)
          Problems.push_back(Path + ": unknown reference " + Rule.String);
        else
          Check(V, *Target, Path, Problems);
      } else if (Key == "type") {
        bool Any = false;
        if (Rule.Kind == TJson::jString) Any = HasType(V, Rule.String);
        for (const TJson& T : Rule.Array)
          Any = Any || HasType(V, T.String);
        if (!Any) Problems.push_back(Path + ": " + KindName(V.Kind) + " is not of the type wanted");
      } else if (Key == "enum") {
        bool Any = false;
        for (const TJson& E : Rule.Array)
          Any = Any || Equal(V, E);
        if (!Any) Problems.push_back(Path + ": not one of the listed values");
      } else if (Key == "required") {
        for (const TJson& Name : Rule.Array)
          if (V.Kind == TJson::jObject && !V.Find(Name.String))
            Problems.push_back(Path + ": \"" + Name.String + "\" missing");
      } else if (Key == "properties") {
        for (const auto& [Name, Value] : V.Object)
          if (const TJson* Sub = Rule.Find(Name)) Check(Value, *Sub, Path + "." + Name, Problems);
      } else if (Key == "additionalProperties") {
        if (Rule.Kind != TJson::jBool || Rule.Bool) {
          Problems.push_back(Path + ": additionalProperties other than false is not supported");
          continue;
        }
        const TJson* Known = S.Find("properties");
        for (const auto& [Name, Value] : V.Object)
          if (!Known || !Known->Find(Name))
            Problems.push_back(Path + ": unexpected member \"" + Name + "\"");
      } else if (Key == "items") {
        for (size_t I = 0; I < V.Array.size(); ++I)
          Check(V.Array[I], Rule, Path + "[" + std::to_string(I) + "]", Problems);
      } else if (Key == "minimum") {
        if (V.Kind == TJson::jNumber && V.Number < Rule.Number)
          Problems.push_back(Path + ": below the minimum");
      } else if (Key == "pattern") {
        if (V.Kind == TJson::jString && !std::regex_search(V.String, std::regex(Rule.String)))
          Problems.push_back(Path + ": \"" + V.String + "\" does not match " + Rule.String);
      } else if (Key == "oneOf") {
        int Matches = 0;
        for (const TJson& Option : Rule.Array) {
          std::vector<std::string> Sub;
          Check(V, Option, Path, Sub);
          Matches += Sub.empty();
        }
        if (Matches != 1)
          Problems.push_back(Path + ": matches " + std::to_string(Matches) +
                             " of the oneOf choices, not exactly one");
      } else {
        Problems.push_back(Path + ": schema keyword " + Key + " is not supported by the checker");
      }
    }
  }

 private:
  const TJson& FRoot;
};

}  // namespace

TJson ParseJson(const std::string& Text) {
  return TParser(Text).Document();
}

std::vector<std::string> CheckJsonSchema(const TJson& Value, const TJson& Schema) {
  std::vector<std::string> Problems;
  TChecker(Schema).Check(Value, Schema, "$", Problems);
  return Problems;
}

std::string ReadSourceFile(const std::string& Relative) {
  std::ifstream In(std::string(COMFIND_SOURCE_DIR) + "/" + Relative, std::ios::binary);
  if (!In) throw std::runtime_error("cannot read " + Relative);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

}  // namespace comfind
