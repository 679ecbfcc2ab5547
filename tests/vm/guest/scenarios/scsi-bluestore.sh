# needs: full-daemon
# The SCSI disk on virtio-scsi, which refuses HDIO_SET_WCACHE and ATA
# PASS-THROUGH and is switched by a MODE SELECT of the Caching page.
SwitchOffScenario "$(DiskByModel QVSCSI)" scsi
