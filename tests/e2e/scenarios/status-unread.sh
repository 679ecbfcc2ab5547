# A bcache device that carries no OSD the report can see, beside an OSD
# directory it cannot read whole: a bluestore OSD with its fsid and no
# "block" link yet. With NO_ROOT=1 there is no OSD root at all instead.
disk sdb "write back" scsi
bcache bcache0 sdb
if [ -n "${NO_ROOT:-}" ]; then
    no_classic_root
else
    osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000
fi
