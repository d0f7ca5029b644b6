#include "device/Operations.h"

namespace ll::device {

// Placeholder until the upload lands.
void UploadFirmware(DeviceContext&) {}

}  // namespace ll::device
