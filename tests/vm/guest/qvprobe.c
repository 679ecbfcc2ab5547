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
 *
 * Every line printed is "key=value ..." so the shell can pick fields with
 * sed. Devices are opened read-only and non-blocking, as the daemon does. */
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
        fprintf(stderr, "usage: qvprobe ioctl|hdio-wcache|cdb|mode-rmw|nvme|nvme-id|flock|now DEV ...\n");
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
    return 64;
}
