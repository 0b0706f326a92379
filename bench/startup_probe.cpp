// tavrik-sim with the start-up probe (bench/first_paint.h): the same
// application, dialog and simulated card; the dialog is closed through its
// close box.
#include "bench/first_paint.h"
#include "platform/ui/afxwin.h"

int main(int argc, char* argv[])
{
    bench::ProbedApplication application(argc, argv);
    return AfxWinMain(::GetModuleHandleA(nullptr), nullptr, nullptr, 0);
}
