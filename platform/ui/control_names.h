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
#pragma once

#include <string>
#include <vector>

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
    std::string text;   // UTF-8, as the template gives it
};

struct ControlName
{
    std::string name;   // UTF-8; empty for a control with no name
    int label = -1;     // index of the static text it was named after, or -1
};

// One name per control, in the order given (template order).
std::vector<ControlName> NameControls(const std::vector<NamedControl>& controls);

// A control's text as it reads: mnemonic markers gone ("&&" is a plain "&").
std::string WithoutMnemonic(const std::string& text);

}  // namespace afx
