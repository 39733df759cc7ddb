#include "framework/Classes.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace comfind {

std::string Format(const char* fmt, ...) {
  va_list Args;
  va_start(Args, fmt);
  va_list Copy;
  va_copy(Copy, Args);
  const int N = std::vsnprintf(nullptr, 0, fmt, Copy);
  va_end(Copy);
  std::string Out(N > 0 ? static_cast<size_t>(N) : 0, '\0');
  if (N > 0) std::vsnprintf(Out.data(), Out.size() + 1, fmt, Args);
  va_end(Args);
  return Out;
}

// --- TPersistent

void TPersistent::Assign(const TPersistent* Source) {
  if (Source) {
    Source->AssignTo(this);
    return;
  }
  AssignError(nullptr);
}

void TPersistent::AssignTo(TPersistent* Dest) const {
  Dest->AssignError(this);
}

void TPersistent::AssignError(const TPersistent* Source) const {
  const std::string From = Source ? Source->ClassName() : std::string("nil");
  throw EConvertError(Format("Cannot assign a %s to a %s", From.c_str(), ClassName().c_str()));
}

// --- TComponent

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  // Owned components go last first, each taken out of the list before it is destroyed so
  // that its own destructor does not find itself there.
  while (!FComponents.empty()) {
    TComponent* Child = FComponents.back();
    FComponents.pop_back();
    Child->FOwner = nullptr;
    delete Child;
  }
  if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::Destroying() {
  if (FNotified) return;
  FNotified = true;
  FState |= 1u << csDestroying;
  // A subscriber may remove itself (or others) while it is told; take one at a time.
  while (!FFreeNotifies.empty()) {
    TComponent* Other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    auto& Back = Other->FFreeNotifies;
    Back.erase(std::remove(Back.begin(), Back.end(), this), Back.end());
    Other->Notification(this, opRemove);
  }
}

void TComponent::SetDesigning(bool Value) {
  if (Value)
    FState |= 1u << csDesigning;
  else
    FState &= ~(1u << csDesigning);
}

void TComponent::Loaded() {
  FState &= ~(1u << csLoading);
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (!AComponent || AComponent == this) return;
  // Both sides keep each other: whichever goes first tells the other.
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
    FFreeNotifies.push_back(AComponent);
  auto& Back = AComponent->FFreeNotifies;
  if (std::find(Back.begin(), Back.end(), this) == Back.end()) Back.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (!AComponent) return;
  FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent),
                      FFreeNotifies.end());
  auto& Back = AComponent->FFreeNotifies;
  Back.erase(std::remove(Back.begin(), Back.end(), this), Back.end());
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::InsertComponent(TComponent* AComponent) {
  AComponent->FOwner = this;
  FComponents.push_back(AComponent);
  Notification(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), AComponent),
                    FComponents.end());
  AComponent->FOwner = nullptr;
  Notification(AComponent, opRemove);
}

// --- TStrings

int TStrings::Add(const std::string& S) {
  FItems.push_back(S);
  Changed(true);
  return Count() - 1;
}

void TStrings::Insert(int Index, const std::string& S) {
  const int At = std::clamp(Index, 0, Count());
  FItems.insert(FItems.begin() + At, S);
  Changed(At == Count() - 1);
}

void TStrings::Delete(int Index) {
  if (Index < 0 || Index >= Count())
    throw Exception(Format("List index out of bounds (%d)", Index));
  FItems.erase(FItems.begin() + Index);
  Changed();
}

void TStrings::Clear() {
  if (FItems.empty()) return;
  FItems.clear();
  Changed();
}

int TStrings::IndexOf(const std::string& S) const {
  auto It = std::find(FItems.begin(), FItems.end(), S);
  return It == FItems.end() ? -1 : static_cast<int>(It - FItems.begin());
}

void TStrings::Sort(const std::function<int(const std::string&, const std::string&)>& Compare) {
  std::stable_sort(FItems.begin(), FItems.end(),
                   [&](const std::string& a, const std::string& b) { return Compare(a, b) < 0; });
  Changed();
}

void TStrings::Assign(const TPersistent* Source) {
  if (auto* Other = dynamic_cast<const TStrings*>(Source)) {
    if (Other != this) FItems = Other->FItems;
    Changed();
    return;
  }
  TPersistent::Assign(Source);
}

void TStrings::SetItems(std::vector<std::string> Items) {
  FItems = std::move(Items);
  Changed();
}

// --- text helpers

char UpCaseAscii(char C) {
  return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 'a' + 'A') : C;
}

std::string UpperCaseAscii(std::string_view S) {
  std::string Out(S);
  for (char& C : Out)
    C = UpCaseAscii(C);
  return Out;
}

int CompareTextAscii(std::string_view A, std::string_view B) {
  const size_t N = std::min(A.size(), B.size());
  for (size_t I = 0; I < N; ++I) {
    const auto Left = static_cast<unsigned char>(UpCaseAscii(A[I]));
    const auto Right = static_cast<unsigned char>(UpCaseAscii(B[I]));
    if (Left != Right) return Left < Right ? -1 : 1;
  }
  return A.size() == B.size() ? 0 : (A.size() < B.size() ? -1 : 1);
}

bool SameTextAscii(std::string_view A, std::string_view B) {
  return A.size() == B.size() && CompareTextAscii(A, B) == 0;
}

int CompareNaturalAscii(std::string_view A, std::string_view B) {
  auto IsDigit = [](char C) { return C >= '0' && C <= '9'; };
  int ZerosTie = 0;
  size_t I = 0, J = 0;
  while (I < A.size() && J < B.size()) {
    if (IsDigit(A[I]) && IsDigit(B[J])) {
      size_t EndA = I, EndB = J;
      while (EndA < A.size() && IsDigit(A[EndA]))
        ++EndA;
      while (EndB < B.size() && IsDigit(B[EndB]))
        ++EndB;
      // Compared without their leading zeros, so a number of any length compares by value
      // without being converted (no overflow).
      size_t FromA = I, FromB = J;
      while (FromA + 1 < EndA && A[FromA] == '0')
        ++FromA;
      while (FromB + 1 < EndB && B[FromB] == '0')
        ++FromB;
      const size_t LenA = EndA - FromA, LenB = EndB - FromB;
      if (LenA != LenB) return LenA < LenB ? -1 : 1;
      if (const int R = A.substr(FromA, LenA).compare(B.substr(FromB, LenB)); R != 0)
        return R < 0 ? -1 : 1;
      if (ZerosTie == 0 && EndA - I != EndB - J) ZerosTie = EndA - I < EndB - J ? -1 : 1;
      I = EndA;
      J = EndB;
      continue;
    }
    const auto Left = static_cast<unsigned char>(UpCaseAscii(A[I]));
    const auto Right = static_cast<unsigned char>(UpCaseAscii(B[J]));
    if (Left != Right) return Left < Right ? -1 : 1;
    ++I;
    ++J;
  }
  const size_t RestA = A.size() - I, RestB = B.size() - J;
  if (RestA != RestB) return RestA < RestB ? -1 : 1;
  return ZerosTie;
}

namespace {

// Unicode code points of the bytes 0x80..0xFF in code page 1251. 0x98 is unassigned in the
// code page and maps to U+0098 so that a round trip keeps it.
constexpr char16_t kCp1251High[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string Cp1251ToUtf8(std::string_view S) {
  std::string Out;
  Out.reserve(S.size() * 2);
  for (char C : S) {
    const auto B = static_cast<unsigned char>(C);
    AppendUtf8(Out, B < 0x80 ? char32_t{B} : char32_t{kCp1251High[B - 0x80]});
  }
  return Out;
}

std::string Utf8ToCp1251(std::string_view S) {
  std::string Out;
  Out.reserve(S.size());
  size_t I = 0;
  while (I < S.size()) {
    const auto B = static_cast<unsigned char>(S[I]);
    char32_t Cp;
    size_t Len;
    char32_t Least;  // smallest code point the length may carry: longer forms are forgeries
    if (B < 0x80) {
      Out += static_cast<char>(B);
      ++I;
      continue;
    } else if ((B & 0xE0) == 0xC0) {
      Cp = B & 0x1F;
      Len = 2;
      Least = 0x80;
    } else if ((B & 0xF0) == 0xE0) {
      Cp = B & 0x0F;
      Len = 3;
      Least = 0x800;
    } else if ((B & 0xF8) == 0xF0) {
      Cp = B & 0x07;
      Len = 4;
      Least = 0x10000;
    } else {
      Out += '?';
      ++I;
      continue;
    }
    // A broken sequence costs one '?' for its lead byte; decoding goes on at the next byte,
    // so text after a cut-off character is not lost.
    bool Ok = I + Len <= S.size();
    for (size_t K = 1; Ok && K < Len; ++K) {
      const auto Cb = static_cast<unsigned char>(S[I + K]);
      if ((Cb & 0xC0) != 0x80) Ok = false;
      Cp = (Cp << 6) | (Cb & 0x3F);
    }
    if (!Ok || Cp < Least) {
      Out += '?';
      ++I;
      continue;
    }
    I += Len;
    char Mapped = '?';
    for (int K = 0; K < 128; ++K) {
      if (kCp1251High[K] == Cp) {
        Mapped = static_cast<char>(0x80 + K);
        break;
      }
    }
    Out += Mapped;
  }
  return Out;
}

}  // namespace comfind
