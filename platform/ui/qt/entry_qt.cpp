// Process entry on Linux: the toolkit's application object, then the
// framework's entry.
#include "platform/ui/afxwin.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    return AfxWinMain(::GetModuleHandleA(nullptr), nullptr, nullptr, 0);
}
