# A SCSI disk as strict as Linux's scsi_debug: it rejects reserved fields in
# MODE SELECT and reports MODE PARAMETERS CHANGED to the next command.
disk sde "write back" scsi
disk_config sde unit-attention
blockdev nvme0n1p1
bcache bcache0 sde
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/bcache0 db=/dev/nvme0n1p1
