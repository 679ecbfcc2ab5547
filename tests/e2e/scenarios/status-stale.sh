# Two guarded disks, one that does not answer and one offline, and a view
# a daemon left behind long ago under a process that still runs: the report
# reads the host itself.
disk sdb "write back" scsi
disk sdc "write back" scsi
disk_config sdb does-not-answer
disk_state sdc offline
n=0
for disk in sdb sdc; do
    blockdev "nvme0n1p$((n + 1))"
    bcache "bcache$n" "$disk"
    osd "ceph-$n" bluestore "0000000$n-0000-4000-8000-000000000000" block="/dev/bcache$n" db="/dev/nvme0n1p$((n + 1))"
    n=$((n + 1))
done
printf 'quelvar-view\t1\npid\t%s\npass\t1\t0.000\t0.001\ndevice\tbcache0\tsdb\t-\t-\toff\t0.001\t-\t1\tprotected\t-\n' \
    "$$" > /run/quelvar/view
