#include "vellum/views/image_holder_extension.hpp"

namespace vellum {

const TaskSlotKeys& imageHolderTaskKeys() {
  // Only the addresses matter; distinct variables have distinct addresses.
  static char identifier, task, token;
  static const TaskSlotKeys keys{&identifier, &task, &token};
  return keys;
}

}  // namespace vellum
