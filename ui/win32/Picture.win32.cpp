#include "ui/win32/Picture.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace comfind {

TPicture LoadBmpResource(int Id) {
  TPicture Picture;
  const HRSRC Resource = FindResourceW(nullptr, MAKEINTRESOURCEW(Id), MAKEINTRESOURCEW(10));
  if (!Resource) return Picture;
  const HGLOBAL Loaded = LoadResource(nullptr, Resource);
  const auto* Bytes = static_cast<const uint8_t*>(Loaded ? LockResource(Loaded) : nullptr);
  const DWORD Size = SizeofResource(nullptr, Resource);
  if (!Bytes || Size < sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)) return Picture;
  BITMAPFILEHEADER File;
  BITMAPINFOHEADER Info;
  std::memcpy(&File, Bytes, sizeof File);
  std::memcpy(&Info, Bytes + sizeof File, sizeof Info);
  const int Width = Info.biWidth;
  const int Height = Info.biHeight < 0 ? -Info.biHeight : Info.biHeight;
  const size_t Needed = static_cast<size_t>(Width) * Height * 4;
  if (File.bfType != 0x4D42 || Info.biBitCount != 32 || Info.biCompression != BI_RGB ||
      Width <= 0 || Height <= 0 || Width > 4096 || Height > 4096 || File.bfOffBits > Size ||
      Size - File.bfOffBits < Needed)
    return Picture;
  Picture.Width = Width;
  Picture.Height = Height;
  Picture.Pixels.resize(Needed);
  const uint8_t* Rows = Bytes + File.bfOffBits;
  for (int Y = 0; Y < Height; ++Y) {
    // A positive height is stored bottom up.
    const int From = Info.biHeight > 0 ? Height - 1 - Y : Y;
    std::memcpy(&Picture.Pixels[static_cast<size_t>(Y) * Width * 4],
                Rows + static_cast<size_t>(From) * Width * 4, static_cast<size_t>(Width) * 4);
  }
  return Picture;
}

HBITMAP ScaledBitmap(const TPicture& Source, int Size) {
  if (Source.Width <= 0 || Size <= 0) return nullptr;
  BITMAPINFO Info{};
  Info.bmiHeader.biSize = sizeof Info.bmiHeader;
  Info.bmiHeader.biWidth = Size;
  Info.bmiHeader.biHeight = -Size;  // top down
  Info.bmiHeader.biPlanes = 1;
  Info.bmiHeader.biBitCount = 32;
  Info.bmiHeader.biCompression = BI_RGB;
  void* Bits = nullptr;
  HBITMAP Bitmap = CreateDIBSection(nullptr, &Info, DIB_RGB_COLORS, &Bits, nullptr, 0);
  if (!Bitmap) return nullptr;
  auto* Out = static_cast<uint8_t*>(Bits);
  // Each target pixel averages the source rectangle it covers, weighted by alpha so that the
  // transparent surroundings do not darken the edges.
  for (int Y = 0; Y < Size; ++Y) {
    const int Y0 = Y * Source.Height / Size;
    const int Y1 = std::max(Y0 + 1, (Y + 1) * Source.Height / Size);
    for (int X = 0; X < Size; ++X) {
      const int X0 = X * Source.Width / Size;
      const int X1 = std::max(X0 + 1, (X + 1) * Source.Width / Size);
      double B = 0, G = 0, R = 0, A = 0;
      int Count = 0;
      for (int SY = Y0; SY < Y1; ++SY)
        for (int SX = X0; SX < X1; ++SX) {
          const uint8_t* P = &Source.Pixels[(static_cast<size_t>(SY) * Source.Width + SX) * 4];
          const double Alpha = P[3] / 255.0;
          B += P[0] * Alpha;
          G += P[1] * Alpha;
          R += P[2] * Alpha;
          A += P[3];
          ++Count;
        }
      uint8_t* Q = &Out[(static_cast<size_t>(Y) * Size + X) * 4];
      // Premultiplied: the colour sums already carry the alpha.
      Q[0] = static_cast<uint8_t>(B / Count + 0.5);
      Q[1] = static_cast<uint8_t>(G / Count + 0.5);
      Q[2] = static_cast<uint8_t>(R / Count + 0.5);
      Q[3] = static_cast<uint8_t>(A / Count + 0.5);
    }
  }
  return Bitmap;
}

namespace {

uint32_t Crc32(const uint8_t* Data, size_t Size, uint32_t Crc = 0) {
  static const std::array<uint32_t, 256> Table = [] {
    std::array<uint32_t, 256> T{};
    for (uint32_t N = 0; N < 256; ++N) {
      uint32_t C = N;
      for (int K = 0; K < 8; ++K)
        C = (C & 1) ? 0xEDB88320u ^ (C >> 1) : C >> 1;
      T[N] = C;
    }
    return T;
  }();
  Crc = ~Crc;
  for (size_t I = 0; I < Size; ++I)
    Crc = Table[(Crc ^ Data[I]) & 0xFF] ^ (Crc >> 8);
  return ~Crc;
}

void PutBig32(std::string& Out, uint32_t V) {
  for (int Shift = 24; Shift >= 0; Shift -= 8)
    Out += static_cast<char>((V >> Shift) & 0xFF);
}

void Chunk(std::string& Out, const char* Type, const std::string& Data) {
  PutBig32(Out, static_cast<uint32_t>(Data.size()));
  const std::string Typed = std::string(Type, 4) + Data;
  Out += Typed;
  PutBig32(Out, Crc32(reinterpret_cast<const uint8_t*>(Typed.data()), Typed.size()));
}

}  // namespace

// Uncompressed ("stored") deflate blocks: no compressor to carry, and a screenshot of a few
// megabytes is no burden for a test.
std::string EncodePng(int Width, int Height, const std::vector<uint8_t>& Rgb) {
  std::string Raw;
  Raw.reserve(static_cast<size_t>(Height) * (Width * 3 + 1));
  for (int Y = 0; Y < Height; ++Y) {
    Raw += '\0';  // filter: none
    Raw.append(reinterpret_cast<const char*>(&Rgb[static_cast<size_t>(Y) * Width * 3]),
               static_cast<size_t>(Width) * 3);
  }
  std::string Z = "\x78\x01";
  uint32_t A = 1, B = 0;
  for (unsigned char C : Raw) {
    A = (A + C) % 65521;
    B = (B + A) % 65521;
  }
  for (size_t At = 0; At < Raw.size() || At == 0; At += 65535) {
    const size_t Len = std::min<size_t>(65535, Raw.size() - At);
    Z += static_cast<char>(At + Len >= Raw.size() ? 1 : 0);
    Z += static_cast<char>(Len & 0xFF);
    Z += static_cast<char>(Len >> 8);
    Z += static_cast<char>(~Len & 0xFF);
    Z += static_cast<char>((~Len >> 8) & 0xFF);
    Z.append(Raw, At, Len);
    if (Raw.empty()) break;
  }
  PutBig32(Z, (B << 16) | A);

  std::string Png = "\x89PNG\r\n\x1A\n";
  std::string Header;
  PutBig32(Header, static_cast<uint32_t>(Width));
  PutBig32(Header, static_cast<uint32_t>(Height));
  Header +=
      std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter, no interlace
  Chunk(Png, "IHDR", Header);
  Chunk(Png, "IDAT", Z);
  Chunk(Png, "IEND", std::string());
  return Png;
}

bool SaveWindowPng(HWND Window, const std::wstring& File) {
  RECT R;
  if (!GetWindowRect(Window, &R)) return false;
  const int Width = R.right - R.left, Height = R.bottom - R.top;
  if (Width <= 0 || Height <= 0) return false;
  RedrawWindow(Window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
  // From the screen rather than PrintWindow: what a person sees, the system's frame and the
  // controls' own painting included.
  const HDC Screen = GetDC(nullptr);
  const HDC Memory = CreateCompatibleDC(Screen);
  BITMAPINFO Info{};
  Info.bmiHeader.biSize = sizeof Info.bmiHeader;
  Info.bmiHeader.biWidth = Width;
  Info.bmiHeader.biHeight = -Height;
  Info.bmiHeader.biPlanes = 1;
  Info.bmiHeader.biBitCount = 32;
  Info.bmiHeader.biCompression = BI_RGB;
  void* Bits = nullptr;
  const HBITMAP Bitmap = CreateDIBSection(Screen, &Info, DIB_RGB_COLORS, &Bits, nullptr, 0);
  bool Ok = false;
  if (Bitmap) {
    const HGDIOBJ Old = SelectObject(Memory, Bitmap);
    Ok = BitBlt(Memory, 0, 0, Width, Height, Screen, R.left, R.top, SRCCOPY | CAPTUREBLT);
    GdiFlush();
    SelectObject(Memory, Old);
    if (Ok) {
      std::vector<uint8_t> Rgb(static_cast<size_t>(Width) * Height * 3);
      const auto* Px = static_cast<const uint8_t*>(Bits);
      for (size_t I = 0, N = static_cast<size_t>(Width) * Height; I < N; ++I) {
        Rgb[I * 3] = Px[I * 4 + 2];
        Rgb[I * 3 + 1] = Px[I * 4 + 1];
        Rgb[I * 3 + 2] = Px[I * 4];
      }
      const std::string Png = EncodePng(Width, Height, Rgb);
      std::ofstream Out(std::filesystem::path(File), std::ios::binary | std::ios::trunc);
      Out.write(Png.data(), static_cast<std::streamsize>(Png.size()));
      Ok = static_cast<bool>(Out.flush());
    }
    DeleteObject(Bitmap);
  }
  DeleteDC(Memory);
  ReleaseDC(nullptr, Screen);
  return Ok;
}

}  // namespace comfind
