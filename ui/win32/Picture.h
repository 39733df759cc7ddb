// Pictures of the Win32 window: the logo read from the program's resources and scaled for the
// screen, and a PNG file of the window as it is on the screen (for the --screenshot switch and
// the checks under Wine).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace comfind {

// A picture with straight alpha: 4 bytes per pixel (blue, green, red, alpha), rows top down.
struct TPicture {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Pixels;
};

// Reads a 32-bit BMP (BITMAPFILEHEADER + BITMAPINFOHEADER, uncompressed) from the program's
// RCDATA resource Id; an empty picture when it is missing or malformed.
TPicture LoadBmpResource(int Id);
// Scales Source to Size x Size (the picture is square) by averaging the pixels each target pixel
// covers, and returns a top-down DIB section with premultiplied alpha, as GdiAlphaBlend wants.
// Null when Source is empty.
HBITMAP ScaledBitmap(const TPicture& Source, int Size);

// Writes the pixels of Window's screen rectangle (frame and caption included) to File as a PNG.
// The window must be visible and not covered.
bool SaveWindowPng(HWND Window, const std::wstring& File);
// PNG bytes of a picture of 3 bytes per pixel (red, green, blue), rows top down.
std::string EncodePng(int Width, int Height, const std::vector<uint8_t>& Rgb);

}  // namespace comfind
