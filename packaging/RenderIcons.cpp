// Writes the window's logo as the application icon, one PNG per size, at build time, so the
// icon in the desktop menu is the very picture the window shows and never goes stale.
//
//   comfind-render-icons DIR SIZE...   writes DIR/SIZExSIZE/apps/comfind.png for every SIZE
//   comfind-render-icons --windows DIR writes DIR/comfind.ico (the Windows program's icon) and
//                                      DIR/logo.bmp (the Win32 window's logo, 32 bits with alpha)
//
// Runs without a display: the logo's text needs a font database, which only a
// QGuiApplication provides, so the offscreen platform is chosen unless one was named.
#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QSaveFile>
#include <QString>
#include <QtEndian>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ui/qt/Logo.h"

using namespace comfind;

namespace {

void Put16(QByteArray& Out, quint16 V) {
  V = qToLittleEndian(V);
  Out.append(reinterpret_cast<const char*>(&V), 2);
}
void Put32(QByteArray& Out, quint32 V) {
  V = qToLittleEndian(V);
  Out.append(reinterpret_cast<const char*>(&V), 4);
}

// BITMAPINFOHEADER and the pixels of a 32-bit picture with straight alpha, rows bottom up (blue,
// green, red, alpha in memory: QImage's ARGB32 on a little-endian machine). Icons store the
// doubled height (colour and mask) and an AND mask after the pixels.
QByteArray Dib(const QImage& Logo, bool Icon) {
  const QImage Image = Logo.convertToFormat(QImage::Format_ARGB32);
  const int W = Image.width(), H = Image.height();
  QByteArray Out;
  Put32(Out, 40);
  Put32(Out, static_cast<quint32>(W));
  Put32(Out, static_cast<quint32>(Icon ? 2 * H : H));
  Put16(Out, 1);
  Put16(Out, 32);
  Put32(Out, 0);  // BI_RGB
  Put32(Out, 0);
  Put32(Out, 0);
  Put32(Out, 0);
  Put32(Out, 0);
  Put32(Out, 0);
  for (int Y = H - 1; Y >= 0; --Y) {
    const uchar* Row = Image.constScanLine(Y);
    for (int X = 0; X < W; ++X) {
      const QRgb P = reinterpret_cast<const QRgb*>(Row)[X];
      Out.append(static_cast<char>(qBlue(P)));
      Out.append(static_cast<char>(qGreen(P)));
      Out.append(static_cast<char>(qRed(P)));
      Out.append(static_cast<char>(qAlpha(P)));
    }
  }
  if (Icon) {
    // The AND mask: rows of bits padded to 32 bits; all zero, the alpha channel rules.
    Out.append(QByteArray(((W + 31) / 32) * 4 * H, '\0'));
  }
  return Out;
}

// The icon file: the sizes Windows asks for in Explorer, the task bar, Alt+Tab and the title
// bar, at 100 to 200 % scaling. 256 is stored as PNG, as Windows expects at that size.
bool WriteIco(const QString& File) {
  const int Sizes[] = {16, 20, 24, 32, 40, 48, 64, 256};
  std::vector<QByteArray> Images;
  for (int Size : Sizes) {
    const QImage Logo = DrawLogo(Size);
    if (Size == 256) {
      QByteArray Png;
      QBuffer Buffer(&Png);
      Buffer.open(QIODevice::WriteOnly);
      if (!Logo.save(&Buffer, "PNG")) return false;
      Images.push_back(Png);
    } else {
      Images.push_back(Dib(Logo, true));
    }
  }
  QByteArray Out;
  Put16(Out, 0);
  Put16(Out, 1);  // icon
  Put16(Out, static_cast<quint16>(Images.size()));
  quint32 Offset = 6 + 16 * static_cast<quint32>(Images.size());
  for (size_t I = 0; I < Images.size(); ++I) {
    const int Size = Sizes[I];
    Out.append(static_cast<char>(Size == 256 ? 0 : Size));
    Out.append(static_cast<char>(Size == 256 ? 0 : Size));
    Out.append('\0');  // no palette
    Out.append('\0');
    Put16(Out, 1);   // planes
    Put16(Out, 32);  // bits per pixel
    Put32(Out, static_cast<quint32>(Images[I].size()));
    Put32(Out, Offset);
    Offset += static_cast<quint32>(Images[I].size());
  }
  for (const QByteArray& Image : Images)
    Out.append(Image);
  QSaveFile Save(File);
  return Save.open(QIODevice::WriteOnly) && Save.write(Out) == Out.size() && Save.commit();
}

// The window's logo: 256 pixels, scaled down by the window to its size on screen.
bool WriteLogoBmp(const QString& File) {
  const QByteArray Info = Dib(DrawLogo(256), false);
  QByteArray Out;
  Out.append("BM");
  Put32(Out, static_cast<quint32>(14 + Info.size()));
  Put32(Out, 0);
  Put32(Out, 14 + 40);
  Out.append(Info);
  QSaveFile Save(File);
  return Save.open(QIODevice::WriteOnly) && Save.write(Out) == Out.size() && Save.commit();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: comfind-render-icons DIR SIZE... | --windows DIR\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication Application(argc, argv);

  if (std::strcmp(argv[1], "--windows") == 0) {
    const QString Dir = QString::fromLocal8Bit(argv[2]);
    if (!QDir().mkpath(Dir) || !WriteIco(Dir + QStringLiteral("/comfind.ico")) ||
        !WriteLogoBmp(Dir + QStringLiteral("/logo.bmp"))) {
      std::fprintf(stderr, "comfind-render-icons: cannot write the pictures in %s\n", argv[2]);
      return 1;
    }
    return 0;
  }

  const QString Root = QString::fromLocal8Bit(argv[1]);
  for (int I = 2; I < argc; ++I) {
    char* End = nullptr;
    const long Size = std::strtol(argv[I], &End, 10);
    if (*End != '\0' || Size < 8 || Size > 1024) {
      std::fprintf(stderr, "comfind-render-icons: bad size %s\n", argv[I]);
      return 2;
    }
    const QString Dir = QStringLiteral("%1/%2x%2/apps").arg(Root).arg(Size);
    const QString File = Dir + QStringLiteral("/comfind.png");
    // Written to a temporary name and renamed, so an interrupted build never leaves a
    // truncated icon that the next build would take as up to date.
    const QString Temporary = File + QStringLiteral(".part");
    if (!QDir().mkpath(Dir) || !DrawLogo(static_cast<int>(Size)).save(Temporary, "PNG") ||
        (QFile::exists(File) && !QFile::remove(File)) || !QFile::rename(Temporary, File)) {
      std::fprintf(stderr, "comfind-render-icons: cannot write %s\n", qPrintable(File));
      return 1;
    }
  }
  return 0;
}
