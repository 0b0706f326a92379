// The module's compiled resources (the .res the resource compiler makes of
// the resource script), read the way Windows reads them: dialog templates
// and icon groups by identifier.
#pragma once

#include "platform/ui/qt/winapi_qt.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

// Defined by the build: the bytes of the compiled resource file.
extern "C" const unsigned char g_moduleResources[];
extern "C" const std::size_t g_moduleResourcesSize;

namespace qtwin {

// A window class as a dialog template names it: one of the predefined
// ordinals, or a registered class name.
enum class ControlClass { Button, Edit, Static, UpDown, Unknown };

struct DialogItem
{
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;   // dialog units
    int id = 0;
    ControlClass controlClass = ControlClass::Unknown;
    QString className;
    QString text;
};

struct DialogTemplate
{
    WORD language = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;   // dialog units
    QString caption;
    WORD pointSize = 0;                    // with DS_SETFONT
    WORD weight = 0;
    bool italic = false;
    BYTE charset = 0;
    QString typeface;
    std::vector<DialogItem> items;
};

class ResourceFile
{
public:
    // Parses a compiled resource file; malformed data gives no resources.
    // Any input ends, in time linear in its size.
    explicit ResourceFile(QByteArray data);

    // The one in the build.
    static const ResourceFile& Module();

    std::optional<DialogTemplate> FindDialog(int id) const;
    // The icon group as an .ico file image, with all its images.
    std::optional<QByteArray> FindIconFile(int id) const;

    bool IsValid() const { return m_valid; }

private:
    struct Entry
    {
        int type = 0;        // ordinal types only
        int name = 0;        // ordinal names only
        WORD language = 0;
        QByteArray data;
    };

    const Entry* Find(int type, int name) const;

    std::vector<Entry> m_entries;
    std::map<std::pair<int, int>, std::size_t> m_index;   // (type, name) to entry
    bool m_valid = false;
};

}  // namespace qtwin
