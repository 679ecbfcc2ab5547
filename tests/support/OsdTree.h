// OSD data directories built in a throwaway directory under /tmp, with the
// hostile entries an unprivileged owner could plant in them, and a way to
// run a step that might hang without hanging the test.
#ifndef QUELVAR_TESTS_SUPPORT_OSDTREE_H
#define QUELVAR_TESTS_SUPPORT_OSDTREE_H

#include <sys/types.h>

#include <functional>
#include <string>

#include "support/PrivateMounts.h"

class OsdTree {
public:
    OsdTree();   // mkdtemp under /tmp
    ~OsdTree();  // removes the whole tree
    OsdTree(const OsdTree&) = delete;
    OsdTree& operator=(const OsdTree&) = delete;

    // The tree's root, ending in "/" as the inventory's root must.
    const std::string& Root() const { return root; }
    std::string Path(const std::string& relative) const { return root + relative; }

    // A 36-character fsid made of one repeated character.
    static std::string Fsid(char c);

    // An OSD directory with a "type" and a "fsid" file holding the texts.
    void AddOsd(const std::string& name, const std::string& type, const std::string& fsid);
    // A bluestore OSD whose links name the given targets; an empty target
    // leaves that link out.
    void AddBluestore(const std::string& name, const std::string& fsid, const std::string& block,
                      const std::string& db, const std::string& wal);
    // Parent directories are created as needed.
    void AddFile(const std::string& relative, const std::string& content);
    void AddLink(const std::string& relative, const std::string& target);
    void AddFifo(const std::string& relative);
    // A node of the kernel's zero device. False when mknod is refused.
    bool AddZeroDevice(const std::string& relative);
    // A regular file of `size` bytes that takes no disk space.
    void AddSparseFile(const std::string& relative, off_t size);
    // A device's block 0 as a 4 KiB file: a bluestore label as ceph-osd
    // writes it (`role` "main", "bluefs db", ...; a main label with its id
    // and `key` among its meta data), or LVM's label in sector 1.
    void AddLabel(const std::string& relative, const std::string& role, const std::string& uuid,
                  const std::string& whoami = "0", const std::string& key = "");
    void AddLvmLabel(const std::string& relative);
    void Remove(const std::string& relative);

private:
    std::string root;
};

// What RunWithDeadline returns when the step had not ended in time.
constexpr int OSD_DEADLINE_PASSED = 1000;

// Runs `step` in a forked child and returns its result (-128..127), or
// OSD_DEADLINE_PASSED after killing a child that ran past `seconds`.
int RunWithDeadline(const std::function<int()>& step, unsigned seconds);

#endif
