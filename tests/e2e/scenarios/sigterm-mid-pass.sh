# SIGTERM arrives while the first pass's inventory rebuild waits for pvs.
disk sdb "write back" sata
disk sdc "write back" scsi
blockdev nvme0n1p1
bcache bcache0 sdb
bcache bcache1 sdc
pv bcache1 ceph-vg1
lv ceph-vg1 osd-block-1
osd ceph-1 bluestore 11111111-1111-4111-8111-111111111111 block=/dev/ceph-vg1/osd-block-1 db=/dev/nvme0n1p1
# pvs runs under the shell popen started, whose parent is the daemon.
pvs_hook 'kill -TERM "$(cut -d" " -f4 /proc/$PPID/stat)"; sleep 0.3'
