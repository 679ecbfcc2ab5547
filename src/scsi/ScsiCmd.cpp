#include "scsi/ScsiCmd.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "scsi/ScsiDefs.h"
#include "sys/Log.h"
#include "sys/SafeString.h"

namespace {

struct FreeDeleter {
    void operator()(unsigned char* data) const { free(data); }
};
// Mode data is malloc'ed because ModeSense6/10 hand it to callers that free it.
using MallocBuffer = std::unique_ptr<unsigned char, FreeDeleter>;

constexpr unsigned char CACHING_PAGE_SELECTOR[2] = {CACHING_PAGE_CODE, 0};
constexpr int PAGE_CONTROL_CURRENT = 0;

// A zeroed buffer of `length` bytes, or null (logged).
MallocBuffer AllocateZeroed(uint32_t length)
{
    MallocBuffer buffer(static_cast<unsigned char*>(malloc(length)));
    if (!buffer) {
        WriteLog(LOG_ERROR, "malloc memory failed!\n");
        return buffer;
    }
    (void)memset_s(buffer.get(), length, 0, length);
    return buffer;
}

// The CDB, sense buffer and request of one command, zeroed before they are
// filled; it lives on the stack for one synchronous SG_IO call.
struct CommandFrame {
    unsigned char cdb[SCSI_CDB_MAX];
    unsigned char sense[SCSI_SENSE_LENGTH];
    SgRequest request;

    CommandFrame(int32_t cdbLength, int32_t direction, unsigned char* data, int32_t dataLength)
    {
        (void)memset_s(cdb, sizeof(cdb), 0, sizeof(cdb));
        (void)memset_s(sense, sizeof(sense), 0, sizeof(sense));
        (void)memset_s(&request, sizeof(request), 0, sizeof(request));
        request.cdb = cdb;
        request.cdbLength = cdbLength;
        request.direction = direction;
        request.data = data;
        request.dataLength = dataLength;
        request.sense = sense;
        request.senseLength = SCSI_SENSE_LENGTH;
    }
    CommandFrame(const CommandFrame&) = delete;
    CommandFrame& operator=(const CommandFrame&) = delete;
};

uint32_t HeaderLength(int form)
{
    return form == SCSI_FORM_TEN_BYTE ? MODE_HEADER10_LENGTH : MODE_HEADER6_LENGTH;
}

// Mode data length counts the bytes after itself: one byte in the six-byte
// header, two in the ten-byte one.
uint32_t ModeDataTotal(const unsigned char* data, int form)
{
    if (form == SCSI_FORM_TEN_BYTE) {
        return ((static_cast<uint32_t>(data[0]) << 8) | data[1]) + 2;
    }
    return static_cast<uint32_t>(data[0]) + 1;
}

uint32_t BlockDescriptorLength(const unsigned char* data, int form)
{
    if (form == SCSI_FORM_TEN_BYTE) {
        return (static_cast<uint32_t>(data[MODE_HEADER10_BD_LENGTH]) << 8) |
               data[MODE_HEADER10_BD_LENGTH + 1];
    }
    return data[MODE_HEADER6_BD_LENGTH];
}

// The Caching page among the pages after the block descriptors, found by its
// page code (a device may put another page first), or null when it is not
// there or the data is too short to hold all of its 20 bytes.
unsigned char* CachingPage(unsigned char* data, uint32_t length, int form)
{
    uint32_t offset = HeaderLength(form) + BlockDescriptorLength(data, form);
    // Page_0 format has a one-byte page length at byte 1; sub_page format
    // (SPF, bit 6 of byte 0) a two-byte one at bytes 2-3 (SPC-4 7.5.7).
    while (offset + 2 <= length) {
        unsigned char* page = data + offset;
        const bool subpageFormat = (page[0] & MODE_PAGE_SPF) != 0;
        if (!subpageFormat && (page[0] & MODE_PAGE_CODE_MASK) == CACHING_PAGE_CODE) {
            return offset + CACHING_PAGE_LENGTH <= length ? page : nullptr;
        }
        if (subpageFormat) {
            if (offset + 4 > length) {
                break;
            }
            offset += 4 + ((static_cast<uint32_t>(page[2]) << 8) | page[3]);
        } else {
            offset += 2 + page[1];
        }
    }
    return nullptr;
}

// WCE of the Caching page in `length` bytes of mode data. True with *wce set
// to 0 or 1; false when the page is not there whole.
bool CachingWce(unsigned char* data, uint32_t length, int form, int* wce)
{
    const unsigned char* page = CachingPage(data, length, form);
    if (page == nullptr) {
        return false;
    }
    *wce = (page[CACHING_PAGE_FLAGS] & CACHING_PAGE_WCE) != 0 ? 1 : 0;
    return true;
}

// What really is mode data of a MODE SENSE: what the data announces, cut to
// the allocation and to what the device transferred.
uint32_t ReceivedModeData(uint32_t announced, uint32_t allocation, int32_t transferred)
{
    return std::min({announced, allocation, static_cast<uint32_t>(transferred)});
}

// Turns mode data read by MODE SENSE into a MODE SELECT parameter list. The
// mode data length is reserved there (SPC-4 7.5.5), and so are the
// device-specific parameter of a direct-access device (WP, DPOFUA; SBC-3
// 6.5.1) and each page's PS bit (SPC-4 7.5.7). A device may check reserved
// fields and reject the whole list, so all three are cleared; the rest is
// sent back as read.
void PrepareParameterList(ModeBuffer* buffer, int form)
{
    unsigned char* data = buffer->data;
    uint32_t length = static_cast<uint32_t>(buffer->length);
    uint32_t offset = HeaderLength(form);
    if (length < offset) {
        return;
    }
    data[0] = 0;
    if (form == SCSI_FORM_TEN_BYTE) {
        data[1] = 0;
        data[MODE_HEADER10_DEVICE_SPECIFIC] = 0;
    } else {
        data[MODE_HEADER6_DEVICE_SPECIFIC] = 0;
    }
    offset += BlockDescriptorLength(data, form);
    // Page_0 format has a one-byte page length at byte 1; sub_page format
    // (SPF, bit 6 of byte 0) a two-byte one at bytes 2-3.
    while (offset + 2 <= length) {
        unsigned char* page = data + offset;
        page[0] &= static_cast<unsigned char>(~MODE_PAGE_PS);
        if ((page[0] & MODE_PAGE_SPF) != 0) {
            if (offset + 4 > length) {
                break;
            }
            offset += 4 + ((static_cast<uint32_t>(page[2]) << 8) | page[3]);
        } else {
            offset += 2 + page[1];
        }
    }
}

// Reads mode data in two passes, first the header to learn the length, then
// all of it, and hands it out with the length of what is really mode data:
// what the full read announced, cut to what the device transferred. Not the
// length allocated after the header pass: a device whose data came back
// shorter would leave zeroed bytes to be read as its Caching page, and a
// write cache that is on would look off. MODE SENSE(6) cannot ask for more
// than 255 bytes; a longer announcement is read as far as that goes.
// 0 with *buffer (the caller frees it) and *dataLength set, 1 failed (logged).
int ReadModeData(ScsiCmd& scsi, int fd, int pageControl, const unsigned char* pageSelector, int form,
                 unsigned char** buffer, uint32_t* dataLength)
{
    const uint32_t headerLength = HeaderLength(form);
    MallocBuffer header = AllocateZeroed(headerLength);
    if (!header) {
        return 1;
    }
    ModeBuffer mode{static_cast<int32_t>(headerLength), header.get()};
    // A disk that did not answer is reported once, by the step that asked.
    if (scsi.SendModeSense(fd, pageControl, pageSelector, &mode, form) != 0) {
        if (!scsi.Gate().timedOut) {
            WriteLog(LOG_ERROR, "get mode parameter header failed!\n");
        }
        return 1;
    }
    const uint32_t length = ModeDataTotal(header.get(), form);
    header.reset();
    if (length > MODE_BUFFER_MAX) {
        WriteLog(LOG_ERROR, "bufferLen exceeds: %d!\n", static_cast<int>(length));
        return 1;
    }
    const bool clipped = form != SCSI_FORM_TEN_BYTE && length > MODE_SENSE6_ALLOCATION_MAX;
    const uint32_t allocation = clipped ? MODE_SENSE6_ALLOCATION_MAX : length;

    MallocBuffer data = AllocateZeroed(allocation);
    if (!data) {
        return 1;
    }
    mode = ModeBuffer{static_cast<int32_t>(allocation), data.get()};
    if (scsi.SendModeSense(fd, pageControl, pageSelector, &mode, form) != 0) {
        if (!scsi.Gate().timedOut) {
            WriteLog(LOG_ERROR, "get mode parameter list failed!\n");
        }
        return 1;
    }
    // The first pass's total is at least 2 (ten-byte) or 1 (six-byte), so
    // the length field lies inside the buffer.
    const uint32_t returned = ModeDataTotal(data.get(), form);
    const uint32_t real = ReceivedModeData(returned, allocation, mode.transferred);
    if (returned <= headerLength || (returned > allocation && !clipped) || real <= headerLength) {
        WriteLog(LOG_WARNING, "bufferLen invalied!\n");
        return 1;
    }
    *buffer = data.release();
    *dataLength = real;
    return 0;
}

// True when byte 21 of the sense data really is an ATA STATUS register: the
// device wrote that far, in descriptor format, with the ATA Status Return
// descriptor first. A device that refuses the pass-through itself (ILLEGAL
// REQUEST) writes 18 bytes of fixed-format or 8 of descriptor-format sense,
// and the zeroed byte 21 of the buffer would otherwise read as a clean status.
bool HoldsAtaStatus(const sg_io_hdr& header, const unsigned char* sense)
{
    return header.sb_len_wr > ATA_SENSE_STATUS_BYTE && (sense[0] & 0x7f) == SENSE_DESCRIPTOR_FORMAT &&
           sense[SENSE_FIRST_DESCRIPTOR] == ATA_STATUS_RETURN_DESCRIPTOR;
}

// A pass-through the drive completed: the layer reports no error of its own
// (NO SENSE, or RECOVERED ERROR for the registers CK_COND asked for), and
// the drive is ready with no busy, fault, data request or error bit.
bool AtaCompletedCleanly(const unsigned char* sense)
{
    const unsigned char key = sense[1] & 0x0f;  // descriptor format: byte 1
    const unsigned char status = sense[ATA_SENSE_STATUS_BYTE];
    return (key == SENSE_KEY_NO_SENSE || key == SENSE_KEY_RECOVERED_ERROR) && (status & ATA_STATUS_DRDY) != 0 &&
           (status & ATA_STATUS_FAULT_MASK) == 0;
}

// UNIT ATTENTION, MODE PARAMETERS CHANGED in either sense format (SPC-4
// 4.5.2: key, ASC, ASCQ at bytes 1-3 in descriptor format, 2, 12, 13 in
// fixed format).
bool ModeParametersChanged(const sg_io_hdr& header, const unsigned char* sense)
{
    const bool descriptor = (sense[0] & 0x7f) >= SENSE_DESCRIPTOR_FORMAT;
    const unsigned needed = descriptor ? 4 : 14;
    if (header.sb_len_wr < needed) {
        return false;
    }
    const unsigned char key = (descriptor ? sense[1] : sense[2]) & 0x0f;
    const unsigned char asc = descriptor ? sense[2] : sense[12];
    const unsigned char ascq = descriptor ? sense[3] : sense[13];
    return key == SENSE_KEY_UNIT_ATTENTION && asc == ASC_PARAMETERS_CHANGED && ascq == ASCQ_MODE_PARAMETERS_CHANGED;
}

} // namespace

// 0 the command completed (or an ATA pass-through reported a clean ATA
// status), 1 it did not (logged, unless it timed out).
int ScsiCmd::SendSgIo(int fd, SgRequest* request, bool checkAtaStatus)
{
    if (gate.timedOut) {
        return 1;
    }
    sg_io_hdr header;
    (void)memset_s(&header, sizeof(header), 0, sizeof(header));
    header.interface_id = SG_INTERFACE_ID;
    header.dxfer_direction = request->direction;
    header.cmd_len = static_cast<unsigned char>(request->cdbLength & 0xff);
    header.mx_sb_len = static_cast<unsigned char>(request->senseLength & 0xff);
    header.dxfer_len = static_cast<unsigned int>(request->dataLength);
    header.dxferp = request->data;
    header.cmdp = request->cdb;
    header.sbp = request->sense;
    header.timeout = request->timeout == 0 ? SCSI_DEFAULT_TIMEOUT_MS : static_cast<unsigned int>(request->timeout);

    const bool quiet = (request->flags & SG_REQUEST_QUIET) != 0;
    int result = IoctlData(fd, SG_IO, &header);
    if (result < 0) {
        gate.timedOut = errno == ETIMEDOUT;
        if (!quiet && !gate.timedOut) {
            WriteLog(LOG_ERROR, "send sg IO failed %d.\n", result);
        }
        return 1;
    }
    if (header.host_status == DID_TIME_OUT) {
        gate.timedOut = true;
        return 1;
    }
    gate.answered = true;
    // What the device did not transfer is not data, whatever its header says.
    request->resid = header.resid < 0 || header.resid > request->dataLength ? request->dataLength : header.resid;
    const unsigned driverCode = header.driver_status & SG_DRIVER_CODE_MASK;
    if (header.masked_status == 0 && header.host_status == 0 && driverCode == 0) {
        return 0;
    }
    // With CK_COND the device answers CHECK CONDITION even on success; the
    // sense key and the ATA status it returns in the sense data tell.
    if (driverCode == DRIVER_SENSE && checkAtaStatus && HoldsAtaStatus(header, request->sense) &&
        AtaCompletedCleanly(request->sense)) {
        return 0;
    }
    if (driverCode == DRIVER_SENSE && (request->flags & SG_REQUEST_UNIT_ATTENTION_EXPECTED) != 0 &&
        ModeParametersChanged(header, request->sense)) {
        return SG_RESULT_UNIT_ATTENTION;
    }
    if (!quiet) {
        WriteLog(LOG_WARNING, "SG IO excute failed %d %d %d.\n", header.masked_status, header.host_status,
                 driverCode);
    }
    return 1;
}

// MODE SENSE(6) or (10) (SPC-4 6.11, 6.12) into buffer->data, with
// buffer->length as the allocation length. Result of SendSgIo.
int ScsiCmd::SendModeSense(int fd, int pageControl, const unsigned char* pageSelector, ModeBuffer* buffer,
                           int form)
{
    const bool tenByte = form == SCSI_FORM_TEN_BYTE;
    CommandFrame frame(tenByte ? SCSI_CDB10_LENGTH : SCSI_CDB6_LENGTH, SG_DXFER_FROM_DEV, buffer->data,
                       buffer->length);
    frame.request.flags = buffer->flags;
    frame.request.timeout = static_cast<int32_t>(gate.readTimeoutMs != 0 ? gate.readTimeoutMs : SCSI_READ_TIMEOUT_MS);
    unsigned char* cdb = frame.cdb;
    // Byte 2: PC in bits 7-6, page code below; byte 3: subpage code.
    cdb[2] = static_cast<unsigned char>(((pageControl & 3) << 6) | pageSelector[0]);
    cdb[3] = pageSelector[1];
    if (tenByte) {
        cdb[0] = SCSI_OP_MODE_SENSE10;
        cdb[7] = static_cast<unsigned char>((buffer->length >> 8) & 0xff);
        cdb[8] = static_cast<unsigned char>(buffer->length & 0xff);
    } else {
        cdb[0] = SCSI_OP_MODE_SENSE6;
        cdb[4] = static_cast<unsigned char>(buffer->length & 0xff);
    }
    const int result = SendSgIo(fd, &frame.request, false);
    buffer->transferred = buffer->length - frame.request.resid;
    return result;
}

// MODE SELECT(6) or (10) (SPC-4 6.9, 6.10) of the whole buffer, page format,
// not saved. Result of SendSgIo.
int ScsiCmd::SendModeSelect(int fd, ModeBuffer* buffer, int form)
{
    const bool tenByte = form == SCSI_FORM_TEN_BYTE;
    PrepareParameterList(buffer, form);
    CommandFrame frame(tenByte ? SCSI_CDB10_LENGTH : SCSI_CDB6_LENGTH, SG_DXFER_TO_DEV, buffer->data,
                       buffer->length);
    unsigned char* cdb = frame.cdb;
    cdb[1] = MODE_SELECT_PF;
    if (tenByte) {
        cdb[0] = SCSI_OP_MODE_SELECT10;
        cdb[7] = static_cast<unsigned char>((buffer->length >> 8) & 0xff);
        cdb[8] = static_cast<unsigned char>(buffer->length & 0xff);
    } else {
        cdb[0] = SCSI_OP_MODE_SELECT6;
        cdb[4] = static_cast<unsigned char>(buffer->length & 0xff);
    }
    return SendSgIo(fd, &frame.request, false);
}

// SYNCHRONIZE CACHE(10) or (16) of the whole medium, waiting for it
// (SBC-3 5.22, 5.23). Result of SendSgIo.
int ScsiCmd::SendSyncCache(int fd, int form)
{
    const bool tenByte = form == SCSI_FORM_TEN_BYTE;
    CommandFrame frame(tenByte ? SCSI_CDB10_LENGTH : SCSI_CDB16_LENGTH, SG_DXFER_NONE, nullptr, 0);
    frame.cdb[0] = tenByte ? SCSI_OP_SYNCHRONIZE_CACHE10 : SCSI_OP_SYNCHRONIZE_CACHE16;
    return SendSgIo(fd, &frame.request, false);
}

// ATA SET FEATURES with `subcommand`, tunnelled in ATA PASS-THROUGH(16) or
// (12) (SAT-3 12.2.2). Result of SendSgIo with the ATA status judged.
int ScsiCmd::AtaSetFeatures(int fd, unsigned char subcommand, int form)
{
    const bool sixteenByte = form != ATA_FORM_TWELVE_BYTE;
    CommandFrame frame(sixteenByte ? SCSI_CDB16_LENGTH : SCSI_CDB12_LENGTH, SG_DXFER_NONE, nullptr, 0);
    unsigned char* cdb = frame.cdb;
    cdb[1] = ATA_PT_PROTOCOL_NON_DATA;
    cdb[2] = ATA_PT_CK_COND;
    if (sixteenByte) {
        cdb[0] = SCSI_OP_ATA_PASS_THROUGH16;
        cdb[4] = subcommand;  // FEATURES (7:0)
        cdb[13] = ATA_DEVICE_LBA;
        cdb[14] = ATA_CMD_SET_FEATURES;
    } else {
        cdb[0] = SCSI_OP_ATA_PASS_THROUGH12;
        cdb[3] = subcommand;  // FEATURES
        cdb[8] = ATA_DEVICE_LBA;
        cdb[9] = ATA_CMD_SET_FEATURES;
    }
    return SendSgIo(fd, &frame.request, true);
}

int ScsiCmd::ModeSense6(int fd, int pageControl, const unsigned char* pageSelector, unsigned char** buffer,
                        uint32_t* length)
{
    return ReadModeData(*this, fd, pageControl, pageSelector, SCSI_FORM_SIX_BYTE, buffer, length);
}

int ScsiCmd::ModeSense10(int fd, int pageControl, const unsigned char* pageSelector, unsigned char** buffer,
                         uint32_t* length)
{
    return ReadModeData(*this, fd, pageControl, pageSelector, SCSI_FORM_TEN_BYTE, buffer, length);
}

// 0 with *wce set from the Caching page (ten-byte read first, six-byte if
// that fails or is too short), 1 failed.
int ScsiCmd::GetWriteCache(int fd, int pageControl, int* wce)
{
    unsigned char* raw = nullptr;
    uint32_t length = 0;
    if (ModeSense10(fd, pageControl, CACHING_PAGE_SELECTOR, &raw, &length) == 0) {
        MallocBuffer data(raw);
        if (CachingWce(data.get(), length, SCSI_FORM_TEN_BYTE, wce)) {
            return 0;
        }
    }
    if (ModeSense6(fd, pageControl, CACHING_PAGE_SELECTOR, &raw, &length) != 0) {
        return 1;
    }
    MallocBuffer data(raw);
    return CachingWce(data.get(), length, SCSI_FORM_SIX_BYTE, wce) ? 0 : 1;
}

// 0 changed, -1 already as wanted, 1 failed.
int ScsiCmd::SetWriteCache(int fd, int wanted)
{
    int result = SetWriteCacheAta(fd, wanted);
    if (result != 1) {
        return result;
    }
    if (SetWriteCacheModePage(fd, wanted, SCSI_FORM_TEN_BYTE) == 0) {
        return 0;
    }
    return SetWriteCacheModePage(fd, wanted, SCSI_FORM_SIX_BYTE);
}

// 0 flushed, 1 failed: SYNCHRONIZE CACHE(16) only when (10) failed.
int ScsiCmd::SyncCache(int fd)
{
    if (SendSyncCache(fd, SCSI_FORM_TEN_BYTE) == 0) {
        return 0;
    }
    return SendSyncCache(fd, SCSI_FORM_SIXTEEN_BYTE);
}

// 0 changed, -1 already as wanted, 1 failed. The block layer's request is
// the cheapest; a SATA disk behind a translation layer takes SET FEATURES.
// Whatever answered, only the Caching page read back decides.
int ScsiCmd::SetWriteCacheAta(int fd, int wanted)
{
    int current = 0;
    if (GetWriteCache(fd, PAGE_CONTROL_CURRENT, &current) != 0) {
        return 1;
    }
    if (current == wanted) {
        return -1;
    }
    if (Ioctl(fd, HDIO_SET_WCACHE, static_cast<unsigned long>(wanted)) != 0) {
        // Disable is the only switch the daemon makes.
        if (AtaSetFeatures(fd, ATA_SF_DISABLE_WRITE_CACHE, ATA_FORM_SIXTEEN_BYTE) != 0 &&
            AtaSetFeatures(fd, ATA_SF_DISABLE_WRITE_CACHE, ATA_FORM_TWELVE_BYTE) != 0) {
            return 1;
        }
    }
    if (GetWriteCache(fd, PAGE_CONTROL_CURRENT, &current) != 0 || current != wanted) {
        return 1;
    }
    return 0;
}

// 0 switched or found as wanted, 1 failed.
int ScsiCmd::SetWriteCacheModePage(int fd, int wanted, int form)
{
    unsigned char* raw = nullptr;
    uint32_t length = 0;
    const int read = form == SCSI_FORM_TEN_BYTE
                         ? ModeSense10(fd, PAGE_CONTROL_CURRENT, CACHING_PAGE_SELECTOR, &raw, &length)
                         : ModeSense6(fd, PAGE_CONTROL_CURRENT, CACHING_PAGE_SELECTOR, &raw, &length);
    if (read != 0) {
        return 1;
    }
    MallocBuffer data(raw);
    unsigned char* page = CachingPage(data.get(), length, form);
    if (page == nullptr) {
        return 1;
    }
    ModeBuffer buffer{static_cast<int32_t>(length), data.get()};
    const int selected = SelectWriteCache(fd, wanted, page, &buffer, form);
    if (selected != 0) {
        return selected == 1 ? 1 : 0;
    }
    // A disk may accept MODE SELECT and ignore it: only the page read back
    // tells. A strict one first reports the change it made to the next
    // command; that report is expected once and not a failure.
    int current = 0;
    int readBack = ReadCachingOnce(fd, form, SG_REQUEST_UNIT_ATTENTION_EXPECTED, &current);
    if (readBack == SG_RESULT_UNIT_ATTENTION) {
        readBack = ReadCachingOnce(fd, form, 0, &current);
    }
    return readBack == 0 && current == wanted ? 0 : 1;
}

// 0 with *wce set, 1 failed, SG_RESULT_UNIT_ATTENTION met as expected.
int ScsiCmd::ReadCachingOnce(int fd, int form, int32_t flags, int* wce)
{
    MallocBuffer data = AllocateZeroed(MODE_PEEK_LENGTH);
    if (!data) {
        return 1;
    }
    ModeBuffer mode{static_cast<int32_t>(MODE_PEEK_LENGTH), data.get(), 0, flags};
    const int sent = SendModeSense(fd, PAGE_CONTROL_CURRENT, CACHING_PAGE_SELECTOR, &mode, form);
    if (sent != 0) {
        return sent;
    }
    const uint32_t real =
        ReceivedModeData(ModeDataTotal(data.get(), form), MODE_PEEK_LENGTH, mode.transferred);
    return real > HeaderLength(form) && CachingWce(data.get(), real, form, wce) ? 0 : 1;
}

// 0 with *wce set, 1 the disk did not tell (nothing logged).
int ScsiCmd::PeekWriteCache(int fd, int* wce)
{
    if (ReadCachingOnce(fd, SCSI_FORM_TEN_BYTE, SG_REQUEST_QUIET, wce) == 0) {
        return 0;
    }
    return ReadCachingOnce(fd, SCSI_FORM_SIX_BYTE, SG_REQUEST_QUIET, wce) == 0 ? 0 : 1;
}

// -1 already as wanted (nothing sent), 0 MODE SELECT succeeded, 1 it failed.
int ScsiCmd::SelectWriteCache(int fd, int wanted, unsigned char* page, ModeBuffer* buffer, int form)
{
    const bool enabled = (page[CACHING_PAGE_FLAGS] & CACHING_PAGE_WCE) != 0;
    if (enabled == (wanted != 0)) {
        return -1;
    }
    page[CACHING_PAGE_FLAGS] = static_cast<unsigned char>(
        (page[CACHING_PAGE_FLAGS] & ~CACHING_PAGE_WCE) | (wanted != 0 ? CACHING_PAGE_WCE : 0));
    return SendModeSelect(fd, buffer, form) == 0 ? 0 : 1;
}
