// Arbitrary descriptors from a USB HID interface: its report descriptor
// (SummariseReportDescriptor, ProtocolMismatch) and the extra descriptors
// after its interface descriptor, where the HID descriptor declares the
// report descriptor's length (DeclaredReportDescriptorLength). Both are read
// from a buffer of exactly the input's size, so ASan reports any read past
// it. Checks beyond "no crash": an interface is taken exactly when its
// descriptor is well formed, has a vendor-defined collection and reports of
// the protocol's lengths; a malformed one is refused as such; a declared
// length is two bytes of the input that follow a report descriptor type
// (0x22) inside a HID descriptor (0x21) that the input holds whole.
//
// Input: the bytes, read both ways.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "platform/LinuxHidRules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);

  const ReportDescriptorSummary summary = SummariseReportDescriptor(bytes);
  const std::string mismatch = ProtocolMismatch(summary);
  const bool carries = summary.wellFormed && summary.vendorDefined && summary.inputLength >= kProtocolInputData &&
                       summary.outputLength >= kProtocolOutputData;
  FUZZ_CHECK(mismatch.empty() == carries);
  FUZZ_CHECK(summary.wellFormed || mismatch == "its report descriptor is malformed");
  FUZZ_CHECK(!summary.vendorDefined || summary.firstUsagePage.has_value());

  const std::optional<std::uint16_t> length = DeclaredReportDescriptorLength(bytes);
  if (length) {
    bool found = false;
    for (std::size_t at = 0; at + 3 <= size && !found; ++at)
      found = bytes[at] == 0x22 && (bytes[at + 1] | (bytes[at + 2] << 8)) == *length;
    FUZZ_CHECK(found);
    FUZZ_CHECK(size >= 9);  // a HID descriptor with one class descriptor, at the least
  }
  return 0;
}
