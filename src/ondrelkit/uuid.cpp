#include "ondrelkit/uuid.h"

#include <uuid/uuid.h>

namespace ondrel {

Uuid Uuid::random() {
  Uuid u;
  uuid_generate_random(u.bytes.data());
  return u;
}

std::string Uuid::uuidString() const {
  char text[37];
  uuid_unparse_upper(bytes.data(), text);
  return std::string(text, 36);
}

}  // namespace ondrel
