// Resource identifiers of the tuning dialog and the application icon.
// Included by the resource script and by the code.
#pragma once

#define IDR_MAINFRAME                   128
#define IDD_TUNING_DIALOG               102

#define IDC_EDIT_VIDEO_PID              1002
#define IDC_SPIN_VIDEO_PID              1003
#define IDC_EDIT_AUDIO_PID              1004
#define IDC_SPIN_AUDIO_PID              1005
#define IDC_REFRESH                     1006
#define IDC_EDIT_FREQUENCY              1007
#define IDC_SPIN_FREQUENCY              1008
#define IDC_EDIT_SYMBOL_RATE            1009

#ifndef IDC_STATIC
#define IDC_STATIC                      (-1)
#endif
