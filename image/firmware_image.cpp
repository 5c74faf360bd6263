#include "image/firmware_image.h"

#include <cstring>

#include "image/firmware_signature.h"
#include "image/hex_to_bin.h"

namespace kbt {

FirmwareLoadResult LoadFirmware(const std::wstring& path, std::uint8_t* image) {
  std::memset(image, 0, kImageSize);
  const HexToBinResult converted = HexToBin(path, image);
  if (!converted.Read())
    return {
        converted.status == kHexToBinNotOpened ? FirmwareLoad::NotOpened : FirmwareLoad::NotRead,
        converted.reason};
  if (!FindFirmwareSignature(image)) return {FirmwareLoad::NoSignature, {}};
  return {};
}

}  // namespace kbt
