/* qvcut: the two ends of the power-cut test.
 *
 * In the guest it writes self-describing 4 KiB blocks at fresh offsets with
 * O_DIRECT and no fsync, and acknowledges each completed write on QEMU's
 * debug console (I/O port 0xe9), which QEMU writes to a host file before the
 * port write returns: an acknowledgement on the host means the write had
 * completed in the guest.
 *
 *   qvcut write RUN [-k K] [-n N] TAG=DEV...  round-robin over the devices,
 *       block SEQ of each at offset SEQ*4096; after each write "TAG SEQ";
 *       with -k an fsync of every device each K rounds and after the last,
 *       then "F TAG SEQ" (every block up to SEQ is synced); with -n N rounds
 *       at most; "G RUN"
 *       first, "E" at the end, "X TAG ERRNO" on a failed write
 *   qvcut say TEXT                            one line on the debug console
 *
 * On the host it reads what a cut left:
 *
 *   qvcut check IMAGE ACKS RUN TAG [SWITCH]   the blocks of TAG acknowledged
 *       in ACKS (the debug console's file) against those the image holds;
 *       SWITCH is the size ACKS had when the host saw the disk's cache
 *       switched off: writes acknowledged after it, but the one that may have
 *       been under way then, were sent with the cache off.
 *       Prints "acked= lost= synced= lost_synced= window= lost_after=". */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

enum { kBlock = 4096, kMaxDevs = 8, kTagLen = 8 };
static const char kMagic[8] = "QVCUTBLK";

struct Header {
    char magic[8];
    uint64_t run;
    char tag[kTagLen];
    uint64_t seq;
    uint32_t crc;
};

static uint32_t crcTable[256];

static void CrcInit(void)
{
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
        }
        crcTable[i] = c;
    }
}

/* CRC-32 of the block with its own crc field taken as zero. */
static uint32_t BlockCrc(const unsigned char* b)
{
    uint32_t c = 0xffffffffu;
    for (size_t i = 0; i < kBlock; ++i) {
        unsigned char v = (i >= offsetof(struct Header, crc) && i < offsetof(struct Header, crc) + 4) ? 0 : b[i];
        c = crcTable[(c ^ v) & 0xff] ^ (c >> 8);
    }
    return c ^ 0xffffffffu;
}

static void Fill(unsigned char* b, uint64_t run, const char* tag, uint64_t seq)
{
    struct Header h;
    memset(&h, 0, sizeof(h));
    memcpy(h.magic, kMagic, sizeof(h.magic));
    h.run = run;
    memcpy(h.tag, tag, strnlen(tag, kTagLen));
    h.seq = seq;
    uint64_t x = run ^ (seq * 0x9e3779b97f4a7c15ull) ^ 1;
    for (size_t i = sizeof(h); i + 8 <= kBlock; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        memcpy(b + i, &x, 8);
    }
    memcpy(b, &h, sizeof(h));
    h.crc = BlockCrc(b);
    memcpy(b, &h, sizeof(h));
}

static void Say(const char* line)
{
#if defined(__x86_64__) || defined(__i386__)
    for (const char* p = line; *p; ++p) {
        outb((unsigned char)*p, 0xe9);
    }
    outb('\n', 0xe9);
#else
    (void)line;
#endif
}

static int OpenPort(void)
{
#if defined(__x86_64__) || defined(__i386__)
    if (ioperm(0xe9, 1, 1) == 0) {
        return 0;
    }
#endif
    fprintf(stderr, "qvcut: no debug console port: %s\n", strerror(errno));
    return -1;
}

static int Write(int argc, char** argv)
{
    if (argc < 2) {
        return 64;
    }
    uint64_t run = strtoull(argv[1], NULL, 16);
    long syncEvery = 0, rounds = -1;
    int i = 2;
    for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
        if (strcmp(argv[i], "-k") == 0) {
            syncEvery = atol(argv[i + 1]);
        } else if (strcmp(argv[i], "-n") == 0) {
            rounds = atol(argv[i + 1]);
        } else {
            return 64;
        }
    }
    char tags[kMaxDevs][kTagLen + 1];
    int fds[kMaxDevs];
    off_t sizes[kMaxDevs];
    int n = 0;
    for (; i < argc && n < kMaxDevs; ++i, ++n) {
        char* eq = strchr(argv[i], '=');
        if (eq == NULL || eq - argv[i] > kTagLen) {
            return 64;
        }
        snprintf(tags[n], sizeof(tags[n]), "%.*s", (int)(eq - argv[i]), argv[i]);
        fds[n] = open(eq + 1, O_RDWR | O_DIRECT);
        if (fds[n] < 0) {
            fprintf(stderr, "qvcut: %s: %s\n", eq + 1, strerror(errno));
            return 2;
        }
        sizes[n] = lseek(fds[n], 0, SEEK_END);
    }
    if (n == 0 || OpenPort() != 0) {
        return 2;
    }
    unsigned char* block;
    if (posix_memalign((void**)&block, kBlock, kBlock) != 0) {
        return 2;
    }
    char line[64];
    snprintf(line, sizeof(line), "G %llx", (unsigned long long)run);
    Say(line);
    for (uint64_t seq = 0; rounds < 0 || (long)seq < rounds; ++seq) {
        for (int d = 0; d < n; ++d) {
            if ((off_t)((seq + 1) * kBlock) > sizes[d]) {
                Say("E");
                return 0;
            }
            Fill(block, run, tags[d], seq);
            if (pwrite(fds[d], block, kBlock, (off_t)(seq * kBlock)) != kBlock) {
                snprintf(line, sizeof(line), "X %s %d", tags[d], errno);
                Say(line);
                return 1;
            }
            snprintf(line, sizeof(line), "%s %llu", tags[d], (unsigned long long)seq);
            Say(line);
        }
        if (syncEvery > 0 && (((long)seq + 1) % syncEvery == 0 || (long)seq + 1 == rounds)) {
            for (int d = 0; d < n; ++d) {
                if (fsync(fds[d]) != 0) {
                    snprintf(line, sizeof(line), "X %s %d", tags[d], errno);
                    Say(line);
                    return 1;
                }
                snprintf(line, sizeof(line), "F %s %llu", tags[d], (unsigned long long)seq);
                Say(line);
            }
        }
    }
    Say("E");
    return 0;
}

static int Check(int argc, char** argv)
{
    if (argc < 5) {
        return 64;
    }
    uint64_t run = strtoull(argv[3], NULL, 16);
    const char* tag = argv[4];
    long switchAt = argc > 5 ? atol(argv[5]) : -1;
    FILE* acks = fopen(argv[2], "r");
    int fd = open(argv[1], O_RDONLY);
    struct stat st;
    if (acks == NULL || fd < 0 || fstat(fd, &st) != 0) {
        perror("qvcut check");
        return 2;
    }
    size_t blocks = (size_t)st.st_size / kBlock + 1;
    /* 1 acknowledged, 2 written with the cache off, 4 found on the image */
    unsigned char* state = calloc(blocks, 1);
    long synced = -1;
    char text[128];
    int skipped = 0, seen = 0;
    long at = 0;
    uint64_t maxSeq = 0;
    while (fgets(text, sizeof(text), acks) != NULL) {
        long start = at;
        at += (long)strlen(text);
        int after = switchAt >= 0 && start >= switchAt && skipped++ > 0;
        char t[kTagLen + 1];
        unsigned long long seq;
        if (sscanf(text, "F %8s %llu", t, &seq) == 2) {
            if (strcmp(t, tag) == 0) {
                synced = (long)seq;
            }
        } else if (sscanf(text, "%8s %llu", t, &seq) == 2 && strcmp(t, tag) == 0 && seq < blocks) {
            state[seq] |= 1 | (after ? 2 : 0);
            maxSeq = seq > maxSeq ? seq : maxSeq;
            seen = 1;
        }
    }
    const unsigned char* image = st.st_size > 0 ? mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0) : NULL;
    if (st.st_size > 0 && image == MAP_FAILED) {
        perror("qvcut check: mmap");
        return 2;
    }
    for (off_t off = 0; off + kBlock <= st.st_size; off += 512) {
        const unsigned char* b = image + off;
        struct Header h;
        if (memcmp(b, kMagic, sizeof(kMagic)) != 0) {
            continue;
        }
        memcpy(&h, b, sizeof(h));
        if (h.run == run && strncmp(h.tag, tag, kTagLen) == 0 && h.seq < blocks && BlockCrc(b) == h.crc) {
            state[h.seq] |= 4;
        }
    }
    long acked = 0, lost = 0, syncedAcked = 0, lostSynced = 0, window = 0, lostAfter = 0;
    for (uint64_t s = 0; seen && s <= maxSeq; ++s) {
        if (!(state[s] & 1)) {
            continue;
        }
        int gone = !(state[s] & 4);
        acked++;
        lost += gone;
        if ((long)s <= synced) {
            syncedAcked++;
            lostSynced += gone;
        }
        if (state[s] & 2) {
            lostAfter += gone;
        } else {
            window++;
        }
    }
    printf("acked=%ld lost=%ld synced=%ld lost_synced=%ld window=%ld lost_after=%ld\n", acked, lost, syncedAcked,
           lostSynced, window, lostAfter);
    return 0;
}

int main(int argc, char** argv)
{
    CrcInit();
    if (argc >= 2 && strcmp(argv[1], "write") == 0) {
        return Write(argc - 1, argv + 1);
    }
    if (argc == 3 && strcmp(argv[1], "say") == 0) {
        return OpenPort() == 0 ? (Say(argv[2]), 0) : 2;
    }
    if (argc >= 2 && strcmp(argv[1], "check") == 0) {
        return Check(argc - 1, argv + 1);
    }
    fprintf(stderr, "usage: qvcut write RUN [-k K] [-n N] TAG=DEV... | say TEXT | check IMAGE ACKS RUN TAG [SWITCH]\n");
    return 64;
}
