/* qvprobe: asks the guest kernel the questions the daemon asks, and prints
 * the raw answers, so a scenario can record what a real kernel and a real
 * disk do independently of the daemon.
 *
 *   qvprobe ioctl DEV REQUEST SIZE       ioctl with a zeroed SIZE-byte record
 *   qvprobe hdio-wcache DEV VALUE        HDIO_SET_WCACHE
 *   qvprobe cdb DEV [-i LEN|-o HEX] B..  one SG_IO command, CDB given in hex
 *   qvprobe mode-rmw DEV 6|10 WCE keep-ps|clear-ps|set-ps
 *                                        MODE SENSE then MODE SELECT of the
 *                                        Caching page, as a read-modify-write
 *   qvprobe nvme DEV admin|io OPCODE NSID CDW10 CDW11 [TIMEOUT_MS]
 *                                        one NVMe command without data through
 *                                        NVME_IOCTL_ADMIN_CMD / NVME_IOCTL_IO_CMD,
 *                                        with the driver's time-out or this one
 *   qvprobe nvme-id DEV                  NVME_IOCTL_ID (the namespace id)
 *   qvprobe times PATH...                a path's modification and change times
 *   qvprobe block0 DEV [WAIT_MS]         block 0 read from the page cache only
 *                                        (RWF_NOWAIT); when it is not there,
 *                                        readahead asked for and the read tried
 *                                        again every ms for up to WAIT_MS
 *   qvprobe write0 DEV direct|buffered   4 KiB of a label's first line over
 *                                        block 0, as a label writer writes it
 *   qvprobe lvm-meta DEV...              LVM's text metadata read from each
 *                                        device's own metadata area, without a
 *                                        process or a lock: bytes, tags, time
 *
 * Every line printed is "key=value ..." so the shell can pick fields with
 * sed. Devices are opened read-only and non-blocking, as the daemon does. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <linux/nvme_ioctl.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

struct Outcome {
    int rc;
    int err;
    unsigned char status;
    unsigned char masked;
    unsigned short host;
    unsigned short driver;
    unsigned char sbLen;
    unsigned char sense[64];
    unsigned int resid;
};

static int OpenDev(const char* path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        printf("open=%s errno=%d msg=\"%s\"\n", path, errno, strerror(errno));
        exit(2);
    }
    return fd;
}

static void PrintHex(const char* key, const unsigned char* p, unsigned int n)
{
    printf("%s=", key);
    for (unsigned int i = 0; i < n; ++i) {
        printf("%02x", p[i]);
    }
    printf("\n");
}

static struct Outcome SendCdb(int fd, unsigned char* cdb, int cdbLen, int dir, unsigned char* data,
                              unsigned int dataLen)
{
    struct Outcome o;
    memset(&o, 0, sizeof(o));
    struct sg_io_hdr h;
    memset(&h, 0, sizeof(h));
    h.interface_id = 'S';
    h.dxfer_direction = dir;
    h.cmd_len = (unsigned char)cdbLen;
    h.mx_sb_len = sizeof(o.sense);
    h.dxfer_len = dataLen;
    h.dxferp = data;
    h.cmdp = cdb;
    h.sbp = o.sense;
    h.timeout = 60000;
    o.rc = ioctl(fd, SG_IO, &h);
    o.err = o.rc < 0 ? errno : 0;
    o.status = h.status;
    o.masked = h.masked_status;
    o.host = h.host_status;
    o.driver = h.driver_status;
    o.sbLen = h.sb_len_wr;
    o.resid = (unsigned int)h.resid;
    return o;
}

static void PrintOutcome(const char* what, const struct Outcome* o)
{
    printf("%s rc=%d errno=%d status=0x%02x masked=%u host=%u driver=0x%02x sb_len=%u", what, o->rc,
           o->err, o->status, o->masked, o->host, o->driver, o->sbLen);
    if (o->sbLen > 0) {
        /* Key, ASC and ASCQ sit at 2/12/13 in fixed format and 1/2/3 in
         * descriptor format (SPC-4 4.5.2, 4.5.3). */
        int desc = (o->sense[0] & 0x7f) >= 0x72;
        printf(" format=%s key=0x%x asc=0x%02x ascq=0x%02x byte21=0x%02x", desc ? "descriptor" : "fixed",
               (desc ? o->sense[1] : o->sense[2]) & 0xf, desc ? o->sense[2] : o->sense[12],
               desc ? o->sense[3] : o->sense[13], o->sense[21]);
    }
    printf("\n");
    if (o->sbLen > 0) {
        PrintHex("sense", o->sense, o->sbLen);
    }
}

static int CmdIoctl(int argc, char** argv)
{
    if (argc != 5) {
        return 64;
    }
    int fd = OpenDev(argv[2]);
    unsigned long request = strtoul(argv[3], NULL, 16);
    unsigned char record[256];
    memset(record, 0, sizeof(record));
    int rc = ioctl(fd, request, record);
    int err = rc < 0 ? errno : 0;
    printf("ioctl=0x%lx rc=%d errno=%d msg=\"%s\"\n", request, rc, err, err ? strerror(err) : "");
    close(fd);
    return 0;
}

static int CmdHdio(int argc, char** argv)
{
    if (argc != 4) {
        return 64;
    }
    int fd = OpenDev(argv[2]);
    int rc = ioctl(fd, HDIO_SET_WCACHE, strtoul(argv[3], NULL, 0));
    int err = rc < 0 ? errno : 0;
    printf("hdio_set_wcache rc=%d errno=%d msg=\"%s\"\n", rc, err, err ? strerror(err) : "");
    close(fd);
    return 0;
}

static unsigned int ParseHex(const char* text, unsigned char* out, unsigned int max)
{
    unsigned int n = 0;
    while (text[0] && text[1] && n < max) {
        char pair[3] = {text[0], text[1], 0};
        out[n++] = (unsigned char)strtoul(pair, NULL, 16);
        text += 2;
    }
    return n;
}

static int CmdCdb(int argc, char** argv)
{
    if (argc < 4) {
        return 64;
    }
    int fd = OpenDev(argv[2]);
    int i = 3;
    int dir = SG_DXFER_NONE;
    unsigned char data[4096];
    unsigned int dataLen = 0;
    memset(data, 0, sizeof(data));
    if (strcmp(argv[i], "-i") == 0 && i + 1 < argc) {
        dir = SG_DXFER_FROM_DEV;
        dataLen = (unsigned int)strtoul(argv[i + 1], NULL, 0);
        i += 2;
    } else if (strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
        dir = SG_DXFER_TO_DEV;
        dataLen = ParseHex(argv[i + 1], data, sizeof(data));
        i += 2;
    }
    unsigned char cdb[16];
    int cdbLen = 0;
    for (; i < argc && cdbLen < 16; ++i) {
        cdb[cdbLen++] = (unsigned char)strtoul(argv[i], NULL, 16);
    }
    struct Outcome o = SendCdb(fd, cdb, cdbLen, dir, data, dataLen);
    PrintOutcome("cdb", &o);
    if (dir == SG_DXFER_FROM_DEV && o.rc == 0) {
        PrintHex("data", data, dataLen - o.resid);
    }
    close(fd);
    return 0;
}

/* The read-modify-write a write-cache switch does: MODE SENSE the Caching
 * page (page 8), flip WCE (bit 2 of page byte 2), zero the mode data length
 * (reserved in MODE SELECT, SPC-4 7.5.5) and send the list back with PF set. */
static int CmdModeRmw(int argc, char** argv)
{
    if (argc != 6) {
        return 64;
    }
    int fd = OpenDev(argv[2]);
    int ten = strcmp(argv[3], "10") == 0;
    int wce = atoi(argv[4]);
    int clearPs = strcmp(argv[5], "clear-ps") == 0;
    int setPs = strcmp(argv[5], "set-ps") == 0;
    unsigned char buf[512];
    memset(buf, 0, sizeof(buf));
    unsigned char sense10[10] = {0x5a, 0, 0x08, 0, 0, 0, 0, 0x01, 0x00, 0};
    unsigned char sense6[6] = {0x1a, 0, 0x08, 0, 0xff, 0};
    struct Outcome o = ten ? SendCdb(fd, sense10, 10, SG_DXFER_FROM_DEV, buf, 256)
                           : SendCdb(fd, sense6, 6, SG_DXFER_FROM_DEV, buf, 255);
    PrintOutcome("mode_sense", &o);
    if (o.rc != 0 || o.masked != 0) {
        close(fd);
        return 1;
    }
    unsigned int header = ten ? 8 : 4;
    unsigned int total = ten ? ((unsigned)buf[0] << 8 | buf[1]) + 2 : (unsigned)buf[0] + 1;
    unsigned int bd = ten ? ((unsigned)buf[6] << 8 | buf[7]) : buf[3];
    unsigned char devSpecific = ten ? buf[3] : buf[2];
    unsigned char* page = buf + header + bd;
    printf("mode_data total=%u block_descriptors=%u device_specific=0x%02x dpofua=%d page_code=0x%02x "
           "ps=%d wce=%d\n",
           total, bd, devSpecific, (devSpecific >> 4) & 1, page[0] & 0x3f, page[0] >> 7, (page[2] >> 2) & 1);
    PrintHex("mode_data", buf, total);
    if (ten) {
        buf[0] = 0;
        buf[1] = 0;
    } else {
        buf[0] = 0;
    }
    page[2] = (unsigned char)((page[2] & ~0x04) | (wce ? 0x04 : 0));
    /* PS (bit 7 of page byte 0) is reserved in a MODE SELECT parameter
     * list (SPC-4 7.5.5); set-ps shows what a device does when it is not. */
    if (clearPs) {
        page[0] &= 0x7f;
    }
    if (setPs) {
        page[0] |= 0x80;
    }
    unsigned char select10[10] = {0x55, 0x10, 0, 0, 0, 0, 0, (unsigned char)(total >> 8), (unsigned char)total, 0};
    unsigned char select6[6] = {0x15, 0x10, 0, 0, (unsigned char)total, 0};
    o = ten ? SendCdb(fd, select10, 10, SG_DXFER_TO_DEV, buf, total)
            : SendCdb(fd, select6, 6, SG_DXFER_TO_DEV, buf, total);
    PrintOutcome("mode_select", &o);
    close(fd);
    return 0;
}

/* The result field is the completion's dword 0; a positive rc is the NVMe
 * status the controller returned. */
static int CmdNvme(int argc, char** argv)
{
    if (argc != 8 && argc != 9) {
        return 64;
    }
    int fd = OpenDev(argv[2]);
    struct nvme_passthru_cmd c;
    memset(&c, 0, sizeof(c));
    c.opcode = (unsigned char)strtoul(argv[4], NULL, 16);
    c.nsid = (unsigned int)strtoul(argv[5], NULL, 0);
    c.cdw10 = (unsigned int)strtoul(argv[6], NULL, 0);
    c.cdw11 = (unsigned int)strtoul(argv[7], NULL, 0);
    c.timeout_ms = argc == 9 ? (unsigned int)strtoul(argv[8], NULL, 0) : 0;
    unsigned long request = strcmp(argv[3], "io") == 0 ? NVME_IOCTL_IO_CMD : NVME_IOCTL_ADMIN_CMD;
    int rc = ioctl(fd, request, &c);
    int err = rc < 0 ? errno : 0;
    printf("nvme %s opcode=0x%02x rc=%d status=0x%x errno=%d result=0x%x msg=\"%s\"\n", argv[3], c.opcode, rc,
           rc > 0 ? rc : 0, err, c.result, err ? strerror(err) : "");
    close(fd);
    return 0;
}

static int CmdNvmeId(int argc, char** argv)
{
    if (argc != 3) {
        return 64;
    }
    int fd = OpenDev(argv[2]);
    int rc = ioctl(fd, NVME_IOCTL_ID);
    int err = rc < 0 ? errno : 0;
    printf("nvme_id rc=%d errno=%d\n", rc, err);
    close(fd);
    return 0;
}

/* flock FILE...: takes an exclusive flock on each file, as a command of
 * LVM's holds its lock files, prints "locked" and keeps them until killed. */
static int CmdFlock(int argc, char** argv)
{
    for (int i = 2; i < argc; i++) {
        int fd = open(argv[i], O_RDWR | O_CREAT, 0600);
        if (fd < 0 || flock(fd, LOCK_EX) != 0) {
            printf("flock %s failed errno=%d\n", argv[i], errno);
            return 1;
        }
    }
    printf("locked\n");
    for (;;) {
        pause();
    }
}

static long long NowUs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

static int CmdTimes(int argc, char** argv)
{
    for (int i = 2; i < argc; i++) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            printf("path=%s errno=%d\n", argv[i], errno);
            continue;
        }
        printf("path=%s mtime=%lld.%09ld ctime=%lld.%09ld\n", argv[i], (long long)st.st_mtim.tv_sec,
               st.st_mtim.tv_nsec, (long long)st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    }
    return 0;
}

/* What block 0 holds, in a word. */
static const char* Block0Kind(const unsigned char* b)
{
    if (memcmp(b, "bluestore block device\n", 23) == 0) {
        return "bluestore";
    }
    for (int s = 0; s < 4; s++) {
        if (memcmp(b + 512 * s, "LABELONE", 8) == 0) {
            return "lvm";
        }
    }
    for (int i = 0; i < 4096; i++) {
        if (b[i] != 0) {
            return "other";
        }
    }
    return "zero";
}

static int CmdBlock0(int argc, char** argv)
{
    if (argc < 3) {
        return 64;
    }
    long waitMs = argc > 3 ? atol(argv[3]) : 0;
    static unsigned char block[4096];
    int fd = OpenDev(argv[2]);
    struct iovec io = {block, sizeof(block)};
    long long t0 = NowUs();
    ssize_t got = preadv2(fd, &io, 1, 0, RWF_NOWAIT);
    int err = got < 0 ? errno : 0;
    printf("first rc=%zd errno=%d us=%lld\n", got, err, NowUs() - t0);
    if (got < 0 && err == EAGAIN && waitMs > 0) {
        int advised = posix_fadvise(fd, 0, sizeof(block), POSIX_FADV_WILLNEED);
        printf("advise rc=%d us=%lld\n", advised, NowUs() - t0);
        int tries = 0;
        while (got < 0 && errno == EAGAIN && NowUs() - t0 < waitMs * 1000) {
            usleep(1000);
            tries++;
            got = preadv2(fd, &io, 1, 0, RWF_NOWAIT);
        }
        err = got < 0 ? errno : 0;
        printf("after rc=%zd errno=%d tries=%d us=%lld\n", got, err, tries, NowUs() - t0);
    }
    if (got == (ssize_t)sizeof(block)) {
        printf("kind=%s\n", Block0Kind(block));
    }
    close(fd);
    return 0;
}

static int CmdWrite0(int argc, char** argv)
{
    if (argc < 4) {
        return 64;
    }
    int direct = strcmp(argv[3], "direct") == 0;
    static unsigned char block[4096] __attribute__((aligned(4096)));
    memset(block, 0, sizeof(block));
    memcpy(block, "bluestore block device\n", 23);
    int fd = open(argv[2], O_WRONLY | (direct ? O_DIRECT : 0));
    if (fd < 0) {
        printf("open=%s errno=%d\n", argv[2], errno);
        return 2;
    }
    ssize_t put = pwrite(fd, block, sizeof(block), 0);
    printf("write rc=%zd errno=%d\n", put, put < 0 ? errno : 0);
    if (!direct) {
        fsync(fd);
    }
    close(fd);
    return 0;
}

static unsigned long long Le64(const unsigned char* p)
{
    unsigned long long v = 0;
    for (int i = 7; i >= 0; i--) {
        v = (v << 8) | p[i];
    }
    return v;
}

/* One device's current metadata text, as LVM's label, its first metadata
 * area's header and the text's location describe them: the bytes read and
 * the ceph.type=block tags in it, or -1. */
static long MetaOf(int fd, long* blockTags)
{
    static unsigned char head[4096];
    static unsigned char mda[512];
    static char text[1 << 20];
    if (pread(fd, head, sizeof(head), 0) != (ssize_t)sizeof(head)) {
        return -1;
    }
    int s = 0;
    while (s < 4 && !(memcmp(head + 512 * s, "LABELONE", 8) == 0 && memcmp(head + 512 * s + 24, "LVM2 001", 8) == 0)) {
        s++;
    }
    if (s == 4) {
        return -1;
    }
    unsigned offset = head[512 * s + 20] | head[512 * s + 21] << 8;
    const unsigned char* pv = head + 512 * s + offset + 32 + 8; /* past the uuid and the size */
    while (pv + 16 <= head + sizeof(head) && Le64(pv) != 0) {
        pv += 16; /* data areas */
    }
    pv += 16;
    if (pv + 16 > head + sizeof(head) || Le64(pv) == 0) {
        return -1;
    }
    unsigned long long mdaStart = Le64(pv);
    if (pread(fd, mda, sizeof(mda), (off_t)mdaStart) != (ssize_t)sizeof(mda) || memcmp(mda + 4, " LVM2 x[5A%r0N*>", 16) != 0) {
        return -1;
    }
    unsigned long long areaSize = Le64(mda + 32);
    unsigned long long at = Le64(mda + 40);
    unsigned long long size = Le64(mda + 48);
    if (size == 0 || size >= sizeof(text)) {
        return -1;
    }
    unsigned long long first = at + size > areaSize ? areaSize - at : size;
    if (pread(fd, text, first, (off_t)(mdaStart + at)) != (ssize_t)first ||
        (first < size && pread(fd, text + first, size - first, (off_t)(mdaStart + 512)) != (ssize_t)(size - first))) {
        return -1;
    }
    text[size] = 0;
    for (char* p = strstr(text, "ceph.type=block"); p != NULL; p = strstr(p + 1, "ceph.type=block")) {
        (*blockTags)++;
    }
    return (long)size;
}

static int CmdLvmMeta(int argc, char** argv)
{
    long long t0 = NowUs();
    long bytes = 0, tags = 0, pvs = 0;
    for (int i = 2; i < argc; i++) {
        int fd = open(argv[i], O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        long got = MetaOf(fd, &tags);
        close(fd);
        if (got > 0) {
            bytes += got;
            pvs++;
        }
    }
    printf("devices=%d pvs=%ld text_bytes=%ld block_tags=%ld us=%lld\n", argc - 2, pvs, bytes, tags, NowUs() - t0);
    return 0;
}

/* now: CLOCK_MONOTONIC in milliseconds, to time what the daemon does. */
static int CmdNow(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    printf("%lld\n", (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: qvprobe ioctl|hdio-wcache|cdb|mode-rmw|nvme|nvme-id|flock|now|times|block0|write0|lvm-meta DEV ...\n");
        return 64;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (strcmp(argv[1], "ioctl") == 0) {
        return CmdIoctl(argc, argv);
    }
    if (strcmp(argv[1], "hdio-wcache") == 0) {
        return CmdHdio(argc, argv);
    }
    if (strcmp(argv[1], "cdb") == 0) {
        return CmdCdb(argc, argv);
    }
    if (strcmp(argv[1], "mode-rmw") == 0) {
        return CmdModeRmw(argc, argv);
    }
    if (strcmp(argv[1], "nvme") == 0) {
        return CmdNvme(argc, argv);
    }
    if (strcmp(argv[1], "nvme-id") == 0) {
        return CmdNvmeId(argc, argv);
    }
    if (strcmp(argv[1], "flock") == 0) {
        return CmdFlock(argc, argv);
    }
    if (strcmp(argv[1], "now") == 0) {
        return CmdNow();
    }
    if (strcmp(argv[1], "times") == 0) {
        return CmdTimes(argc, argv);
    }
    if (strcmp(argv[1], "block0") == 0) {
        return CmdBlock0(argc, argv);
    }
    if (strcmp(argv[1], "write0") == 0) {
        return CmdWrite0(argc, argv);
    }
    if (strcmp(argv[1], "lvm-meta") == 0) {
        return CmdLvmMeta(argc, argv);
    }
    return 64;
}
