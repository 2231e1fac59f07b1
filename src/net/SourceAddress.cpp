#include "net/SourceAddress.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

namespace kestrel {

SourceAddress SourceAddressOf(std::string_view address) {
  SourceAddress source;
  const std::string text(address);
  in_addr v4{};
  in6_addr v6{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    source.key[0] = 4;
    std::memcpy(&source.key[1], &v4, 4);
  } else if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      source.key[0] = 4;
      std::memcpy(&source.key[1], &v6.s6_addr[12], 4);
    } else {
      source.key[0] = 6;
      std::memcpy(&source.key[1], &v6.s6_addr[0], 8);
    }
  }
  return source;
}

}  // namespace kestrel
