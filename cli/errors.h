// Human-readable texts for the reader link's result codes.
#pragma once

#include <string>

namespace vantor {

// "reader status 4 (-13)", "Connection timed out (errno 110)", ...
std::string DescribeError(int code);

}  // namespace vantor
