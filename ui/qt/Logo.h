// The program's logo: a serial connector under a magnifying glass, drawn at the asked size
// so that it stays sharp at any scale.
#pragma once

#include <QImage>

namespace comfind {

QImage DrawLogo(int Size);

}  // namespace comfind
