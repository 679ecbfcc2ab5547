# needs: full-daemon
# The SATA disk on AHCI, switched by ATA SET FEATURES (libata has no
# HDIO_SET_WCACHE) under a bluestore OSD laid out as ceph-volume lays it out.
SwitchOffScenario "$(DiskByModel QVSATA)" sata
