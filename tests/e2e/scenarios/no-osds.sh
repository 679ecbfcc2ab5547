# Bcache devices over write-back disks, but no OSDs: tuning only.
disk sdb "write back" sata
disk sdc "write back" scsi
bcache bcache0 sdb
bcache bcache1 sdc
