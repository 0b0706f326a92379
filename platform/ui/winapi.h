// The window-system API the framework is written against: Win32's own
// functions, messages and numeric values. On Windows this is the real API; on
// Linux the Qt back end provides the same subset.
#pragma once

#if defined(_WIN32)
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#  include <commctrl.h>
#else
#  include "platform/ui/qt/winapi_qt.h"
#endif
