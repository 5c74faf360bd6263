// libFuzzer target: any bytes as a report descriptor. Besides the sanitizers'
// checks (no read past the input, no overflow), the result must be coherent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "device/report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const kbt::ReportDescriptorInfo info = kbt::ParseReportDescriptor(std::span(data, size));
  if (info.ok != info.error.empty()) std::abort();
  // A feature report holds at least one bit plus the report ID byte.
  if (info.ok && info.featureReportLength == 1) std::abort();
  if (info.ok && info.topLevelCollections == 0 && info.usagePage != 0) std::abort();
  return 0;
}
