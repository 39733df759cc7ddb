// Identifiers of the program's resources (comfind.rc), shared by the resource script and the
// code; plain defines, as the resource compiler reads them.
#pragma once

// The application icon: the first icon group, which Explorer shows for the file.
#define IDI_COMFIND 1
// The logo of the window (RCDATA): a 32-bit BMP with alpha, rendered from the same drawing as
// the Linux window's logo.
#define IDR_LOGO 2
