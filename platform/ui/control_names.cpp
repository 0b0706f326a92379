#include "platform/ui/control_names.h"

#include "platform/ui/winapi.h"

namespace afx {

NamedControl::Kind StaticKind(unsigned long style)
{
    switch (style & SS_TYPEMASK) {
    case SS_LEFT:
    case SS_CENTER:
    case SS_RIGHT:
    case SS_SIMPLE:
    case SS_LEFTNOWORDWRAP:
        return NamedControl::Kind::Text;
    default:
        return NamedControl::Kind::Picture;
    }
}

namespace {

bool IsSpace(char c)
{
    return c == ' ' || c == '\t';
}

// Drops spaces at both ends, in place.
void Trim(char* s)
{
    int n = 0;
    while (s[n] != '\0')
        ++n;
    while (n > 0 && IsSpace(s[n - 1]))
        s[--n] = '\0';
    int start = 0;
    while (IsSpace(s[start]))
        ++start;
    if (start > 0) {
        int i = 0;
        while ((s[i] = s[i + start]) != '\0')
            ++i;
    }
}

// The label of control i: on its row to its left, the nearest; else the
// static text just before it.
int FindLabel(const NamedControl* controls, int count, int i)
{
    const NamedControl& control = controls[i];
    int label = -1;
    long long labelRight = 0;
    for (int j = 0; j < count; ++j) {
        const NamedControl& text = controls[j];
        if (text.kind != NamedControl::Kind::Text)
            continue;
        const long long middle2 = 2LL * text.y + text.cy;   // twice the vertical middle
        const long long right = static_cast<long long>(text.x) + text.cx;
        if (middle2 < 2LL * control.y || middle2 > 2LL * control.y + 2LL * control.cy || right > control.x)
            continue;
        if (label < 0 || right > labelRight) {
            label = j;
            labelRight = right;
        }
    }
    if (label < 0 && i > 0 && controls[i - 1].kind == NamedControl::Kind::Text)
        label = i - 1;
    return label;
}

}  // namespace

void CopyWithoutMnemonic(const char* text, char* out, int size)
{
    if (out == nullptr || size <= 0)
        return;
    int n = 0;
    for (const char* p = text ? text : ""; *p != '\0'; ++p) {
        if (*p == '&') {
            ++p;             // the marker goes; "&&" leaves one "&"
            if (*p == '\0')
                break;
        }
        // A character starts at a byte that is not a continuation byte; cut
        // before one that would not fit whole.
        if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) {
            int length = 1;
            while ((static_cast<unsigned char>(p[length]) & 0xC0) == 0x80)
                ++length;
            if (n + length > size - 1)
                break;
        }
        out[n++] = *p;
    }
    out[n] = '\0';
}

void NameControls(const NamedControl* controls, int count, ControlName* names)
{
    for (int i = 0; i < count; ++i) {
        const NamedControl& control = controls[i];
        ControlName& result = names[i];
        result.name[0] = '\0';
        result.label = -1;
        switch (control.kind) {
        case NamedControl::Kind::Text:
        case NamedControl::Kind::Button:
            CopyWithoutMnemonic(control.text, result.name, MaxControlName);
            continue;
        case NamedControl::Kind::Picture:
            continue;
        case NamedControl::Kind::Edit:
        case NamedControl::Kind::UpDown:
        case NamedControl::Kind::Other:
            break;
        }
        const int label = FindLabel(controls, count, i);
        if (label < 0)
            continue;
        CopyWithoutMnemonic(controls[label].text, result.name, MaxControlName);
        Trim(result.name);
        if (control.kind != NamedControl::Kind::Edit) {
            int n = 0;
            while (result.name[n] != '\0')
                ++n;
            if (n > 0 && result.name[n - 1] == ':') {
                result.name[n - 1] = '\0';
                Trim(result.name);
            }
        }
        result.label = label;
    }
}

}  // namespace afx
