// How much of a Shift_JIS buffer is whole characters.
#include "code_converters/byte_classes.h"
#include "code_converters/byte_conversions.h"

namespace tarselctl::jcode {

std::size_t SjisCompleteLength(std::string_view in) {
    // Only lead-range bytes are ambiguous (each is also a valid trail byte). Any other byte
    // ends whatever character it is in, so a character starts right after it; in the run
    // of lead-range bytes that follows, bytes pair up from the front, and an odd run ends
    // with a lead byte still waiting for its trail.
    std::size_t i = in.size();
    while (i > 0 && IsSjisLead(static_cast<std::uint8_t>(in[i - 1]))) --i;
    const std::size_t run = in.size() - i;
    return in.size() - (run & 1);
}

}  // namespace tarselctl::jcode
