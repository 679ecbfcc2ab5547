// The names that mark OSD directories outside the classic root: hosts
// deployed with containers keep /var/lib/ceph/<cluster fsid>/osd.<id>/, Rook
// hosts /var/lib/rook/<namespace>/<cluster fsid>_<osd uuid>/.
#ifndef QUELVAR_OSD_OSDROOTS_H
#define QUELVAR_OSD_OSDROOTS_H

#include <string>

// True for a UUID in its text form: 36 characters, hex digits with "-" at
// positions 8, 13, 18 and 23.
[[nodiscard]] bool IsUuidName(const std::string& name);

// True for "osd." followed by one or more digits and nothing else, so that
// the other daemons' directories of a cluster (mon.a, crash) are left out.
[[nodiscard]] bool IsCephadmOsdName(const std::string& name);

// True for an OSD's id as Ceph writes it: one to ten decimal digits.
[[nodiscard]] bool IsOsdId(const std::string& text);

// True for "<cluster fsid>_<osd uuid>", two UUIDs joined by "_": the name
// Rook gives an OSD's directory, unlike its monitors' (mon-a) or its own
// (crash, log) beside them.
[[nodiscard]] bool IsRookOsdName(const std::string& name);

#endif
