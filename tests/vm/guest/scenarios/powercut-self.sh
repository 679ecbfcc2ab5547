# needs: full-daemon
# vm: power-cut
# cut stages: self
# cut disks: scsi scsi2
# cut count: 1 200
# The power-cut model tested both ways in one cut: two SCSI disks on
# virtio-scsi whose caches a cut really loses, written at once while the
# daemon runs. One carries a bluestore OSD with its DB elsewhere: the daemon
# switches its cache off and it loses nothing. The other's DB lives in its
# block device: its cache stays on and the cut must lose its writes.
. /guest/cut.sh
