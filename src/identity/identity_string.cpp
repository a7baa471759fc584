// Apart from the strings' definition on purpose: seen together, the compiler could fold the
// build's lengths into the offsets, and the packer's strings would be read at the wrong places.
#include <string>

#include "identity/app_identity.h"

namespace identity {

const char16_t* identity_string(IdentityString which) {
  const char16_t* text = zamrik_identity;
  for (int skip = static_cast<int>(which); skip > 0; --skip) text += std::char_traits<char16_t>::length(text) + 1;
  return text;
}

}  // namespace identity
