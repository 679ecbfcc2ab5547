#include "osd/BluestoreLabel.h"

#include <endian.h>

#include <array>
#include <cstring>

#include "osd/OsdRoots.h"

namespace {

constexpr char LABEL_MAGIC[] = "bluestore block device\n";
constexpr uint32_t CRC32C_POLY = 0x82F63B78;  // Castagnoli's polynomial, reflected

constexpr std::array<uint32_t, 256> Crc32cTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? (crc >> 1) ^ CRC32C_POLY : crc >> 1;
        }
        table[byte] = crc;
    }
    return table;
}

constexpr std::array<uint32_t, 256> CRC32C_TABLE = Crc32cTable();

constexpr uint32_t Crc32cOf(uint32_t crc, const char* text, size_t size)
{
    for (size_t at = 0; at < size; ++at) {
        crc = CRC32C_TABLE[(crc ^ static_cast<unsigned char>(text[at])) & 0xFF] ^ (crc >> 8);
    }
    return crc;
}

// The check value every CRC-32C implementation is held to (RFC 3720, B.4).
static_assert((Crc32cOf(0xFFFFFFFF, "123456789", 9) ^ 0xFFFFFFFF) == 0xE3069283, "CRC-32C check value");

// Reads the record's little-endian fields in order, never past its end.
class RecordReader {
public:
    RecordReader(const unsigned char* data, size_t size) : at(data), end(data + size) {}

    bool U32(uint32_t& value)
    {
        if (Left() < sizeof(value)) {
            return false;
        }
        std::memcpy(&value, at, sizeof(value));
        value = le32toh(value);
        at += sizeof(value);
        return true;
    }
    // A string: its u32 length, then its bytes; `text` may be null to skip it.
    bool Text(std::string* text)
    {
        uint32_t length = 0;
        if (!U32(length) || Left() < length) {
            return false;
        }
        if (text != nullptr) {
            text->assign(reinterpret_cast<const char*>(at), length);
        }
        at += length;
        return true;
    }
private:
    size_t Left() const { return static_cast<size_t>(end - at); }
    const unsigned char* at;
    const unsigned char* end;
};

LabelRole RoleOf(const std::string& description)
{
    return description == "main"         ? LabelRole::Main
           : description == "bluefs db"  ? LabelRole::Db
           : description == "bluefs wal" ? LabelRole::Wal
                                         : LabelRole::Other;
}

// The 16 raw bytes of a uuid in its text form, for comparison with the
// text line.
std::string UuidText(const uint8_t (&uuid)[16])
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t at = 0; at < sizeof(uuid); ++at) {
        if (at == 4 || at == 6 || at == 8 || at == 10) {
            text += '-';
        }
        text += digits[uuid[at] >> 4];
        text += digits[uuid[at] & 0xF];
    }
    return text;
}

} // namespace

uint32_t Crc32c(uint32_t crc, const unsigned char* data, size_t size)
{
    return Crc32cOf(crc, reinterpret_cast<const char*>(data), size);
}

int ParseBluestoreLabel(const unsigned char* block, size_t size, BluestoreLabel& label)
{
    BluestoreLabelHead head{};
    uint32_t stored = 0;
    // Room for the head and the CRC at least, so that the room left for
    // the record below cannot underflow.
    if (size < sizeof(head) + sizeof(stored)) {
        return -1;
    }
    std::memcpy(&head, block, sizeof(head));
    const std::string uuid(head.uuidText, sizeof(head.uuidText));
    const uint32_t length = le32toh(head.length);
    BluestoreLabelFixed fixed{};
    // The record (its fixed fields at least) and its CRC must lie within
    // what was read.
    if (std::memcmp(head.magic, LABEL_MAGIC, sizeof(head.magic)) != 0 || head.lineEnd != '\n' ||
        !IsUuidName(uuid) || head.structCompat > BLUESTORE_LABEL_VERSION || length < sizeof(fixed) ||
        length > size - sizeof(head) - sizeof(stored)) {
        return -1;
    }
    const size_t covered = sizeof(head) + length;
    std::memcpy(&stored, block + covered, sizeof(stored));
    if (le32toh(stored) != Crc32c(0xFFFFFFFF, block, covered)) {
        return -1;
    }
    std::memcpy(&fixed, block + sizeof(head), sizeof(fixed));
    RecordReader record(block + sizeof(head) + sizeof(fixed), length - sizeof(fixed));
    std::string description;
    if (UuidText(fixed.uuid) != uuid || !record.Text(&description)) {
        return -1;
    }
    BluestoreLabel found;
    found.osdUuid = uuid;
    found.role = RoleOf(description);
    // The first version had no meta data.
    uint32_t count = 0;
    if (head.structV >= 2 && !record.U32(count)) {
        return -1;
    }
    for (uint32_t pair = 0; pair < count; ++pair) {
        std::string key;
        if (!record.Text(&key)) {
            return -1;
        }
        // Only the id is taken; no other value (the OSD's key among them)
        // is ever copied out of the block.
        std::string value;
        if (!record.Text(key == "whoami" ? &value : nullptr)) {
            return -1;
        }
        if (key == "whoami" && IsOsdId(value)) {
            found.whoami = value;
        }
    }
    label = found;
    return 0;
}

bool HasLvmLabel(const unsigned char* block, size_t size)
{
    constexpr size_t SECTOR = 512;
    for (size_t sector = 0; sector < 4 && (sector + 1) * SECTOR <= size; ++sector) {
        const unsigned char* at = block + sector * SECTOR;
        if (std::memcmp(at, "LABELONE", 8) == 0 && std::memcmp(at + 24, "LVM2 001", 8) == 0) {
            return true;
        }
    }
    return false;
}
