// Process entry on Linux: the toolkit's application object, then the
// framework's entry.
#include "platform/ui/afxwin.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // The tool takes no arguments: the toolkit sees none either (its own
    // settings come from the environment, QT_QPA_PLATFORM and the like).
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);
    return AfxWinMain(::GetModuleHandleA(nullptr), nullptr, nullptr, 0);
}
