// HID report descriptor parser: bytes in, the two figures that device
// discovery matches on out. No device, no I/O, so it can be table-tested and
// fuzzed.
//
// The feature length follows Windows' HidP_GetCaps FeatureReportByteLength,
// because the discovery rules were written against it: the longest feature
// report over all report IDs, its bits rounded up to whole bytes, plus one
// byte for the report ID, which Windows counts also for a device that uses no
// report IDs. A hidraw node covers the whole descriptor, so every collection
// of it counts.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kbt {

struct ReportDescriptorInfo {
  bool ok = false;
  std::string error;  // empty when ok
  // Usage page of the first top-level collection; 0 when there is none.
  std::uint16_t usagePage = 0;
  // Usage (ID within the page) of that collection.
  std::uint16_t usage = 0;
  // Longest feature report in bytes, report ID byte included; 0 without any
  // feature report.
  std::uint16_t featureReportLength = 0;
  bool usesReportIds = false;
  int topLevelCollections = 0;
};

ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace kbt
