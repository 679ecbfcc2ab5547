# Everything the daemon needs is root's: the OSD directory (the ceph user's,
# mode 0700), the device nodes and the rescan trigger.
disk sdb "write back" sata
blockdev nvme0n1p1
bcache bcache0 sdb
pv bcache0 ceph-vg0
lv ceph-vg0 osd-block-0 bcache0
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/ceph-vg0/osd-block-0 db=/dev/nvme0n1p1
chown -R 64045:64045 /var/lib/ceph/osd/ceph-0
chmod 0700 /var/lib/ceph/osd/ceph-0
chmod 0600 /dev/bcache0 /dev/sdb
