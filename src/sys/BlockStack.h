// The kernel's block stack, read from sysfs the one way the daemon reads it.
//
// A block device's number leads to its sysfs directory through
// <sys>/dev/block/MAJ:MIN. From there the stack goes down through the
// entries of "slaves/" (device-mapper: LVM, dm-crypt, multipath; and bcache
// over its backing device) and from a partition, whose directory holds a
// "partition" file and sits inside its disk's directory, to that disk. The
// walk only reads: it resolves links and lists directories, starts nothing
// and opens no device.
#ifndef QUELVAR_SYS_BLOCKSTACK_H
#define QUELVAR_SYS_BLOCKSTACK_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "sys/SystemApi.h"

constexpr const char* SYSFS_ROOT = "/sys";

// Steps below the starting device before the walk gives up. A real stack
// (LVM over dm-crypt over bcache over a partition) is a handful deep.
constexpr int BLOCK_STACK_MAX_DEPTH = 16;

// How a walk ended.
constexpr int BLOCK_STACK_DONE = 0;        // every branch ended at a target or a bottom
constexpr int BLOCK_STACK_LOOP = 1;        // a device was met again below itself
constexpr int BLOCK_STACK_TOO_DEEP = 2;    // deeper than BLOCK_STACK_MAX_DEPTH
constexpr int BLOCK_STACK_UNREADABLE = 3;  // a link or directory could not be read

struct BlockStackWalk {
    // Kernel names of the targets reached, each once, in the order met.
    std::vector<std::string> found;
    // Where a walk that did not end with BLOCK_STACK_DONE stopped.
    std::string where;
    // errno of the failed call for BLOCK_STACK_UNREADABLE, else 0.
    int error = 0;
};

// Walks down the stack below the block device `dev`, through `api` and under
// `sysRoot`, and stops on every branch at the first device whose kernel name
// `isTarget` accepts. Returns one of the BLOCK_STACK_ codes; `walk` holds
// what was found up to there.
[[nodiscard]] int WalkBlockStack(SystemApi& api, const std::string& sysRoot, dev_t dev,
                                 const std::function<bool(const std::string&)>& isTarget, BlockStackWalk& walk);

// A partition, in sysfs: its directory holds a "partition" file and lies
// inside its whole disk's directory (.../block/sdb/sdb1), as for a bcache
// device's partitions (.../block/bcache0/bcache0p1). Every reader of the
// stack tells a partition and finds its disk through these.

// True when the block device whose sysfs directory is `dir` (or a link to
// it, as /sys/class/block/sdb1) is a partition. One access call.
[[nodiscard]] bool IsPartitionDir(SystemApi& api, const std::string& dir);

// The whole disk's directory of the partition whose sysfs directory is
// `partitionDir`, a canonical path or a link text leading there: the
// directory above. Empty when there is none.
[[nodiscard]] std::string WholeDiskDir(const std::string& partitionDir);

// The kernel name of the device whose sysfs directory is `dir`: the last
// component.
[[nodiscard]] std::string KernelName(const std::string& dir);

// True for the name the kernel gives a partition of a bcache device:
// "bcache", digits, "p", digits (bcache0p1). Such a device is never a target
// of its own: what lives on it lives on its whole device.
[[nodiscard]] bool IsBcachePartitionName(const std::string& name);

// The whole bcache device of a partition's name (bcache0 for bcache0p1), or
// `name` itself.
[[nodiscard]] std::string WholeBcacheName(const std::string& name);

// Names a BLOCK_STACK_ code for a log line.
[[nodiscard]] const char* BlockStackReason(int status);

#endif
