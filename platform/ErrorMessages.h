#pragma once
// Readable texts for system error codes.
//
// Contract: codes 12000 to 12174 are the network layer's own codes (see NetworkErrors.h) and
// come from our table; every other code is an errno value and comes from strerror_r. The result
// is "" when there is no text. Thread-safe: no shared state is written.

#include <string>

namespace Vel::Platform {

inline constexpr unsigned kNetworkErrorFirst = 12000;
inline constexpr unsigned kNetworkErrorLast = 12174;

std::string ErrorMessage(unsigned code);

}  // namespace Vel::Platform
