// bluestore labels, read from block 0 of the devices at a rebuild.
//
// A raw OSD (ceph-volume raw, and Rook's default) has no tags: its device
// starts with the label ceph-osd wrote at mkfs, "main" with the OSD's uuid,
// and its DB device with "bluefs db" and the same uuid. Both are there from
// "prepare" on, before anything is activated.
//
// A device that hangs must not hang the daemon: block 0 is read from the
// page cache only (RWF_NOWAIT), readahead is asked for where it is not
// there, and the reads are tried again on the same descriptor until
// BLOCK0_WAIT_MS have passed. A read the kernel never completes is left to
// the kernel, and so is its descriptor: the last close of a block device
// drops its page cache, which waits for the read in flight (32 s a rebuild
// behind a disk that does not answer, on Debian 12's kernel, bad-day-boot).
// It stays open, and a later rebuild reads through it. On Debian 12's kernel
// a cold read of a bcache device came after 2 to 25 ms (tests/vm/README.md,
// "label-facts").
#include <fcntl.h>
#include <poll.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <map>
#include <memory>
#include <utility>

#include "osd/OsdInfoMap.h"
#include "osd/OsdSource.h"
#include "sys/ScopedHandles.h"

namespace {

// Descriptors of the devices whose block 0 has not come, by name.
std::map<std::string, int> g_waiting;

int64_t NowMs()
{
    struct timespec now {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// One try at block 0 on `fd`: true when the device answered (read, or
// failed for good), false when the block is not in the page cache yet.
bool TryBlock0(SystemApi& api, int fd, Block0& block)
{
    unsigned char data[BLOCK0_SIZE];
    ssize_t got = api.ReadAt(fd, data, static_cast<int>(sizeof(data)), 0, RWF_NOWAIT);
    // Every block device takes RWF_NOWAIT; a file that does not (on tmpfs)
    // has no disk to wait for.
    if (got < 0 && errno == EOPNOTSUPP) {
        got = api.ReadAt(fd, data, static_cast<int>(sizeof(data)), 0, 0);
    }
    if (got < 0 && errno == EAGAIN) {
        block.state = Block0::Unanswered;
        return false;
    }
    block = Block0();
    if (got == static_cast<ssize_t>(sizeof(data))) {
        block.state = Block0::Read;
        block.hasLabel = ParseBluestoreLabel(data, sizeof(data), block.label) == 0;
        block.lvm = HasLvmLabel(data, sizeof(data));
    }
    return true;
}

// One batch of devices, each open until it is read or the time is up: the
// kernel drops a device's page cache when its last descriptor closes.
void ReadBatch(SystemApi& api, const std::string& devPath, const std::string* names, size_t count,
               std::map<std::string, Block0>& blocks)
{
    const int64_t start = NowMs();
    std::vector<std::pair<const std::string*, std::unique_ptr<ScopedFd>>> pending;
    for (size_t at = 0; at < count; ++at) {
        const std::string path = devPath + names[at];
        int held = -1;
        const auto waiting = g_waiting.find(path);
        if (waiting != g_waiting.end()) {
            held = waiting->second;
            g_waiting.erase(waiting);
        }
        auto fd = std::make_unique<ScopedFd>(
            api, held >= 0 ? held : api.Open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
        Block0& block = blocks[names[at]];
        block = Block0();
        if (fd->get() >= 0 && !TryBlock0(api, fd->get(), block)) {
            (void)api.Advise(fd->get(), 0, static_cast<off_t>(BLOCK0_SIZE), POSIX_FADV_WILLNEED);
            pending.emplace_back(&names[at], std::move(fd));
        }
    }
    while (!pending.empty() && NowMs() - start < BLOCK0_WAIT_MS) {
        (void)poll(nullptr, 0, static_cast<int>(BLOCK0_LOOK_MS));
        pending.erase(std::remove_if(pending.begin(), pending.end(),
                                     [&](const auto& open) {
                                         return TryBlock0(api, open.second->get(), blocks[*open.first]);
                                     }),
                      pending.end());
    }
    for (auto& open : pending) {
        g_waiting[devPath + *open.first] = open.second->release();
    }
}

// The first other device whose label has `role` for the same OSD.
std::string Partner(const std::map<std::string, Block0>& blocks, const std::string& main, LabelRole role)
{
    const std::string& uuid = blocks.at(main).label.osdUuid;
    for (const auto& block : blocks) {
        if (block.first != main && block.second.hasLabel && block.second.label.role == role &&
            block.second.label.osdUuid == uuid) {
            return block.first;
        }
    }
    return std::string();
}

} // namespace

void ReadBlock0s(SystemApi& api, const std::string& devPath, const std::vector<std::string>& names,
                 std::map<std::string, Block0>& blocks)
{
    // A bound on the descriptors held at once, far below any limit.
    constexpr size_t BATCH = 128;
    for (size_t from = 0; from < names.size(); from += BATCH) {
        ReadBatch(api, devPath, names.data() + from, std::min(BATCH, names.size() - from), blocks);
    }
}

void LabelSource::Collect(OsdScan& scan, std::vector<OsdInfo>& records)
{
    OsdInfoMap& map = scan.Inventory();
    const std::map<std::string, Block0>& blocks = scan.Blocks();
    // bcache devices first, each in the order people count them.
    std::vector<std::string> names;
    bool otherUnanswered = false;
    for (const auto& block : blocks) {
        names.push_back(block.first);
        const bool bcache = !scan.BcacheOf(block.first).empty();
        if (block.second.state == Block0::Unanswered && bcache) {
            map.MarkIncomplete("block 0 of " + block.first + " could not be read yet");
        }
        otherUnanswered = otherUnanswered || (block.second.state == Block0::Unanswered && !bcache);
    }
    std::stable_sort(names.begin(), names.end(), [&](const std::string& left, const std::string& right) {
        const bool leftBcache = !scan.BcacheOf(left).empty();
        return leftBcache != scan.BcacheOf(right).empty() ? leftBcache : ByDeviceName(left, right);
    });
    for (const std::string& name : names) {
        const Block0& block = blocks.at(name);
        if (!block.hasLabel || block.label.role != LabelRole::Main ||
            std::any_of(records.begin(), records.end(),
                        [&](const OsdInfo& known) { return known.fsid == block.label.osdUuid; })) {
            continue;
        }
        OsdInfo info;
        info.fsid = block.label.osdUuid;
        info.engineType = ENGINE_BLUESTORE;
        info.sources = OSD_SOURCE_LABEL;
        info.osdId = block.label.whoami;
        info.blockLink = "/dev/" + name;
        const std::string db = Partner(blocks, name, LabelRole::Db);
        const std::string wal = Partner(blocks, name, LabelRole::Wal);
        info.dbLink = db.empty() ? info.blockLink : "/dev/" + db;
        info.walLink = wal.empty() ? std::string() : "/dev/" + wal;
        const std::string bcache = scan.BcacheOf(name);
        info.bcacheDevices = bcache.empty() ? scan.BcacheBelow(name) : std::vector<std::string>{bcache};
        if (info.bcacheDevices.empty()) {
            continue;
        }
        // Its DB may lie on the device that did not answer.
        if (db.empty() && otherUnanswered) {
            map.MarkIncomplete("a device that may hold the DB of the OSD on " + name + " could not be read yet");
        }
        info.block = info.bcacheDevices.front();
        records.push_back(info);
    }
}
