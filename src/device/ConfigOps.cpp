#include "device/Operations.h"

namespace ll::device {

// Placeholders until the identity and configuration operations land.
void ReadVersion(DeviceContext&) {}
void ReadConfiguration(DeviceContext&) {}
void WriteConfiguration(DeviceContext&) {}

}  // namespace ll::device
