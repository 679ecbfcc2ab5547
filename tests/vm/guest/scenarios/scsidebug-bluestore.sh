# needs: full-daemon
# scsi_debug: strict about MODE SELECT (a page with PS set is refused),
# DPOFUA in the device-specific byte, UNIT ATTENTION after MODE SELECT.
disk=$(LoadScsiDebug)
Check "scsi_debug disk present" [ -n "$disk" ]
SwitchOffScenario "$disk" scsi_debug
