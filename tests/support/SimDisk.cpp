#include "support/SimDisk.h"

#include <linux/hdreg.h>
#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

// Operation codes (SPC-4, SBC-3, SAT-3).
constexpr unsigned char OP_MODE_SELECT6 = 0x15;
constexpr unsigned char OP_MODE_SENSE6 = 0x1a;
constexpr unsigned char OP_SYNC_CACHE10 = 0x35;
constexpr unsigned char OP_MODE_SELECT10 = 0x55;
constexpr unsigned char OP_MODE_SENSE10 = 0x5a;
constexpr unsigned char OP_ATA_PT16 = 0x85;
constexpr unsigned char OP_SYNC_CACHE16 = 0x91;
constexpr unsigned char OP_ATA_PT12 = 0xa1;

constexpr unsigned short DID_TIME_OUT = 0x03;
constexpr unsigned char STATUS_GOOD = 0x00;
constexpr unsigned char STATUS_CHECK_CONDITION = 0x02;
constexpr unsigned short DRIVER_SENSE_CODE = 0x08;
constexpr unsigned SG_INFO_CHECK_FLAG = 0x1;

// Sense keys and additional sense codes.
constexpr unsigned char KEY_RECOVERED_ERROR = 0x01;
constexpr unsigned char KEY_ILLEGAL_REQUEST = 0x05;
constexpr unsigned char KEY_UNIT_ATTENTION = 0x06;
constexpr unsigned char ASC_PARAMETERS_CHANGED = 0x2a;
constexpr unsigned char ASCQ_MODE_PARAMETERS_CHANGED = 0x01;
constexpr unsigned char KEY_ABORTED_COMMAND = 0x0b;
constexpr unsigned char ASC_PARAMETER_LIST_LENGTH_ERROR = 0x1a;
constexpr unsigned char ASC_INVALID_OPCODE = 0x20;
constexpr unsigned char ASC_INVALID_FIELD_IN_CDB = 0x24;
constexpr unsigned char ASC_INVALID_FIELD_IN_PARAMETER_LIST = 0x26;
constexpr unsigned char ASC_SAVING_NOT_SUPPORTED = 0x39;
constexpr unsigned char ASCQ_ATA_PASS_THROUGH_INFORMATION = 0x1d;

constexpr unsigned char CACHING_PAGE = 0x08;
constexpr unsigned char ALL_PAGES = 0x3f;
constexpr unsigned char WCE = 0x04;
constexpr unsigned char PS = 0x80;
constexpr unsigned char SPF = 0x40;
// WP and DPOFUA of a direct-access device; the disk supports FUA.
constexpr unsigned char DEVICE_SPECIFIC_DPOFUA = 0x10;
constexpr uint32_t BLOCK_COUNT = 1953525168;  // a 1 TB disk in 512-byte blocks
constexpr uint32_t BLOCK_LENGTH = 512;

constexpr unsigned char ATA_SET_FEATURES = 0xef;
constexpr unsigned char ATA_SF_ENABLE_WRITE_CACHE = 0x02;
constexpr unsigned char ATA_SF_DISABLE_WRITE_CACHE = 0x82;
constexpr unsigned char ATA_PROTOCOL_NON_DATA = 3;
constexpr unsigned char ATA_STATUS_READY = 0x50;   // DRDY, DSC
constexpr unsigned char ATA_STATUS_ERROR = 0x51;   // DRDY, DSC, ERR
constexpr unsigned char ATA_ERROR_ABORT = 0x04;

uint32_t BigEndian16(const unsigned char* bytes)
{
    return (static_cast<uint32_t>(bytes[0]) << 8) | bytes[1];
}

void PutBigEndian16(unsigned char* bytes, uint32_t value)
{
    bytes[0] = static_cast<unsigned char>(value >> 8);
    bytes[1] = static_cast<unsigned char>(value);
}

} // namespace

SimDisk::SimDisk(Kind diskKind) : saveablePages(diskKind == Kind::Scsi), kind(diskKind) {}

std::vector<std::vector<unsigned char>> SimDisk::Cdbs() const
{
    std::vector<std::vector<unsigned char>> cdbs;
    for (const Exchange& exchange : received) {
        if (exchange.request == SG_IO) {
            cdbs.push_back(exchange.cdb);
        }
    }
    return cdbs;
}

// The block layer's SG_IO: validates the header, runs the command and fills
// the output fields as the kernel does (masked_status is the status shifted
// right by one; DRIVER_SENSE marks a CHECK CONDITION; resid is what was not
// transferred).
int SimDisk::HandleIoctl(unsigned long request, void* argument)
{
    if (request != SG_IO) {
        errno = ENOTTY;
        return -1;
    }
    if (sgIoErrno != 0) {
        errno = sgIoErrno;
        return -1;
    }
    auto* header = static_cast<sg_io_hdr*>(argument);
    if (header->interface_id != 'S' || header->cmd_len < 6 || header->cmd_len > 16 ||
        header->dxfer_direction < SG_DXFER_TO_FROM_DEV || header->dxfer_direction > SG_DXFER_NONE) {
        errno = EINVAL;
        return -1;
    }
    if (header->cmdp == nullptr || (header->dxfer_len > 0 && header->dxferp == nullptr)) {
        errno = EFAULT;
        return -1;
    }
    header->status = header->masked_status = header->msg_status = header->sb_len_wr = 0;
    header->host_status = header->driver_status = 0;
    header->resid = 0;
    header->duration = 0;
    header->info = 0;

    auto* data = static_cast<unsigned char*>(header->dxferp);
    Exchange exchange;
    exchange.request = request;
    exchange.cdb.assign(header->cmdp, header->cmdp + header->cmd_len);
    exchange.direction = header->dxfer_direction;
    exchange.dxferLength = header->dxfer_len;
    exchange.timeoutMs = header->timeout;
    if (header->dxfer_direction == SG_DXFER_TO_DEV) {
        exchange.dataOut.assign(data, data + header->dxfer_len);
    }
    received.push_back(exchange);

    if (!answers) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(header->timeout, silentWaitCapMs)));
        header->duration = header->timeout;
    }
    if (hostStatus != 0 || !answers) {
        header->host_status = answers ? hostStatus : DID_TIME_OUT;
        header->resid = static_cast<int>(header->dxfer_len);
        header->info = SG_INFO_CHECK_FLAG;
        return 0;
    }

    Outcome outcome = Execute(exchange.cdb, exchange.dataOut);
    uint32_t transferred = 0;
    if (header->dxfer_direction == SG_DXFER_FROM_DEV) {
        transferred = std::min({static_cast<uint32_t>(outcome.dataIn.size()), outcome.allocationLength,
                                header->dxfer_len});
        std::copy_n(outcome.dataIn.begin(), transferred, data);
    } else if (header->dxfer_direction == SG_DXFER_TO_DEV && outcome.status == STATUS_GOOD) {
        transferred = header->dxfer_len;
    }
    header->resid = static_cast<int>(header->dxfer_len - transferred);
    header->status = outcome.status;
    header->masked_status = static_cast<unsigned char>((outcome.status >> 1) & 0x7f);
    if (outcome.status == STATUS_CHECK_CONDITION) {
        header->driver_status = DRIVER_SENSE_CODE | driverSuggestion;
        if (header->sbp != nullptr) {
            size_t length = std::min<size_t>(header->mx_sb_len, outcome.sense.size());
            std::copy_n(outcome.sense.begin(), length, header->sbp);
            header->sb_len_wr = static_cast<unsigned char>(length);
        }
    }
    if (header->masked_status != 0 || header->driver_status != 0) {
        header->info = SG_INFO_CHECK_FLAG;
    }
    return 0;
}

int SimDisk::HandleIoctlValue(unsigned long request, unsigned long value)
{
    Exchange exchange;
    exchange.request = request;
    exchange.value = value;
    received.push_back(exchange);
    // sd passes requests it does not know to the host driver, which refuses
    // this one: only the old IDE drivers implemented it. libata answers
    // ENOTTY, SCSI host drivers (virtio-scsi, scsi_debug) EINVAL.
    if (request != HDIO_SET_WCACHE || !acceptHdioSetWcache) {
        errno = kind == Kind::Sata ? ENOTTY : EINVAL;
        return -1;
    }
    if (value > 1) {
        errno = EINVAL;
        return -1;
    }
    wce = value == 1;
    return 0;
}

std::string SimDisk::Save() const
{
    return std::string("wce=") + (wce ? "1" : "0") + " savedWce=" + (savedWce ? "1" : "0") +
           (unitAttentionPending ? " ua=1" : "");
}

bool SimDisk::Load(const std::string& text)
{
    int current = 0;
    int saved = 0;
    int attention = 0;
    int fields = std::sscanf(text.c_str(), "wce=%d savedWce=%d ua=%d", &current, &saved, &attention);
    if (fields < 2 || current < 0 || current > 1 || saved < 0 || saved > 1) {
        return false;
    }
    wce = current == 1;
    savedWce = saved == 1;
    unitAttentionPending = fields == 3 && attention == 1;
    return true;
}

SimDisk::Outcome SimDisk::Execute(const std::vector<unsigned char>& cdb, const std::vector<unsigned char>& dataOut)
{
    const unsigned char opcode = cdb[0];
    if (unitAttentionPending) {
        unitAttentionPending = false;
        return CheckCondition(KEY_UNIT_ATTENTION, ASC_PARAMETERS_CHANGED, ASCQ_MODE_PARAMETERS_CHANGED);
    }
    if (unsupportedOpcodes.count(opcode) != 0) {
        return CheckCondition(KEY_ILLEGAL_REQUEST, ASC_INVALID_OPCODE, 0);
    }
    // The group code (bits 7-5) fixes the CDB length (SPC-4 4.3.2).
    const size_t expectedLength = opcode < 0x20 ? 6 : opcode < 0x60 ? 10 : opcode >= 0xa0 && opcode < 0xc0 ? 12 : 16;
    if (cdb.size() < expectedLength) {
        return CheckCondition(KEY_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
    }
    switch (opcode) {
    case OP_MODE_SENSE6:
    case OP_MODE_SENSE10:
        return ModeSense(cdb);
    case OP_MODE_SELECT6:
    case OP_MODE_SELECT10:
        return ModeSelect(cdb, dataOut);
    case OP_SYNC_CACHE10:
    case OP_SYNC_CACHE16:
        return Outcome{};
    case OP_ATA_PT16:
    case OP_ATA_PT12:
        if (kind == Kind::Sata) {
            return AtaPassThrough(cdb);
        }
        break;
    default:
        break;
    }
    return CheckCondition(KEY_ILLEGAL_REQUEST, ASC_INVALID_OPCODE, 0);
}

// Fixed format (response code 0x70, 18 bytes) or descriptor format (0x72,
// 8 bytes) as the Control mode page's D_SENSE selects (SPC-4 4.5).
SimDisk::Outcome SimDisk::CheckCondition(unsigned char key, unsigned char asc, unsigned char ascq) const
{
    Outcome outcome;
    outcome.status = STATUS_CHECK_CONDITION;
    if (descriptorSense) {
        outcome.sense = {0x72, key, asc, ascq, 0, 0, 0, 0};
    } else {
        outcome.sense.assign(18, 0);
        outcome.sense[0] = 0x70;
        outcome.sense[2] = key;
        outcome.sense[7] = 10;
        outcome.sense[12] = asc;
        outcome.sense[13] = ascq;
    }
    return outcome;
}

// The Caching page (SBC-3 6.5.5) for a page control: 0 current, 1
// changeable (a mask: only WCE), 2 default (cache on), 3 saved.
std::vector<unsigned char> SimDisk::CachingPage(int pageControl) const
{
    if (cachingPageLength == 0) {
        return {};
    }
    std::vector<unsigned char> page(2 + cachingPageLength, 0);
    page[0] = static_cast<unsigned char>(CACHING_PAGE | (saveablePages ? PS : 0));
    page[1] = cachingPageLength;
    if (pageControl == 1) {
        page[2] = WCE;
        return page;
    }
    const bool enabled = pageControl == 0 ? wce : pageControl == 2 ? true : savedWce;
    if (kind == Kind::Scsi) {
        // DISC set, prefetch limits and cache segments as a SAS disk reports them.
        const unsigned char rest[] = {0xff, 0xff, 0, 0, 0xff, 0xff, 0xff, 0xff, 0x80, 0x14};
        page[2] = 0x10;
        if (page.size() > 4) {
            std::copy_n(std::begin(rest), std::min<size_t>(sizeof(rest), page.size() - 4), page.begin() + 4);
        }
    }
    if (enabled) {
        page[2] |= WCE;
    }
    return page;
}

std::vector<unsigned char> SimDisk::BlockDescriptors() const
{
    std::vector<unsigned char> descriptors;
    for (uint32_t i = 0; i < blockDescriptorLength / 8; ++i) {
        const unsigned char one[8] = {static_cast<unsigned char>(BLOCK_COUNT >> 24),
                                      static_cast<unsigned char>(BLOCK_COUNT >> 16),
                                      static_cast<unsigned char>(BLOCK_COUNT >> 8),
                                      static_cast<unsigned char>(BLOCK_COUNT),
                                      0,
                                      static_cast<unsigned char>(BLOCK_LENGTH >> 16),
                                      static_cast<unsigned char>(BLOCK_LENGTH >> 8),
                                      static_cast<unsigned char>(BLOCK_LENGTH)};
        descriptors.insert(descriptors.end(), std::begin(one), std::end(one));
    }
    return descriptors;
}

// Page 0 in sub_page format: byte 0 SPF | 0, byte 1 subpage, bytes 2-3 length.
std::vector<unsigned char> SimDisk::VendorPage() const
{
    std::vector<unsigned char> page;
    if (vendorPageLength >= 4) {
        page.assign(vendorPageLength, 0x5a);
        page[0] = SPF;
        page[1] = 0x01;
        PutBigEndian16(&page[2], vendorPageLength - 4);
    }
    return page;
}

// Read-Write Error Recovery page (SBC-3 6.5.9), 12 bytes, PER (bit 2 of
// byte 2) set.
std::vector<unsigned char> SimDisk::ErrorRecoveryPage() const
{
    std::vector<unsigned char> page(12, 0);
    page[0] = 0x01;
    page[1] = 0x0a;
    page[2] = 0x04;
    return page;
}

// MODE SENSE(6)/(10) (SPC-4 6.11, 6.12) of the Caching page or of all pages.
SimDisk::Outcome SimDisk::ModeSense(const std::vector<unsigned char>& cdb)
{
    const bool tenByte = cdb[0] == OP_MODE_SENSE10;
    const bool disableBlockDescriptors = (cdb[1] & 0x08) != 0;
    const int pageControl = cdb[2] >> 6;
    const unsigned char pageCode = cdb[2] & 0x3f;
    const unsigned char subpage = cdb[3];
    if ((pageCode != CACHING_PAGE && pageCode != ALL_PAGES) || subpage != 0) {
        return CheckCondition(KEY_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
    }
    if (pageControl == 3 && !saveablePages) {
        return CheckCondition(KEY_ILLEGAL_REQUEST, ASC_SAVING_NOT_SUPPORTED, 0);
    }
    std::vector<unsigned char> descriptors = disableBlockDescriptors ? std::vector<unsigned char>{}
                                                                      : BlockDescriptors();
    std::vector<unsigned char> pages = CachingPage(pageControl);
    if (unsolicitedPage) {
        std::vector<unsigned char> foreign = ErrorRecoveryPage();
        pages.insert(pages.begin(), foreign.begin(), foreign.end());
    }
    // Six-byte mode data holds at most 256 bytes; a longer page is left out.
    std::vector<unsigned char> vendor = VendorPage();
    if (tenByte || 4 + descriptors.size() + pages.size() + vendor.size() <= 256) {
        pages.insert(pages.end(), vendor.begin(), vendor.end());
    }

    Outcome outcome;
    std::vector<unsigned char>& data = outcome.dataIn;
    if (tenByte) {
        data.assign(8, 0);
        PutBigEndian16(&data[0], static_cast<uint32_t>(6 + descriptors.size() + pages.size()));
        data[3] = DEVICE_SPECIFIC_DPOFUA;
        PutBigEndian16(&data[6], static_cast<uint32_t>(descriptors.size()));
        outcome.allocationLength = BigEndian16(&cdb[7]);
    } else {
        data.assign(4, 0);
        data[0] = static_cast<unsigned char>(3 + descriptors.size() + pages.size());
        data[2] = DEVICE_SPECIFIC_DPOFUA;
        data[3] = static_cast<unsigned char>(descriptors.size());
        outcome.allocationLength = cdb[4];
    }
    data.insert(data.end(), descriptors.begin(), descriptors.end());
    data.insert(data.end(), pages.begin(), pages.end());
    // A header-only read learns a length the full read then falls short of.
    if (outcome.allocationLength <= (tenByte ? 8u : 4u)) {
        data[tenByte ? 1 : 0] = static_cast<unsigned char>(data[tenByte ? 1 : 0] + headerOverstates);
    }
    data.resize(data.size() - std::min<size_t>(withheldBytes, data.size()));
    return outcome;
}

// MODE SELECT(6)/(10) (SPC-4 6.9, 6.10, 7.5): the parameter list must be in
// page format with every reserved field zero (mode data length, medium type,
// device-specific parameter, PS) and every field the device reports as not
// changeable at its current value; otherwise ILLEGAL REQUEST, INVALID FIELD
// IN PARAMETER LIST, and nothing is applied.
SimDisk::Outcome SimDisk::ModeSelect(const std::vector<unsigned char>& cdb, const std::vector<unsigned char>& dataOut)
{
    const bool tenByte = cdb[0] == OP_MODE_SELECT10;
    const bool pageFormat = (cdb[1] & 0x10) != 0;
    const bool save = (cdb[1] & 0x01) != 0;
    const uint32_t listLength = tenByte ? BigEndian16(&cdb[7]) : cdb[4];
    if (!pageFormat || (save && !saveablePages)) {
        return CheckCondition(KEY_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
    }
    if (listLength == 0) {
        return Outcome{};
    }
    const uint32_t headerLength = tenByte ? 8 : 4;
    if (dataOut.size() < listLength || listLength < headerLength) {
        return CheckCondition(KEY_ILLEGAL_REQUEST, ASC_PARAMETER_LIST_LENGTH_ERROR, 0);
    }
    const unsigned char* list = dataOut.data();
    const Outcome invalid = CheckCondition(KEY_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_PARAMETER_LIST, 0);
    uint32_t descriptorLength = 0;
    if (tenByte) {
        // Mode data length, medium type, device-specific, LONGLBA, reserved.
        if (std::any_of(list, list + 6, [](unsigned char byte) { return byte != 0; })) {
            return invalid;
        }
        descriptorLength = BigEndian16(&list[6]);
    } else {
        if (list[0] != 0 || list[1] != 0 || list[2] != 0) {
            return invalid;
        }
        descriptorLength = list[3];
    }
    if (descriptorLength % 8 != 0) {
        return invalid;
    }
    if (headerLength + descriptorLength > listLength) {
        return CheckCondition(KEY_ILLEGAL_REQUEST, ASC_PARAMETER_LIST_LENGTH_ERROR, 0);
    }
    // Block descriptors may repeat the current format; the disk cannot be
    // reformatted or resized. A zero block count means "unchanged".
    const std::vector<unsigned char> current = BlockDescriptors();
    for (uint32_t offset = 0; offset < descriptorLength; offset += 8) {
        const unsigned char* sent = list + headerLength + offset;
        const bool countUnchanged = std::all_of(sent, sent + 4, [](unsigned char byte) { return byte == 0; }) ||
                                    (current.size() >= 8 && std::equal(sent, sent + 4, current.begin()));
        const uint32_t blockLength = (static_cast<uint32_t>(sent[5]) << 16) | BigEndian16(sent + 6);
        if (!countUnchanged || sent[4] != 0 || blockLength != BLOCK_LENGTH) {
            return invalid;
        }
    }

    bool newWce = wce;
    const std::vector<unsigned char> vendor = VendorPage();
    for (uint32_t offset = headerLength + descriptorLength; offset < listLength;) {
        const unsigned char* page = list + offset;
        if (offset + 2 > listLength) {
            return CheckCondition(KEY_ILLEGAL_REQUEST, ASC_PARAMETER_LIST_LENGTH_ERROR, 0);
        }
        if ((page[0] & PS) != 0) {
            return invalid;
        }
        const bool subpageFormat = (page[0] & SPF) != 0;
        if (subpageFormat && offset + 4 > listLength) {
            return CheckCondition(KEY_ILLEGAL_REQUEST, ASC_PARAMETER_LIST_LENGTH_ERROR, 0);
        }
        const uint32_t pageLength = subpageFormat ? 4 + BigEndian16(&page[2]) : 2 + page[1];
        if (offset + pageLength > listLength) {
            return CheckCondition(KEY_ILLEGAL_REQUEST, ASC_PARAMETER_LIST_LENGTH_ERROR, 0);
        }
        if (!subpageFormat && (page[0] & 0x3f) == CACHING_PAGE) {
            if (cachingPageLength == 0 || page[1] != cachingPageLength) {
                return invalid;
            }
            const std::vector<unsigned char> now = CachingPage(0);
            const std::vector<unsigned char> changeable = CachingPage(1);
            for (uint32_t i = 2; i < pageLength; ++i) {
                if (((page[i] ^ now[i]) & ~changeable[i]) != 0) {
                    return invalid;
                }
            }
            newWce = (page[2] & WCE) != 0;
        } else if (unsolicitedPage && !subpageFormat && pageLength == ErrorRecoveryPage().size() &&
                   std::equal(page, page + pageLength, ErrorRecoveryPage().begin())) {
            // Sent back as read: accepted, nothing to change.
        } else if (!(subpageFormat && vendor.size() == pageLength &&
                     std::equal(page + 1, page + pageLength, vendor.begin() + 1) && (page[0] & 0x3f) == 0)) {
            return invalid;
        }
        offset += pageLength;
    }
    if (!ignoreModeSelect) {
        wce = newWce;
        if (save) {
            savedWce = newWce;
        }
    }
    // Other initiators learn of the change through MODE PARAMETERS CHANGED
    // (SPC-4 5.14); Linux's scsi_debug raises it for its only initiator too.
    unitAttentionPending = unitAttentionAfterModeSelect;
    return Outcome{};
}

// ATA PASS-THROUGH(16)/(12) (SAT-3 12.2.2): only non-data SET FEATURES of
// the write cache reaches the model drive. With CK_COND, or when the drive
// reports an error, the registers come back as sense data.
SimDisk::Outcome SimDisk::AtaPassThrough(const std::vector<unsigned char>& cdb)
{
    const bool sixteen = cdb[0] == OP_ATA_PT16;
    const unsigned char protocol = (cdb[1] >> 1) & 0x0f;
    const bool extend = sixteen && (cdb[1] & 0x01) != 0;
    const bool checkCondition = (cdb[2] & 0x20) != 0;
    const unsigned char transferLength = cdb[2] & 0x03;
    const unsigned char features = sixteen ? cdb[4] : cdb[3];
    const unsigned char count = sixteen ? cdb[6] : cdb[4];
    const unsigned char device = sixteen ? cdb[13] : cdb[8];
    const unsigned char command = sixteen ? cdb[14] : cdb[9];
    if (protocol != ATA_PROTOCOL_NON_DATA || transferLength != 0) {
        return CheckCondition(KEY_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
    }

    if (setFeaturesFault) {
        Outcome fault;
        fault.status = STATUS_CHECK_CONDITION;
        fault.sense.assign(22, 0);
        fault.sense[0] = 0x72;
        fault.sense[1] = setFeaturesFaultKey;
        fault.sense[7] = 14;
        fault.sense[8] = 0x09;
        fault.sense[9] = 0x0c;
        fault.sense[20] = device;
        fault.sense[21] = setFeaturesFaultStatus;
        return fault;
    }
    bool failed = true;
    if (command == ATA_SET_FEATURES && !setFeaturesAborts &&
        (features == ATA_SF_ENABLE_WRITE_CACHE || features == ATA_SF_DISABLE_WRITE_CACHE)) {
        wce = features == ATA_SF_ENABLE_WRITE_CACHE;
        failed = false;
    }
    const unsigned char status = failed ? ATA_STATUS_ERROR : ATA_STATUS_READY;
    const unsigned char error = failed ? ATA_ERROR_ABORT : 0;
    if (!failed && !checkCondition) {
        return Outcome{};
    }

    Outcome outcome;
    outcome.status = STATUS_CHECK_CONDITION;
    const unsigned char key = failed ? KEY_ABORTED_COMMAND : KEY_RECOVERED_ERROR;
    const unsigned char ascq = failed ? 0 : ASCQ_ATA_PASS_THROUGH_INFORMATION;
    if (ataFixedSense) {
        // INFORMATION holds ERROR, STATUS, DEVICE, COUNT; COMMAND-SPECIFIC
        // INFORMATION the extend flag and the LBA bytes.
        outcome.sense.assign(18, 0);
        outcome.sense[0] = 0x70;
        outcome.sense[2] = key;
        outcome.sense[3] = error;
        outcome.sense[4] = status;
        outcome.sense[5] = device;
        outcome.sense[6] = count;
        outcome.sense[7] = 10;
        outcome.sense[8] = extend ? 0x80 : 0;
        outcome.sense[13] = ascq;
    } else {
        // Descriptor format with the ATA Status Return descriptor (code 9,
        // 12 bytes) first: STATUS lands at byte 8 + 13.
        outcome.sense.assign(22, 0);
        outcome.sense[0] = 0x72;
        outcome.sense[1] = key;
        outcome.sense[3] = ascq;
        outcome.sense[7] = 14;
        outcome.sense[8] = 0x09;
        outcome.sense[9] = 0x0c;
        outcome.sense[10] = extend ? 0x01 : 0;
        outcome.sense[11] = error;
        outcome.sense[13] = count;
        outcome.sense[20] = device;
        outcome.sense[21] = status;
    }
    return outcome;
}
