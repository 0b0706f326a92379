// What assistive technology (AT-SPI on Linux) sees of the up-down control: a
// spin button with a value (the position, within the range) and increase
// and decrease actions that step it as a click on an arrow half does.
#pragma once

namespace qtwin {

// Installs the accessibility factory for up-down controls; idempotent.
void InstallUpDownAccessibility();

}  // namespace qtwin
