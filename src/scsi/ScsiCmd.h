// The SCSI command layer: one SG_IO transport and the commands that read,
// switch and flush a disk's volatile write cache.
#ifndef QUELVAR_SCSI_SCSICMD_H
#define QUELVAR_SCSI_SCSICMD_H

#include <cstdint>

#include "sys/CommandGate.h"
#include "sys/SystemApi.h"

// One SCSI command as its builder describes it to SendSgIo.
struct SgRequest {
    unsigned char* cdb;
    int32_t cdbLength;
    int32_t direction;  // SG_DXFER_NONE, SG_DXFER_TO_DEV or SG_DXFER_FROM_DEV
    unsigned char* data;
    int32_t dataLength;
    unsigned char* sense;
    int32_t senseLength;
    int32_t timeout;  // milliseconds; 0 means SCSI_DEFAULT_TIMEOUT_MS
    int32_t flags = 0;  // SG_REQUEST_QUIET, SG_REQUEST_UNIT_ATTENTION_EXPECTED
    int32_t resid = 0;  // set by SendSgIo: bytes of the buffer not transferred
};

// Flags of an SgRequest. A quiet request logs nothing: its caller reads a
// refusal as "cannot tell". One that expects the unit attention a strict disk
// raises after MODE SELECT gets SG_RESULT_UNIT_ATTENTION for it, unlogged.
constexpr int32_t SG_REQUEST_QUIET = 1;
constexpr int32_t SG_REQUEST_UNIT_ATTENTION_EXPECTED = 2;
// SendSgIo's result for that expected unit attention.
constexpr int SG_RESULT_UNIT_ATTENTION = 2;

// A mode parameter buffer carried between MODE SENSE and MODE SELECT.
struct ModeBuffer {
    int32_t length;  // also the allocation or parameter list length
    unsigned char* data;
    int32_t transferred = 0;  // set by SendModeSense: bytes the device sent
    int32_t flags = 0;        // SgRequest flags of the command
};

// Forms of the builders' `form` argument.
constexpr int SCSI_FORM_TEN_BYTE = 1;     // MODE SENSE/SELECT(10), SYNCHRONIZE CACHE(10)
constexpr int SCSI_FORM_SIX_BYTE = 0;     // MODE SENSE/SELECT(6)
constexpr int SCSI_FORM_SIXTEEN_BYTE = 0; // SYNCHRONIZE CACHE(16)
constexpr int ATA_FORM_SIXTEEN_BYTE = 1;  // ATA PASS-THROUGH(16)
constexpr int ATA_FORM_TWELVE_BYTE = 0;   // ATA PASS-THROUGH(12)

class ScsiCmd : public SystemApi {
public:
    ScsiCmd() = default;
    ~ScsiCmd() override = default;

    // Switches the volatile write cache to `wanted` (0 or 1).
    // 0 changed, -1 already as wanted, 1 failed.
    [[nodiscard]] virtual int SetWriteCache(int fd, int wanted);
    // SYNCHRONIZE CACHE(10), then (16) if that failed. 0 done, 1 failed.
    [[nodiscard]] virtual int SyncCache(int fd);
    // Reads one mode page (selector: page code, subpage code) in two passes.
    // 0 with *buffer (malloc'ed, the caller frees it) and *length set; 1
    // failed with nothing set.
    [[nodiscard]] virtual int ModeSense6(int fd, int pageControl, const unsigned char* pageSelector,
                                         unsigned char** buffer, uint32_t* length);
    [[nodiscard]] virtual int ModeSense10(int fd, int pageControl, const unsigned char* pageSelector,
                                          unsigned char** buffer, uint32_t* length);
    // Reads WCE from the Caching page. 0 with *wce set to 0 or 1; 1 failed.
    [[nodiscard]] virtual int GetWriteCache(int fd, int pageControl, int* wce);

    // Reads WCE of the current Caching page with one MODE SENSE(10), or
    // MODE SENSE(6) when that gives no page, and logs nothing: a read-only
    // look at the disk. 0 with *wce set to 0 or 1; 1 the disk did not tell.
    [[nodiscard]] int PeekWriteCache(int fd, int* wce);

    // Hands one command to the kernel. 0 succeeded, 1 failed (logged unless
    // quiet), SG_RESULT_UNIT_ATTENTION the unit attention the request
    // expected. A command that times out closes the gate, unlogged (the
    // caller reports the disk once); through a closed gate nothing is sent
    // and the result is 1 at once.
    [[nodiscard]] int SendSgIo(int fd, SgRequest* request, bool checkAtaStatus);

    // What the disk made of the commands sent through this object.
    [[nodiscard]] CommandGate& Gate() { return gate; }

    [[nodiscard]] int SendModeSense(int fd, int pageControl, const unsigned char* pageSelector,
                                    ModeBuffer* buffer, int form);
    [[nodiscard]] int SendModeSelect(int fd, ModeBuffer* buffer, int form);
    [[nodiscard]] int SendSyncCache(int fd, int form);
    [[nodiscard]] int AtaSetFeatures(int fd, unsigned char subcommand, int form);

    // Stage one of SetWriteCache: HDIO_SET_WCACHE, else ATA SET FEATURES.
    // 0 changed, -1 already as wanted, 1 failed.
    [[nodiscard]] int SetWriteCacheAta(int fd, int wanted);
    // Sets WCE in the Caching page at `page` and sends the buffer back.
    // -1 already as wanted (nothing sent), 0 MODE SELECT succeeded, 1 failed.
    [[nodiscard]] int SelectWriteCache(int fd, int wanted, unsigned char* page, ModeBuffer* buffer, int form);

private:
    // Stages two (ten-byte form) and three (six-byte form) of SetWriteCache:
    // read the Caching page and send it back with WCE switched.
    // 0 switched or found as wanted, 1 failed.
    [[nodiscard]] int SetWriteCacheModePage(int fd, int wanted, int form);
    // One MODE SENSE of the Caching page with room for it, and WCE from the
    // bytes the device really sent. 0 with *wce set, 1 failed,
    // SG_RESULT_UNIT_ATTENTION when the request expected one and met it.
    [[nodiscard]] int ReadCachingOnce(int fd, int form, int32_t flags, int* wce);

    CommandGate gate;
};

#endif
