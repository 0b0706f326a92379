// Fuzz target: the compiled-resource reader must end on any input, in time
// linear in its size, with resources or a rejection and without undefined
// behaviour; whatever it accepts, looking things up in it must be safe too.
#include "platform/ui/qt/resources.h"

#include <cstddef>
#include <cstdint>

// The reader's own module resources are not part of this program.
extern "C" const unsigned char g_moduleResources[] = {0};
extern "C" const std::size_t g_moduleResourcesSize = 0;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const qtwin::ResourceFile file(
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    if (!file.IsValid())
        return 0;
    // The tool's own identifiers, and a few others.
    for (int id : {102, 128, 1, 2, 0, 0xFFFF}) {
        if (const auto dialog = file.FindDialog(id))
            (void)dialog->items.size();
        if (const auto icon = file.FindIconFile(id))
            (void)icon->size();
    }
    return 0;
}
