// Captured sysfs trees, rebuilt under a throwaway directory so that the
// block-stack walk reads them exactly as it reads /sys.
#ifndef QUELVAR_TESTS_SUPPORT_SYSFSTREE_H
#define QUELVAR_TESTS_SUPPORT_SYSFSTREE_H

#include <string>

#include "support/OsdTree.h"

// Lays the fixture `file` out under tree.Path(under). One entry a line:
// "PATH -> TARGET" a link, "PATH = TEXT" a file holding TEXT and a newline
// (as the kernel's attributes end), "PATH/" a directory; "#" a comment.
void LoadSysfsTree(OsdTree& tree, const std::string& file, const std::string& under);

#endif
