#include "platform/ui/control_names.h"

namespace afx {
namespace {

std::string Trimmed(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

// The label of control i: on its row to its left, the nearest; else the
// static text just before it.
int FindLabel(const std::vector<NamedControl>& controls, std::size_t i)
{
    const NamedControl& control = controls[i];
    int label = -1;
    long long labelRight = 0;
    for (std::size_t j = 0; j < controls.size(); ++j) {
        const NamedControl& text = controls[j];
        if (text.kind != NamedControl::Kind::Text)
            continue;
        const long long middle2 = 2LL * text.y + text.cy;   // twice the vertical middle
        const long long right = static_cast<long long>(text.x) + text.cx;
        if (middle2 < 2LL * control.y || middle2 > 2LL * control.y + 2LL * control.cy || right > control.x)
            continue;
        if (label < 0 || right > labelRight) {
            label = static_cast<int>(j);
            labelRight = right;
        }
    }
    if (label < 0 && i > 0 && controls[i - 1].kind == NamedControl::Kind::Text)
        label = static_cast<int>(i - 1);
    return label;
}

}  // namespace

std::string WithoutMnemonic(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&') {
            if (i + 1 < text.size() && text[i + 1] == '&')
                out += '&';
            ++i;
            if (i < text.size() && text[i] != '&')
                out += text[i];
            continue;
        }
        out += text[i];
    }
    return out;
}

std::vector<ControlName> NameControls(const std::vector<NamedControl>& controls)
{
    std::vector<ControlName> names(controls.size());
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const NamedControl& control = controls[i];
        switch (control.kind) {
        case NamedControl::Kind::Text:
        case NamedControl::Kind::Button:
            names[i].name = WithoutMnemonic(control.text);
            continue;
        case NamedControl::Kind::Picture:
            continue;
        case NamedControl::Kind::Edit:
        case NamedControl::Kind::UpDown:
        case NamedControl::Kind::Other:
            break;
        }
        const int label = FindLabel(controls, i);
        if (label < 0)
            continue;
        std::string name = Trimmed(WithoutMnemonic(controls[static_cast<std::size_t>(label)].text));
        if (control.kind != NamedControl::Kind::Edit && !name.empty() && name.back() == ':')
            name = Trimmed(name.substr(0, name.size() - 1));
        names[i].name = name;
        names[i].label = label;
    }
    return names;
}

}  // namespace afx
