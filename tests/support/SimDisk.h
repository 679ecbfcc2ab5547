// A simulated disk that answers SG_IO and HDIO_SET_WCACHE on its device node
// the way a SAS/SCSI disk, or a SATA disk behind the kernel's SCSI-ATA
// translation, does: the sg_io_hdr status fields are filled as the block
// layer fills them, sense data is built in fixed or descriptor format, and
// the Caching mode page (the only page it models) is read and written with
// SPC rules, including the rejection of reserved fields in MODE SELECT.
//
// The model depends only on the kernel's sg_io_hdr and on IoctlDevice, not
// on the daemon's own definitions (so a wrong constant in the daemon is not
// mirrored here) nor on gtest, so that it can also answer the ioctls of the
// real binary from a preloaded library.
#ifndef QUELVAR_TESTS_SUPPORT_SIMDISK_H
#define QUELVAR_TESTS_SUPPORT_SIMDISK_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "support/FakeKernel.h"

class SimDisk : public IoctlDevice {
public:
    enum class Kind {
        // A SCSI disk: Caching page saveable (PS set), no ATA pass-through.
        Scsi,
        // A SATA disk behind a SAT layer: ATA PASS-THROUGH(16)/(12) reach the
        // drive; mode pages are not saveable (PS clear, SP rejected).
        Sata,
    };

    explicit SimDisk(Kind kind);

    // --- state ---------------------------------------------------------------
    bool wce = true;       // current volatile write cache setting
    bool savedWce = true;  // what the disk falls back to after a power cycle

    // --- configuration ---------------------------------------------------------
    // Bytes of short (8-byte) block descriptors reported before the page; a
    // multiple of 8.
    uint32_t blockDescriptorLength = 8;
    // Page length byte of the Caching page: 0x12 (SBC), 0x0a for a SCSI-2
    // era device, 0 for a device that accepts the page code but reports no
    // page at all (some USB bridges).
    unsigned char cachingPageLength = 0x12;
    // A vendor subpage (page 0, sub_page format) of this many bytes that the
    // firmware appends to the Caching page in ten-byte mode data; 0 for none.
    // Lets a test reach any mode data length.
    uint32_t vendorPageLength = 0;
    // Bytes at the end of a MODE SENSE reply that the device announces but
    // does not transfer (resid), as a flaky bridge may.
    uint32_t withheldBytes = 0;
    // A Read-Write Error Recovery page (01h, PER set) precedes the Caching
    // page in MODE SENSE data although page 08h was asked for.
    bool unsolicitedPage = false;
    // Bytes by which a header-only MODE SENSE overstates the mode data that
    // the full read then returns, as some bridges do.
    unsigned char headerOverstates = 0;
    // D_SENSE of the Control mode page: descriptor-format sense data instead
    // of fixed format for ordinary errors.
    bool descriptorSense = false;
    // ATA PASS-THROUGH registers come back in the ATA Status Return
    // descriptor (SAT-2, or SAT-3 with D_SENSE set). A SAT-3 layer with
    // D_SENSE clear, as libata by default, puts them into fixed-format sense
    // instead, where byte 21 lies beyond the 18 bytes written.
    bool ataFixedSense = false;
    // Whether the PS bit is reported (the page can be saved).
    bool saveablePages;

    // --- faults ----------------------------------------------------------------
    // The disk does not answer: as Linux 6.1 was seen to do with a
    // scsi_debug disk that ignores commands, each SG_IO waits out its
    // time-out (here at most silentWaitCapMs), the kernel aborts the command
    // and SG_IO succeeds with host status DID_TIME_OUT and nothing
    // transferred; the device stays "running".
    bool answers = true;
    unsigned silentWaitCapMs = 0;
    // Operation codes answered with ILLEGAL REQUEST, INVALID COMMAND OPERATION
    // CODE (e.g. {0x5a, 0x55} for a device without ten-byte mode commands,
    // {0x85, 0xa1} for a bridge without ATA pass-through).
    std::set<unsigned char> unsupportedOpcodes;
    bool ignoreModeSelect = false;   // accepts MODE SELECT without applying it
    int sgIoErrno = 0;               // SG_IO itself fails with this errno
    unsigned short hostStatus = 0;   // every command ends with this host status
    // Bits above the driver code that older kernels add on CHECK CONDITION
    // (0x10, SUGGEST_RETRY, makes driver_status 0x18).
    unsigned short driverSuggestion = 0;
    bool acceptHdioSetWcache = false;  // only legacy IDE drivers take it
    bool setFeaturesAborts = false;    // the drive aborts SET FEATURES
    // The layer answers SET FEATURES with CHECK CONDITION, this sense key
    // and this ATA status in its status return descriptor, and nothing
    // changes; by default a device fault (ABORTED COMMAND, status 0x70:
    // DRDY, DF, DSC; ERR clear).
    bool setFeaturesFault = false;
    unsigned char setFeaturesFaultKey = 0x0b;
    unsigned char setFeaturesFaultStatus = 0x70;
    // After a MODE SELECT the next command gets UNIT ATTENTION, MODE
    // PARAMETERS CHANGED, as scsi_debug does; a rescan's commands use it up.
    bool unitAttentionAfterModeSelect = false;
    bool unitAttentionPending = false;

    // --- what the disk received --------------------------------------------------
    struct Exchange {
        unsigned long request = 0;          // SG_IO or HDIO_SET_WCACHE
        std::vector<unsigned char> cdb;     // SG_IO only
        int direction = 0;
        unsigned dxferLength = 0;
        std::vector<unsigned char> dataOut; // bytes sent to the device
        unsigned long value = 0;            // HDIO_SET_WCACHE argument
        unsigned timeoutMs = 0;             // SG_IO only: the time-out asked for
    };
    std::vector<Exchange> received;
    // The CDBs of the SG_IO requests that reached the disk, in order.
    std::vector<std::vector<unsigned char>> Cdbs() const;

    int HandleIoctl(unsigned long request, void* argument) override;
    int HandleIoctlValue(unsigned long request, unsigned long value) override;

    // Persistent state as text ("wce=1 savedWce=1", with " ua=1" while a unit
    // attention is pending) and back; Load returns
    // false on malformed text and leaves the state alone then.
    std::string Save() const;
    bool Load(const std::string& text);
    // The disk loses its current mode values and returns to the saved ones.
    void PowerCycle() { wce = savedWce; }

private:
    struct Outcome {
        unsigned char status = 0;            // SCSI status byte
        std::vector<unsigned char> sense;
        std::vector<unsigned char> dataIn;   // response before truncation
        uint32_t allocationLength = 0;       // the CDB's limit on dataIn
    };

    Outcome Execute(const std::vector<unsigned char>& cdb, const std::vector<unsigned char>& dataOut);
    Outcome ModeSense(const std::vector<unsigned char>& cdb);
    Outcome ModeSelect(const std::vector<unsigned char>& cdb, const std::vector<unsigned char>& dataOut);
    Outcome AtaPassThrough(const std::vector<unsigned char>& cdb);
    Outcome CheckCondition(unsigned char key, unsigned char asc, unsigned char ascq) const;
    std::vector<unsigned char> CachingPage(int pageControl) const;
    std::vector<unsigned char> BlockDescriptors() const;
    std::vector<unsigned char> VendorPage() const;
    std::vector<unsigned char> ErrorRecoveryPage() const;

    Kind kind;
};

#endif
