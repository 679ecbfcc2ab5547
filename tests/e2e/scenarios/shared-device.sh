# Two bluestore OSDs on one bcache device, each on a volume of one volume
# group over it, their DBs on flash; the view is kept from the first pass.
disk sdb "write back" sata
bcache bcache0 sdb
blockdev nvme0n1p1
blockdev nvme0n1p2
lv ceph-shared osd-a bcache0
lv ceph-shared osd-b bcache0
osd ceph-0 bluestore 0b0f3f0e-6a7c-4d3c-9c1e-000000000000 block=/dev/ceph-shared/osd-a db=/dev/nvme0n1p1
osd ceph-1 bluestore 1b0f3f0e-6a7c-4d3c-9c1e-111111111111 block=/dev/ceph-shared/osd-b db=/dev/nvme0n1p2
on_pass() { [ "$1" != 1 ] || cp /run/quelvar/view "$OUTDIR/view"; }
