// The label in block 0 of every bluestore device, and the LVM label that a
// physical volume keeps in the same block.
//
// A bluestore label is a line of text, "bluestore block device\n", the OSD's
// uuid and a line end, then an encoded record (version, compatible version,
// length) holding the uuid again in 16 raw bytes, the device's size, its
// birth time, what the device is to the OSD ("main", "bluefs db", "bluefs
// wal") and, on the main device, a map of the OSD's meta data. A CRC-32C of
// every byte before it follows. All numbers are little-endian.
#ifndef QUELVAR_OSD_BLUESTORELABEL_H
#define QUELVAR_OSD_BLUESTORELABEL_H

#include <cstddef>
#include <cstdint>
#include <string>

// What is read of each device: the label and LVM's label both lie within it.
constexpr size_t BLOCK0_SIZE = 4096;

// What a device is to its OSD, from the label's description.
enum class LabelRole {
    Main,  // "main": the OSD's block device
    Db,    // "bluefs db"
    Wal,   // "bluefs wal"
    Other, // a description this daemon does not know
};

struct BluestoreLabel {
    std::string osdUuid;  // 36 characters, lower case as written
    LabelRole role = LabelRole::Other;
    std::string whoami;   // the OSD's id, from a main label's meta data; may be empty
};

// The label's fixed head, as it lies at the start of block 0.
struct __attribute__((packed)) BluestoreLabelHead {
    char magic[23];      // "bluestore block device\n"
    char uuidText[36];
    char lineEnd;        // "\n"
    uint8_t structV;     // the record's version
    uint8_t structCompat;// the oldest version that can read it
    uint32_t length;     // bytes of the record after this field
};
static_assert(sizeof(BluestoreLabelHead) == 66, "the record begins at byte 66");
static_assert(offsetof(BluestoreLabelHead, structV) == 60, "the version follows the text line");
static_assert(offsetof(BluestoreLabelHead, length) == 62, "the length follows the two versions");

// The record's fixed fields, first after the head.
struct __attribute__((packed)) BluestoreLabelFixed {
    uint8_t uuid[16];
    uint64_t size;
    uint32_t birthSeconds;
    uint32_t birthNanoseconds;
};
static_assert(sizeof(BluestoreLabelFixed) == 32, "the description's length follows at byte 98");

// The newest record layout read here; a later one is read as far as it
// keeps this one's fields, which its compatible version says.
constexpr uint8_t BLUESTORE_LABEL_VERSION = 2;

// CRC-32C (Castagnoli, reflected) of `size` bytes, continuing from `crc`
// without the customary inversions: the standard CRC of a text is
// Crc32c(0xFFFFFFFF, ...) ^ 0xFFFFFFFF, and the label stores
// Crc32c(0xFFFFFFFF, ...) as it is.
[[nodiscard]] uint32_t Crc32c(uint32_t crc, const unsigned char* data, size_t size);

// 0 when block 0 (`size` bytes) holds a bluestore label whose text line,
// record and CRC all check, the label then in `label`; -1 otherwise. Of the
// meta data only "whoami" is kept: the map also holds the OSD's key.
[[nodiscard]] int ParseBluestoreLabel(const unsigned char* block, size_t size, BluestoreLabel& label);

// True when one of the first four 512-byte sectors holds LVM's label
// ("LABELONE", then the type "LVM2 001" at byte 24): a physical volume.
[[nodiscard]] bool HasLvmLabel(const unsigned char* block, size_t size);

#endif
