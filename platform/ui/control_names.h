// The names assistive technology gives a dialog's controls: one rule for
// every back end, over the controls as the dialog template lists them.
//
// Buttons and static texts are named by their own text. A control without
// text of its own (an edit, an up-down control) is named by a label: the
// nearest static text to the left of it on the same row (its vertical middle
// within the control's height, ending where the control begins or before),
// failing that the static text just before it in template order (the rule
// the window system itself applies). The row comes first because templates
// do not always keep a label in front of its control. An edit takes the
// label's text as it reads, an up-down control the name of what it steps:
// the label's text without its closing colon. Mnemonic markers never count.
//
// No allocation and no standard library containers: the Windows product
// stays small.
#pragma once

namespace afx {

struct NamedControl
{
    enum class Kind
    {
        Text,      // a static control that shows text
        Button,
        Edit,
        UpDown,
        Picture,   // a static control that shows no text (icon, frame)
        Other,
    };
    Kind kind = Kind::Other;
    // Position and size, all in one unit (dialog units, or pixels).
    int x = 0, y = 0, cx = 0, cy = 0;
    const char* text = "";   // UTF-8, as the template gives it; not owned
};

// Longest name kept, in bytes with its terminator; longer ones are cut at a
// character boundary.
constexpr int MaxControlName = 256;

struct ControlName
{
    char name[MaxControlName] = {};   // UTF-8; empty for a control with no name
    int label = -1;                   // index of the static text it was named after, or -1
};

// A static control's kind by its style: the text styles show text, the
// others (icon, bitmap, frame, rectangle) a picture.
NamedControl::Kind StaticKind(unsigned long style);

// names[i] for controls[i], count of each, in template order.
void NameControls(const NamedControl* controls, int count, ControlName* names);

// A text as it reads, mnemonic markers gone ("&&" is a plain "&"), into a
// buffer of size bytes, cut at a character boundary to fit and terminated.
void CopyWithoutMnemonic(const char* text, char* out, int size);

}  // namespace afx
