#include <tarsel/types.h>

namespace tarselctl {

AutomationError::AutomationError(Long number, String source, String description)
    : std::runtime_error(ToUtf8(source) + ": " + ToUtf8(description) + " (" +
                         std::to_string(number) + ")"),
      number_(number),
      source_(std::move(source)),
      description_(std::move(description)) {}

}  // namespace tarselctl
