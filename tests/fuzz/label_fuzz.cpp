// Block 0 of a device as anyone who can write the device leaves it, to the
// bluestore label's reader and the LVM label's test, and tag lists to the
// tags' reader: no read past the block, and what is taken keeps its rules.
#include <cstring>
#include <string>

#include "fuzz/FuzzInput.h"
#include "osd/BluestoreLabel.h"
#include "osd/OsdRoots.h"
#include "osd/OsdSource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    // With the first byte odd, the CRC is written where the record's length
    // says it lies, so that the input reaches what follows the check.
    const bool crc = (in.Byte() & 1) != 0;
    const std::string tags = in.Chunk();
    std::string block = in.Bytes(BLOCK0_SIZE);
    const size_t size0 = block.size();
    block.resize(BLOCK0_SIZE, '\0');
    auto* bytes = reinterpret_cast<unsigned char*>(&block[0]);
    if (crc && size0 >= 66) {
        uint32_t length = 0;
        std::memcpy(&length, bytes + 62, sizeof(length));
        if (length <= BLOCK0_SIZE - 70) {
            const uint32_t value = Crc32c(0xFFFFFFFF, bytes, 66 + length);
            std::memcpy(bytes + 66 + length, &value, sizeof(value));
        }
    }
    // Only the bytes read are handed over: a short read must not be read past.
    BluestoreLabel label;
    if (ParseBluestoreLabel(bytes, size0, label) == 0) {
        FUZZ_CHECK(IsUuidName(label.osdUuid));
        FUZZ_CHECK(label.whoami.size() <= 10 && label.whoami.find_first_not_of("0123456789") == std::string::npos);
    }
    (void)HasLvmLabel(bytes, size0);
    for (const auto& tag : ParseLvTags(tags)) {
        FUZZ_CHECK(tag.first != "ceph.cephx_lockbox_secret" && tag.first.find_first_of(",=") == std::string::npos);
    }
    return 0;
}
