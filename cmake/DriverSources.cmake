# The driver's translation units, shared by the host build and the kwdrv.sys build.
# Paths are relative to the repository root.
set(KWDRV_DRIVER_SOURCES
  driver/entry.cpp
  driver/adddevice.cpp
  driver/lowercalls.cpp
  usbconfig/memory.cpp
  usbconfig/validate.cpp
  usbconfig/descriptors.cpp
  usbconfig/configure.cpp
  usbconfig/pipetable.cpp
  usbconfig/pipes.cpp
  usbconfig/pending.cpp
  pnppower/pnp.cpp
  pnppower/power.cpp
  transfer/openclose.cpp
  transfer/readwrite.cpp
  transfer/bulk.cpp
  control/ioctl.cpp
  control/vendor.cpp
  control/probe.cpp
  transfer/cleanup.cpp
  transfer/isoch.cpp
  usbconfig/busspeed.cpp
)
