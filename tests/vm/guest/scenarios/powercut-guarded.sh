# needs: full-daemon
# vm: power-cut
# runs: when named
# cut stages: guarded cold
# cut disks: sata scsi nvme
# A power cut on guarded disks (SATA on AHCI, SCSI on virtio-scsi, NVMe,
# each under a bcache device in write-through mode and a bluestore OSD with
# its DB elsewhere) while the OSD writes with the daemon running: nothing
# acknowledged is lost. Then the power comes back: a new QEMU, every disk's
# cache on again, the OSD writing from the start and the daemon started
# beside it; the writes before its first switch are the boot window, and
# nothing acknowledged after the switch may be lost.
. /guest/cut.sh
