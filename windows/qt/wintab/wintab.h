/* Qt's Windows platform plugin includes <wintab.h> and <pktdef.h> from src/3rdparty/wintab, which Debian's
 * source tarball leaves out. Wine's own headers (LGPL, from libwine-dev) declare the same interface; the build
 * copies them beside this file as wine-wintab.h and pktdef.h. They use two of Wine's macros for the A/W pairs
 * that mingw-w64's headers lack, and leave out one macro of the vendor's header that Qt uses; all three are
 * defined here as those headers define them for a Windows program. */
#ifndef ROBOT_CONSOLE_WINTAB_SHIM_H
#define ROBOT_CONSOLE_WINTAB_SHIM_H

#include <windows.h>

#ifndef WINELIB_NAME_AW
#  ifdef UNICODE
#    define WINELIB_NAME_AW(name) name##W
#  else
#    define WINELIB_NAME_AW(name) name##A
#  endif
#endif
#ifndef DECL_WINELIB_TYPE_AW
#  define DECL_WINELIB_TYPE_AW(type) typedef WINELIB_NAME_AW(type) type;
#endif

#include "wine-wintab.h"

/* The calling convention macro that the tablet vendor's header defines, and Qt's code uses. */
#ifndef API
#  define API WINAPI
#endif

#endif
