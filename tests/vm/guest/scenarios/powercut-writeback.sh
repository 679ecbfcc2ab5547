# needs: full-daemon
# vm: power-cut
# runs: when named
# cut stages: wb-nodaemon wb-daemon
# cut disks: sata scsi nvme
# bcache in write-back mode: data fsync'd through the bcache device, written
# back by bcache to the backing disk with plain writes and marked clean in
# its journal, then the cut. The backing disk's image is read, not the
# bcache device, whose clean cached copy would hide the loss: without the
# daemon it lacks data bcache holds clean; with it, nothing is missing.
. /guest/cut.sh
