// Process entry on Linux: the toolkit's application object and the
// shutdown signals, then the framework's entry.
#include "app/command_line.h"
#include "platform/ui/afxwin.h"
#include "platform/ui/qt/shutdown_signals.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    // A closed stdout or stderr (a pipe whose reader has gone) makes a
    // write fail, from the first warning on, and never ends the tool.
    qtwin::SurviveBrokenPipes();
    // --help and --version answer before anything needs a display.
    if (const int status = AnswerCommandLine(argc, argv, stdout); status >= 0)
        return status;
    // The tool takes no other arguments: the toolkit sees none either (its own
    // settings come from the environment, QT_QPA_PLATFORM and the like).
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);
    // Asked to end by a signal, the tool cancels its dialog as a user would.
    qtwin::CancelOnShutdownSignals();
    return AfxWinMain(::GetModuleHandleA(nullptr), nullptr, nullptr, 0);
}
