// What assistive technology (AT-SPI on Linux) sees of an edit control: its
// text, and, only when the control is not read-only, a way to change it that
// keeps to the control's rules. A read-only box offers no editing at all, so
// a write from outside (set, insert, delete, cut, paste) is refused and the
// tool that tried is told; a digits-only box takes only text that leaves
// digits in it.
#pragma once

namespace qtwin {

// Installs the accessibility factory for edit controls; idempotent.
void InstallEditAccessibility();

}  // namespace qtwin
