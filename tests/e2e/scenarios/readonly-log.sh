# The log directory cannot be created: start-up must fail.
mount -o remount,ro /var/log
