# needs: full-daemon
# runs: when named
# The SATA, SCSI and scsi_debug bluestore cases one after another in one
# boot, the guest put back as it booted between them: where a boot is dear
# (software emulation of another architecture), one boot proves all three.
for case in sata-bluestore scsi-bluestore scsidebug-bluestore; do
    Say "=== $case"
    . "/guest/scenarios/$case.sh"
    Reset "$case"
done
