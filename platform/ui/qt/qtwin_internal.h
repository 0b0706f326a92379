// The Qt back end's own view of a window handle, for tools and tests that
// need the widget behind a handle.
#pragma once

#include "platform/ui/qt/winapi_qt.h"

class QWidget;

namespace qtwin {

QWidget* WidgetFromHwnd(HWND hWnd);
HWND HwndFromWidget(const QWidget* pWidget);

// The typeface the back end uses for a dialog template's typeface.
const char* SubstituteTypeface(const char* pszTypeface);

}  // namespace qtwin
