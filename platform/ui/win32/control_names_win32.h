// Windows: the controls of a dialog get the names the shared rule gives them
// (platform/ui/control_names.h), through the system's dynamic annotation
// (IAccPropServices::SetHwndPropStr with PROPID_ACC_NAME), once when the
// dialog is built; they are cleared again when it goes. Only the controls
// named after a label are annotated: the others have text of their own,
// which the system reads. A failed call leaves the control as it was.
#pragma once

#include <windows.h>

namespace afxwin32 {

void AnnotateControlNames(HWND hDlg);
void ClearControlNames(HWND hDlg);

}  // namespace afxwin32
