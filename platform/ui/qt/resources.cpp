#include "platform/ui/qt/resources.h"

#include <cstring>
#include <set>

namespace qtwin {
namespace {

constexpr int RT_ICON = 3;
constexpr int RT_DIALOG = 5;
constexpr int RT_GROUP_ICON = 14;
constexpr DWORD DS_SETFONT = 0x40;

// A bounds-checked reader over little-endian resource data. Positions and
// sizes are unsigned 64-bit, so no size in the data can overflow them; a
// read or seek past the end fails the reader, and every later read gives 0.
class Reader
{
public:
    explicit Reader(const QByteArray& data)
        : m_data(data), m_size(static_cast<std::uint64_t>(data.size())) {}

    bool ok() const { return m_ok; }
    std::uint64_t pos() const { return m_pos; }
    std::uint64_t size() const { return m_size; }
    void seek(std::uint64_t pos) { if (pos > m_size) m_ok = false; else m_pos = pos; }
    void skip(std::uint64_t n) { if (n > m_size - m_pos) m_ok = false; else m_pos += n; }
    void alignTo(std::uint64_t n) { skip((n - m_pos % n) % n); }
    bool atEnd() const { return m_pos >= m_size; }

    std::uint8_t u8()
    {
        if (!need(1)) return 0;
        return static_cast<std::uint8_t>(m_data[static_cast<qsizetype>(m_pos++)]);
    }
    std::uint16_t u16()
    {
        const std::uint16_t lo = u8();
        return static_cast<std::uint16_t>(lo | (u8() << 8));
    }
    std::uint32_t u32()
    {
        const std::uint32_t lo = u16();
        return lo | (static_cast<std::uint32_t>(u16()) << 16);
    }
    short s16() { return static_cast<short>(u16()); }

    QByteArray bytes(std::uint64_t n)
    {
        if (!need(n)) return {};
        QByteArray b = m_data.mid(static_cast<qsizetype>(m_pos), static_cast<qsizetype>(n));
        m_pos += n;
        return b;
    }

    // A zero-terminated UTF-16 string.
    QString string()
    {
        QString s;
        for (;;) {
            const std::uint16_t c = u16();
            if (!m_ok || c == 0) break;
            s.append(QChar(c));
        }
        return s;
    }

    // A name or ordinal: 0xFFFF then the ordinal, or a string.
    // Returns the ordinal, or -1 with the string in *pName.
    int nameOrOrdinal(QString* pName)
    {
        if (need(2) && static_cast<std::uint8_t>(m_data[static_cast<qsizetype>(m_pos)]) == 0xFF
            && static_cast<std::uint8_t>(m_data[static_cast<qsizetype>(m_pos + 1)]) == 0xFF) {
            m_pos += 2;
            return u16();
        }
        const QString s = string();
        if (pName != nullptr) *pName = s;
        return -1;
    }

private:
    bool need(std::uint64_t n)
    {
        if (!m_ok || n > m_size - m_pos) { m_ok = false; return false; }
        return true;
    }

    const QByteArray& m_data;
    const std::uint64_t m_size;
    std::uint64_t m_pos = 0;
    bool m_ok = true;
};

ControlClass ClassFromOrdinal(int ordinal)
{
    switch (ordinal) {
    case 0x80: return ControlClass::Button;
    case 0x81: return ControlClass::Edit;
    case 0x82: return ControlClass::Static;
    default: return ControlClass::Unknown;
    }
}

ControlClass ClassFromName(const QString& name)
{
    if (name.compare(QLatin1String("Button"), Qt::CaseInsensitive) == 0) return ControlClass::Button;
    if (name.compare(QLatin1String("Edit"), Qt::CaseInsensitive) == 0) return ControlClass::Edit;
    if (name.compare(QLatin1String("Static"), Qt::CaseInsensitive) == 0) return ControlClass::Static;
    if (name.compare(QLatin1String(UPDOWN_CLASSA), Qt::CaseInsensitive) == 0) return ControlClass::UpDown;
    return ControlClass::Unknown;
}

}  // namespace

ResourceFile::ResourceFile(QByteArray data)
{
    // Each resource: DataSize, HeaderSize, TYPE, NAME, (align), DataVersion,
    // MemoryFlags, LanguageId, Version, Characteristics, then the data. Both
    // sizes must fit in what is left, and the fields must fit in the header,
    // so every entry moves the reader forward and the whole read is linear.
    Reader r(data);
    while (!r.atEnd()) {
        const std::uint64_t start = r.pos();
        const std::uint64_t dataSize = r.u32();
        const std::uint64_t headerSize = r.u32();
        if (!r.ok() || headerSize > r.size() - start || dataSize > r.size() - start - headerSize)
            return;
        const std::uint64_t headerEnd = start + headerSize;
        Entry e;
        e.type = r.nameOrOrdinal(nullptr);
        e.name = r.nameOrOrdinal(nullptr);
        r.alignTo(4);
        r.u32();                 // DataVersion
        r.u16();                 // MemoryFlags
        e.language = r.u16();
        r.u32();                 // Version
        r.u32();                 // Characteristics
        if (!r.ok() || r.pos() > headerEnd)
            return;
        r.seek(headerEnd);
        e.data = r.bytes(dataSize);
        if (!r.atEnd())
            r.alignTo(4);
        if (!r.ok())
            return;
        if (dataSize > 0 && e.type >= 0 && e.name >= 0) {
            // The first of two resources with one type and name is the one found.
            m_index.emplace(std::make_pair(e.type, e.name), m_entries.size());
            m_entries.push_back(std::move(e));
        }
    }
    m_valid = true;
}

const ResourceFile& ResourceFile::Module()
{
    static const ResourceFile file(QByteArray::fromRawData(
        reinterpret_cast<const char*>(g_moduleResources), static_cast<qsizetype>(g_moduleResourcesSize)));
    return file;
}

const ResourceFile::Entry* ResourceFile::Find(int type, int name) const
{
    const auto it = m_index.find(std::make_pair(type, name));
    return it == m_index.end() ? nullptr : &m_entries[it->second];
}

std::optional<DialogTemplate> ResourceFile::FindDialog(int id) const
{
    const Entry* e = Find(RT_DIALOG, id);
    if (e == nullptr)
        return std::nullopt;

    // DLGTEMPLATEEX only (the resource compiler writes it for DIALOGEX).
    Reader r(e->data);
    DialogTemplate t;
    t.language = e->language;
    const std::uint16_t version = r.u16();
    const std::uint16_t signature = r.u16();
    if (version != 1 || signature != 0xFFFF)
        return std::nullopt;
    r.u32();                     // help ID
    t.exStyle = r.u32();
    t.style = r.u32();
    const int count = r.u16();
    t.x = r.s16();
    t.y = r.s16();
    t.cx = r.s16();
    t.cy = r.s16();
    r.nameOrOrdinal(nullptr);    // menu
    r.nameOrOrdinal(nullptr);    // window class
    t.caption = r.string();
    if (t.style & DS_SETFONT) {
        t.pointSize = r.u16();
        t.weight = r.u16();
        t.italic = r.u8() != 0;
        t.charset = r.u8();
        t.typeface = r.string();
    }
    for (int i = 0; i < count && r.ok(); ++i) {
        r.alignTo(4);
        DialogItem item;
        r.u32();                 // help ID
        item.exStyle = r.u32();
        item.style = r.u32();
        item.x = r.s16();
        item.y = r.s16();
        item.cx = r.s16();
        item.cy = r.s16();
        item.id = static_cast<int>(r.u32());
        const int classOrdinal = r.nameOrOrdinal(&item.className);
        item.controlClass = classOrdinal >= 0 ? ClassFromOrdinal(classOrdinal) : ClassFromName(item.className);
        const int textOrdinal = r.nameOrOrdinal(&item.text);
        (void)textOrdinal;
        const int extra = r.u16();
        r.bytes(extra);
        t.items.push_back(item);
    }
    if (!r.ok())
        return std::nullopt;
    return t;
}

std::optional<QByteArray> ResourceFile::FindIconFile(int id) const
{
    const Entry* group = Find(RT_GROUP_ICON, id);
    if (group == nullptr)
        return std::nullopt;

    // GRPICONDIR with 14-byte entries that name RT_ICON resources; an .ico
    // file has 16-byte entries that give file offsets instead.
    Reader r(group->data);
    r.u16();
    const std::uint16_t type = r.u16();
    const int count = r.u16();
    if (!r.ok() || type != 1)
        return std::nullopt;

    QByteArray header;
    QByteArray images;
    const int dataStart = 6 + 16 * count;
    auto put16 = [&header](std::uint16_t v) { header.append(char(v & 0xFF)).append(char(v >> 8)); };
    auto put32 = [&put16](std::uint32_t v) { put16(std::uint16_t(v & 0xFFFF)); put16(std::uint16_t(v >> 16)); };
    put16(0);
    put16(1);
    put16(static_cast<std::uint16_t>(count));
    // Each image once: the file stays no larger than the resources it is
    // made of.
    std::set<int> used;
    for (int i = 0; i < count; ++i) {
        const QByteArray fixed = r.bytes(12);   // width, height, colours, reserved, planes, bit count, size
        const int iconId = r.u16();
        const Entry* image = Find(RT_ICON, iconId);
        if (!r.ok() || image == nullptr || !used.insert(iconId).second)
            return std::nullopt;
        header.append(fixed.left(8));
        put32(static_cast<std::uint32_t>(image->data.size()));
        put32(static_cast<std::uint32_t>(dataStart + images.size()));
        images.append(image->data);
    }
    return header + images;
}

}  // namespace qtwin
