// MODE SENSE replies and sense data through ScsiCmd's public operations,
// over an SG_IO that the input scripts: each command gets the status, host
// and driver codes, sense data and data-in bytes the input gives it, within
// what the kernel can hand back. Every result must keep its contract, and
// every command sent must be well formed.
#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fuzz/FuzzInput.h"
#include "scsi/ScsiCmd.h"

namespace {

constexpr int FAKE_FD = 3;

class ScriptedSgIo : public ScsiCmd {
public:
    explicit ScriptedSgIo(FuzzInput& input) : in(input) {}

    // HDIO_SET_WCACHE: accepted, or refused as the SCSI and ATA drivers do.
    int Ioctl(int fd, unsigned long request, unsigned long value) override
    {
        (void)request;
        FUZZ_CHECK(fd == FAKE_FD && value <= 1);
        uint8_t how = in.Byte();
        if ((how & 1) != 0) {
            return 0;
        }
        errno = (how & 2) != 0 ? ENOTTY : EINVAL;
        return -1;
    }

    int IoctlData(int fd, unsigned long request, void* argument) override
    {
        FUZZ_CHECK(fd == FAKE_FD && request == SG_IO);
        auto* header = static_cast<sg_io_hdr*>(argument);
        CheckRequest(*header);
        uint8_t how = in.Byte();
        if (how == 0xff) {
            errno = EIO;
            return -1;
        }
        header->status = static_cast<unsigned char>(in.Byte() & 0x3e);
        header->masked_status = static_cast<unsigned char>(header->status >> 1);
        header->host_status = (how & 1) != 0 ? in.Byte() : 0;
        header->driver_status = (how & 2) != 0 ? in.Byte() : 0;
        header->sb_len_wr = 0;
        if ((how & 4) != 0 && header->sbp != nullptr && header->mx_sb_len > 0) {
            std::string sense = in.Bytes(std::min<size_t>(header->mx_sb_len, in.Byte()));
            std::memcpy(header->sbp, sense.data(), sense.size());
            header->sb_len_wr = static_cast<unsigned char>(sense.size());
        }
        unsigned transferred = 0;
        if (header->dxfer_direction == SG_DXFER_FROM_DEV && header->dxfer_len > 0) {
            std::string reply = in.Bytes(std::min<size_t>(header->dxfer_len, in.Word()));
            std::memcpy(header->dxferp, reply.data(), reply.size());
            transferred = static_cast<unsigned>(reply.size());
        } else if (header->dxfer_direction == SG_DXFER_TO_DEV) {
            transferred = header->dxfer_len;
        }
        header->resid = static_cast<int>(header->dxfer_len - transferred);
        header->info = header->masked_status != 0 || header->host_status != 0 || header->driver_status != 0;
        return 0;
    }

private:
    // What any kernel would refuse or misread, and MODE SELECT's rules:
    // the mode data length is reserved there, and the list is as long as
    // the CDB says.
    static void CheckRequest(const sg_io_hdr& header)
    {
        FUZZ_CHECK(header.interface_id == 'S' && header.cmdp != nullptr);
        FUZZ_CHECK(header.cmd_len == 6 || header.cmd_len == 10 || header.cmd_len == 12 || header.cmd_len == 16);
        FUZZ_CHECK(header.dxfer_len == 0 || header.dxferp != nullptr);
        FUZZ_CHECK(header.dxfer_direction == SG_DXFER_NONE || header.dxfer_direction == SG_DXFER_TO_DEV ||
                   header.dxfer_direction == SG_DXFER_FROM_DEV);
        const unsigned char* cdb = header.cmdp;
        const auto* list = static_cast<const unsigned char*>(header.dxferp);
        if (cdb[0] == 0x55) {
            FUZZ_CHECK(header.dxfer_len == static_cast<unsigned>((cdb[7] << 8) | cdb[8]));
            FUZZ_CHECK(header.dxfer_len < 8 || (list[0] == 0 && list[1] == 0));
        } else if (cdb[0] == 0x15) {
            FUZZ_CHECK(header.dxfer_len == cdb[4]);
            FUZZ_CHECK(header.dxfer_len < 4 || list[0] == 0);
        }
    }

    FuzzInput& in;
};

// Reads every byte of a buffer that a mode sense handed out.
void Touch(const unsigned char* buffer, uint32_t length)
{
    volatile unsigned sum = 0;
    for (uint32_t i = 0; i < length; ++i) {
        sum = sum + buffer[i];
    }
    (void)sum;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    EnterScratchHost();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    ScriptedSgIo disk(in);
    const unsigned char caching[2] = {0x08, 0x00};
    for (int step = 0; step < 6 && !in.Empty(); ++step) {
        const uint8_t op = in.Byte();
        switch (op % 5) {
        case 0: {
            int result = disk.SetWriteCache(FAKE_FD, (op >> 3) & 1);
            FUZZ_CHECK(result == -1 || result == 0 || result == 1);
            break;
        }
        case 1: {
            int result = disk.SyncCache(FAKE_FD);
            FUZZ_CHECK(result == 0 || result == 1);
            break;
        }
        case 2: {
            int wce = 7;
            int result = disk.GetWriteCache(FAKE_FD, (op >> 3) & 3, &wce);
            FUZZ_CHECK(result == 1 || (result == 0 && (wce == 0 || wce == 1)));
            break;
        }
        default: {
            unsigned char* buffer = nullptr;
            uint32_t length = 0;
            int pageControl = (op >> 3) & 3;
            int result = op % 5 == 3 ? disk.ModeSense6(FAKE_FD, pageControl, caching, &buffer, &length)
                                     : disk.ModeSense10(FAKE_FD, pageControl, caching, &buffer, &length);
            FUZZ_CHECK(result == 0 || result == 1);
            FUZZ_CHECK((result == 0) == (buffer != nullptr));
            if (buffer != nullptr) {
                FUZZ_CHECK(length > 0);
                Touch(buffer, length);
                std::free(buffer);
            }
            break;
        }
        }
    }
    return 0;
}
