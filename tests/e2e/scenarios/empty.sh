# A host with neither OSDs nor bcache devices.
