// Writes the window's logo as the application icon, one PNG per size, at build time, so the
// icon in the desktop menu is the very picture the window shows and never goes stale.
//
//   comfind-render-icons DIR SIZE...   writes DIR/SIZExSIZE/apps/comfind.png for every SIZE
//
// Runs without a display: the logo's text needs a font database, which only a
// QGuiApplication provides, so the offscreen platform is chosen unless one was named.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QString>
#include <cstdio>
#include <cstdlib>

#include "ui/qt/Logo.h"

using namespace comfind;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: comfind-render-icons DIR SIZE...\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication Application(argc, argv);

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
