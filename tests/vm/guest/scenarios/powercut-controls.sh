# needs: full-daemon
# vm: power-cut
# runs: when named
# cut stages: nodaemon liar fsync
# cut disks: sata scsi nvme
# The controls of the power-cut runs, on the guarded layout: with no daemon
# the cut must lose acknowledged writes (the model can lose); a disk that
# drops FUA and flushes loses them even with the daemon (the harness can
# fail); with no daemon and an fsync every 64 writes, nothing written before
# the last completed fsync may be lost.
. /guest/cut.sh
